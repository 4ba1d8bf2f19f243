// Test support shared by every test executable: temporary panel roots, free loopback ports,
// child processes and loopback web sites. Nothing here is used outside tests.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rivi::testing {

// The build directory (RIVI_BUILD_DIR, set by CTest) and the source directory (RIVI_SOURCE_DIR).
std::filesystem::path build_dir();
std::filesystem::path source_dir();
// build/bin/<name>
std::string bin(const std::string& name);

// A fresh panel root in a new temporary directory, laid out by `install_panel`, exported as
// PANEL_ROOT for this process (and its children). Removed, and PANEL_ROOT restored, on destruction.
class TempRoot {
 public:
  explicit TempRoot(bool install = true);
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // <root>/<relative>
  std::string file(const std::string& relative) const;
  // Writes <root>/<relative>, creating parent directories.
  void write(const std::string& relative, const std::string& text) const;
  std::string read(const std::string& relative) const;

 private:
  std::filesystem::path path_;
  std::filesystem::path old_cwd_;
  std::string old_root_;
  bool had_old_root_ = false;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

// The whole text of the file at `path`; "" when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// The exit status of `panel call` that printed `out`: 1 when its answer (the last line) is a
// refusal, an object whose `status` is false; else 0.
int call_status(const std::string& out);

// The lines of `text` that contain `needle`.
int count_lines(const std::string& text, const std::string& needle);

// The JOURNAL_STREAM value ("<device>:<inode>") that names the file at `path`, as journald sets it
// for the stream it gives a service's standard error.
std::string journal_stream_of(const std::filesystem::path& path);

// Asks `ready` every 100 ms until it answers true; false when `seconds` passed first.
template <typename Ready>
bool wait_until(Ready ready, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return ready();
}

// What a finished command left.
struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `argv` to its end with `env` added to this process's environment, feeding nothing on
// standard input; kills it after `timeout_seconds`.
RunResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
              int timeout_seconds = 60);

// A program running in the background; killed (SIGTERM, then SIGKILL) and reaped on destruction.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
        const std::string& log_path = "");
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int pid() const { return pid_; }
  bool running();
  // Sends SIGTERM and waits; answers the exit status.
  int stop();

 private:
  int pid_ = -1;
  int status_ = -1;
};

// Waits until something accepts TCP connections on 127.0.0.1:`port`; false after `timeout_ms`.
bool wait_for_port(int port, int timeout_ms = 10000);

// A self-signed certificate naming 127.0.0.1 and its key: `dir`/`name`.pem and `dir`/`name`.key,
// made by the openssl program. Throws std::runtime_error when it fails.
struct CertificateFiles {
  std::string certificate;
  std::string key;
};
CertificateFiles make_certificate(const std::filesystem::path& dir, const std::string& name);

// The DingTalk robot's signature of `timestamp` with `secret` (base64 of HMAC-SHA256 over
// "timestamp\nsecret"), computed independently of the sender.
std::string dingtalk_signature(const std::string& timestamp, const std::string& secret);

// A TCP port on 127.0.0.1 that listens (non-blocking) and never accepts by itself: `accepted()`
// takes and counts the connections made to it so far, to show that something was, or was not,
// reached; a test that serves connections itself accepts on `fd()`.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
  int port() const { return port_; }
  int fd() const { return fd_; }
  int accepted();

 private:
  int fd_ = -1;
  int port_ = 0;
  int accepted_ = 0;
};

// An HTTP server on 127.0.0.1 with routes given by the test, running on its own thread; stopped
// and joined on destruction.
class LoopbackSite {
 public:
  LoopbackSite();
  ~LoopbackSite();
  LoopbackSite(const LoopbackSite&) = delete;
  LoopbackSite& operator=(const LoopbackSite&) = delete;

  httplib::Server& server() { return server_; }
  // Starts listening on a free port (call after adding routes).
  void start();
  int port() const { return port_; }
  std::string url(const std::string& path = "/") const;

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

// A dispatch centre standing in on 127.0.0.1: every POST to /api/local/rivi gets the JSON text
// last given to `answer` ("[]" at first). RIVI_DISPATCH_HOST points at it while it lives.
class StandInCentre {
 public:
  StandInCentre();
  ~StandInCentre();
  void answer(std::string json);
  int port() const { return site_.port(); }

 private:
  std::mutex mu_;
  std::string answer_ = "[]";
  LoopbackSite site_;  // last: stopped before the answer goes
};

// A DingTalk robot standing in on 127.0.0.1: accepts every POST to /send with {"errcode": 0,
// "errmsg": "ok"} and keeps the bodies it received. Like the real robot it may take at most
// `per_minute` messages a minute (0: any number): past that it refuses with errcode 130101 until
// the test says the minute is over (`next_minute`). While down it answers HTTP 503.
class LoopbackRobot {
 public:
  explicit LoopbackRobot(std::size_t per_minute = 0);  // listening on return
  std::string url() const { return site_.url("/send"); }
  int port() const { return site_.port(); }
  std::vector<std::string> bodies() const;
  std::size_t posts() const { return bodies().size(); }
  // Requests refused, for the limit or while down.
  std::size_t refused() const;
  void next_minute();
  void set_down(bool down);

 private:
  mutable std::mutex mu_;
  std::vector<std::string> bodies_;
  std::size_t per_minute_ = 0;
  std::size_t this_minute_ = 0;
  std::size_t refused_ = 0;
  bool down_ = false;
  LoopbackSite site_;  // last: stopped before the bodies go
};

// A listening TCP socket on 127.0.0.1, any free port (set in `port`), close-on-exec, with room for
// `backlog` connections not yet accepted. Throws std::runtime_error when it cannot listen.
int listen_on_loopback(int& port, int backlog);

// Sends `request` on a new connection to 127.0.0.1:`port` and answers all the server sends until it
// closes (or resets) the connection; "" when it does not within 10 s.
std::string raw_exchange(int port, const std::string& request);

// A peer on 127.0.0.1 whose reply never ends: to each connection, once the request (head and
// declared body) is in, it sends `start`, then `block` again and again until the client leaves or
// `most` bytes have gone over all connections, and then waits for the client to close. Connections
// are served one after the other on its own thread, stopped and joined on destruction.
class EndlessReplySite {
 public:
  EndlessReplySite(std::string start, std::string block, std::size_t most = 64u << 20);
  ~EndlessReplySite();
  EndlessReplySite(const EndlessReplySite&) = delete;
  EndlessReplySite& operator=(const EndlessReplySite&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& path = "/") const;
  // Bytes sent so far, over all connections.
  std::size_t sent() const { return sent_.load(); }

 private:
  void serve(int fd);

  std::string start_;
  std::string block_;
  std::size_t most_;
  int port_ = 0;  // set by listener_'s initializer, so declared first
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

}  // namespace rivi::testing
