// A dispatch centre and probe nodes serving on their own threads, slow loopback targets, and a
// client that sends many requests at once, for tests and benchmarks that link the dispatch
// library. Each server is stopped and joined on destruction.
#pragma once

#include "dispatch/centre.h"
#include "dispatch/node.h"
#include "host/net/curl_multi.h"
#include "host/web/http_server.h"
#include "tests/support/testing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace rivi::testing {

class RunningNode {
 public:
  explicit RunningNode(dispatch::NodeOptions o) : node_(std::move(o)) {
    port_ = node_.bind("127.0.0.1", 0);
    thread_ = std::jthread([this] { node_.run(); });
    wait_for_port(port_);
  }
  ~RunningNode() { node_.stop(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  // Connections the node has accepted so far.
  std::size_t accepted() const { return node_.accepted(); }
  // Idle connections the node has closed to let a newcomer in.
  std::size_t evicted() const { return node_.evicted(); }

 private:
  dispatch::NodeServer node_;
  int port_ = 0;
  std::jthread thread_;  // declared last: joined before the node is destroyed
};

class RunningCentre {
 public:
  explicit RunningCentre(dispatch::CentreConfig c) : centre_(std::move(c)) {
    port_ = centre_.bind(free_port());
    thread_ = std::jthread([this] { centre_.run(); });
    wait_for_port(port_);
  }
  ~RunningCentre() { centre_.stop(); }
  int port() const { return port_; }
  dispatch::Centre& centre() { return centre_; }

 private:
  dispatch::Centre centre_;
  int port_ = 0;
  std::jthread thread_;
};

// A centre's configuration with three in-process nodes (电信, 电信, 联通), a 5 s deadline and 3 s
// probes: enough for a run to find a site down (3 failing nodes) within a test.
inline dispatch::CentreConfig three_local_nodes() {
  dispatch::CentreConfig config;
  config.deadline_ms = 5000;
  config.probe_timeout_ms = 3000;
  config.nodes = {{"电信", "", "", true}, {"电信", "", "", true}, {"联通", "", "", true}};
  return config;
}

// A site on 127.0.0.1 whose every page answers 500 while `broken`, else 200.
class SwitchableSite {
 public:
  explicit SwitchableSite(bool start_broken = false) : broken(start_broken) {
    site_.server().Get(".*", [this](const httplib::Request&, httplib::Response& res) {
      res.status = this->broken ? 500 : 200;
      res.set_content("page", "text/plain");
    });
    site_.start();
  }
  std::string url(const std::string& path = "/") const { return site_.url(path); }
  std::atomic<bool> broken;

 private:
  LoopbackSite site_;  // last: stopped before `broken` goes
};

// A target on 127.0.0.1 that takes connections into its queue and never answers: every fetch of
// it waits for its time-out.
class SilentTarget {
 public:
  SilentTarget() : fd_(listen_on_loopback(port_, 4096)) {}
  ~SilentTarget() { ::close(fd_); }
  SilentTarget(const SilentTarget&) = delete;
  SilentTarget& operator=(const SilentTarget&) = delete;
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/never"; }

 private:
  int port_ = 0;  // set by fd_'s initializer, so declared first
  int fd_;
};

// A site on 127.0.0.1 that holds every request until `count` have arrived and then answers them
// all "ok"; later requests are answered at once. Only a client that has `count` requests in
// flight at the same time gets any answer before its time-out.
class GatheringSite {
 public:
  explicit GatheringSite(std::size_t count)
      : count_(count), server_([this](http::Request&, http::Reply reply) { hold(std::move(reply)); }) {
    port_ = server_.bind("127.0.0.1", 0);
    server_.start();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/gather"; }

 private:
  void hold(http::Reply reply) {
    std::vector<http::Reply> ready;
    {
      std::lock_guard lock(mutex_);
      held_.push_back(std::move(reply));
      if (held_.size() < count_) return;
      ready.swap(held_);
      count_ = 0;
    }
    for (auto& r : ready) r(http::Response::text(200, "ok"));
  }

  std::mutex mutex_;
  std::vector<http::Reply> held_;
  std::size_t count_;
  http::Server server_;  // declared last: stopped before what its handler touches goes
  int port_ = 0;
};

// One answer of `post_at_once`: the HTTP status (0 when none came) and the body.
struct Posted {
  long status = 0;
  std::string body;
};

// POSTs the url-encoded `form` to http://127.0.0.1:`port``path` `count` times at once, each on a
// connection of its own, and answers every transfer's outcome in order. Each transfer gives up
// after `timeout_ms`.
inline std::vector<Posted> post_at_once(int port, const std::string& path, const std::string& form, int count,
                                        long timeout_ms) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    int left = 0;
  } shared;
  shared.left = count;
  std::vector<Posted> out(count);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
  const auto collect = [](char* data, size_t size, size_t n, void* body) {
    static_cast<std::string*>(body)->append(data, size * n);
    return size * n;
  };
  {
    CurlMulti multi;
    for (int i = 0; i < count; ++i) {
      EasyHandle easy = new_easy();
      curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
      curl_easy_setopt(easy.get(), CURLOPT_PROXY, "");
      curl_easy_setopt(easy.get(), CURLOPT_COPYPOSTFIELDS, form.c_str());
      curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, timeout_ms);
      curl_easy_setopt(easy.get(), CURLOPT_FRESH_CONNECT, 1L);
      curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, +collect);
      curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &out[i].body);
      multi.add(std::move(easy), [&shared, &out, i](CURLcode rc, EasyHandle done) {
        if (rc == CURLE_OK) curl_easy_getinfo(done.get(), CURLINFO_RESPONSE_CODE, &out[i].status);
        std::lock_guard lock(shared.mutex);
        if (--shared.left == 0) shared.cv.notify_all();
      });
    }
    std::unique_lock lock(shared.mutex);
    shared.cv.wait(lock, [&] { return shared.left == 0; });
  }
  return out;
}

}  // namespace rivi::testing
