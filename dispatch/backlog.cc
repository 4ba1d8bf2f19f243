// WideBacklog.
#include "dispatch/backlog.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace rivi::dispatch {

WideBacklog::WideBacklog(httplib::Server& server) {
  server.set_socket_options([this](socket_t sock) {
    httplib::default_socket_options(sock);
    fd_ = sock;
  });
}

void WideBacklog::widen() const {
  if (fd_ < 0) throw std::runtime_error("no listening socket to widen");
  if (::listen(fd_, SOMAXCONN) != 0) throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
}

}  // namespace rivi::dispatch
