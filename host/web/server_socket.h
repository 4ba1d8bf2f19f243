// A wider accept queue for cpp-httplib servers. The library as packaged listens with a backlog of
// 5: a burst of simultaneous connections (fifty workers, fifty nodes) overflows it, the kernel
// drops the extra SYNs and their clients retry only after a second. `WideBacklog` remembers the
// listening socket when the library makes it and, once bound, listens on it again with a queue of
// SOMAXCONN (Linux updates the backlog of a socket that is already listening).
//
// It also replaces the library's default socket options, which set SO_REUSEPORT: with that, a
// second server started on a port already in use binds without error and the kernel splits the
// connections between the two. Only SO_REUSEADDR is set, so a restart right after a stop still
// binds, and a port in use is a clear bind error. The listening socket is closed on exec, so a
// program the server's process starts does not hold the port after the server has gone.
#pragma once

#include <httplib.h>

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace rivi {

class WideBacklog {
 public:
  // Installs the socket hook on `server`. Must outlive the server's bind.
  explicit WideBacklog(httplib::Server& server);
  WideBacklog(const WideBacklog&) = delete;
  WideBacklog& operator=(const WideBacklog&) = delete;

  // Call after the server is bound. Throws std::runtime_error when no socket was made or the
  // queue cannot be changed.
  void widen() const;

 private:
  int fd_ = -1;
};

// Runs and stops a bound server so that a stop never gets lost: the library's `stop` does nothing
// until its accept loop has started, so a stop that comes first (a signal at start-up, a test that
// ends at once) would leave `run` serving for ever. Here a stop either prevents the run or waits
// for the loop to start and then ends it.
class RunControl {
 public:
  // Serves until `stop`; returns at once when `stop` came first.
  void run(httplib::Server& server);
  // Safe from any thread, before, during or after `run`.
  void stop(httplib::Server& server);

 private:
  std::atomic<bool> stopping_{false};
  std::atomic<bool> active_{false};
};

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

}  // namespace rivi
