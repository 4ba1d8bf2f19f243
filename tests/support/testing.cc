#include "tests/support/testing.h"

#include "host/install.h"
#include "host/record.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rivi::testing {
namespace fs = std::filesystem;
namespace {

fs::path env_dir(const char* name, const fs::path& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? fs::path(v) : fallback;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Forks and execs argv with env added; stdout/stderr to the given files (or inherited when empty).
int spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& out_path, const std::string& err_path) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::setpgid(0, 0);
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    if (!out_path.empty()) {
      const int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(fd, 1);
    }
    const std::string& e = err_path.empty() ? out_path : err_path;
    if (!e.empty()) {
      const int fd = ::open(e.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(fd, 2);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

fs::path build_dir() { return env_dir("RIVI_BUILD_DIR", RIVI_DEFAULT_BUILD_DIR); }
fs::path source_dir() { return env_dir("RIVI_SOURCE_DIR", RIVI_DEFAULT_SOURCE_DIR); }
std::string bin(const std::string& name) { return (build_dir() / "bin" / name).string(); }

TempRoot::TempRoot(bool install) {
  std::error_code ec;
  old_cwd_ = fs::current_path(ec);
  std::string templ = (fs::temp_directory_path() / "rivi-root-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("cannot make a temporary directory");
  path_ = templ;
  if (const char* old = std::getenv("PANEL_ROOT")) {
    had_old_root_ = true;
    old_root_ = old;
  }
  ::setenv("PANEL_ROOT", path_.c_str(), 1);
  if (install) install_panel(path_, build_dir() / "bin");
}

TempRoot::~TempRoot() {
  // Module load enters the root; leave it before it is removed so later roots can be made.
  std::error_code cwd_ec;
  fs::current_path(old_cwd_.empty() || !fs::is_directory(old_cwd_) ? fs::path("/") : old_cwd_, cwd_ec);
  if (had_old_root_) ::setenv("PANEL_ROOT", old_root_.c_str(), 1);
  else ::unsetenv("PANEL_ROOT");
  std::error_code ec;
  if (!std::getenv("RIVI_KEEP_ROOTS")) fs::remove_all(path_, ec);
}

std::string TempRoot::file(const std::string& relative) const { return (path_ / relative).string(); }

void TempRoot::write(const std::string& relative, const std::string& text) const {
  const fs::path p = path_ / relative;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

std::string TempRoot::read(const std::string& relative) const { return slurp(path_ / relative); }

int call_status(const std::string& out) {
  const std::size_t end = out.find_last_not_of('\n');
  if (end == std::string::npos) return 0;
  const std::size_t start = out.rfind('\n', end);
  const Record answer = decode(out.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start == std::string::npos ? 0 : start + 1)));
  return answer.is_object() && answer.contains("status") && answer["status"] == false ? 1 : 0;
}

int count_lines(const std::string& text, const std::string& needle) {
  std::istringstream in(text);
  int count = 0;
  for (std::string line; std::getline(in, line);) count += line.find(needle) != std::string::npos;
  return count;
}

std::string journal_stream_of(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path.string());
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot find a free port");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int timeout_seconds) {
  std::string templ = (fs::temp_directory_path() / "rivi-run-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("cannot make a temporary directory");
  const fs::path dir = templ;
  const pid_t pid = spawn(argv, env, (dir / "out").string(), (dir / "err").string());
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.status = decode_status(status);
  result.out = slurp(dir / "out");
  result.err = slurp(dir / "err");
  std::error_code ec;
  fs::remove_all(dir, ec);
  return result;
}

Child::Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, const std::string& log_path)
    : pid_(spawn(argv, env, log_path, log_path)) {}

Child::~Child() { stop(); }

bool Child::running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = decode_status(status);
    pid_ = -1;
    return false;
  }
  return true;
}

int Child::stop() {
  if (pid_ < 0) return status_;
  ::kill(-pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = decode_status(status);
      pid_ = -1;
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  status_ = decode_status(status);
  pid_ = -1;
  return status_;
}

bool wait_for_port(int port, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

LoopbackListener::LoopbackListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() { ::close(fd_); }

int LoopbackListener::accepted() {
  for (int fd; (fd = ::accept(fd_, nullptr, nullptr)) >= 0; ++accepted_) ::close(fd);
  return accepted_;
}

LoopbackRobot::LoopbackRobot(std::size_t per_minute) : per_minute_(per_minute) {
  site_.server().Post("/send", [this](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(mu_);
    if (down_) {
      ++refused_;
      res.status = 503;
      return;
    }
    if (per_minute_ != 0 && this_minute_ >= per_minute_) {
      ++refused_;
      res.set_content(R"({"errcode": 130101, "errmsg": "send too fast, exceed 20 times per minute"})", "application/json");
      return;
    }
    ++this_minute_;
    bodies_.push_back(req.body);
    res.set_content(R"({"errcode": 0, "errmsg": "ok"})", "application/json");
  });
  site_.start();
}

std::vector<std::string> LoopbackRobot::bodies() const {
  std::lock_guard lock(mu_);
  return bodies_;
}

std::size_t LoopbackRobot::refused() const {
  std::lock_guard lock(mu_);
  return refused_;
}

void LoopbackRobot::next_minute() {
  std::lock_guard lock(mu_);
  this_minute_ = 0;
}

void LoopbackRobot::set_down(bool down) {
  std::lock_guard lock(mu_);
  down_ = down;
}

LoopbackSite::LoopbackSite() = default;

CertificateFiles make_certificate(const std::filesystem::path& dir, const std::string& name) {
  CertificateFiles files{(dir / (name + ".pem")).string(), (dir / (name + ".key")).string()};
  const RunResult made = run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                              "-days", "2", "-subj", "/CN=" + name, "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                              files.key, "-out", files.certificate});
  if (made.status != 0) throw std::runtime_error("openssl req failed: " + made.err);
  return files;
}

std::string dingtalk_signature(const std::string& timestamp, const std::string& secret) {
  const std::string text = timestamp + "\n" + secret;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &n);
  unsigned char out[64];
  const int len = EVP_EncodeBlock(out, digest, static_cast<int>(n));
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(len));
}

LoopbackSite::~LoopbackSite() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

void LoopbackSite::start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string LoopbackSite::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string raw_exchange(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("cannot make a socket");
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string out;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno != ECONNRESET) out.clear();  // the time-out
      break;
    }
  }
  ::close(fd);
  return out;
}

int listen_on_loopback(int& port, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port = ntohs(a.sin_port);
  return fd;
}

EndlessReplySite::EndlessReplySite(std::string start, std::string block, std::size_t most)
    : start_(std::move(start)), block_(std::move(block)), most_(most), listener_(listen_on_loopback(port_, 64)) {
  thread_ = std::thread([this] {
    while (!stop_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 50) != 1) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      serve(fd);
      ::close(fd);
    }
  });
}

EndlessReplySite::~EndlessReplySite() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

std::string EndlessReplySite::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void EndlessReplySite::serve(int fd) {
  // Waits up to 50 ms for `fd` to have something to read (or to be closed); false when stopping.
  const auto readable = [&] {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) == 1) return true;
    }
    return false;
  };
  // The request: its head, then as many bytes as it declares.
  std::string request;
  char buf[4096];
  const auto complete = [&request] {
    const auto end = request.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    const auto at = request.find("Content-Length: ");
    const std::size_t length = at == std::string::npos || at > end ? 0 : std::stoul(request.substr(at + 16));
    return request.size() >= end + 4 + length;
  };
  while (!complete()) {
    if (!readable()) return;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    request.append(buf, static_cast<std::size_t>(n));
  }
  const auto send_all = [&](const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
      pollfd p{fd, POLLOUT, 0};
      if (stop_ || ::poll(&p, 1, 50) < 0) return false;
      if (!(p.revents & (POLLOUT | POLLERR | POLLHUP))) continue;
      const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
      sent_ += static_cast<std::size_t>(n);
    }
    return true;
  };
  if (!send_all(start_)) return;
  while (sent_ < most_ && send_all(block_)) {
  }
  while (readable() && ::recv(fd, buf, sizeof buf, 0) > 0) {
  }
}

StandInCentre::StandInCentre() {
  site_.server().Post("/api/local/rivi", [this](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(mu_);
    res.set_content(answer_, "application/json");
  });
  site_.start();
  ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(site_.port())).c_str(), 1);
}

StandInCentre::~StandInCentre() { ::unsetenv("RIVI_DISPATCH_HOST"); }

void StandInCentre::answer(std::string json) {
  std::lock_guard lock(mu_);
  answer_ = std::move(json);
}

}  // namespace rivi::testing
