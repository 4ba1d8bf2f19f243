// Many libcurl transfers on one thread. `CurlMulti` owns a multi handle and the thread that drives
// it; callers hand it prepared easy handles and get each back, with its result, when the transfer
// ends. Connections to the same host are kept alive and reused between transfers (the multi
// handle's connection cache), so a caller that asks the same peers again and again pays for each
// connection once. No thread is started per transfer. The same thread also runs timers (`after`),
// so a caller can bound a group of transfers by one deadline without a thread of its own.
#pragma once

#include "host/curl_handles.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace rivi {

class CurlMulti {
 public:
  // Called once per transfer on the driving thread, with libcurl's result and the handle (to read
  // its CURLINFO_* values or reuse it). It must not block; hand long work to another thread.
  using Done = std::function<void(CURLcode result, EasyHandle handle)>;

  // `max_host_connections`: kept-alive connections per host (0: libcurl's default).
  explicit CurlMulti(long max_host_connections = 0);
  // Ends the transfers still going (each gets CURLE_ABORTED_BY_CALLBACK), runs the timers still
  // pending at once (nobody is left waiting on one), and joins the thread.
  ~CurlMulti();
  CurlMulti(const CurlMulti&) = delete;
  CurlMulti& operator=(const CurlMulti&) = delete;

  // Starts `easy` with the options it carries. Thread-safe; `done` may call `add` again.
  void add(EasyHandle easy, Done done);

  // Runs `task` on the driving thread once `delay` has passed (or at once when the multi ends).
  // Thread-safe; `task` must not block, and may call `add` and `after`.
  void after(std::chrono::milliseconds delay, std::function<void()> task);

  // Transfers added and not yet done.
  std::size_t active() const { return active_.load(); }

 private:
  struct Transfer {
    EasyHandle easy;
    Done done;
  };
  struct MultiCloser {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
  };

  using Clock = std::chrono::steady_clock;

  void drive();
  // Runs the timers due by now; answers the wait until the next one, at most `longest` ms.
  int run_due_timers(int longest);

  std::unique_ptr<CURLM, MultiCloser> multi_;
  std::mutex mutex_;
  std::deque<Transfer> incoming_;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
  bool stopping_ = false;
  std::atomic<std::size_t> active_{0};
  std::unordered_map<CURL*, Transfer> running_;  // touched only by the driving thread
  std::thread thread_;
};

}  // namespace rivi
