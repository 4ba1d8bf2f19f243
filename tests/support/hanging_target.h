// A target on 127.0.0.1 that accepts every connection and never answers, and counts the
// connections its clients still hold open: a client that closes or resets one is seen at once.
// Tells whether a prober really let go of a fetch it gave up. Serves on a thread of its own,
// stopped and joined on destruction.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

namespace rivi::testing {

class HangingTarget {
 public:
  HangingTarget();
  ~HangingTarget();
  HangingTarget(const HangingTarget&) = delete;
  HangingTarget& operator=(const HangingTarget&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hang"; }
  // Connections accepted and not yet closed by their client.
  std::size_t open() const { return open_.load(); }
  // Waits until `open()` is `count`; false when `limit` passed first.
  bool wait_open(std::size_t count, std::chrono::milliseconds limit) const;

 private:
  void serve();

  int listener_ = -1;
  int wake_ = -1;  // an eventfd written to stop the thread
  int port_ = 0;
  std::atomic<std::size_t> open_{0};
  std::thread thread_;
};

}  // namespace rivi::testing
