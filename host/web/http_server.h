// The HTTP/1.1 server core under the panel's web server, the dispatch centre and the probe node.
// One Asio event loop (Boost.Beast) owns every connection; a connection costs a small session
// object, not a thread, so concurrency is bounded by `Limits::max_connections`, not by a pool.
//
// What no client can do to it:
//   - send an endless head: the whole request head (request line and fields) must arrive within
//     `head_deadline` of the server starting to wait for it, whatever the pace of the bytes;
//   - grow it with headers: past `header_bytes` of head or `header_count` fields the client gets
//     431 and the connection is closed;
//   - grow it with a body: a body longer than `body_bytes` gets 413 and the connection is closed;
//   - grow it with chunk framing: a chunk extension past 256 bytes, or an unterminated one, gets
//     400; a trailer section past `header_bytes` or `header_count` fields gets 431 (trailer fields
//     never reach the handler);
//   - smuggle a request in a body: a Transfer-Encoding other than `chunked` alone gets 400
//     (message_reader.h);
//   - fill it from one address: connections carrying no request being handled (a TLS handshake, a
//     head or body on its way, kept alive between requests) are counted per address; one address
//     holding a quarter of `max_connections` idle makes way for its own newcomer with its oldest
//     idle one (kept-alive ones first; one still waiting for its first request after 2 s), and a
//     full server closes an idle connection of the address holding the most to let in a newcomer
//     from another (idle_connections.h). Past `max_connections` with nothing to close, a new
//     connection is closed at once. Connections with a request in flight are never closed nor
//     counted for this, so the cap may be passed for a moment by one whose eviction met its
//     request.
// After such a refusal the server stops sending, then reads and drops what the client still sends
// for a moment before it closes, so that the client reads the refusal rather than a reset.
//
// Sockets are closed on exec: a program the server's process starts holds no port and no
// connection of it. A HEAD request gets the head of the handler's answer, without its body.
//
// A handler gets the whole request and a `Reply` to complete it exactly once, from any thread,
// now or later. A handler that waits on the network (a fan-out, a probe) returns at once and
// replies when its work ends; a handler that must block hands its work to a thread of its own.
//
// While a handler works on a request the server keeps reading the connection: a client that
// closes or resets it has abandoned the request, and the handler learns so through
// `Reply::on_abandon` at once, so that it can stop work nobody waits for. (A client that only
// shuts down its sending side counts as gone too.) Bytes of a pipelined next request read
// meanwhile are kept for it, up to the head and body limits together; past those the server stops
// watching until the answer is sent.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace rivi::http {

struct Request {
  std::string method;  // "GET", "POST", ...
  std::string target;  // path and query as sent
  std::string path;    // the target before '?'
  std::string query;   // the target after '?', without it
  std::vector<std::pair<std::string, std::string>> headers;  // in the order sent
  std::string body;
  std::string remote;  // the peer's address

  // The first header named `name` (compared without case), or "" when there is none.
  std::string header(std::string_view name) const;
  // The query parameter `name`, percent-decoded, or "" when absent.
  std::string query_param(std::string_view name) const;
};

struct Response {
  int status = 200;
  std::string content_type = "application/json; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;  // extra fields, e.g. Set-Cookie
  std::string body;
  bool close = false;  // close the connection after this answer

  static Response text(int status, std::string body, std::string content_type = "text/plain; charset=utf-8");
};

// Completes one request. Call once; later calls are ignored. Safe from any thread; a reply for
// a connection that has gone away is dropped.
class Reply {
 public:
  struct State;
  explicit Reply(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void operator()(Response response) const;
  // Has `cancel` run once, on the server's loop, if the client goes away before the reply is made;
  // at once, on the calling thread, if it has gone already. Never runs once the reply is made. A
  // reply made after the client went is dropped. `cancel` must not block. A later call replaces
  // the callback of an earlier one.
  void on_abandon(std::function<void()> cancel) const;

 private:
  std::shared_ptr<State> state_;
};

using Handler = std::function<void(Request& request, Reply reply)>;

struct Limits {
  std::size_t header_bytes = 16 * 1024;  // request line and fields together
  std::size_t header_count = 64;
  std::size_t body_bytes = 64 * 1024;
  std::chrono::milliseconds head_deadline{10'000};  // also the keep-alive wait for the next head
  std::chrono::milliseconds body_deadline{30'000};
  std::chrono::milliseconds write_deadline{30'000};
  std::size_t max_connections = 1024;
};

// Why a listening address could not be bound, in plain words for the one who started the
// program: e.g. "the address is already in use (another program listens there)" for
// std::errc::address_in_use, "this machine has no such address" for address_not_available, and
// the system's own message for a code without a wording here. The one wording of the panel, the
// dispatch centre and the probe node.
std::string bind_reason(std::error_code code);

// What `Server::bind` throws: "cannot listen on HOST:PORT: " and the `bind_reason` of `code`, the
// system's reason, kept to compare, e.g. with std::errc::address_in_use.
class BindError : public std::runtime_error {
 public:
  BindError(const std::string& message, std::error_code code) : std::runtime_error(message), code_(code) {}
  std::error_code code() const { return code_; }

 private:
  std::error_code code_;
};

class Server {
 public:
  // `threads` event-loop threads run the loop once started (1 is enough for network waits).
  explicit Server(Handler handler, Limits limits = {}, int threads = 1);
  // Stops and joins the loop threads.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds `host`:`port` (0: any free port) exclusively (SO_REUSEADDR only, never SO_REUSEPORT)
  // and answers the port. `host` is an address or a name that resolves. Throws
  // BindError("cannot listen on HOST:PORT: REASON") when it cannot bind (REASON: `bind_reason`).
  int bind(const std::string& host, int port);
  // Serves HTTPS from now on: connections accepted afterwards must complete a TLS handshake (1.2 or
  // later, within the head deadline) with the certificate chain in `certificate_file` and the key
  // in `key_file`, both PEM. Callable again at any time to replace the certificate; connections
  // already open keep the one they started with. Throws std::runtime_error naming the file that
  // cannot be used, or saying that the key does not belong to the certificate.
  void use_tls(const std::string& certificate_file, const std::string& key_file);
  // How the refusals the server makes itself (400, 413, 431) look; `status` is the code to send.
  // Default: the reason as a line of plain text. The connection is closed after a refusal
  // whatever the answer says. Call before `start` or `run`.
  void set_refusal(std::function<Response(int status)> make);
  // Serves on threads of its own; returns at once. Call after `bind`.
  void start();
  // Serves on the calling thread (and `threads - 1` more) until `stop`; returns at once when
  // `stop` came first.
  void run();
  // Safe from any thread, before, during or after `run`/`start`; idempotent.
  void stop();

  // Has the loop call `turn` whenever `fd` turns readable and, when `turn` answered a number of
  // milliseconds (negative: none), once that time has passed: work that must share the server's
  // thread, such as the transfers of an attached `CurlMulti`. Call before `start`/`run`; `fd` must
  // stay open as long as the server. `turn` must not block.
  void drive(int fd, std::function<int()> turn);

  int port() const;
  // Connections open now.
  std::size_t connections() const;
  // Connections accepted since the start (those closed at once past the cap not counted).
  std::size_t accepted() const;
  // Idle connections closed since the start to let a newcomer in.
  std::size_t evicted() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// Percent-decodes `text`; '+' becomes a space when `plus_is_space`.
std::string url_decode(std::string_view text, bool plus_is_space);

}  // namespace rivi::http
