// The multi-transfer driver against a real loopback server: concurrency on one thread, reuse of
// kept-alive connections, and transfers ended by destruction.
#include "host/curl_multi.h"

#include "host/http_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace rivi {
namespace {

using namespace std::chrono_literals;

size_t collect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

EasyHandle get(const std::string& url, std::string* body) {
  auto easy = new_easy();
  curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, body);
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, 10'000L);
  return easy;
}

TEST(CurlMulti, RunsManyTransfersAtOnceAndReusesConnections) {
  // The server holds every reply until all requests are in: only transfers running at the same
  // time can finish.
  constexpr int kTransfers = 100;
  std::mutex mutex;
  std::vector<http::Reply> held;
  http::Server server([&](http::Request& req, http::Reply reply) {
    std::lock_guard lock(mutex);
    if (req.path != "/hold") return reply(http::Response::text(200, "now"));
    held.push_back(reply);
    if (held.size() == kTransfers) {
      for (auto& r : held) r(http::Response::text(200, "ok"));
    }
  });
  const int port = server.bind("127.0.0.1", 0);
  server.start();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  CurlMulti multi;
  std::vector<std::string> bodies(kTransfers);
  std::vector<std::promise<CURLcode>> results(kTransfers);
  for (int i = 0; i < kTransfers; ++i) {
    multi.add(get(base + "/hold", &bodies[i]), [&results, i](CURLcode rc, EasyHandle) { results[i].set_value(rc); });
  }
  for (int i = 0; i < kTransfers; ++i) {
    auto f = results[i].get_future();
    ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(f.get(), CURLE_OK);
    EXPECT_EQ(bodies[i], "ok");
  }

  // One after another, the same host: after the first, no new connection is made.
  long new_connections = 0;
  for (int i = 0; i < 10; ++i) {
    std::string body;
    std::promise<long> connects;
    multi.add(get(base + "/now", &body), [&connects](CURLcode, EasyHandle easy) {
      long n = -1;
      curl_easy_getinfo(easy.get(), CURLINFO_NUM_CONNECTS, &n);
      connects.set_value(n);
    });
    auto n = connects.get_future().get();
    if (i > 0) new_connections += n;
    EXPECT_EQ(body, "now");
  }
  EXPECT_EQ(new_connections, 0);
  EXPECT_EQ(multi.active(), 0u);
}

TEST(CurlMulti, DestructionEndsTransfersStillGoing) {
  std::mutex mutex;
  std::vector<http::Reply> never;
  http::Server server([&](http::Request&, http::Reply reply) {
    std::lock_guard lock(mutex);
    never.push_back(reply);
  });
  const int port = server.bind("127.0.0.1", 0);
  server.start();
  std::string body;
  std::promise<CURLcode> result;
  {
    CurlMulti multi;
    multi.add(get("http://127.0.0.1:" + std::to_string(port) + "/", &body),
              [&result](CURLcode rc, EasyHandle) { result.set_value(rc); });
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard lock(mutex);
        if (!never.empty()) break;
      }
      std::this_thread::sleep_for(10ms);
    }
  }
  EXPECT_EQ(result.get_future().get(), CURLE_ABORTED_BY_CALLBACK);
}

}  // namespace
}  // namespace rivi
