// WideBacklog, RunControl, StopSignalWatcher.
#include "host/web/server_socket.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace rivi {

WideBacklog::WideBacklog(httplib::Server& server) {
  server.set_socket_options([this](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // Programs this process starts (the scheduler's jobs) must not keep the port open.
    ::fcntl(sock, F_SETFD, FD_CLOEXEC);
    fd_ = sock;
  });
}

void WideBacklog::widen() const {
  if (fd_ < 0) throw std::runtime_error("no listening socket to widen");
  if (::listen(fd_, SOMAXCONN) != 0) throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
}

void RunControl::run(httplib::Server& server) {
  active_ = true;
  if (!stopping_) server.listen_after_bind();
  active_ = false;
}

void RunControl::stop(httplib::Server& server) {
  stopping_ = true;
  while (active_ && !server.is_running()) std::this_thread::yield();
  server.stop();
}

StopSignalWatcher::StopSignalWatcher(std::function<void()> on_stop, std::function<void()> on_reload) {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  if (on_reload) sigaddset(&signals_, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  waiter_ = std::jthread([this, stop = std::move(on_stop), reload = std::move(on_reload)] {
    for (;;) {
      int sig = 0;
      sigwait(&signals_, &sig);
      if (ending_) return;
      if (sig != SIGHUP) return stop();
      reload();
    }
  });
}

StopSignalWatcher::~StopSignalWatcher() {
  ending_ = true;
  pthread_kill(waiter_.native_handle(), SIGTERM);
}

}  // namespace rivi
