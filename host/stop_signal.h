// How a server program ends and reloads on a signal: SIGINT and SIGTERM stop it, SIGHUP (when the
// program asks for it) reloads its files, each handled on a thread of its own rather than in a
// signal handler; and how its background threads wait without holding up the stop.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stop_token>
#include <thread>

namespace rivi {

// Stops a server program cleanly on SIGINT or SIGTERM: blocks both in the calling thread (so
// threads started afterwards inherit the mask) and calls `on_stop` from a thread that waits for
// them. With `on_reload`, SIGHUP is blocked too and calls `on_reload` on that thread each time it
// comes, the program going on serving. Destruction wakes that thread without calling `on_stop`
// when no signal came, then joins it.
class StopSignalWatcher {
 public:
  explicit StopSignalWatcher(std::function<void()> on_stop, std::function<void()> on_reload = {});
  ~StopSignalWatcher();
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

 private:
  sigset_t signals_;
  std::atomic<bool> ending_{false};
  std::jthread waiter_;
};

// Sleeps for `time` (on the monotonic clock) unless `stop` is requested first; answers false
// when it was.
bool rest(std::stop_token stop, std::chrono::milliseconds time);

}  // namespace rivi
