// The multi-transfer driver against a real loopback server: concurrency on one thread, reuse of
// kept-alive connections (also after a burst), timers, transfers ended by destruction or cancelled,
// and a multi attached to the thread that drives it (its caller's, or a server's loop).
#include "host/net/curl_multi.h"

#include "host/web/http_server.h"
#include "tests/support/hanging_target.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
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

TEST(CurlMulti, CancelEndsATransferAndClosesItsConnection) {
  rivi::testing::HangingTarget target;
  CurlMulti multi;
  constexpr int kTransfers = 20;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<CURLcode> results;
  std::vector<CurlMulti::TransferId> ids;
  std::vector<std::string> bodies(kTransfers);
  for (int i = 0; i < kTransfers; ++i) {
    ids.push_back(multi.add(get(target.url(), &bodies[i]), [&](CURLcode rc, EasyHandle) {
      std::lock_guard lock(mutex);
      results.push_back(rc);
      cv.notify_all();
    }));
  }
  ASSERT_TRUE(target.wait_open(kTransfers, 10s));
  // Half of them; an id cancelled twice, or none, changes nothing.
  for (int i = 0; i < kTransfers; i += 2) multi.cancel(ids[i]);
  multi.cancel(ids[0]);
  multi.cancel(0);
  EXPECT_TRUE(target.wait_open(kTransfers / 2, 10s)) << target.open();
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return results.size() == kTransfers / 2; }));
    for (const CURLcode rc : results) EXPECT_EQ(rc, CURLE_ABORTED_BY_CALLBACK);
  }
  EXPECT_EQ(multi.active(), static_cast<std::size_t>(kTransfers / 2));
  // A transfer cancelled right after it is added ends too.
  multi.cancel(multi.add(get(target.url(), &bodies[0]), [](CURLcode, EasyHandle) {}));
  for (int i = 1; i < kTransfers; i += 2) multi.cancel(ids[i]);
  EXPECT_TRUE(target.wait_open(0, 10s)) << target.open();
}

TEST(CurlMulti, TimersRunInOrderAndThoseLeftRunWhenTheMultiEnds) {
  std::mutex mutex;
  std::vector<int> order;
  const auto push = [&](int i) {
    std::lock_guard lock(mutex);
    order.push_back(i);
  };
  const auto count = [&] {
    std::lock_guard lock(mutex);
    return order.size();
  };
  {
    CurlMulti multi;
    multi.after(60ms, [&] { push(2); });
    multi.after(20ms, [&] { push(1); });
    multi.after(std::chrono::hours(1), [&] { push(3); });
    for (int i = 0; i < 1000 && count() < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(count(), 2u);
  }
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(CurlMulti, KeepsTheConnectionsOfABurstForTheNextOne) {
  // Each burst is held by the server until all of it has arrived, so every transfer of a burst
  // needs a connection of its own at the same time; the answers then come one by one, as a
  // fan-out's do, while the transfers still under way get fewer.
  constexpr std::size_t kBurst = 50;
  std::mutex mutex;
  std::vector<http::Reply> held;
  std::vector<std::thread> repliers;
  http::Server server([&](http::Request&, http::Reply reply) {
    std::lock_guard lock(mutex);
    held.push_back(reply);
    if (held.size() < kBurst) return;
    repliers.emplace_back([all = std::move(held)] {
      for (auto& r : all) {
        r(http::Response::text(200, "ok"));
        std::this_thread::sleep_for(5ms);
      }
    });
    held.clear();
  });
  const int port = server.bind("127.0.0.1", 0);
  server.start();
  CurlMulti multi;
  const auto burst = [&] {
    std::vector<std::string> bodies(kBurst);
    std::vector<std::promise<long>> connects(kBurst);
    for (std::size_t i = 0; i < kBurst; ++i) {
      multi.add(get("http://127.0.0.1:" + std::to_string(port) + "/", &bodies[i]),
                [&connects, i](CURLcode, EasyHandle easy) {
                  long n = -1;
                  curl_easy_getinfo(easy.get(), CURLINFO_NUM_CONNECTS, &n);
                  connects[i].set_value(n);
                });
    }
    long made = 0;
    for (auto& c : connects) made += c.get_future().get();
    for (const auto& b : bodies) EXPECT_EQ(b, "ok");
    return made;
  };
  EXPECT_EQ(burst(), static_cast<long>(kBurst));
  EXPECT_EQ(burst(), 0);
  std::lock_guard lock(mutex);
  for (auto& t : repliers) t.join();
}

TEST(CurlMulti, AnAttachedMultiWorksOnTheThreadThatDrivesIt) {
  http::Server target([](http::Request&, http::Reply reply) { reply(http::Response::text(200, "hi")); });
  const int port = target.bind("127.0.0.1", 0);
  target.start();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  CurlMulti multi(CurlMulti::attached);

  // Driven by its caller.
  std::string body;
  std::thread::id done_on;
  bool done = false;
  multi.add(get(url, &body), [&](CURLcode rc, EasyHandle) {
    EXPECT_EQ(rc, CURLE_OK);
    done_on = std::this_thread::get_id();
    done = true;
  });
  for (int i = 0; i < 200 && !done; ++i) multi.wait(100);
  ASSERT_TRUE(done);
  EXPECT_EQ(done_on, std::this_thread::get_id());
  EXPECT_EQ(body, "hi");

  // Driven by a server's loop: the transfer and the timer run on the loop's thread.
  std::promise<std::thread::id> handler_thread;
  http::Server loop([&](http::Request&, http::Reply reply) {
    handler_thread.set_value(std::this_thread::get_id());
    reply(http::Response::text(200, ""));
  });
  loop.drive(multi.fd(), [&] { return multi.poll(); });
  const int loop_port = loop.bind("127.0.0.1", 0);
  loop.start();
  std::string ignored;
  const EasyHandle ask = get("http://127.0.0.1:" + std::to_string(loop_port) + "/", &ignored);
  ASSERT_EQ(curl_easy_perform(ask.get()), CURLE_OK);
  const auto loop_thread = handler_thread.get_future().get();
  std::promise<std::thread::id> transfer_thread, timer_thread;
  body.clear();
  multi.add(get(url, &body), [&](CURLcode, EasyHandle) { transfer_thread.set_value(std::this_thread::get_id()); });
  multi.after(10ms, [&] { timer_thread.set_value(std::this_thread::get_id()); });
  auto transfer = transfer_thread.get_future();
  auto timer = timer_thread.get_future();
  ASSERT_EQ(transfer.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(timer.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(transfer.get(), loop_thread);
  EXPECT_EQ(timer.get(), loop_thread);
  EXPECT_EQ(body, "hi");
  loop.stop();
}

}  // namespace
}  // namespace rivi
