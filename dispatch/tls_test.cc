// HTTPS between the centre and its nodes: fingerprints as openssl prints them, the node entries
// that ask for TLS, and a centre asking a real HTTPS node with each kind of trust, taking only
// what its configuration names.
#include "dispatch/centre.h"
#include "dispatch/config.h"
#include "dispatch/node.h"
#include "dispatch/tls.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <vector>

namespace rivi::dispatch {
namespace {

using rivi::testing::LoopbackSite;
using rivi::testing::make_certificate;
using rivi::testing::RunningCentre;
using rivi::testing::RunningNode;
using rivi::testing::TempRoot;

TEST(NodeTls, FingerprintsReadAndPrintAsOpensslPrintsThem) {
  TempRoot dir(false);
  const auto files = make_certificate(dir.path(), "node");
  const auto printed = rivi::testing::run({"openssl", "x509", "-in", files.certificate, "-noout", "-fingerprint", "-sha256"});
  ASSERT_EQ(printed.status, 0) << printed.err;
  const std::string expected = printed.out.substr(printed.out.find('=') + 1, 95);
  const Fingerprint fingerprint = certificate_fingerprint(files.certificate);
  EXPECT_EQ(fingerprint_text(fingerprint), expected);

  std::string bare;
  for (const char c : expected) {
    if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  EXPECT_EQ(parse_fingerprint(bare), fingerprint);
  EXPECT_EQ(parse_fingerprint(expected), fingerprint);
  for (const std::string& bad : {bare.substr(2), bare + "00", bare.substr(1) + "g", bare + "0", std::string()}) {
    EXPECT_THROW(parse_fingerprint(bad), std::invalid_argument) << bad;
  }

  dir.write("not.pem", "no certificate here\n");
  EXPECT_THROW(read_ca_file(dir.file("not.pem")), std::runtime_error);
  EXPECT_THROW(certificate_fingerprint(dir.file("not.pem")), std::runtime_error);
  EXPECT_NE(read_ca_file(files.certificate).find("BEGIN CERTIFICATE"), std::string::npos);
}

TEST(NodeTls, ConfigurationNamesOneKindOfTrustPerRemoteNode) {
  TempRoot dir(false);
  const auto files = make_certificate(dir.path(), "ca");
  const std::string pin(64, 'a');
  const auto with = [](const std::string& node) { return R"({"nodes": [)" + node + "]}"; };
  const auto c = parse_config(with(R"({"isp": "a", "address": "h:1", "pin_sha256": ")" + pin + R"("},
                                      {"isp": "b", "address": "h:2", "ca_file": ")" + files.certificate + R"("},
                                      {"isp": "c", "address": "h:3", "tls": true},
                                      {"isp": "d", "address": "h:4"})"),
                              "t");
  ASSERT_EQ(c.nodes.size(), 4u);
  EXPECT_TRUE(c.nodes[0].tls.on);
  ASSERT_TRUE(c.nodes[0].tls.pin);
  EXPECT_EQ((*c.nodes[0].tls.pin)[0], 0xaa);
  EXPECT_TRUE(c.nodes[1].tls.on);
  EXPECT_NE(c.nodes[1].tls.ca_pem.find("BEGIN CERTIFICATE"), std::string::npos);
  EXPECT_TRUE(c.nodes[2].tls.on);
  EXPECT_TRUE(c.nodes[2].tls.ca_pem.empty());
  EXPECT_FALSE(c.nodes[2].tls.pin);
  EXPECT_FALSE(c.nodes[3].tls.on);

  const std::pair<std::string, std::string> refused[] = {
      {R"({"isp": "a", "address": "h:1", "pin_sha256": "abc"})", "nodes[0].pin_sha256: a SHA-256 fingerprint"},
      {R"({"isp": "a", "address": "h:1", "pin_sha256": ")" + pin + R"(", "ca_file": ")" + files.certificate + R"("})",
       "give either ca_file or pin_sha256"},
      {R"({"isp": "a", "address": "h:1", "tls": false, "pin_sha256": ")" + pin + R"("})", "need TLS"},
      {R"({"isp": "a", "address": "h:1", "ca_file": "/nonexistent/ca.pem"})", "nodes[0].ca_file: cannot read the CA file"},
      {R"({"isp": "a", "local": true, "tls": true})", "TLS is for remote nodes only"},
      {R"({"isp": "a", "address": "h:1", "tls": "yes"})", "tls must be true or false"},
      {R"({"isp": "a", "address": "h:1", "tls": true}, {"isp": "b", "address": "h:1"})",
       "nodes[1] and nodes[0] name the same address with different TLS settings"},
  };
  for (const auto& [node, why] : refused) {
    try {
      parse_config(with(node), "centre.json");
      ADD_FAILURE() << node;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
}

// Two certificates, the node's and another, and a site the nodes probe.
class HttpsNodes : public ::testing::Test {
 protected:
  HttpsNodes() {
    target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
    target.start();
  }
  // A node serving HTTPS with the node's certificate.
  NodeOptions options() const {
    NodeOptions o;
    o.probe.allow_private = true;
    o.tls_certificate = node_files.certificate;
    o.tls_key = node_files.key;
    return o;
  }
  // A centre's configuration with `node` alone, as "远方", pinned to the certificate in `pinned`.
  static CentreConfig pinned_to(const RunningNode& node, const std::string& pinned) {
    CentreConfig c;
    c.deadline_ms = 5000;
    c.nodes = {{"远方", node.address(), "", false,
                {true, "", std::make_shared<const Fingerprint>(certificate_fingerprint(pinned))}}};
    return c;
  }

  TempRoot dir{false};
  const rivi::testing::CertificateFiles node_files = make_certificate(dir.path(), "node");
  const rivi::testing::CertificateFiles other = make_certificate(dir.path(), "other");
  LoopbackSite target;
};

TEST_F(HttpsNodes, CentreTakesAnHttpsNodeOnlyThroughTheTrustItsConfigurationNames) {
  NodeOptions o = options();
  o.key = "nk";
  // One node an entry: a node is trusted one way (the configuration refuses two).
  std::vector<std::unique_ptr<RunningNode>> nodes;
  const auto entry = [&](const std::string& isp, NodeTls tls) {
    nodes.push_back(std::make_unique<RunningNode>(o));
    return NodeEntry{isp, nodes.back()->address(), "nk", false, std::move(tls)};
  };
  const auto pin = [](const std::string& file) {
    return std::make_shared<const Fingerprint>(certificate_fingerprint(file));
  };
  CentreConfig c;
  c.deadline_ms = 5000;
  c.nodes = {entry("钉住", {true, "", pin(node_files.certificate)}),
             entry("CA", {true, read_ca_file(node_files.certificate), nullptr}),
             entry("钉错", {true, "", pin(other.certificate)}),
             entry("别的CA", {true, read_ca_file(other.certificate), nullptr}),
             entry("系统CA", {true, "", nullptr}),
             entry("明文", {})};
  RunningCentre centre(c);
  httplib::Client client("127.0.0.1", centre.port());
  client.set_read_timeout(20, 0);
  auto res = client.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const Record results = decode(res->body);
  ASSERT_EQ(results.size(), 6u);
  EXPECT_EQ(results[0]["isp"], "钉住");
  EXPECT_EQ(results[0]["http_code"], 200);
  EXPECT_EQ(results[1]["isp"], "CA");
  EXPECT_EQ(results[1]["http_code"], 200);
  for (int i = 2; i < 6; ++i) EXPECT_EQ(results[i]["error_code"], "no_answer") << results[i].dump();

  const Record health = decode(client.Get("/api/local/rivi/nodes")->body);
  ASSERT_EQ(health.size(), 6u);
  EXPECT_EQ(health[0]["state"], "up");
  EXPECT_EQ(health[1]["state"], "up");
  const std::vector<Record> trust{"pin", "ca", "pin", "ca", "system", nullptr};
  for (std::size_t i = 0; i < trust.size(); ++i) EXPECT_EQ(health[i]["tls"], trust[i]) << i;
  // The reason says what failed: the pin, the authority, the plain request to a TLS port.
  EXPECT_EQ(health[2]["last_error"], "SSL certificate problem: certificate rejected");
  for (int i = 3; i < 5; ++i) {
    EXPECT_NE(health[i]["last_error"].get<std::string>().find("SSL certificate problem"), std::string::npos)
        << health[i].dump();
  }
  EXPECT_EQ(health[5]["last_error"], "HTTP 400: this port speaks HTTPS: ask https://");
}

// A node whose certificate is not the pinned one is refused on every request, and logged once:
// one line naming the pin, one saying the node is down; again after a reload to another wrong pin.
TEST_F(HttpsNodes, ARefusedPinIsLoggedOncePerPin) {
  RunningNode node(options());
  const auto config = [&](const std::string& pinned) { return pinned_to(node, pinned); };
  const auto ask = [&](int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(20, 0);
    auto res = client.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
    return res && res->status == 200 ? decode(res->body)[0].value("error_code", std::string()) : std::string("none");
  };
  RunningCentre running(config(other.certificate));
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ask(running.port()), "no_answer");
  const auto other_cert = make_certificate(dir.path(), "third");
  running.centre().reload(config(other_cert.certificate));
  for (int i = 0; i < 2; ++i) EXPECT_EQ(ask(running.port()), "no_answer");
  const std::string log = ::testing::internal::GetCapturedStderr();
  const std::string refused = "rivi-dispatch: node " + node.address() + " (远方) refused: its certificate is not the one pinned (";
  EXPECT_EQ(rivi::testing::count_lines(log, refused), 2) << log;
  EXPECT_EQ(rivi::testing::count_lines(log, refused + fingerprint_text(certificate_fingerprint(other.certificate))), 1) << log;
  EXPECT_EQ(rivi::testing::count_lines(log, "(远方) is down: SSL certificate problem: certificate rejected"), 1) << log;
}

TEST_F(HttpsNodes, AfterAReloadThatChangesTheTrustNoConnectionCheckedUnderTheOldOneServes) {
  RunningNode node(options());
  const auto config = [&](const std::string& pinned) { return pinned_to(node, pinned); };
  RunningCentre running(config(node_files.certificate));
  httplib::Client client("127.0.0.1", running.port());
  client.set_read_timeout(20, 0);
  const auto http_code = [&] {
    auto res = client.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
    return res && res->status == 200 ? decode(res->body)[0].value("http_code", -1) : -1;
  };
  ASSERT_EQ(http_code(), 200);
  const std::size_t accepted = node.accepted();
  ASSERT_EQ(http_code(), 200);
  EXPECT_EQ(node.accepted(), accepted);  // the connection is kept and reused

  // Pinned to a certificate the node does not have: the kept connection must not answer.
  running.centre().reload(config(other.certificate));
  EXPECT_EQ(http_code(), 0);
  running.centre().reload(config(node_files.certificate));
  EXPECT_EQ(http_code(), 200);
}

TEST(NodeTls, NodeRefusesACertificateAndKeyThatDoNotBelongTogether) {
  TempRoot dir(false);
  const auto a = make_certificate(dir.path(), "a");
  const auto b = make_certificate(dir.path(), "b");
  NodeOptions o;
  o.tls_certificate = a.certificate;
  o.tls_key = b.key;
  try {
    NodeServer node(o);
    ADD_FAILURE() << "a foreign key was taken";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("does not belong to the certificate"), std::string::npos) << e.what();
  }
  o.tls_key.clear();
  EXPECT_THROW(NodeServer{o}, std::runtime_error);
  o.tls_key = dir.file("missing.key");
  EXPECT_THROW(NodeServer{o}, std::runtime_error);
}

}  // namespace
}  // namespace rivi::dispatch
