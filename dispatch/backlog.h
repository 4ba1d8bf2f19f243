// A wider accept queue for cpp-httplib servers. The library as packaged listens with a backlog of
// 5: a burst of simultaneous connections (fifty workers, fifty nodes) overflows it, the kernel
// drops the extra SYNs and their clients retry only after a second. `WideBacklog` remembers the
// listening socket when the library makes it and, once bound, listens on it again with a queue of
// SOMAXCONN (Linux updates the backlog of a socket that is already listening).
#pragma once

#include <httplib.h>

namespace rivi::dispatch {

class WideBacklog {
 public:
  // Installs the socket hook on `server` (keeping the library's default socket options). Must
  // outlive the server's bind.
  explicit WideBacklog(httplib::Server& server);
  WideBacklog(const WideBacklog&) = delete;
  WideBacklog& operator=(const WideBacklog&) = delete;

  // Call after the server is bound. Throws std::runtime_error when no socket was made or the
  // queue cannot be changed.
  void widen() const;

 private:
  int fd_ = -1;
};

}  // namespace rivi::dispatch
