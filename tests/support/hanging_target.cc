#include "tests/support/hanging_target.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace rivi::testing {

HangingTarget::HangingTarget()
    : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listener_ < 0 || wake_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
      ::listen(listener_, 4096) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (listener_ >= 0) ::close(listener_);
    if (wake_ >= 0) ::close(wake_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { serve(); });
}

HangingTarget::~HangingTarget() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
  thread_.join();
  ::close(listener_);
  ::close(wake_);
}

bool HangingTarget::wait_open(std::size_t count, std::chrono::milliseconds limit) const {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (open() != count) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void HangingTarget::serve() {
  std::vector<pollfd> fds{{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
  for (;;) {
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents) break;
    if (fds[1].revents) {
      for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        fds.push_back({fd, POLLIN, 0});
      }
    }
    for (std::size_t i = 2; i < fds.size();) {
      bool gone = false;
      if (fds[i].revents) {
        char drop[4096];
        const ssize_t n = ::recv(fds[i].fd, drop, sizeof drop, 0);  // the request, then the end
        gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
      }
      if (gone) {
        ::close(fds[i].fd);
        fds[i] = fds.back();
        fds.pop_back();
      } else {
        ++i;
      }
    }
    open_.store(fds.size() - 2);
  }
  for (std::size_t i = 2; i < fds.size(); ++i) ::close(fds[i].fd);
}

}  // namespace rivi::testing
