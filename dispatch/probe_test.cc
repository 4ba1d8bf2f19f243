// The node's measurement against real loopback sites: status codes, redirects, size cap, time-out,
// unreachable and unresolvable targets, inner-address refusal, on its own and among many transfers
// of one multi handle; URL and address checks; the node's request handling and its server.
#include "dispatch/node.h"
#include "dispatch/probe.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/testing.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace rivi::dispatch {
namespace {

using rivi::testing::LoopbackSite;

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = site_.server();
    s.Get("/ok", [this](const httplib::Request&, httplib::Response& res) {
      ++hits_;
      res.set_content("hello", "text/plain");
    });
    s.Get("/moved", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/ok", 301); });
    s.Get("/found", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/ok", 302); });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content("oops", "text/plain");
    });
    s.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(64 * 1024, 'x'), "text/plain");
    });
    s.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      res.set_content("late", "text/plain");
    });
    site_.start();
  }

  ProbeOptions local(long timeout_ms = 5000) {
    ProbeOptions o;
    o.isp = "test-node";
    o.allow_private = true;
    o.timeout_ms = timeout_ms;
    return o;
  }

  LoopbackSite site_;
  std::atomic<int> hits_{0};
};

TEST_F(ProbeTest, MeasuresStatusAndSizeWithoutFollowingRedirects) {
  struct Case {
    std::string path;
    int code;
    std::int64_t size;
  };
  const Case cases[] = {{"/ok", 200, 5}, {"/moved", 301, -1}, {"/found", 302, -1}, {"/missing", 404, -1}, {"/broken", 500, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const Record r = probe(site_.url(c.path), local());
    EXPECT_EQ(r["isp"], "test-node");
    EXPECT_EQ(r["primary_ip"], "127.0.0.1");
    EXPECT_EQ(r["http_code"], c.code);
    if (c.size >= 0) {
      EXPECT_EQ(r["size_download"], c.size);
    }
    EXPECT_TRUE(r["total_time"].is_number_float());
    EXPECT_GE(r["total_time"].get<double>(), r["starttransfer_time"].get<double>());
    EXPECT_GE(r["starttransfer_time"].get<double>(), r["namelookup_time"].get<double>());
    EXPECT_FALSE(r.contains("error")) << r.dump();
  }
  EXPECT_EQ(hits_, 1) << "the redirects must not have been followed";
}

TEST_F(ProbeTest, ResultKeysComeInTheDocumentedOrder) {
  const Record r = probe(site_.url("/ok"), local());
  std::vector<std::string> keys;
  for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"isp", "primary_ip", "http_code", "total_time", "namelookup_time",
                                            "connect_time", "appconnect_time", "starttransfer_time", "size_download",
                                            "speed_download", "error_code", "addresses"}));
}

TEST_F(ProbeTest, StopsReadingAtTheSizeCap) {
  ProbeOptions o = local();
  o.max_bytes = 1024;
  const Record r = probe(site_.url("/big"), o);
  EXPECT_EQ(r["http_code"], 200);
  EXPECT_LE(r["size_download"].get<std::int64_t>(), 1024);
  EXPECT_EQ(r["error"], "response larger than 1024 bytes");
}

TEST_F(ProbeTest, TargetThatNeverAnswersInTimeGivesCodeZero) {
  const Record r = probe(site_.url("/slow"), local(300));
  EXPECT_EQ(r["http_code"], 0);
  EXPECT_EQ(r["primary_ip"], "127.0.0.1");
  EXPECT_TRUE(r.contains("error"));
}

TEST_F(ProbeTest, UnreachableAndUnresolvableTargets) {
  const int closed = rivi::testing::free_port();
  const Record refused = probe("http://127.0.0.1:" + std::to_string(closed) + "/", local());
  EXPECT_EQ(refused["http_code"], 0);
  EXPECT_TRUE(refused.contains("error"));

  const Record unknown = probe("http://no-such-host.invalid/", local(3000));
  EXPECT_EQ(unknown["primary_ip"], "");
  EXPECT_EQ(unknown["http_code"], 0);
}

TEST_F(ProbeTest, InnerAddressIsRefusedBeforeAnyRequestIsSent) {
  ProbeOptions o = local();
  o.allow_private = false;
  // The name is judged by the address it resolves to, not by its spelling.
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    const Record r = probe("http://" + host + ":" + std::to_string(site_.port()) + "/ok", o);
    EXPECT_EQ(r["http_code"], 0);
    EXPECT_EQ(r["error"], kInnerRefused) << r.dump();
  }
  EXPECT_EQ(hits_, 0);
}

// A listening socket that never accepts on its own: `accepted` drains the queue and counts the
// connections that reached it.
class CountingListener {
 public:
  CountingListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(a.sin_port);
  }
  ~CountingListener() { ::close(fd_); }
  int port() const { return port_; }
  int accepted() {
    for (int fd; (fd = ::accept(fd_, nullptr, nullptr)) >= 0; ++accepted_) ::close(fd);
    return accepted_;
  }

 private:
  int fd_;
  int port_ = 0;
  int accepted_ = 0;
};

// libcurl keeps every trailer line of a reply: a target answering them without end is cut at the
// header cap, after a bounded number of bytes, rather than growing the node until the time-out.
TEST(HostileTarget, EndlessTrailerLinesAreCutAtTheHeaderCap) {
  std::string lines;
  while (lines.size() < 64 * 1024) lines += "X-T: aaaa\r\n";
  constexpr std::size_t kMost = 16u << 20;
  rivi::testing::EndlessReplySite site("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n", lines, kMost);
  ProbeOptions o;
  o.allow_private = true;
  o.timeout_ms = 5000;
  const Record r = probe(site.url("/"), o);
  EXPECT_EQ(r["error_code"], "too_large") << r.dump();
  EXPECT_EQ(r["error"], "response header lines larger than 262144 bytes");
  EXPECT_LT(site.sent(), kMost);
}

TEST(InnerTarget, OpenAndClosedPortsLookTheSameAndGetNoConnection) {
  CountingListener open;
  const int closed = rivi::testing::free_port();
  ProbeOptions o;
  o.isp = "n";
  o.timeout_ms = 5000;
  std::vector<Record> results;
  for (const char* scheme : {"http", "https"}) {
    for (const int port : {open.port(), closed}) {
      results.push_back(probe(fmt::format("{}://127.0.0.1:{}/", scheme, port), o));
    }
  }
  EXPECT_EQ(open.accepted(), 0);
  EXPECT_EQ(results[0]["error"], kInnerRefused) << results[0].dump();
  EXPECT_EQ(results[0]["primary_ip"], "127.0.0.1");
  for (const Record& r : results) EXPECT_EQ(r, results[0]);
}

TEST(UrlRefusal, AcceptsOnlyHttpAndHttpsWithAHost) {
  const std::pair<std::string, std::string> cases[] = {
      {"http://example.com/", ""},
      {"https://example.com:8443/a?b=c", ""},
      {"HTTP://example.com/", ""},
      {"", "缺少URL地址"},
      {"ftp://example.com/", "只能拨测http://或https://地址"},
      {"file:///etc/passwd", "只能拨测http://或https://地址"},
      {"gopher://example.com/", "只能拨测http://或https://地址"},
      {"example.com", "URL地址无效"},
      {"http://exa mple.com/", "URL地址无效"},
      {"http://", "URL地址无效"},
      {"http://example.com/" + std::string(2100, 'a'), "URL地址过长（最多2048字节）"},
  };
  for (const auto& [url, why] : cases) EXPECT_EQ(url_refusal(url), why) << url.substr(0, 40);
}

TEST(InnerAddress, JudgesEveryRangeThatMustNotBeProbed) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true},    {"10.1.2.3", true},        {"172.16.0.1", true},     {"172.31.255.255", true},
      {"172.32.0.1", false},  {"192.168.1.1", true},     {"169.254.169.254", true}, {"100.64.0.1", true},
      {"0.0.0.0", true},      {"224.0.0.1", true},       {"255.255.255.255", true}, {"8.8.8.8", false},
      {"93.184.216.34", false}, {"::1", true},           {"::", true},              {"fe80::1", true},
      {"fd00::1", true},      {"ff02::1", true},         {"::ffff:127.0.0.1", true}, {"::ffff:8.8.8.8", false},
      {"64:ff9b::a00:1", true}, {"64:ff9b::808:808", false}, {"64:ff9b:1::1", true}, {"64:ff9b:1:ffff::808:808", true},
      {"2002:c0a8:101::1", true}, {"2606:4700::1111", false}, {"not an address", true},
  };
  for (const auto& [ip, inner] : cases) EXPECT_EQ(is_inner_address(ip), inner) << ip;
}

// The key is checked on the request's signature by the server (signing_test.cc), not in the form.
TEST_F(ProbeTest, NodeRequestChecksUrlAndTimeLimit) {
  NodeOptions o;
  o.probe = local();
  o.key = "s3cret";
  const std::string url = site_.url("/ok");
  struct Case {
    std::multimap<std::string, std::string> form;
    int status;
    std::string msg;
  };
  const Case cases[] = {
      {{{"key", "s3cret"}}, 400, "缺少URL地址"},
      {{{"url", "ftp://x/"}, {"key", "s3cret"}}, 400, "只能拨测http://或https://地址"},
      {{{"url", url}, {"key", "s3cret"}, {"timeout_ms", "soon"}}, 400, "timeout_ms必须是整数"},
      {{{"url", url}, {"key", "s3cret"}, {"timeout_ms", "0"}}, 400, "timeout_ms必须是正整数"},
      {{{"url", url}, {"key", "s3cret"}, {"timeout_ms", "4000"}}, 200, ""},
  };
  for (const Case& c : cases) {
    const NodeAnswer a = answer_probe_request(o, c.form);
    EXPECT_EQ(a.http_status, c.status) << a.body.dump();
    if (c.status == 200) {
      EXPECT_EQ(a.body["http_code"], 200);
    } else {
      EXPECT_EQ(a.body, Record({{"status", false}, {"msg", c.msg}}));
    }
  }
  EXPECT_EQ(hits_, 1);
}

// The result of `probe_async` on `multi`, waited for.
Record probe_on(CurlMulti& multi, const std::string& url, const ProbeOptions& o) {
  std::promise<Record> result;
  probe_async(multi, url, o, [&result](ProbeOutcome r) { result.set_value(std::move(r.result)); });
  return result.get_future().get();
}

TEST_F(ProbeTest, ProbesOnAMultiHandleMeasureAndRefuseLikeTheBlockingOne) {
  CurlMulti multi;
  ProbeOptions capped = local();
  capped.max_bytes = 1024;
  EXPECT_EQ(probe_on(multi, site_.url("/big"), capped)["error"], "response larger than 1024 bytes");
  EXPECT_EQ(probe_on(multi, "ftp://x/", local())["error"], "只能拨测http://或https://地址");

  // A probe that may reach inner addresses leaves no connection behind for one that may not, and
  // each probe makes a connection of its own.
  ProbeOptions outer_only = local();
  outer_only.allow_private = false;
  const Record inner = probe_on(multi, site_.url("/ok"), local());
  EXPECT_EQ(inner["http_code"], 200);
  EXPECT_GT(inner["connect_time"].get<double>(), 0.0);
  EXPECT_EQ(probe_on(multi, site_.url("/ok"), outer_only)["error"], kInnerRefused);
  EXPECT_GT(probe_on(multi, site_.url("/ok"), local())["connect_time"].get<double>(), 0.0);
  EXPECT_EQ(hits_, 2);
}

TEST(NodeServer, ServesHundredsOfProbesAtOnce) {
  // The target answers only once it holds every probe: a node that measured fewer at a time would
  // see them all time out.
  constexpr int kProbes = 120;
  rivi::testing::GatheringSite target(kProbes);
  NodeOptions o;
  o.probe.allow_private = true;
  o.probe.isp = "n";
  rivi::testing::RunningNode node(o);
  const auto answers = rivi::testing::post_at_once(node.port(), "/probe", "url=" + target.url(), kProbes, 60000);
  for (const auto& a : answers) {
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(decode(a.body)["http_code"], 200) << a.body;
  }
}

TEST(NodeServer, AnswersOverHttpWithTheChecksOfTheRequest) {
  CountingListener inner;
  NodeOptions o;
  rivi::testing::RunningNode node(o);
  httplib::Client client("127.0.0.1", node.port());
  client.set_read_timeout(10, 0);
  const std::string url = fmt::format("http://127.0.0.1:{}/", inner.port());
  auto res = client.Post("/probe", httplib::Params{{"url", url}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(decode(res->body)["error"], kInnerRefused);
  EXPECT_EQ(inner.accepted(), 0);
  // The fields come from the body alone: a query is not read.
  res = client.Post("/probe?url=" + httplib::detail::encode_query_param(url), "", "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  res = client.Post("/probe", httplib::Params{{"url", "ftp://x/"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  res = client.Get("/probe");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
}

}  // namespace
}  // namespace rivi::dispatch
