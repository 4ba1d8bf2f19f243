#include "host/net/http_client.h"

#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace rivi {
namespace {

using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 that serves at most one connection with `script` (given the
// connected socket) on its own thread, or never accepts at all when `script` is empty: then the
// kernel completes connections and nobody ever answers. Closed and joined on destruction.
class RawPeer {
 public:
  explicit RawPeer(std::function<void(int)> script = {}) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    if (!script) return;
    thread_ = std::jthread([this, script = std::move(script)] {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 10000) != 1) return;
      const int peer = ::accept(fd_, nullptr, nullptr);
      if (peer < 0) return;
      script(peer);
      ::close(peer);
    });
  }
  ~RawPeer() {
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  HttpUrl url() const { return parse_http_url("http://127.0.0.1:" + std::to_string(port_) + "/api").value(); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::jthread thread_;
};

// Reads the whole request (its head, then as many bytes as it declares), so that answering does
// not race it and closing does not reset the connection over unread bytes.
void read_request(int fd) {
  std::string seen;
  char c = 0;
  while (seen.find("\r\n\r\n") == std::string::npos && ::read(fd, &c, 1) == 1) seen += c;
  const std::size_t field = seen.find("Content-Length: ");
  std::size_t left = field == std::string::npos ? 0 : std::stoul(seen.substr(field + 16));
  while (left > 0 && ::read(fd, &c, 1) == 1) --left;
}

// False once the client has gone.
bool send_text(int fd, std::string_view text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

std::string post(const HttpUrl& url, std::chrono::milliseconds timeout = 5s, std::size_t cap = 1000) {
  return http_post(url, "text/plain", "x=1", timeout, cap);
}

std::string failure_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no failure)";
}

TEST(HttpUrl, TakesPlainHttpAndLeavesTheRestToLibcurl) {
  struct Row {
    const char* url;
    const char* host;
    const char* port;
    const char* target;
    const char* host_header;
  };
  const Row rows[] = {
      {"http://127.0.0.1:8890/api/local/rivi", "127.0.0.1", "8890", "/api/local/rivi", "127.0.0.1:8890"},
      {"HTTP://centre.example", "centre.example", "80", "/", "centre.example"},
      {"http://h:80?x=1#frag", "h", "80", "/?x=1", "h"},
      {"http://[::1]:9/a", "::1", "9", "/a", "[::1]:9"},
  };
  for (const Row& r : rows) {
    const auto u = parse_http_url(r.url);
    ASSERT_TRUE(u.has_value()) << r.url;
    EXPECT_EQ(u->host, r.host) << r.url;
    EXPECT_EQ(u->port, r.port) << r.url;
    EXPECT_EQ(u->target, r.target) << r.url;
    EXPECT_EQ(u->host_header, r.host_header) << r.url;
  }
  for (const char* url : {"https://h/", "ftp://h/", "http://", "http://:80/", "http://u:p@h/", "http://h:0/",
                          "http://h:65536/", "http://h:8x/", "http://[::1/", "http://[h]/", "http://h/a b", "h:80/"}) {
    EXPECT_FALSE(parse_http_url(url).has_value()) << url;
  }
}

// The whole exchange has one deadline: a peer that never answers and a peer that answers a byte
// at a time both fail at it.
TEST(HttpPost, TheDeadlineCoversTheWholeExchange) {
  RawPeer silent;
  EXPECT_EQ(failure_of([&] { post(silent.url(), 200ms); }), "no complete answer within 200 ms");

  RawPeer dribbling([](int fd) {
    read_request(fd);
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    for (char c : reply) {
      if (!send_text(fd, std::string_view(&c, 1))) return;
      std::this_thread::sleep_for(40ms);
    }
  });
  EXPECT_EQ(failure_of([&] { post(dribbling.url(), 300ms); }), "no complete answer within 300 ms");
}

TEST(HttpPost, CapsTheAnswerByDeclaredLengthAndByWhatWasRead) {
  RawPeer declared([](int fd) {
    read_request(fd);
    send_text(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1001\r\n\r\n");
  });
  try {
    post(declared.url());
    ADD_FAILURE() << "an answer past the cap was taken";
  } catch (const AnswerTooLarge& e) {
    EXPECT_EQ(std::string(e.what()), "the answer is larger than 1000 bytes");
  }

  RawPeer chunked([](int fd) {
    read_request(fd);
    send_text(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = "100\r\n" + std::string(256, 'x') + "\r\n";
    for (int i = 0; i < 8; ++i)
      if (!send_text(fd, chunk)) return;
    send_text(fd, "0\r\n\r\n");
  });
  EXPECT_THROW(post(chunked.url()), AnswerTooLarge);
}

TEST(HttpPost, SkipsInterimRepliesAndReadsAnAnswerEndedByClosing) {
  RawPeer interim([](int fd) {
    read_request(fd);
    send_text(fd, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 500 Oops\r\nContent-Length: 2\r\n\r\nno");
  });
  EXPECT_EQ(post(interim.url()), "no");  // whatever the status

  RawPeer closing([](int fd) {
    read_request(fd);
    send_text(fd, "HTTP/1.0 200 OK\r\n\r\n[1, 2]");
  });
  EXPECT_EQ(post(closing.url()), "[1, 2]");
}

// A centre whose reply's chunk framing never ends, or whose body's end cannot be known: the
// exchange fails at once, saying why, having buffered no more than the head limit of it.
TEST(HttpPost, RefusesChunkFramingPastItsBoundsAndABodyOfUnknownEnd) {
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  struct Case {
    const char* name;
    std::string start;  // then 'a' without end, up to 32 MiB, unless `ends`
    bool ends;
    std::string failure;
  };
  const Case cases[] = {
      {"an endless extension", chunked + "1;", false, "the answer is refused: chunk extension too long"},
      {"an endless trailer", chunked + "1\r\nx\r\n0\r\nX-T: ", false, "the answer is refused: trailer section too large"},
      {"a long extension", chunked + "1;" + std::string(300, 'e') + "\r\nx\r\n0\r\n\r\n", true,
       "the answer is refused: bad or too long chunk extension"},
      {"chunked, then identity",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, identity\r\n\r\n1\r\nx\r\n0\r\n\r\n", true,
       "the answer is refused: Transfer-Encoding other than chunked alone"},
  };
  for (const Case& c : cases) {
    RawPeer hostile([&c](int fd) {
      read_request(fd);
      if (!send_text(fd, c.start) || c.ends) return;
      const std::string block(64 * 1024, 'a');
      for (std::size_t sent = 0; sent < (32u << 20) && send_text(fd, block); sent += block.size()) {
      }
    });
    EXPECT_EQ(failure_of([&] { post(hostile.url(), 5s, 100'000); }), c.failure) << c.name;
  }
}

TEST(HttpPost, SaysWhyWhenThereIsNoAnswer) {
  const int dead = testing::free_port();
  const HttpUrl refused = parse_http_url("http://127.0.0.1:" + std::to_string(dead) + "/").value();
  EXPECT_EQ(failure_of([&] { post(refused); }),
            "cannot connect to 127.0.0.1:" + std::to_string(dead) + ": Connection refused");

  RawPeer hangs_up([](int fd) { read_request(fd); });
  EXPECT_EQ(failure_of([&] { post(hangs_up.url()); }), "the connection closed before a complete answer");

  RawPeer garbage([](int fd) {
    read_request(fd);
    send_text(fd, "SMTP ready\r\n\r\n");
  });
  EXPECT_EQ(failure_of([&] { post(garbage.url()); }).rfind("reading the answer failed: ", 0), 0u);
}

}  // namespace
}  // namespace rivi
