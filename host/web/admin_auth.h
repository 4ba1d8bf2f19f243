// The panel administrator's login: the password, kept only as a salted PBKDF2-HMAC-SHA256 hash in
// <root>/data/admin_password.json (mode 0600); the web sessions with their CSRF tokens; and the
// slow-down of repeated failed logins. Sessions and failure counts live in memory, owned by the
// web server that made them, so a restart of `panel serve` logs everybody out, and so does a new
// password (sessions belong to the password file they were opened under).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace rivi {

// Iterations of PBKDF2 for a new hash; a stored hash keeps the count it was made with.
inline constexpr int kPasswordIterations = 600000;

// <root>/data/admin_password.json
std::filesystem::path admin_password_path();

// Random text from OpenSSL's generator: `bytes` bytes as lower-case hex (2 * bytes characters).
std::string random_token(int bytes = 32);

// The SHA-256 of `text` as lower-case hex. Throws std::runtime_error when OpenSSL fails.
std::string sha256_hex(std::string_view text);

// A new random password: 16 letters and digits, without look-alikes (0/O, 1/l/I).
std::string random_password();

// Stores the hash of `password` (a fresh 16-byte salt) atomically, replacing any earlier one.
// Throws std::invalid_argument for a password shorter than 8 characters, std::runtime_error
// naming the path when the file cannot be written.
void set_admin_password(const std::string& password, int iterations = kPasswordIterations);

// True when `password` matches the stored hash; false when it does not or no password is set.
// Throws std::runtime_error when the file exists but is not a hash this code wrote.
bool check_admin_password(const std::string& password);

// At install: when no password is stored yet, makes a random one, stores its hash and prints
// it once on `out` as "panel administrator password: <password>". Answers the new password, or
// nothing when one was already set (it is never printed again; `panel passwd` sets a new one).
std::optional<std::string> make_admin_password_at_install(std::ostream& out);

// A digest of the stored password file as it is now ("" when there is none): it changes whenever
// a password is set, even the same one again (a new salt). Throws nothing.
std::string admin_password_fingerprint();

using Clock = std::function<std::chrono::steady_clock::time_point()>;

// How long sessions live and how many there may be.
struct SessionPolicy {
  std::chrono::seconds idle = std::chrono::hours(12);       // since the last use
  std::chrono::seconds lifetime = std::chrono::hours(24 * 7);  // since the login, however used
  std::size_t max_sessions = 1000;                           // past it the oldest login ends
  // The credentials' current generation (e.g. admin_password_fingerprint); a session opened
  // under another generation has ended. Empty: sessions have no generation.
  std::function<std::string()> generation;
};

// Logged-in sessions: an unguessable id (the cookie) mapped to the session's CSRF token. A
// session ends `idle` after its last use, `lifetime` after it was made, when the credentials
// change, or when `max_sessions` newer ones were made after it. Safe to use from the server's
// worker threads.
class SessionStore {
 public:
  explicit SessionStore(SessionPolicy policy = {}, Clock clock = {});
  // The default policy with another idle time.
  SessionStore(std::chrono::seconds idle, Clock clock);

  struct Session {
    std::string id;
    std::string csrf;
  };
  Session create();
  // The live session with this id, refreshing its idle time; nothing when unknown or expired.
  std::optional<Session> find(const std::string& id);
  void remove(const std::string& id);

 private:
  struct Entry {
    std::string csrf;
    std::string generation;
    std::chrono::steady_clock::time_point created;
    std::chrono::steady_clock::time_point last_use;
  };
  std::chrono::steady_clock::time_point now() const;
  std::string generation() const;
  bool ended(const Entry& e, std::chrono::steady_clock::time_point t, const std::string& generation) const;

  SessionPolicy policy_;
  Clock clock_;
  std::mutex mutex_;
  std::map<std::string, Entry> sessions_;
};

// Slows down guessing: after `free_failures` failed logins from one client, each further attempt
// must wait 1 s, 2 s, 4 s, ... (at most `max_wait`) after the previous failure. A success clears
// the client's count. Failures older than an hour are forgotten. A login takes its turn with
// `reserve` before the password is checked, so that guesses sent at once are counted as they
// come in, not as their (slow) checks end.
class LoginThrottle {
 public:
  explicit LoginThrottle(int free_failures = 3, std::chrono::seconds max_wait = std::chrono::seconds(300),
                         Clock clock = {});

  // Zero when `client` may try now, else how long it must still wait.
  std::chrono::seconds wait_for(const std::string& client);
  // In one step: when `client` may try now, counts the attempt as a failure (`succeeded` takes
  // it back) and answers zero; else answers the wait and counts nothing.
  std::chrono::seconds reserve(const std::string& client);
  void failed(const std::string& client);
  void succeeded(const std::string& client);

 private:
  struct Entry {
    int failures = 0;
    std::chrono::steady_clock::time_point last_failure;
  };
  std::chrono::steady_clock::time_point now() const;
  std::chrono::seconds delay(int failures) const;
  void forget_old(std::chrono::steady_clock::time_point now);
  std::chrono::seconds wait_locked(const std::string& client, std::chrono::steady_clock::time_point now);

  int free_failures_;
  std::chrono::seconds max_wait_;
  Clock clock_;
  std::mutex mutex_;
  std::map<std::string, Entry> clients_;
};

}  // namespace rivi
