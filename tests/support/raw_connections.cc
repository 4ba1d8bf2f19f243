#include "tests/support/raw_connections.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace rivi::testing {

RawConnections::RawConnections(int port, int count) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      fds_.push_back(fd);
    } else {
      ::close(fd);
    }
  }
}

void RawConnections::send_all(const std::string& data) {
  for (const int fd : fds_) [[maybe_unused]] const auto sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
}

std::string RawConnections::exchange(const std::string& data) {
  if (fds_.empty()) return "";
  timeval patience{20, 0};
  ::setsockopt(fds_[0], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  if (::send(fds_[0], data.data(), data.size(), MSG_NOSIGNAL) < 0) return "";
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fds_[0], buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<std::size_t>(n));
  return answer;
}

void RawConnections::close() {
  for (const int fd : fds_) ::close(fd);
  fds_.clear();
}

std::string form_post(const std::string& path, const std::string& form) {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n" +
         "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n" + form;
}

}  // namespace rivi::testing
