#include "host/cron/job_lock.h"

#include "host/paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace rivi {

std::filesystem::path job_lock_path(std::int64_t job_id) { return root_path(fmt::format("cron/{}.lock", job_id)); }

std::optional<JobLock> JobLock::try_take(std::int64_t job_id) {
  const std::filesystem::path path = job_lock_path(job_id);
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error(fmt::format("cannot open {}: {}", path.string(), std::strerror(errno)));
  JobLock lock(fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::nullopt;
    throw std::runtime_error(fmt::format("cannot lock {}: {}", path.string(), std::strerror(errno)));
  }
  return lock;
}

JobLock::~JobLock() {
  if (fd_ >= 0) ::close(fd_);
}

JobLock::JobLock(JobLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

JobLock& JobLock::operator=(JobLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void JobLock::note_pid(pid_t pid) {
  const std::string text = std::to_string(pid) + "\n";
  if (::ftruncate(fd_, 0) != 0) return;
  [[maybe_unused]] const ssize_t written = ::pwrite(fd_, text.data(), text.size(), 0);
}

pid_t job_lock_holder(std::int64_t job_id) {
  const std::filesystem::path path = job_lock_path(job_id);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;  // never locked, or removed with its job
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) return 0;  // released on close
  if (errno != EWOULDBLOCK) return 0;
  std::array<char, 32> text{};
  const ssize_t n = ::pread(fd, text.data(), text.size() - 1, 0);
  pid_t pid = -1;
  if (n > 0) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + n, pid);
    if (error != std::errc() || pid <= 0) pid = -1;
  }
  return pid;
}

}  // namespace rivi
