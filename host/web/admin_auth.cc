#include "host/web/admin_auth.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace rivi {
namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;
constexpr const char* kAlgorithm = "pbkdf2-sha256";

Bytes random_bytes(int n) {
  Bytes out(static_cast<std::size_t>(n));
  if (RAND_bytes(out.data(), n) != 1) throw std::runtime_error("random generator failed");
  return out;
}

std::string to_hex(const Bytes& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

Bytes from_hex(const std::string& text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (text.size() % 2) throw std::runtime_error("odd hex length");
  Bytes out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) throw std::runtime_error("bad hex digit");
    out.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return out;
}

Bytes pbkdf2(const std::string& password, const Bytes& salt, int iterations) {
  Bytes out(kHashBytes);
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), iterations, EVP_sha256(), kHashBytes,
                        out.data()) != 1)
    throw std::runtime_error("PBKDF2 failed");
  return out;
}

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Written by hand rather than with the host's writeFile: the file must never exist, even for a
// moment, with permissions wider than 0600.
void write_private_file(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  auto tmp = path;
  tmp += ".tmp" + random_token(4);
  auto fail = [&](const char* what) {
    std::string msg = std::string("cannot ") + what + " " + path.string() + ": " + std::strerror(errno);
    std::filesystem::remove(tmp);
    throw std::runtime_error(msg);
  };
  {
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) fail("write");
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail("write");
      done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) fail("sync");
    if (::close(fd.release()) != 0) fail("close");
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) fail("rename");
}

}  // namespace

std::filesystem::path admin_password_path() { return root_path("data/admin_password.json"); }

std::string random_token(int bytes) { return to_hex(random_bytes(bytes)); }

std::string random_password() {
  static constexpr char alphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  constexpr unsigned n = sizeof(alphabet) - 1;
  std::string out;
  while (out.size() < 16) {
    for (unsigned char b : random_bytes(32)) {
      if (b >= 256 - 256 % n) continue;  // rejection keeps every letter equally likely
      out += alphabet[b % n];
      if (out.size() == 16) break;
    }
  }
  return out;
}

void set_admin_password(const std::string& password, int iterations) {
  if (password.size() < 8) throw std::invalid_argument("the password must have at least 8 characters");
  if (iterations < 1) throw std::invalid_argument("iterations must be positive");
  Bytes salt = random_bytes(kSaltBytes);
  nlohmann::json stored = {{"algorithm", kAlgorithm},
                           {"iterations", iterations},
                           {"salt", to_hex(salt)},
                           {"hash", to_hex(pbkdf2(password, salt, iterations))}};
  write_private_file(admin_password_path(), stored.dump() + "\n");
}

bool check_admin_password(const std::string& password) {
  auto path = admin_password_path();
  const auto text = public_::ReadFile(path.string());
  if (!text) return false;
  try {
    auto stored = decode(*text);
    if (stored.at("algorithm").get<std::string>() != kAlgorithm) throw std::runtime_error("unknown algorithm");
    int iterations = stored.at("iterations").get<int>();
    if (iterations < 1) throw std::runtime_error("bad iteration count");
    Bytes salt = from_hex(stored.at("salt").get<std::string>());
    Bytes want = from_hex(stored.at("hash").get<std::string>());
    Bytes got = pbkdf2(password, salt, iterations);
    return want.size() == got.size() && CRYPTO_memcmp(want.data(), got.data(), got.size()) == 0;
  } catch (const std::exception& e) {
    throw std::runtime_error("unreadable password file " + path.string() + ": " + e.what());
  }
}

std::optional<std::string> make_admin_password_at_install(std::ostream& out) {
  if (std::filesystem::exists(admin_password_path())) return std::nullopt;
  std::string password = random_password();
  set_admin_password(password);
  out << "panel administrator password: " << password << "\n";
  return password;
}

std::string sha256_hex(std::string_view text) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned size = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  digest.resize(size);
  return to_hex(digest);
}

std::string admin_password_fingerprint() {
  const auto text = public_::ReadFile(admin_password_path().string());
  if (!text) return "";
  try {
    return sha256_hex(*text);
  } catch (const std::exception&) {
    return "unreadable";
  }
}

SessionStore::SessionStore(SessionPolicy policy, Clock clock) : policy_(std::move(policy)), clock_(std::move(clock)) {}

SessionStore::SessionStore(std::chrono::seconds idle, Clock clock) : clock_(std::move(clock)) { policy_.idle = idle; }

std::chrono::steady_clock::time_point SessionStore::now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

std::string SessionStore::generation() const { return policy_.generation ? policy_.generation() : std::string(); }

bool SessionStore::ended(const Entry& e, std::chrono::steady_clock::time_point t, const std::string& generation) const {
  return t - e.last_use >= policy_.idle || t - e.created >= policy_.lifetime || e.generation != generation;
}

SessionStore::Session SessionStore::create() {
  Session s{random_token(), random_token()};
  const std::string current = generation();
  std::lock_guard lock(mutex_);
  auto t = now();
  std::erase_if(sessions_, [&](const auto& kv) { return ended(kv.second, t, current); });
  while (!sessions_.empty() && sessions_.size() >= policy_.max_sessions) {
    auto oldest = std::min_element(sessions_.begin(), sessions_.end(),
                                   [](const auto& a, const auto& b) { return a.second.created < b.second.created; });
    sessions_.erase(oldest);
  }
  sessions_[s.id] = Entry{s.csrf, current, t, t};
  return s;
}

std::optional<SessionStore::Session> SessionStore::find(const std::string& id) {
  const std::string current = generation();
  std::lock_guard lock(mutex_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return std::nullopt;
  auto t = now();
  if (ended(it->second, t, current)) {
    sessions_.erase(it);
    return std::nullopt;
  }
  it->second.last_use = t;
  return Session{id, it->second.csrf};
}

void SessionStore::remove(const std::string& id) {
  std::lock_guard lock(mutex_);
  sessions_.erase(id);
}

LoginThrottle::LoginThrottle(int free_failures, std::chrono::seconds max_wait, Clock clock)
    : free_failures_(free_failures), max_wait_(max_wait), clock_(std::move(clock)) {}

std::chrono::steady_clock::time_point LoginThrottle::now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

std::chrono::seconds LoginThrottle::delay(int failures) const {
  int extra = failures - free_failures_;
  if (extra <= 0) return std::chrono::seconds(0);
  auto d = std::chrono::seconds(1LL << std::min(extra - 1, 20));
  return std::min(d, max_wait_);
}

void LoginThrottle::forget_old(std::chrono::steady_clock::time_point t) {
  std::erase_if(clients_, [&](const auto& kv) { return t - kv.second.last_failure >= std::chrono::hours(1); });
}

std::chrono::seconds LoginThrottle::wait_locked(const std::string& client, std::chrono::steady_clock::time_point t) {
  forget_old(t);
  auto it = clients_.find(client);
  if (it == clients_.end()) return std::chrono::seconds(0);
  auto ready = it->second.last_failure + delay(it->second.failures);
  if (ready <= t) return std::chrono::seconds(0);
  return std::chrono::ceil<std::chrono::seconds>(ready - t);
}

std::chrono::seconds LoginThrottle::wait_for(const std::string& client) {
  std::lock_guard lock(mutex_);
  return wait_locked(client, now());
}

std::chrono::seconds LoginThrottle::reserve(const std::string& client) {
  std::lock_guard lock(mutex_);
  auto t = now();
  if (auto wait = wait_locked(client, t); wait.count() > 0) return wait;
  auto& e = clients_[client];
  ++e.failures;
  e.last_failure = t;
  return std::chrono::seconds(0);
}

void LoginThrottle::failed(const std::string& client) {
  std::lock_guard lock(mutex_);
  auto t = now();
  forget_old(t);
  auto& e = clients_[client];
  ++e.failures;
  e.last_failure = t;
}

void LoginThrottle::succeeded(const std::string& client) {
  std::lock_guard lock(mutex_);
  clients_.erase(client);
}

}  // namespace rivi
