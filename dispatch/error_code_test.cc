// The `error_code` of node results: the classification itself, and each code from a real failing
// target on loopback (closed port, a listener that never answers, an unresolvable name, a
// self-signed certificate, an inner address, a body past the cap, a status 500).
#include "dispatch/error_code.h"
#include "dispatch/probe.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/testing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace rivi::dispatch {
namespace {

using rivi::testing::LoopbackSite;

TEST(ErrorCode, Classification) {
  struct Case {
    CURLcode result;
    long http_code;
    bool inner, capped;
    std::string code;
  };
  // The outcomes no loopback target below produces.
  const Case cases[] = {
      {CURLE_OK, 301, false, false, ""},
      {CURLE_OK, 403, false, false, ""},
      {CURLE_OK, 404, false, false, "http_status"},
      {CURLE_OK, 0, false, false, "connect"},
      {CURLE_OPERATION_TIMEDOUT, 200, false, false, "timeout"},  // the body never finished
      {CURLE_SSL_CONNECT_ERROR, 0, false, false, "tls"},
      {CURLE_WRITE_ERROR, 200, false, true, "too_large"},      // cut while reading, no length declared
      {CURLE_COULDNT_CONNECT, 0, true, false, "inner_address"},
      {CURLE_RECV_ERROR, 0, false, false, "connect"},
      {CURLE_GOT_NOTHING, 0, false, false, "connect"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_code(c.result, c.http_code, c.inner, c.capped), c.code)
        << curl_easy_strerror(c.result) << " " << c.http_code;
  }
  EXPECT_EQ(unanswered("电信")["error_code"], "no_answer");
}

// A port that accepts connections (the kernel completes them) and never answers.
class SilentListener {
 public:
  SilentListener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

class ErrorCodeTarget : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = site_.server();
    s.Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("hello", "text/plain"); });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content("oops", "text/plain");
    });
    s.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(64 * 1024, 'x'), "text/plain");
    });
    site_.start();
  }

  static ProbeOptions options(long timeout_ms = 5000) {
    ProbeOptions o;
    o.isp = "test";
    o.allow_private = true;
    o.timeout_ms = timeout_ms;
    return o;
  }

  LoopbackSite site_;
};

TEST_F(ErrorCodeTarget, GoodAnswerHasAnEmptyCode) {
  const Record r = probe(site_.url("/ok"), options());
  EXPECT_EQ(r["error_code"], "");
  EXPECT_FALSE(r.contains("error"));
}

TEST_F(ErrorCodeTarget, StatusCodeOfAnAnswer) {
  const Record r = probe(site_.url("/broken"), options());
  EXPECT_EQ(r["http_code"], 500);
  EXPECT_EQ(r["error_code"], "http_status");
}

TEST_F(ErrorCodeTarget, RefusedConnection) {
  const int closed = rivi::testing::free_port();
  EXPECT_EQ(probe("http://127.0.0.1:" + std::to_string(closed) + "/", options())["error_code"], "refused");
}

TEST_F(ErrorCodeTarget, TargetThatHangsPastTheTimeOut) {
  SilentListener silent;
  const Record r = probe("http://127.0.0.1:" + std::to_string(silent.port()) + "/", options(300));
  EXPECT_EQ(r["error_code"], "timeout");
  EXPECT_EQ(r["http_code"], 0);
}

TEST_F(ErrorCodeTarget, UnresolvableName) {
  EXPECT_EQ(probe("http://no-such-host.invalid/", options(3000))["error_code"], "dns");
}

TEST_F(ErrorCodeTarget, SelfSignedCertificate) {
  std::string dir_template = (std::filesystem::temp_directory_path() / "rivi-tls-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir_template.data()), nullptr);
  const std::filesystem::path dir = dir_template;
  const rivi::testing::Certificate cert = rivi::testing::make_certificate(dir);
  const int port = rivi::testing::free_port();
  {
    rivi::testing::Child server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert", cert.cert,
                                 "-key", cert.key, "-www", "-quiet"},
                                {}, (dir / "server.log").string());
    ASSERT_TRUE(rivi::testing::wait_for_port(port));
    const Record r = probe("https://127.0.0.1:" + std::to_string(port) + "/", options());
    EXPECT_EQ(r["error_code"], "tls") << r.dump();
    EXPECT_EQ(r["http_code"], 0);
  }
  std::filesystem::remove_all(dir);
}

TEST_F(ErrorCodeTarget, InnerAddressRefusedBeforeConnecting) {
  ProbeOptions o = options();
  o.allow_private = false;
  const Record r = probe(site_.url("/ok"), o);
  EXPECT_EQ(r["error"], kInnerRefused);
  EXPECT_EQ(r["error_code"], "inner_address");
}

TEST_F(ErrorCodeTarget, BodyPastTheCap) {
  ProbeOptions o = options();
  o.max_bytes = 1024;
  const Record r = probe(site_.url("/big"), o);
  EXPECT_EQ(r["http_code"], 200);
  EXPECT_EQ(r["error_code"], "too_large");
}

}  // namespace
}  // namespace rivi::dispatch
