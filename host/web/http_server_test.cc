// The server core against raw loopback sockets: limits, deadlines, the connection cap, replies
// from other threads, exclusive binding, the reasons a bind fails, HTTPS, and clients that hang
// up or pipeline while their request is handled.
#include "host/web/http_server.h"

#include "host/net/curl_handles.h"
#include "tests/support/testing.h"

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rivi::http {
namespace {

using namespace std::chrono_literals;

// A blocking loopback client socket with a receive time-out, closed on destruction; from the
// loopback address `source` when given (e.g. "127.0.0.2", another peer to the server).
class Client {
 public:
  explicit Client(int port, const char* source = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (source) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      ::inet_pton(AF_INET, source, &from.sin_addr);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  bool send(const std::string& data) { return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size()); }

  // Reads until `stop` appears in what was read, the peer closes, or the time-out passes.
  std::string read_until(const std::string& stop) {
    std::string out;
    char buf[4096];
    while (out.find(stop) == std::string::npos) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        // An orderly close, or a reset when the server closed with our request unread.
        closed_ = n == 0 || errno == ECONNRESET;
        break;
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  // Reads one whole response whose body is `body_size` bytes after the head.
  std::string read_response() {
    std::string out = read_until("\r\n\r\n");
    const auto length_at = out.find("Content-Length: ");
    if (length_at == std::string::npos) return out;
    const std::size_t length = std::stoul(out.substr(length_at + 16));
    const std::size_t want = out.find("\r\n\r\n") + 4 + length;
    char buf[4096];
    while (out.size() < want) {
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  // True when the server closed the connection (reads end with no more data).
  bool closed_by_peer() {
    read_until("\x01never\x01");
    return closed_;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
};

Response echo(const Request& request) {
  Response r;
  r.content_type = "text/plain";
  r.body = request.method + " " + request.path + " q=" + request.query_param("q") + " body=" + request.body +
           " x=" + request.header("x-test");
  return r;
}

struct Running {
  explicit Running(Handler handler, Limits limits = {}) : server(std::move(handler), limits) {
    port = server.bind("127.0.0.1", 0);
    server.start();
  }
  Server server;
  int port = 0;
};

TEST(HttpServer, AnswersRequestsAndKeepsTheConnectionAlive) {
  Running s([](Request& req, Reply reply) { reply(echo(req)); });
  Client c(s.port);
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.send("GET /a?q=%E4%BD%A0+b HTTP/1.1\r\nHost: x\r\nX-Test: yes\r\n\r\n"));
  auto first = c.read_response();
  EXPECT_NE(first.find("HTTP/1.1 200 OK"), std::string::npos) << first;
  EXPECT_NE(first.find("GET /a q=你 b body= x=yes"), std::string::npos) << first;
  ASSERT_TRUE(c.send("POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"));
  auto second = c.read_response();
  EXPECT_NE(second.find("POST /b q= body=hello x="), std::string::npos) << second;
}

TEST(HttpServer, RefusesOversizedHeadsAndBodiesAndCloses) {
  Limits limits;
  limits.header_bytes = 4096;
  limits.header_count = 10;
  limits.body_bytes = 100;
  Running s([](Request& req, Reply reply) { reply(echo(req)); }, limits);

  {  // too many fields
    Client c(s.port);
    std::string head = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 11; ++i) head += "X-" + std::to_string(i) + ": 1\r\n";
    c.send(head + "\r\n");
    EXPECT_NE(c.read_response().find("HTTP/1.1 431"), std::string::npos);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {  // one endless header line
    Client c(s.port);
    c.send("GET / HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(8192, 'a'));
    EXPECT_NE(c.read_until("\r\n\r\n").find("HTTP/1.1 431"), std::string::npos);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {  // a declared body past the limit is refused before it is read
    Client c(s.port);
    c.send("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 101\r\n\r\n");
    EXPECT_NE(c.read_response().find("HTTP/1.1 413"), std::string::npos);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {  // a chunked body that grows past the limit
    Client c(s.port);
    std::string chunk(80, 'b');
    c.send("POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n50\r\n" + chunk + "\r\n50\r\n" + chunk +
           "\r\n0\r\n\r\n");
    EXPECT_NE(c.read_response().find("HTTP/1.1 413"), std::string::npos);
  }
  {  // garbage is a 400
    Client c(s.port);
    c.send("NOT HTTP AT ALL\r\n\r\n");
    EXPECT_NE(c.read_response().find("HTTP/1.1 400"), std::string::npos);
  }
  {  // and the server still answers a normal request
    Client c(s.port);
    c.send("GET /ok HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(c.read_response().find("200 OK"), std::string::npos);
  }
}

// A chunked body's framing is held to the head's bounds: an extension past 256 bytes, a chunk line
// or a trailer section that never ends, and too many trailer fields are refused, and the
// connection closed, after a bounded number of bytes; trailer fields never reach the handler.
TEST(HttpServer, ChunkLinesAndTrailersAreBoundedAndTrailersNeverBecomeHeaders) {
  Limits limits;
  limits.header_bytes = 4096;
  limits.header_count = 10;
  Running s([](Request& req, Reply reply) { reply(echo(req)); }, limits);
  const std::string head = "POST /c HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  {
    Client c(s.port);
    c.send(head + "3;" + std::string(200, 'e') + "\r\nabc\r\n2;n=\"v\"\r\nde\r\n0\r\nX-Test: smuggled\r\n\r\n");
    const std::string answer = c.read_response();
    EXPECT_TRUE(answer.ends_with("POST /c q= body=abcde x=")) << answer;
  }
  std::string many_trailers = "0\r\n";
  for (int i = 0; i < 11; ++i) many_trailers += "T-" + std::to_string(i) + ": 1\r\n";
  struct Case {
    const char* name;
    std::string body;
    const char* status;
  };
  const Case cases[] = {
      {"a long extension", "1;" + std::string(300, 'a') + "\r\nx\r\n0\r\n\r\n", "HTTP/1.1 400"},
      {"an endless extension", "1;" + std::string(8000, 'a'), "HTTP/1.1 400"},
      {"an endless trailer", "1\r\nx\r\n0\r\nX-T: " + std::string(8000, 'a'), "HTTP/1.1 431"},
      {"too many trailer fields", many_trailers + "\r\n", "HTTP/1.1 431"},
  };
  for (const Case& k : cases) {
    Client c(s.port);
    c.send(head + k.body);
    EXPECT_EQ(c.read_response().rfind(k.status, 0), 0u) << k.name;
    EXPECT_TRUE(c.closed_by_peer()) << k.name;
  }
  Client after(s.port);
  after.send("GET /ok HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(after.read_response().find("200 OK"), std::string::npos);
}

// A Transfer-Encoding other than `chunked` alone leaves the body's end unknown: the request is
// refused and the connection closed, so that no body is ever read as a request of its own.
TEST(HttpServer, TransferEncodingOtherThanChunkedAloneIsRefused) {
  std::mutex mutex;
  std::vector<std::string> seen;
  Running s([&](Request& req, Reply reply) {
    {
      std::lock_guard lock(mutex);
      seen.push_back(req.path);
    }
    reply(echo(req));
  });
  const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
  for (const std::string te : {"Transfer-Encoding: chunked, identity\r\n", "Transfer-Encoding: xchunked\r\n",
                               "Transfer-Encoding: identity\r\n", "Transfer-Encoding: chunked, chunked\r\n",
                               "Transfer-Encoding: gzip, chunked\r\n",
                               "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n"}) {
    Client c(s.port);
    c.send("POST /a HTTP/1.1\r\nHost: x\r\n" + te + "\r\n" + smuggled);
    EXPECT_EQ(c.read_response().rfind("HTTP/1.1 400", 0), 0u) << te;
    EXPECT_TRUE(c.closed_by_peer()) << te;
  }
  {
    Client c(s.port);
    c.send("POST /a HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled);
    EXPECT_EQ(c.read_response().rfind("HTTP/1.1 400", 0), 0u);
  }
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(seen.empty()) << seen.front();
  }
  Client chunked(s.port);  // `chunked` alone, in any case and spacing, is read as ever
  chunked.send("POST /b HTTP/1.1\r\nHost: x\r\nTransfer-Encoding:  Chunked \r\n\r\n2\r\nok\r\n0\r\n\r\n");
  EXPECT_TRUE(chunked.read_response().ends_with("POST /b q= body=ok x=")) << "chunked alone";
}

TEST(HttpServer, TheWholeHeadHasOneDeadlineHoweverSlowlyItComes) {
  Limits limits;
  limits.head_deadline = 300ms;
  Running s([](Request& req, Reply reply) { reply(echo(req)); }, limits);
  Client c(s.port);
  c.send("GET / HTTP/1.1\r\n");
  // One header line every 100 ms would keep a per-read time-out waiting for ever; here the
  // connection ends long before the forty lines are sent.
  bool cut = false;
  for (int i = 0; i < 40 && !cut; ++i) {
    std::this_thread::sleep_for(100ms);
    cut = !c.send("X-Drip-" + std::to_string(i) + ": 1\r\n");
  }
  EXPECT_TRUE(cut || c.closed_by_peer());
  Client fresh(s.port);
  fresh.send("GET /ok HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(fresh.read_response().find("200 OK"), std::string::npos);
}

TEST(HttpServer, ConnectionsPastTheCapAreClosedAtOnce) {
  Limits limits;
  limits.max_connections = 2;
  Running s([](Request& req, Reply reply) { reply(echo(req)); }, limits);
  Client a(s.port), b(s.port);
  // Make sure both are accepted before the third arrives.
  a.send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n");
  b.send("GET /b HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_NE(a.read_response().find("200"), std::string::npos);
  ASSERT_NE(b.read_response().find("200"), std::string::npos);
  Client third(s.port);
  third.send("GET /c HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(third.closed_by_peer());
  a.send("GET /a2 HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(a.read_response().find("GET /a2"), std::string::npos);
}

// Waits up to 5 s for `done`.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(10ms);
  return done();
}

// Connections that carry nothing from one address make way for each other and never lock another
// address out; connections with a request in flight are never closed for anyone.
TEST(HttpServer, IdleConnectionsOfOneAddressMakeWayAndNeverLockOthersOut) {
  Limits limits;
  limits.max_connections = 8;  // each address may hold 2 idle
  std::mutex mutex;
  std::vector<Reply> held;
  Running s(
      [&](Request& req, Reply reply) {
        if (req.path != "/hold") return reply(echo(req));
        std::lock_guard lock(mutex);
        held.push_back(std::move(reply));
      },
      limits);
  const std::string get = "GET /kept HTTP/1.1\r\nHost: x\r\n\r\n";
  std::vector<std::unique_ptr<Client>> busy;
  for (int i = 0; i < 4; ++i) {
    busy.push_back(std::make_unique<Client>(s.port));
    busy.back()->send("GET /hold HTTP/1.1\r\nHost: x\r\n\r\n");
  }
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return held.size() == 4;
  }));

  // Twenty connections kept alive after a request each: the address keeps its two newest (three
  // when the last but one had not been taken back as idle when the last came).
  std::vector<std::unique_ptr<Client>> kept;
  for (int i = 0; i < 20; ++i) {
    kept.push_back(std::make_unique<Client>(s.port));
    kept.back()->send(get);
    ASSERT_NE(kept.back()->read_response().find("GET /kept"), std::string::npos) << i;
  }
  ASSERT_TRUE(eventually([&] { return s.server.evicted() + s.server.connections() == 24; }));
  EXPECT_LE(s.server.connections(), 4u + 3u);
  for (int i = 0; i < 17; ++i) EXPECT_TRUE(kept[i]->closed_by_peer()) << i;
  Client same(s.port);
  same.send("GET /same HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(same.read_response().find("GET /same"), std::string::npos);

  // Twenty that never send a thing fill the server; another address is still let in.
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<Client>(s.port));
  ASSERT_TRUE(eventually([&] { return s.server.connections() == 8; }));
  Client other(s.port, "127.0.0.2");
  other.send("GET /other HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(other.read_response().find("GET /other"), std::string::npos);

  {
    std::lock_guard lock(mutex);
    for (auto& reply : held) reply(Response::text(200, "held"));
  }
  for (auto& c : busy) EXPECT_NE(c->read_response().find("held"), std::string::npos);
}

TEST(HttpServer, HundredsOfRequestsWaitAtOnceWithoutAThreadEach) {
  // One loop thread; every handler keeps its reply until all requests have arrived, then another
  // thread answers them all. A server that needed a thread per waiting request would stall.
  constexpr int kClients = 200;
  std::mutex mutex;
  std::vector<Reply> waiting;
  Running s([&](Request& req, Reply reply) {
    std::lock_guard lock(mutex);
    (void)req;
    waiting.push_back(reply);
  });
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(s.port));
    clients.back()->send("GET /w" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n\r\n");
  }
  for (int spins = 0; spins < 500; ++spins) {
    {
      std::lock_guard lock(mutex);
      if (waiting.size() == kClients) break;
    }
    std::this_thread::sleep_for(10ms);
  }
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(waiting.size(), static_cast<std::size_t>(kClients));
  }
  std::thread answerer([&] {
    std::lock_guard lock(mutex);
    for (auto& reply : waiting) {
      reply(Response::text(200, "late"));
      reply(Response::text(500, "a second reply is ignored"));
    }
  });
  answerer.join();
  for (auto& c : clients) EXPECT_NE(c->read_response().find("200 OK"), std::string::npos);
}

TEST(HttpServer, BindsExclusivelyAndNamesTheReason) {
  Server first([](Request&, Reply reply) { reply(Response::text(200, "")); });
  const int port = first.bind("127.0.0.1", 0);
  Server second([](Request&, Reply reply) { reply(Response::text(200, "")); });
  try {
    second.bind("127.0.0.1", port);
    FAIL() << "a second server bound a port in use";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "cannot listen on 127.0.0.1:" + std::to_string(port) +
                                             ": the address is already in use (another program listens there)");
  }
  // An address of no interface here (a documentation address): the bind fails on this machine,
  // nothing goes out on the network.
  try {
    second.bind("192.0.2.1", port);
    FAIL() << "bound an address this machine does not have";
  } catch (const BindError& error) {
    EXPECT_EQ(error.code(), std::errc::address_not_available);
    EXPECT_EQ(std::string(error.what()),
              "cannot listen on 192.0.2.1:" + std::to_string(port) + ": this machine has no such address");
  }
}

// The reasons a bind fails, as the operator reads them; a privileged port cannot be provoked
// when the tests run as root, so the codes are given here.
TEST(HttpServer, BindReasonsInPlainWords) {
  const std::pair<std::error_code, std::string> cases[] = {
      {std::make_error_code(std::errc::address_in_use), "the address is already in use (another program listens there)"},
      {std::make_error_code(std::errc::permission_denied),
       "permission denied (ports below 1024 need root or CAP_NET_BIND_SERVICE)"},
      {std::error_code(EACCES, std::system_category()),
       "permission denied (ports below 1024 need root or CAP_NET_BIND_SERVICE)"},
      {std::error_code(EADDRNOTAVAIL, std::system_category()), "this machine has no such address"},
      {std::error_code(EAFNOSUPPORT, std::system_category()),
       "this machine does not support the address's family (IPv4 or IPv6 is switched off)"},
      {boost::system::error_code(boost::asio::error::host_not_found), "the host name does not resolve to an address"},
      {boost::system::error_code(boost::asio::error::no_data), "the host name does not resolve to an address"},
      {boost::system::error_code(boost::asio::error::host_not_found_try_again),
       "the host name could not be looked up now (the name service did not answer)"},
      // Without a wording of its own: the system's message.
      {std::error_code(EMFILE, std::system_category()), std::error_code(EMFILE, std::system_category()).message()},
  };
  for (const auto& [code, reason] : cases) EXPECT_EQ(bind_reason(code), reason) << code.message();
}

TEST(HttpServer, AStopBeforeRunIsNotLostAndAHandlerErrorIsA500) {
  Server server([](Request&, Reply) -> void { throw std::runtime_error("boom"); });
  const int port = server.bind("127.0.0.1", 0);
  server.stop();
  server.run();  // returns at once

  Running s([](Request&, Reply) -> void { throw std::runtime_error("boom"); });
  Client c(s.port);
  c.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  auto answer = c.read_response();
  EXPECT_NE(answer.find("HTTP/1.1 500"), std::string::npos);
  EXPECT_NE(answer.find("boom"), std::string::npos);
  (void)port;
}

// An HTTPS GET of /tls trusting only `ca_file`: the status, or 0 when no answer came.
long https_status(int port, const std::string& ca_file) {
  EasyHandle h(curl_easy_init());
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/tls";
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_CAINFO, ca_file.c_str());
  curl_easy_setopt(h.get(), CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
  long code = 0;
  if (curl_easy_perform(h.get()) == CURLE_OK) curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
  return code;
}

TEST(HttpServer, ServesHttpsAndTakesARenewedCertificateForNewConnections) {
  rivi::testing::TempRoot dir(false);
  const auto first = rivi::testing::make_certificate(dir.path(), "first");
  const auto second = rivi::testing::make_certificate(dir.path(), "second");
  Limits limits;
  limits.head_deadline = 300ms;
  Running s([](Request& req, Reply reply) { reply(echo(req)); }, limits);
  s.server.use_tls(first.certificate, first.key);
  EXPECT_EQ(https_status(s.port, first.certificate), 200);
  EXPECT_EQ(https_status(s.port, second.certificate), 0);

  // Plain HTTP on the TLS port is told so and closed; a client that never starts the handshake
  // is dropped at the head deadline.
  Client plain(s.port);
  plain.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::string told = plain.read_response();
  EXPECT_EQ(told.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << told;
  EXPECT_NE(told.find("\r\n\r\nthis port speaks HTTPS: ask https://\n"), std::string::npos) << told;
  EXPECT_TRUE(plain.closed_by_peer());
  Client silent(s.port);
  EXPECT_TRUE(silent.closed_by_peer());

  s.server.use_tls(second.certificate, second.key);
  EXPECT_EQ(https_status(s.port, second.certificate), 200);
  EXPECT_EQ(https_status(s.port, first.certificate), 0);
  EXPECT_THROW(s.server.use_tls(dir.file("missing.pem"), second.key), std::runtime_error);
  EXPECT_EQ(https_status(s.port, second.certificate), 200);  // a failed renewal keeps the certificate
}

// Relays one connection to the server on `port`, the client's first `slow` bytes three at a time
// 5 ms apart, so that the server gets the TLS hello, header and body alike, in pieces.
class DribblingRelay {
 public:
  DribblingRelay(int port, std::size_t slow) : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
      throw std::runtime_error("the relay cannot listen");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, port, slow] { relay(port, slow); });
  }
  ~DribblingRelay() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  void relay(int port, std::size_t slow) {
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      const int nodelay = 1;
      ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
      std::size_t sent = 0;
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      for (char buf[4096]; ::poll(fds, 2, 5000) > 0;) {
        if (fds[0].revents) {
          const ssize_t n = ::read(client, buf, sizeof buf);
          if (n <= 0) break;
          for (ssize_t at = 0; at < n;) {
            const ssize_t piece = sent < slow ? std::min<ssize_t>(3, n - at) : n - at;
            if (::send(server, buf + at, static_cast<std::size_t>(piece), MSG_NOSIGNAL) != piece) break;
            at += piece;
            sent += static_cast<std::size_t>(piece);
            if (sent < slow) std::this_thread::sleep_for(5ms);
          }
        }
        if (fds[1].revents) {
          const ssize_t n = ::read(server, buf, sizeof buf);
          if (n <= 0 || ::send(client, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
        }
      }
    }
    ::close(server);
    ::close(client);
  }

  int listener_;
  int port_ = 0;
  std::thread thread_;
};

// The TLS engine is made once the client's first record (its hello) is in whole: a hello that
// comes a few bytes at a time is put together first and the handshake goes on as usual, and one
// that never comes whole ends at the head deadline.
TEST(HttpServer, AHelloThatComesInPiecesIsPutTogetherBeforeTheHandshake) {
  rivi::testing::TempRoot dir(false);
  const auto cert = rivi::testing::make_certificate(dir.path(), "pieces");
  Limits limits;
  limits.head_deadline = 1s;
  Running s([](Request& req, Reply reply) { reply(echo(req)); }, limits);
  s.server.use_tls(cert.certificate, cert.key);
  {
    DribblingRelay relay(s.port, 120);  // the record's header, and its body well past its start
    EXPECT_EQ(https_status(relay.port(), cert.certificate), 200);
  }
  // Half a hello (a record of 512 bytes announced, 43 sent), then nothing.
  Client half(s.port);
  half.send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(32, '\x2a'));
  EXPECT_TRUE(half.closed_by_peer());
  EXPECT_EQ(https_status(s.port, cert.certificate), 200);
}

// A handler that keeps every reply for the test to make, and counts the requests whose client
// went before their reply.
class Holding {
 public:
  Handler handler() {
    return [this](Request& req, Reply reply) {
      reply.on_abandon([this] {
        std::lock_guard lock(mutex_);
        ++abandoned_;
        cv_.notify_all();
      });
      std::lock_guard lock(mutex_);
      held_.emplace_back(req.path, reply);
      cv_.notify_all();
    };
  }
  // The `n`th request held (from 1): its path and reply, once it has come (an empty path after 5 s).
  std::pair<std::string, Reply> held(std::size_t n) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, 5s, [&] { return held_.size() >= n; })) return {"", Reply(nullptr)};
    return held_[n - 1];
  }
  // Replies `body` to the `n`th request held, when it came for `path`; false when it did not.
  bool answer(std::size_t n, const std::string& path, const std::string& body) {
    auto [got, reply] = held(n);
    if (got != path) return false;
    reply(Response::text(200, body));
    return true;
  }
  // Waits up to 5 s for `n` abandoned requests; answers how many there are.
  int abandoned(int n) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 5s, [&] { return abandoned_ >= n; });
    return abandoned_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::pair<std::string, Reply>> held_;
  int abandoned_ = 0;
};

TEST(HttpServer, TellsTheHandlerWhenItsClientHangsUpBeforeTheReply) {
  Holding holding;
  Running s(holding.handler());
  {
    Client answered(s.port);
    answered.send("GET /answered HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(holding.answer(1, "/answered", "done"));
    EXPECT_NE(answered.read_response().find("done"), std::string::npos);
  }  // closed after its reply: not abandoned
  {
    Client gone(s.port);
    gone.send("GET /gone HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(holding.held(2).first, "/gone");
  }
  EXPECT_EQ(holding.abandoned(1), 1);

  // Asked after the client went, the callback runs at once; the late reply is dropped.
  bool told = false;
  holding.held(2).second.on_abandon([&told] { told = true; });
  EXPECT_TRUE(told);
  holding.held(2).second(Response::text(200, "nobody reads this"));

  Client next(s.port);
  next.send("GET /next HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(holding.answer(3, "/next", "still serving"));
  EXPECT_NE(next.read_response().find("still serving"), std::string::npos);
  EXPECT_EQ(holding.abandoned(0), 1);  // the client that closed after its answer did not count
}

TEST(HttpServer, KeepsAPipelinedRequestReadWhileTheFirstWaits) {
  Holding holding;
  Running s(holding.handler());
  Client c(s.port);
  c.send("GET /first HTTP/1.1\r\nHost: x\r\n\r\nPOST /second HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbody");
  ASSERT_TRUE(holding.answer(1, "/first", "one"));
  // Each answer is read before the next is made: the client reads what has come, not one answer.
  const std::string first = c.read_response();
  ASSERT_TRUE(holding.answer(2, "/second", "two"));
  const std::string second = c.read_response();
  EXPECT_NE(first.find("\r\n\r\none"), std::string::npos) << first;
  EXPECT_NE(second.find("\r\n\r\ntwo"), std::string::npos) << second;
  EXPECT_EQ(holding.abandoned(0), 0);
}

TEST(HttpServer, AnHttpsConnectionStaysUsableAfterALateReply) {
  rivi::testing::TempRoot dir(false);
  const auto cert = rivi::testing::make_certificate(dir.path(), "late");
  Holding holding;
  Running s(holding.handler());
  s.server.use_tls(cert.certificate, cert.key);
  std::thread answerer([&] {
    for (std::size_t n = 1; n <= 2; ++n) {
      auto [path, reply] = holding.held(n);
      std::this_thread::sleep_for(50ms);  // answered while the server watches the connection
      reply(Response::text(200, "late " + path));
    }
  });
  EasyHandle h(curl_easy_init());
  std::string body;
  const std::string url = "https://127.0.0.1:" + std::to_string(s.port) + "/a";
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_CAINFO, cert.certificate.c_str());
  curl_easy_setopt(h.get(), CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  });
  EXPECT_EQ(curl_easy_perform(h.get()), CURLE_OK);
  const std::string again = "https://127.0.0.1:" + std::to_string(s.port) + "/b";
  curl_easy_setopt(h.get(), CURLOPT_URL, again.c_str());
  EXPECT_EQ(curl_easy_perform(h.get()), CURLE_OK);
  long connects = -1;
  curl_easy_getinfo(h.get(), CURLINFO_NUM_CONNECTS, &connects);
  answerer.join();
  EXPECT_EQ(body, "late /alate /b");
  EXPECT_EQ(connects, 0);  // the second request went over the first connection
  EXPECT_EQ(holding.abandoned(0), 0);
}

}  // namespace
}  // namespace rivi::http
