// The event-driven HTTP/1.1 server core: one session object per connection, owned through
// shared_from_this by its pending operations, with every limit enforced before a byte is kept.
#include "host/web/http_server.h"

#include "host/web/idle_connections.h"
#include "host/web/message_reader.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include <unistd.h>

namespace rivi::http {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;

// How long, and for how many bytes at most, a refused client's further bytes are read and dropped
// before its connection is closed.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kLingerBytes = 1024 * 1024;

// How long a new connection is spared by its own address's share of idle connections: a client's
// connection handshake (TCP, TLS) and request head take a few round trips, and a burst of them
// must not close its own newest.
constexpr std::chrono::seconds kFreshGrace{2};

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

class SessionBase;

std::string url_decode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int hi = hex_digit(text[i + 1]);
      const int lo = hex_digit(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(plus_is_space && c == '+' ? ' ' : c);
  }
  return out;
}

std::string Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (iequal(key, name)) return value;
  }
  return {};
}

std::string Request::query_param(std::string_view name) const {
  std::string_view rest = query;
  while (!rest.empty()) {
    const auto end = rest.find('&');
    const auto item = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const auto eq = item.find('=');
    if (url_decode(item.substr(0, eq), true) == name) {
      return eq == std::string_view::npos ? std::string() : url_decode(item.substr(eq + 1), true);
    }
  }
  return {};
}

Response Response::text(int status, std::string body, std::string content_type) {
  Response r;
  r.status = status;
  r.body = std::move(body);
  r.content_type = std::move(content_type);
  return r;
}

struct Server::Impl {
  Impl(Handler h, Limits l, int t)
      : handler(std::move(h)),
        limits(l),
        threads(t < 1 ? 1 : t),
        idle(l.max_connections, l.max_connections / 4, kFreshGrace) {}

  Handler handler;
  Limits limits;
  std::function<Response(int status)> refusal;
  int threads;
  net::io_context ioc;
  tcp::acceptor acceptor{ioc};
  int port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> open{0};
  std::atomic<std::size_t> accepted{0};
  std::atomic<std::size_t> evicted{0};
  std::vector<std::thread> loop_threads;
  // Which idle connection makes way for a newcomer: each address may hold a quarter of the
  // connections idle, and a full server lets a newcomer in at the expense of the address holding
  // the most idle ones.
  IdleConnections idle;

  // The TLS context new connections take (none: plain HTTP). A connection keeps the context it
  // started with, so the certificate can be replaced while connections are open.
  std::mutex tls_mutex;
  std::shared_ptr<net::ssl::context> tls;

  std::mutex sessions_mutex;
  std::map<std::uint64_t, std::weak_ptr<SessionBase>> sessions;
  std::uint64_t next_session = 0;

  // Work that shares the loop (`Server::drive`): a descriptor to wait on and a timer.
  struct Driver {
    Driver(net::io_context& ioc, int fd, std::function<int()> t)
        : strand(net::make_strand(ioc)), descriptor(strand), timer(strand), turn(std::move(t)) {
      const int own = ::dup(fd);  // the descriptor object closes its own copy
      if (own < 0) throw std::runtime_error("cannot watch a descriptor");
      descriptor.assign(own);
    }
    net::strand<net::io_context::executor_type> strand;
    net::posix::stream_descriptor descriptor;
    net::steady_timer timer;
    std::function<int()> turn;
    bool waiting = false;
  };
  std::vector<std::shared_ptr<Driver>> drivers;

  void accept(const std::shared_ptr<Impl>& self);
  // Closes connection `id` unless a request of it is being handled by now.
  void evict(std::uint64_t id);
  static void drive_turn(const std::shared_ptr<Impl>& self, const std::shared_ptr<Driver>& driver);
  void start_drivers(const std::shared_ptr<Impl>& self);
  void close_all();
};

// What a reply and the server need of a connection, whether it speaks plain HTTP or HTTPS.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  virtual net::any_io_executor executor() = 0;
  // Begins serving; call once, after the session is registered with the server.
  virtual void start() = 0;
  bool stopping() const { return server_->stopping.load(); }
  // Sends `response`; runs on the session's strand.
  virtual void send(Response response) = 0;
  // Ends the connection from any thread; pending operations end with an error.
  virtual void close() = 0;
  // The same, unless the connection carries a request by the time this runs on its strand.
  virtual void evict() = 0;

 protected:
  SessionBase(std::shared_ptr<Server::Impl> server, std::uint64_t id) : server_(std::move(server)), id_(id) {}
  void forget() {
    {
      std::lock_guard lock(server_->sessions_mutex);
      server_->sessions.erase(id_);
    }
    server_->idle.busy(id_);
    server_->open.fetch_sub(1);
  }

  // Declared first so that it is released last: the loop the stream belongs to lives in it.
  std::shared_ptr<Server::Impl> server_;
  std::uint64_t id_;
};

struct Reply::State {
  std::shared_ptr<SessionBase> session;
  std::atomic<bool> used{false};
  std::mutex mutex;  // guards the two below
  std::function<void()> on_abandon;
  bool abandoned = false;

  // The client went before the reply was made: runs the handler's callback, once.
  void abandon() {
    std::function<void()> cancel;
    {
      std::lock_guard lock(mutex);
      if (abandoned || used.load()) return;
      abandoned = true;
      cancel = std::move(on_abandon);
    }
    if (cancel) cancel();
  }
};

// One connection. `Stream` is a TCP stream, or a TLS stream over one: with TLS the handshake must
// end within the head deadline, and the rest is the same HTTP.
template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

 public:
  Session(tcp::socket socket, std::shared_ptr<Server::Impl> server, std::uint64_t id,
          std::shared_ptr<net::ssl::context> tls)
      : SessionBase(std::move(server), id), tls_(std::move(tls)), executor_(socket.get_executor()) {
    if constexpr (kTls) {
      raw_.emplace(std::move(socket));
    } else {
      stream_.emplace(std::move(socket));
    }
    // Asio accepts without SOCK_CLOEXEC; the flag is set before the connection is used.
    ::fcntl(lowest().socket().native_handle(), F_SETFD, FD_CLOEXEC);
    beast::error_code ec;
    const auto peer = lowest().socket().remote_endpoint(ec);
    if (!ec) {
      remote_ = peer.address().to_string();
      peer_ = peer_key(peer.address());
    }
  }

  ~Session() override { forget(); }

  net::any_io_executor executor() override { return executor_; }

  void start() override {
    net::dispatch(executor_, [self = this->shared_from_this()] {
      if constexpr (kTls) {
        // A client speaking plain HTTP to this port is told so, in plain HTTP, rather than left
        // with a connection closed on it for no reason it can read.
        self->lowest().expires_after(self->server_->limits.head_deadline);
        beast::async_detect_ssl(self->lowest(), self->reader_.buffer(), [self](beast::error_code ec, bool tls) {
          if (ec) return self->shut();
          if (!tls) return self->refuse_plain();
          self->read_first_record();
        });
      } else {
        self->read_head();
      }
    });
  }

  void close() override {
    net::post(executor_, [self = this->shared_from_this()] {
      beast::error_code ec;
      self->lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
      self->lowest().close();
    });
  }

  void evict() override {
    net::post(executor_, [self = this->shared_from_this()] {
      if (self->busy_ || !self->lowest().socket().is_open()) return;
      self->server_->evicted.fetch_add(1);
      beast::error_code ec;
      self->lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
      self->lowest().close();
    });
  }

  void send(Response response) override {
    answered_ = true;
    if (abandoned_) return;  // nobody reads it
    const bool keep = keep_alive_ && !response.close && !server_->stopping.load();
    auto res = std::make_shared<bhttp::response<bhttp::string_body>>(static_cast<bhttp::status>(response.status),
                                                                      version_);
    if (!response.content_type.empty()) res->set(bhttp::field::content_type, response.content_type);
    for (auto& [name, value] : response.headers) res->insert(name, value);
    res->keep_alive(keep);
    if (head_) {
      // The length the body would have, and no body.
      res->content_length(response.body.size());
    } else {
      res->body() = std::move(response.body);
      res->prepare_payload();
    }
    lowest().expires_after(server_->limits.write_deadline);
    bhttp::async_write(*stream_, *res, [self = this->shared_from_this(), res, keep](beast::error_code ec, std::size_t) {
      if (ec == bhttp::error::end_of_stream) ec = {};
      if (ec) return self->shut();
      if (!keep) return self->refused_ ? self->linger() : self->shut();
      if (!self->watching_) return self->read_head();
      // The watch's read ends now, keeping what it has read; its completion reads the next head.
      self->handing_over_ = true;
      beast::error_code ignored;
      self->lowest().socket().cancel(ignored);
    });
  }

 private:
  beast::tcp_stream& lowest() { return stream_ ? beast::get_lowest_layer(*stream_) : *raw_; }

  // Reads until the client's first TLS record (its hello) is in whole, then makes the TLS engine
  // (about 75 KiB: the library's state and record buffers) and hands it what was read. A client
  // that begins a handshake and never finishes its first record thus holds what a plain connection
  // holds, until the head deadline or an eviction ends it.
  void read_first_record() {
    auto& buffer = reader_.buffer();
    if (buffer.size() >= kRecordHeader) {
      const auto* bytes = static_cast<const unsigned char*>(buffer.cdata().data());
      const std::size_t whole = kRecordHeader + (std::size_t{bytes[3]} << 8 | bytes[4]);
      if (buffer.size() >= whole || buffer.size() >= buffer.max_size()) return handshake();
    }
    lowest().async_read_some(buffer.prepare(std::min<std::size_t>(buffer.max_size() - buffer.size(), 4096)),
                             [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                               self->reader_.buffer().commit(n);
                               if (ec) return self->shut();
                               self->read_first_record();
                             });
  }

  void handshake() {
    if constexpr (kTls) {
      stream_.emplace(std::move(*raw_), *tls_);
      raw_.reset();
      stream_->async_handshake(net::ssl::stream_base::server, reader_.buffer().cdata(),
                               // (Boost 1.81 checks this handler as if it took the error alone;
                               // the default lets it pass that check.)
                               [self = this->shared_from_this()](beast::error_code hec, std::size_t used = 0) {
                                 if (hec) return self->shut();
                                 self->reader_.buffer().consume(used);
                                 self->read_head();
                               });
    }
  }

  void read_head() {
    if (server_->stopping.load()) return shut();
    // Waiting for a request: the connection may make way for a newcomer from now on.
    busy_ = false;
    server_->idle.idle(id_, peer_, served_);
    auto& parser = reader_.next();
    // One deadline for the whole head, however slowly its bytes come.
    lowest().expires_after(server_->limits.head_deadline);
    bhttp::async_read_header(*stream_, reader_.buffer(), parser,
                             [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->on_head(ec); });
  }

  void on_head(beast::error_code ec) {
    if (ec) return refuse_or_shut(ec);
    if (const Fault fault = reader_.check_head()) return refuse(fault);
    if (reader_.parser().is_done()) return dispatch_request();
    if (iequal(std::string_view(reader_.parser().get()[bhttp::field::expect]), "100-continue")) {
      static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      lowest().expires_after(server_->limits.write_deadline);
      return net::async_write(*stream_, net::buffer(kContinue),
                              [self = this->shared_from_this()](beast::error_code wec, std::size_t) {
                                if (wec) return self->shut();
                                self->read_body();
                              });
    }
    read_body();
  }

  void read_body() {
    lowest().expires_after(server_->limits.body_deadline);
    bhttp::async_read(*stream_, reader_.buffer(), reader_.parser(),
                      [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                        if (ec) return self->refuse_or_shut(ec);
                        self->dispatch_request();
                      });
  }

  void dispatch_request() {
    if (const Fault fault = reader_.finish()) return refuse(fault);
    // A request is being handled: the connection is nobody's to close until it is answered.
    busy_ = true;
    served_ = true;
    server_->idle.busy(id_);
    // The handler may take as long as its work needs; the client's own time-out bounds it.
    lowest().expires_never();
    auto message = reader_.parser().release();
    version_ = message.version();
    keep_alive_ = message.keep_alive();
    head_ = message.method() == bhttp::verb::head;
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    const auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) request.query = request.target.substr(question + 1);
    for (const auto& field : message) {
      request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    request.body = std::move(message.body());
    request.remote = remote_;

    auto state = std::make_shared<Reply::State>();
    state->session = this->shared_from_this();
    current_ = state;
    answered_ = false;
    Reply reply(state);
    try {
      server_->handler(request, reply);
    } catch (const std::exception& error) {
      reply(Response::text(500, error.what()));
    }
    if (!state->used.load()) watch();
  }

  // While the handler works: reads on, so that a client that hangs up is noticed at once (an end
  // of stream, a reset: the request is abandoned), keeping the bytes of a pipelined next request in
  // the reader's buffer for `read_head`, as far as that bounded buffer takes them.
  void watch() {
    auto& buffer = reader_.buffer();
    if (buffer.size() >= buffer.max_size()) return;
    watching_ = true;
    stream_->async_read_some(buffer.prepare(std::min<std::size_t>(buffer.max_size() - buffer.size(), 4096)),
                            [self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                              self->watching_ = false;
                              self->reader_.buffer().commit(n);
                              if (self->handing_over_) {
                                // The answer is out; a read that failed fails again there.
                                self->handing_over_ = false;
                                return self->read_head();
                              }
                              if (self->answered_) return;  // the connection ended with its answer
                              if (ec) return self->abandon();
                              self->watch();
                            });
  }

  void abandon() {
    abandoned_ = true;
    if (auto state = current_.lock()) state->abandon();
    shut();
  }

  void refuse(Fault fault) { refuse(fault.status, fault.reason); }

  // After a read that failed: its refusal, or, when the peer left or was too slow, the end.
  void refuse_or_shut(beast::error_code ec) {
    if (const Fault fault = reader_.fault_of(ec)) return refuse(fault);
    shut();
  }

  void refuse(int status, const char* text) {
    keep_alive_ = false;
    refused_ = true;
    head_ = false;
    Response r = server_->refusal ? server_->refusal(status) : Response::text(status, text);
    r.status = status;
    r.close = true;
    send(std::move(r));
  }

  // After a refusal the client may still be sending (its body, the rest of its head); closing
  // with those bytes unread would reset the connection, and a reset can destroy the refusal
  // before the client reads it. So: stop sending, drop what comes for a moment, then close.
  void linger() {
    beast::error_code ec;
    lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
    if (ec) return shut();
    drain_ = std::make_unique<std::array<char, 4096>>();
    lowest().expires_after(kLingerTime);
    drain(kLingerBytes);
  }

  // The answer to plain HTTP on an HTTPS port, written below TLS; then the connection ends as after
  // any refusal.
  void refuse_plain() {
    static const std::string kAnswer =
        "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 37\r\n"
        "Connection: close\r\n\r\nthis port speaks HTTPS: ask https://\n";
    lowest().expires_after(server_->limits.write_deadline);
    net::async_write(lowest(), net::buffer(kAnswer), [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->shut();
      self->linger();
    });
  }

  // Reads and drops raw bytes, below TLS when there is TLS.
  void drain(std::size_t left) {
    lowest().async_read_some(net::buffer(*drain_), [self = this->shared_from_this(), left](beast::error_code ec, std::size_t n) {
      if (ec || n >= left) return self->shut();
      self->drain(left - n);
    });
  }

  // Ends the connection without TLS's closing exchange: every answer carries its length, so the
  // client knows it has it all, and a peer that never answers the exchange cannot hold it open.
  void shut() {
    beast::error_code ec;
    lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
    lowest().close();
  }

  static constexpr std::size_t kRecordHeader = 5;  // a TLS record's type, version and length

  std::shared_ptr<net::ssl::context> tls_;  // outlives the stream that uses it
  net::any_io_executor executor_;           // the connection's strand, whichever stream is there
  // With TLS, the TCP stream alone until the client's first record is in (read_first_record);
  // then, and from the start without TLS, the stream the connection speaks.
  std::optional<beast::tcp_stream> raw_;
  std::optional<Stream> stream_;
  // Every read of the connection, bounded: the head's bytes at most are buffered at any time.
  MessageReader<true> reader_{{server_->limits.header_bytes, server_->limits.header_count, server_->limits.body_bytes}};
  std::string remote_;
  std::string peer_;      // the key its address is counted under among idle connections
  bool busy_ = false;     // a request of it is being handled
  bool served_ = false;   // it has carried a request before
  unsigned version_ = 11;
  bool keep_alive_ = true;
  bool head_ = false;     // the request being answered is a HEAD
  bool refused_ = false;  // the connection ends with a refusal
  std::unique_ptr<std::array<char, 4096>> drain_;
  std::weak_ptr<Reply::State> current_;  // the request being handled (its state holds this session)
  bool answered_ = false;      // the request being handled has its answer
  bool abandoned_ = false;     // its client went before the answer
  bool watching_ = false;      // a read of `watch` is pending
  bool handing_over_ = false;  // that read was cancelled for `read_head`
};

void Reply::operator()(Response response) const {
  if (!state_ || state_->used.exchange(true)) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->on_abandon = nullptr;  // lets go of what it holds
  }
  auto session = std::move(state_->session);
  if (session->stopping()) return;
  auto executor = session->executor();
  net::post(executor, [session = std::move(session), r = std::move(response)]() mutable { session->send(std::move(r)); });
}

void Reply::on_abandon(std::function<void()> cancel) const {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->used.load()) return;
    if (!state_->abandoned) {
      state_->on_abandon = std::move(cancel);
      return;
    }
  }
  cancel();
}

void Server::Impl::accept(const std::shared_ptr<Impl>& self) {
  acceptor.async_accept(net::make_strand(ioc), [self](beast::error_code ec, tcp::socket socket) {
    if (self->stopping.load() || !self->acceptor.is_open()) return;
    if (!ec) {
      beast::error_code peer_error;
      const auto peer = socket.remote_endpoint(peer_error);
      const std::string key = peer_error ? std::string() : peer_key(peer.address());
      const auto admission = self->idle.admit(key, self->open.load());
      if (!admission.admit) {
        // Refused, not queued: the client learns at once that the server is full.
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        if (admission.evict) self->evict(*admission.evict);
        self->open.fetch_add(1);
        self->accepted.fetch_add(1);
        // Answers go out as soon as they are written, not held back for the peer's delayed ACK.
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        std::shared_ptr<net::ssl::context> context;
        {
          std::lock_guard lock(self->tls_mutex);
          context = self->tls;
        }
        std::shared_ptr<SessionBase> session;
        {
          std::lock_guard lock(self->sessions_mutex);
          const auto id = self->next_session++;
          if (context) {
            session = std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(std::move(socket), self, id,
                                                                                    std::move(context));
          } else {
            session = std::make_shared<Session<beast::tcp_stream>>(std::move(socket), self, id, nullptr);
          }
          self->sessions.emplace(id, session);
          self->idle.idle(id, key, false);
        }
        session->start();
      }
    } else if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space) {
      // Out of file descriptors: pause briefly instead of spinning on the error.
      auto timer = std::make_shared<net::steady_timer>(self->ioc, std::chrono::milliseconds(50));
      timer->async_wait([self, timer](beast::error_code) { self->accept(self); });
      return;
    }
    self->accept(self);
  });
}

void Server::Impl::evict(std::uint64_t id) {
  std::shared_ptr<SessionBase> session;
  {
    std::lock_guard lock(sessions_mutex);
    if (const auto it = sessions.find(id); it != sessions.end()) session = it->second.lock();
  }
  if (session) session->evict();
}

void Server::Impl::drive_turn(const std::shared_ptr<Impl>& self, const std::shared_ptr<Driver>& d) {
  if (self->stopping.load()) return;
  const int next = d->turn();
  if (!d->waiting) {
    d->waiting = true;
    d->descriptor.async_wait(net::posix::descriptor_base::wait_read, [self, d](beast::error_code ec) {
      d->waiting = false;
      if (!ec) drive_turn(self, d);
    });
  }
  if (next < 0) {
    d->timer.cancel();
    return;
  }
  d->timer.expires_after(std::chrono::milliseconds(next));  // cancels the wait set before
  d->timer.async_wait([self, d](beast::error_code ec) {
    if (!ec) drive_turn(self, d);
  });
}

void Server::Impl::start_drivers(const std::shared_ptr<Impl>& self) {
  for (const auto& d : drivers) net::post(d->strand, [self, d] { drive_turn(self, d); });
}

void Server::Impl::close_all() {
  beast::error_code ec;
  acceptor.close(ec);
  for (const auto& d : drivers) {
    net::post(d->strand, [d] {
      beast::error_code ignored;
      d->timer.cancel();
      d->descriptor.close(ignored);
    });
  }
  std::vector<std::shared_ptr<SessionBase>> live;
  {
    std::lock_guard lock(sessions_mutex);
    for (auto& [id, weak] : sessions) {
      if (auto s = weak.lock()) live.push_back(std::move(s));
    }
  }
  for (auto& s : live) s->close();
}

Server::Server(Handler handler, Limits limits, int threads)
    : impl_(std::make_shared<Impl>(std::move(handler), limits, threads)) {}

Server::~Server() {
  stop();
  for (auto& t : impl_->loop_threads) {
    if (t.joinable()) t.join();
  }
  // Let the aborted operations run their handlers so every session lets go of the server.
  impl_->ioc.restart();
  while (impl_->ioc.poll() > 0) {
  }
}

std::string bind_reason(std::error_code code) {
  if (code == std::errc::address_in_use) return "the address is already in use (another program listens there)";
  if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
    return "permission denied (ports below 1024 need root or CAP_NET_BIND_SERVICE)";
  if (code == std::errc::address_not_available) return "this machine has no such address";
  if (code == std::errc::address_family_not_supported)
    return "this machine does not support the address's family (IPv4 or IPv6 is switched off)";
  // The resolver's codes for a host name.
  const std::error_code not_found = boost::system::error_code(net::error::host_not_found);
  const std::error_code no_data = boost::system::error_code(net::error::no_data);
  const std::error_code try_again = boost::system::error_code(net::error::host_not_found_try_again);
  if (code == not_found || code == no_data) return "the host name does not resolve to an address";
  if (code == try_again) return "the host name could not be looked up now (the name service did not answer)";
  return code.message();
}

int Server::bind(const std::string& host, int port) {
  const std::string where = host + ":" + std::to_string(port);
  const auto fail = [&](std::error_code code) {
    beast::error_code ignored;
    impl_->acceptor.close(ignored);
    return BindError("cannot listen on " + where + ": " + bind_reason(code), code);
  };
  try {
    tcp::resolver resolver(impl_->ioc);
    const auto results = resolver.resolve(host, std::to_string(port), tcp::resolver::passive);
    if (results.empty()) throw fail(boost::system::error_code(net::error::host_not_found));
    const tcp::endpoint endpoint = *results.begin();
    // Made close-on-exec from the start: no program started meanwhile may inherit the port.
    const int fd = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) throw boost::system::system_error(errno, boost::system::system_category());
    beast::error_code assigned;
    impl_->acceptor.assign(endpoint.protocol(), fd, assigned);
    if (assigned) {
      ::close(fd);
      throw boost::system::system_error(assigned);
    }
    impl_->acceptor.set_option(net::socket_base::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen(net::socket_base::max_listen_connections);
    impl_->port = impl_->acceptor.local_endpoint().port();
  } catch (const boost::system::system_error& error) {
    throw fail(error.code());
  }
  return impl_->port;
}

void Server::drive(int fd, std::function<int()> turn) {
  impl_->drivers.push_back(std::make_shared<Impl::Driver>(impl_->ioc, fd, std::move(turn)));
}

void Server::start() {
  if (impl_->stopping.load()) return;
  impl_->accept(impl_);
  impl_->start_drivers(impl_);
  for (int i = 0; i < impl_->threads; ++i) {
    impl_->loop_threads.emplace_back([impl = impl_] { impl->ioc.run(); });
  }
}

void Server::run() {
  if (impl_->stopping.load()) return;
  impl_->accept(impl_);
  impl_->start_drivers(impl_);
  std::vector<std::thread> extra;
  for (int i = 1; i < impl_->threads; ++i) extra.emplace_back([impl = impl_] { impl->ioc.run(); });
  impl_->ioc.run();
  for (auto& t : extra) t.join();
}

void Server::stop() {
  if (impl_->stopping.exchange(true)) return;
  // Closing runs on the loop; with the acceptor and every connection closed the loop runs out
  // of work and `run` returns.
  net::post(impl_->ioc, [impl = impl_] { impl->close_all(); });
}

void Server::use_tls(const std::string& certificate_file, const std::string& key_file) {
  auto context = std::make_shared<net::ssl::context>(net::ssl::context::tls_server);
  context->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                       net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1 |
                       net::ssl::context::single_dh_use);
  try {
    context->use_certificate_chain_file(certificate_file);
  } catch (const boost::system::system_error& error) {
    throw std::runtime_error("cannot use the TLS certificate " + certificate_file + ": " + error.code().message());
  }
  try {
    context->use_private_key_file(key_file, net::ssl::context::pem);
  } catch (const boost::system::system_error& error) {
    if (ERR_GET_REASON(static_cast<unsigned long>(error.code().value())) == X509_R_KEY_VALUES_MISMATCH) {
      throw std::runtime_error("the TLS key " + key_file + " does not belong to the certificate " + certificate_file);
    }
    throw std::runtime_error("cannot use the TLS key " + key_file + ": " + error.code().message());
  }
  // A connection's TLS record buffers (about 34 KiB) are freed while it has nothing in flight:
  // connections that wait (a begun handshake, a kept-alive idle one) cost a few KiB each.
  SSL_CTX_set_mode(context->native_handle(), SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
    throw std::runtime_error("the TLS key " + key_file + " does not belong to the certificate " + certificate_file);
  }
  std::lock_guard lock(impl_->tls_mutex);
  impl_->tls = std::move(context);
}

void Server::set_refusal(std::function<Response(int status)> make) { impl_->refusal = std::move(make); }

int Server::port() const { return impl_->port; }

std::size_t Server::connections() const { return impl_->open.load(); }

std::size_t Server::accepted() const { return impl_->accepted.load(); }

std::size_t Server::evicted() const { return impl_->evicted.load(); }

}  // namespace rivi::http
