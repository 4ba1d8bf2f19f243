// What a node measures beyond the status, against real loopback sites: certificates read and
// judged (a private authority given as the probes' CA file), redirects followed through the
// inner-address check, a keyword in the body, a task's own time-out; the centre's checking and
// passing on of the checks, the same keys from a remote and an in-process node, and the CA file
// read again on SIGHUP by both programs.
#include "dispatch/centre.h"
#include "dispatch/keyword_search.h"
#include "dispatch/node.h"
#include "dispatch/probe.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/test_authority.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace rivi::dispatch {
namespace {

using namespace std::chrono_literals;
using rivi::testing::HttpsSite;
using rivi::testing::LoopbackSite;
using rivi::testing::TestAuthority;

ProbeOptions loopback_options() {
  ProbeOptions o;
  o.isp = "test";
  o.allow_private = true;
  o.timeout_ms = 5000;
  return o;
}

std::vector<std::string> keys_of(const Record& r) {
  std::vector<std::string> keys;
  for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
  return keys;
}

// Each kind of certificate a site may show: described in full, and refused (as `tls`, before any
// request reaches the site) unless it verifies.
TEST(ProbeCertificate, EachKindIsDescribedAndOnlyAVerifiedOneIsFetched) {
  rivi::testing::TempRoot dir(false);
  TestAuthority ca(dir.path(), "test-ca");
  ProbeOptions o = loopback_options();
  o.authority = ProbeAuthority::load(ca.ca_file());
  struct Case {
    std::string name;
    rivi::testing::CertificateFiles files;
    std::int64_t days_left;
    std::string verify_error;
  };
  const Case cases[] = {
      {"valid", ca.issue("valid", {"127.0.0.1", "site.test"}, 40 * 24h + 1h), 40, ""},
      {"expiring", ca.issue("expiring", {"127.0.0.1"}, 3 * 24h + 1h), 3, ""},
      {"expired", ca.issue("expired", {"127.0.0.1"}, -(24h + 1h)), -2, "certificate has expired"},
      {"self-signed", rivi::testing::make_certificate(dir.path(), "self"), 1, "self-signed certificate"},
      {"wrong name", ca.issue("wrong", {"other.test"}, 40 * 24h + 1h), 40, "certificate name mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpsSite site(c.files);
    const Record r = probe(site.url("/"), o);
    ASSERT_TRUE(r.contains("cert")) << r.dump();
    const Record& cert = r["cert"];
    EXPECT_EQ(keys_of(cert), (std::vector<std::string>{"not_after", "days_left", "subject", "issuer", "names",
                                                       "fingerprint_sha256", "verify_error"}));
    EXPECT_EQ(cert["verify_error"], c.verify_error);
    EXPECT_EQ(cert["fingerprint_sha256"], fingerprint_text(certificate_fingerprint(c.files.certificate)));
    if (c.name == "self-signed") {  // made for 2 days to the second by the openssl program: 1 or 2 left
      EXPECT_TRUE(cert["days_left"] == 1 || cert["days_left"] == 2) << cert["days_left"];
    } else {
      EXPECT_EQ(cert["days_left"], c.days_left);
    }
    const std::int64_t left = cert["not_after"].get<std::int64_t>() - std::time(nullptr);
    EXPECT_TRUE(left > (c.days_left - 1) * 86400 && left <= (c.days_left + 1) * 86400) << left;
    EXPECT_EQ(r["addresses"], Record::array({"127.0.0.1"}));
    if (c.verify_error.empty()) {
      EXPECT_EQ(r["http_code"], 200);
      EXPECT_EQ(r["error_code"], "");
      EXPECT_EQ(site.requests(), 1);
    } else {
      EXPECT_EQ(r["http_code"], 0);
      EXPECT_EQ(r["error_code"], "tls");
      EXPECT_EQ(site.requests(), 0) << "a request went to a site whose certificate failed";
    }
  }
  // What the names and the authority read as.
  HttpsSite site(ca.issue("named", {"127.0.0.1", "site.test"}, 24h * 10));
  const Record cert = probe(site.url(), o)["cert"];
  EXPECT_EQ(cert["names"], Record::array({"127.0.0.1", "site.test"}));
  EXPECT_EQ(cert["subject"], "CN=127.0.0.1");
  EXPECT_EQ(cert["issuer"], "CN=test-ca");
  // Without the authority the same certificate is refused for its unknown issuer, as before.
  o.authority = nullptr;
  const Record refused = probe(site.url(), loopback_options());
  EXPECT_EQ(refused["error_code"], "tls");
  EXPECT_EQ(refused["error"], "SSL certificate problem: unable to get local issuer certificate");
  EXPECT_EQ(refused["cert"]["verify_error"], "unable to get local issuer certificate");
}

// On the node's multi handle the system's authorities are read once and kept for the probes that
// follow: each probe must still get its own verdict, the probes' CA file trusted only by the
// probes given it, never by those after them.
TEST(ProbeCertificate, ProbesSharingAMultiHandleEachGetTheirOwnVerdict) {
  rivi::testing::TempRoot dir(false);
  TestAuthority ca(dir.path(), "test-ca");
  ProbeOptions trusting = loopback_options();
  trusting.authority = ProbeAuthority::load(ca.ca_file());
  HttpsSite issued(ca.issue("site", {"127.0.0.1"}, 24h * 10));
  HttpsSite self(rivi::testing::make_certificate(dir.path(), "self"));
  CurlMulti multi;
  const auto verdict = [&multi](const HttpsSite& site, const ProbeOptions& o) {
    std::promise<Record> result;
    probe_async(multi, site.url("/"), o, [&result](ProbeOutcome r) { result.set_value(std::move(r.result)); });
    return result.get_future().get()["cert"]["verify_error"].get<std::string>();
  };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(verdict(issued, trusting), "");
    EXPECT_EQ(verdict(issued, loopback_options()), "unable to get local issuer certificate");
    EXPECT_EQ(verdict(self, trusting), "self-signed certificate");
    EXPECT_EQ(verdict(issued, trusting), "");
  }
}

class Redirects : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.server().Get("/to-closed", [this](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("http://127.0.0.1:" + std::to_string(closed_port_) + "/gone", 302);
    });
    site_.server().Get("/to-other", [this](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("http://127.0.0.2:" + std::to_string(other_.port()) + "/", 302);
    });
    site_.server().Get("/to-ftp", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("ftp://127.0.0.1/file", 302);
    });
    site_.server().Get("/hop/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
      const int n = std::stoi(req.matches[1]);
      if (n == 0) return res.set_content("arrived", "text/plain");
      res.set_redirect("/hop/" + std::to_string(n - 1), 301);
    });
    site_.start();
    closed_port_ = rivi::testing::free_port();
  }
  LoopbackSite site_;
  int closed_port_ = 0;
  rivi::testing::LoopbackListener other_;  // on 127.0.0.1: a connection to 127.0.0.2 never reaches it
};

TEST_F(Redirects, FollowedOnlyWhenAskedAndTheLastHopIsJudged) {
  ProbeOptions o = loopback_options();
  const Record plain = probe(site_.url("/to-closed"), o);
  EXPECT_EQ(plain["http_code"], 302);
  EXPECT_EQ(plain["error_code"], "");
  EXPECT_FALSE(plain.contains("final_url"));
  EXPECT_FALSE(plain.contains("redirects"));

  o.checks.follow_redirects = true;
  const Record followed = probe(site_.url("/to-closed"), o);
  EXPECT_EQ(followed["http_code"], 0);
  EXPECT_EQ(followed["error_code"], "refused");
  EXPECT_EQ(followed["redirects"], 1);
  EXPECT_EQ(followed["final_url"], "http://127.0.0.1:" + std::to_string(closed_port_) + "/gone");

  const Record five = probe(site_.url("/hop/5"), o);
  EXPECT_EQ(five["http_code"], 200);
  EXPECT_EQ(five["redirects"], 5);
  EXPECT_EQ(five["final_url"], site_.url("/hop/0"));
  const Record six = probe(site_.url("/hop/6"), o);
  EXPECT_NE(six["error_code"], "");  // one hop too many

  const Record ftp = probe(site_.url("/to-ftp"), o);
  EXPECT_EQ(ftp["http_code"], 0);
  EXPECT_EQ(ftp["error_code"], "connect");
}

// 127.0.0.1 counts as an outer address here and 127.0.0.2 as an inner one: the second hop is
// refused its connection as a first one would be.
TEST_F(Redirects, EveryHopGoesThroughTheInnerAddressCheck) {
  ProbeOptions o = loopback_options();
  o.allow_private = false;
  o.is_inner = [](const std::string& ip) { return ip != "127.0.0.1"; };
  o.checks.follow_redirects = true;
  const Record r = probe(site_.url("/to-other"), o);
  EXPECT_EQ(r["error_code"], "inner_address") << r.dump();
  EXPECT_EQ(r["error"], kInnerRefused);
  EXPECT_EQ(r["primary_ip"], "127.0.0.2");
  EXPECT_EQ(r["redirects"], 1);
  EXPECT_EQ(other_.accepted(), 0);
}

TEST(KeywordSearch, FindsAMatchSplitAnywhereAcrossPieces) {
  const std::string body = "0123456789needle0123456789";
  for (std::size_t a = 0; a <= body.size(); ++a) {
    for (std::size_t b = a; b <= body.size(); ++b) {
      KeywordSearch s("needle", 1u << 20);
      s.feed(std::string_view(body).substr(0, a));
      s.feed(std::string_view(body).substr(a, b - a));
      s.feed(std::string_view(body).substr(b));
      EXPECT_TRUE(s.found()) << a << "," << b;
    }
  }
  KeywordSearch one_byte_pieces("needle", 1u << 20);
  for (char c : body) one_byte_pieces.feed(std::string_view(&c, 1));
  EXPECT_TRUE(one_byte_pieces.found());
  KeywordSearch window("needle", 15);  // the match ends at byte 16
  window.feed(body);
  EXPECT_FALSE(window.found());
  KeywordSearch partial("needle", 1u << 20);
  partial.feed("need");
  partial.feed("xle needl");
  EXPECT_FALSE(partial.found());
}

// Bodies sent in chunks: libcurl hands each chunk's bytes on separately.
TEST(ProbeKeyword, SearchedInTheFirstMebibyteAcrossPieces) {
  LoopbackSite site;
  const auto chunked = [&](const std::string& path, std::vector<std::string> pieces) {
    site.server().Get(path, [pieces](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/html", [pieces](size_t offset, httplib::DataSink& sink) {
        if (offset == 0) {
          for (const std::string& p : pieces) sink.write(p.data(), p.size());
        }
        sink.done();
        return true;
      });
    });
  };
  const std::string mib(kKeywordWindow, 'x');
  chunked("/start", {"关键词 at the start", "and more"});
  chunked("/split", {"...the key", "word 关", "键词 across"});
  chunked("/late", {mib, "关键词"});
  chunked("/edge", {mib.substr(9), "关键词"});  // the match ends on the window's last byte
  site.start();
  ProbeOptions o = loopback_options();
  o.checks.keyword = "关键词";
  EXPECT_EQ(probe(site.url("/start"), o)["keyword_found"], true);
  EXPECT_EQ(probe(site.url("/split"), o)["keyword_found"], true);
  const Record late = probe(site.url("/late"), o);
  EXPECT_EQ(late["keyword_found"], false);
  EXPECT_EQ(late["size_download"], static_cast<std::int64_t>(mib.size() + 9));  // read, not searched
  EXPECT_EQ(probe(site.url("/edge"), o)["keyword_found"], true);
  o.checks.keyword = "keyword";
  EXPECT_EQ(probe(site.url("/split"), o)["keyword_found"], true);
  EXPECT_FALSE(probe(site.url("/split"), loopback_options()).contains("keyword_found"));
}

TEST(ProbeChecks, BadChecksAreRefusedByTheCentreNamingTheField) {
  rivi::testing::SwitchableSite site;
  CentreConfig config = rivi::testing::three_local_nodes();
  Centre centre(config);
  const std::pair<std::string, std::string> bad[] = {
      {"[1]", "checks"},
      {"{", "checks"},
      {R"({"follow_redirects": 2})", "follow_redirects"},
      {R"({"follow_redirects": "yes"})", "follow_redirects"},
      {R"({"keyword": 5})", "keyword"},
      {R"({"keyword": ")" + std::string(2000, 'k') + R"("})", "keyword"},
      {R"({"keyword": null})", "keyword"},
      {R"({"keyword_mode": "maybe"})", "keyword_mode"},
      {R"({"timeout_ms": 999})", "timeout_ms"},
      {R"({"timeout_ms": 30001})", "timeout_ms"},
      {R"({"timeout_ms": 1500.5})", "timeout_ms"},
  };
  for (const auto& [checks, field] : bad) {
    SCOPED_TRACE(checks);
    const CentreAnswer a = centre.answer(Form{{"url", site.url()}, {"checks", checks}});
    EXPECT_EQ(a.http_status, 400);
    EXPECT_EQ(a.body["status"], false);
    EXPECT_NE(a.body["msg"].get<std::string>().find(field), std::string::npos) << a.body.dump();
  }
  const CentreAnswer good = centre.answer(Form{
      {"url", site.url()},
      {"checks", R"({"follow_redirects": 1, "keyword": "page", "keyword_mode": "absent", "timeout_ms": 1000})"}});
  ASSERT_EQ(good.http_status, 200);
  for (const Record& r : good.body) {
    EXPECT_EQ(r["keyword_found"], true);
    EXPECT_EQ(r["redirects"], 0);
  }
}

// A remote node and an in-process node, both trusting the test authority, answer the same keys
// through the centre, nested ones included.
TEST(ProbeChecks, RemoteAndInProcessNodesGiveTheSameKeys) {
  rivi::testing::TempRoot dir(false);
  TestAuthority ca(dir.path(), "test-ca");
  HttpsSite site(ca.issue("site", {"127.0.0.1"}, 24h * 10), "<html>secure page</html>");
  LoopbackSite redirecting;
  redirecting.server().Get("/", [&](const httplib::Request&, httplib::Response& res) { res.set_redirect(site.url("/"), 302); });
  redirecting.start();

  NodeOptions node_options;
  node_options.probe.allow_private = true;
  node_options.probe_ca_file = ca.ca_file();
  rivi::testing::RunningNode node(node_options);
  CentreConfig config;
  config.deadline_ms = 8000;
  config.probe_timeout_ms = 5000;
  config.nodes = {{"本机", "", "", true}, {"远程", node.address(), "", false}};
  config.probe_authority = ProbeAuthority::load(ca.ca_file());
  Centre centre(config);
  ProbeChecks checks;
  checks.follow_redirects = true;
  checks.keyword = "secure";
  const Record list = centre.fan_out(redirecting.url("/"), checks);
  ASSERT_EQ(list.size(), 2u);
  const Record& local = list[0];
  const Record& remote = list[1];
  EXPECT_EQ(keys_of(local), keys_of(remote));
  EXPECT_EQ(keys_of(local).back(), "keyword_found");
  for (const Record* r : {&local, &remote}) {
    EXPECT_EQ((*r)["http_code"], 200) << r->dump();
    EXPECT_EQ((*r)["redirects"], 1);
    EXPECT_EQ((*r)["final_url"], site.url("/"));
    EXPECT_EQ((*r)["keyword_found"], true);
    EXPECT_EQ((*r)["addresses"], Record::array({"127.0.0.1"}));
  }
  EXPECT_EQ(local["cert"], remote["cert"]);
  EXPECT_EQ(remote["cert"]["verify_error"], "");
}

TEST(ProbeChecks, ATasksTimeOutShortensTheProbeWithinTheDeadline) {
  rivi::testing::SilentTarget silent;
  CentreConfig config;
  config.deadline_ms = 6000;
  config.probe_timeout_ms = 5000;
  config.nodes = {{"本机", "", "", true}};
  Centre centre(config);
  ProbeChecks checks;
  checks.timeout_ms = 1000;
  const Record shortened = centre.fan_out(silent.url(), checks)[0];
  EXPECT_EQ(shortened["error_code"], "timeout");
  EXPECT_LT(shortened["total_time"].get<double>(), 4000.0);  // not the configured 5 s

  // Asked for more than the deadline leaves, the probe still ends within the centre's margin: a
  // result for the target, not a node that did not answer.
  config.deadline_ms = 2000;
  config.probe_timeout_ms = 1500;
  centre.reload(config);
  checks.timeout_ms = 30000;
  EXPECT_EQ(centre.fan_out(silent.url(), checks)[0]["error_code"], "timeout");
}

TEST(ProbeChecks, NodeResultKeepsTheKnownNestedKeysWithinBounds) {
  const std::string cert =
      R"({"not_after": 1, "days_left": 0, "subject": "CN=a", "issuer": "CN=b", "names": ["a", "b"], "fingerprint_sha256": "AB", "verify_error": ""})";
  const auto kept = node_result(R"({"http_code": 200, "total_time": 1, "addresses": ["10.0.0.1", "::1"], "cert": )" + cert + "}");
  ASSERT_TRUE(kept);
  EXPECT_EQ((*kept)["addresses"], Record::array({"10.0.0.1", "::1"}));
  EXPECT_EQ((*kept)["cert"], decode(cert));
  std::string many = "[";
  for (int i = 0; i < 65; ++i) many += std::string(i ? "," : "") + "\"10.0.0.1\"";
  many += "]";
  const std::string dropped[] = {
      R"({"http_code": 200, "total_time": 1, "addresses": )" + many + "}",
      R"({"http_code": 200, "total_time": 1, "addresses": [["x"]]})",
      R"({"http_code": 200, "total_time": 1, "addresses": [")" + std::string(600, 'a') + R"("]})",
      R"({"http_code": 200, "total_time": 1, "cert": {"names": [{"deep": 1}]}})",
      R"({"http_code": 200, "total_time": 1, "cert": {"subject": {"o": 1}}})",
      R"({"http_code": 200, "total_time": 1, "cert": ["x"]})",
  };
  for (const std::string& text : dropped) {
    const auto r = node_result(text);
    ASSERT_TRUE(r) << text;
    EXPECT_EQ(r->dump(), R"({"http_code":200,"total_time":1})") << text;
  }
}

// The CA file is read again on SIGHUP, by the centre for its in-process nodes and by a node.
TEST(ProbeChecks, ProbeCaFileIsReadAgainOnSighup) {
  rivi::testing::TempRoot dir(false);
  TestAuthority first(dir.path(), "first-ca");
  TestAuthority second(dir.path(), "second-ca");
  HttpsSite site(second.issue("site", {"127.0.0.1"}, 24h * 10));
  const std::string ca_file = (dir.path() / "probe-ca.pem").string();
  std::filesystem::copy_file(first.ca_file(), ca_file);

  const int centre_port = rivi::testing::free_port();
  const std::string config = (dir.path() / "centre.json").string();
  std::ofstream(config) << R"({"listen": "127.0.0.1:)" << centre_port << R"(", "probe_ca_file": ")" << ca_file
                        << R"(", "nodes": [{"isp": "本机", "local": true, "allow_private": true}]})";
  rivi::testing::Child centre({rivi::testing::bin("rivi-dispatch"), "--config", config});
  const int node_port = rivi::testing::free_port();
  rivi::testing::Child node({rivi::testing::bin("rivi-node"), "--listen", "127.0.0.1:" + std::to_string(node_port),
                             "--allow-private", "--probe-ca-file", ca_file});
  ASSERT_TRUE(rivi::testing::wait_for_port(centre_port));
  ASSERT_TRUE(rivi::testing::wait_for_port(node_port));

  httplib::Client to_centre("127.0.0.1", centre_port);
  httplib::Client to_node("127.0.0.1", node_port);
  to_centre.set_read_timeout(20, 0);
  to_node.set_read_timeout(20, 0);
  const auto verify_errors = [&] {
    const auto c = to_centre.Post("/api/local/rivi", "url=" + site.url("/"), "application/x-www-form-urlencoded");
    const auto n = to_node.Post("/probe", "url=" + site.url("/"), "application/x-www-form-urlencoded");
    if (!c || !n) return std::pair<std::string, std::string>{"no answer", "no answer"};
    return std::pair{decode(c->body)[0]["cert"]["verify_error"].get<std::string>(),
                     decode(n->body)["cert"]["verify_error"].get<std::string>()};
  };
  using Pair = std::pair<std::string, std::string>;
  const std::string unknown = "unable to get local issuer certificate";
  EXPECT_EQ(verify_errors(), Pair(unknown, unknown));
  EXPECT_EQ(site.requests(), 0);
  std::filesystem::copy_file(second.ca_file(), ca_file, std::filesystem::copy_options::overwrite_existing);
  ::kill(centre.pid(), SIGHUP);
  ::kill(node.pid(), SIGHUP);
  std::pair<std::string, std::string> after;
  for (int i = 0; i < 50; ++i) {  // the reload comes on the programs' own time
    after = verify_errors();
    if (after.first.empty() && after.second.empty()) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(after, Pair("", ""));
}

}  // namespace
}  // namespace rivi::dispatch
