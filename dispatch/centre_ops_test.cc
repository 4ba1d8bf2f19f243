// What the centre tells about its nodes (health at /api/local/rivi/nodes behind the caller check,
// Prometheus metrics at /metrics behind a token of their own), the names it answers to, the
// program's reload of its node list on SIGHUP, and an HTTPS node pinned by the fingerprint it
// prints, renewing its certificate on SIGHUP.
#include "dispatch/centre.h"
#include "dispatch/node.h"
#include "dispatch/tls.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <future>
#include <thread>

namespace rivi::dispatch {
namespace {

using rivi::testing::free_port;
using rivi::testing::LoopbackSite;
using rivi::testing::RunningCentre;
using rivi::testing::RunningNode;

TEST(CentreHealth, ReportsEachNodeToTheCallerWithTheKeyAndMetricsToTheirToken) {
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  target.start();
  NodeOptions o;
  o.key = "nk";
  o.probe.allow_private = true;
  RunningNode remote(o);
  CentreConfig c;
  c.deadline_ms = 3000;
  c.access_key = "ck";
  c.metrics_token = "mt";
  c.allowed_serverids = {"s1"};
  const std::string dead = "127.0.0.1:" + std::to_string(free_port());
  // A label needing every escape of the metrics format.
  const std::string odd = "a\"b\\c\nd";
  c.nodes = {{"远程", remote.address(), "nk", false}, {odd, dead, "", false}, {"本地", "", "", true}};
  RunningCentre centre(c);
  httplib::Client client("127.0.0.1", centre.port());
  client.set_read_timeout(10, 0);

  const auto nodes = [&](const std::string& query) {
    auto res = client.Get("/api/local/rivi/nodes" + query);
    return res ? std::make_pair(res->status, decode(res->body)) : std::make_pair(-1, Record());
  };
  const auto [before_status, before] = nodes("?serverid=s1&access_key=ck");
  ASSERT_EQ(before_status, 200);
  ASSERT_EQ(before.size(), 3u);
  EXPECT_EQ(before[0]["state"], "unknown");
  EXPECT_EQ(before[0]["last_success"], nullptr);
  const auto scrape = [&] {
    auto res = client.Get("/metrics", {{"Authorization", "Bearer mt"}});
    return res && res->status == 200 ? res->body : std::string("no answer");
  };
  // A node not asked yet is neither up nor down.
  const std::string unasked = scrape();
  EXPECT_NE(unasked.find("# TYPE rivi_node_up gauge\n"), std::string::npos) << unasked;
  EXPECT_EQ(unasked.find("rivi_node_up{"), std::string::npos) << unasked;
  EXPECT_EQ(unasked.find("rivi_node_last_success_timestamp_seconds{"), std::string::npos) << unasked;

  for (int i = 0; i < 3; ++i) {
    auto res = client.Post("/api/local/rivi", httplib::Params{{"serverid", "s1"}, {"access_key", "ck"}, {"url", target.url("/ok")}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
  }
  const auto [status, health] = nodes("?serverid=s1&access_key=ck");
  ASSERT_EQ(status, 200) << health.dump();
  ASSERT_EQ(health.size(), 3u);
  EXPECT_EQ(health[0]["node"], remote.address());
  EXPECT_EQ(health[0]["isp"], "远程");
  EXPECT_EQ(health[0]["state"], "up");
  EXPECT_EQ(health[0]["failures"], 0);
  EXPECT_TRUE(health[0]["last_success"].is_number());
  EXPECT_TRUE(health[0]["median_ms"].is_number());
  EXPECT_EQ(health[0]["last_error"], nullptr);
  EXPECT_EQ(health[1]["address"], dead);
  EXPECT_EQ(health[1]["state"], "down");
  EXPECT_EQ(health[1]["failures"], 3);
  EXPECT_EQ(health[1]["last_success"], nullptr);
  EXPECT_TRUE(health[1]["last_error"].is_string());
  EXPECT_EQ(health[2]["node"], "local");
  EXPECT_EQ(health[2]["state"], "up");

  // The caller check of the fan-out, on the query or a form body.
  EXPECT_EQ(nodes("?serverid=s1&access_key=wrong").first, 403);
  EXPECT_EQ(nodes("?serverid=s2&access_key=ck").first, 403);
  EXPECT_EQ(nodes("").first, 403);

  EXPECT_EQ(client.Get("/metrics")->status, 401);
  EXPECT_EQ(client.Get("/metrics", {{"Authorization", "Bearer wrong"}})->status, 401);
  // The key that dispatches probes is not the metrics token.
  EXPECT_EQ(client.Get("/metrics", {{"Authorization", "Bearer ck"}})->status, 401);
  auto metrics = client.Get("/metrics", {{"Authorization", "Bearer mt"}});
  ASSERT_TRUE(metrics);
  ASSERT_EQ(metrics->status, 200);
  const std::string& text = metrics->body;
  EXPECT_NE(text.find("rivi_centre_node_requests_total{node=\"" + remote.address() + "\",isp=\"远程\",outcome=\"ok\"} 3\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("isp=\"a\\\"b\\\\c\\nd\",outcome=\"failed\"} 3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("rivi_centre_node_latency_seconds_count{node=\"local\",isp=\"本地\"} 3\n"), std::string::npos) << text;
  // Each configured node's health as the nodes route answers it: the dead one down, with no
  // success to tell.
  EXPECT_NE(text.find("rivi_node_up{node=\"" + remote.address() + "\",isp=\"远程\"} 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("rivi_node_up{node=\"" + dead + "\",isp=\"a\\\"b\\\\c\\nd\"} 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("rivi_node_up{node=\"local\",isp=\"本地\"} 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("rivi_node_last_success_timestamp_seconds{node=\"" + remote.address() + "\",isp=\"远程\"} " +
                      health[0]["last_success"].dump() + "\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("rivi_node_last_success_timestamp_seconds{node=\"" + dead), std::string::npos) << text;

  // The format as Prometheus's own checker reads it.
  rivi::testing::TempRoot dir(false);
  dir.write("metrics.txt", text);
  const auto check = rivi::testing::run({"/bin/sh", "-c", "promtool check metrics < " + dir.file("metrics.txt")});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
}

TEST(CentreHealth, MetricsAreOpenOnLoopbackWithoutAnAccessKey) {
  CentreConfig c;
  c.nodes = {{"本地", "", "", true}};
  RunningCentre centre(c);
  httplib::Client client("127.0.0.1", centre.port());
  auto res = client.Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(res->body.find("# TYPE rivi_centre_node_latency_seconds histogram"), std::string::npos);
}

void write_config(const std::string& path, const std::string& nodes, long deadline_ms) {
  std::ofstream(path) << R"({"listen": "127.0.0.1:1", "deadline_ms": )" << deadline_ms << R"(, "nodes": )" << nodes << "}";
}

TEST(CentreProgram, ReloadsItsNodesOnSighupAndKeepsRequestsInFlight) {
  // A node that holds its answer, so that a request is in flight across the reload.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  LoopbackSite slow;
  std::atomic<bool> asked{false};
  slow.server().Post("/probe", [released, &asked](const httplib::Request&, httplib::Response& res) {
    asked = true;
    released.wait_for(std::chrono::seconds(10));
    res.set_content(R"({"http_code": 200, "total_time": 0.5})", "application/json");
  });
  slow.start();
  rivi::testing::TempRoot dir(false);
  const std::string config = dir.file("centre.json");
  const std::string slow_node = R"({"isp": "慢", "address": "127.0.0.1:)" + std::to_string(slow.port()) + R"("})";
  write_config(config, "[" + slow_node + "]", 20000);
  const int port = free_port();
  rivi::testing::Child centre({rivi::testing::bin("rivi-dispatch"), "--config", config, "--listen",
                               "127.0.0.1:" + std::to_string(port)},
                              {}, dir.file("centre.log"));
  ASSERT_TRUE(rivi::testing::wait_for_port(port)) << dir.read("centre.log");
  const auto ask = [port] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    auto res = client.Post("/api/local/rivi", httplib::Params{{"url", "http://example.com/"}});
    return res && res->status == 200 ? decode(res->body) : Record();
  };
  auto in_flight = std::async(std::launch::async, ask);
  // Wait until the centre has asked the slow node.
  for (int i = 0; i < 500 && !asked; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // A bad file is refused and the old list kept.
  std::ofstream(config) << "{ not json";
  ::kill(centre.pid(), SIGHUP);
  for (int i = 0; i < 300 && dir.read("centre.log").find("reload failed") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(dir.read("centre.log").find("reload failed, the previous configuration stays"), std::string::npos);

  write_config(config, R"([{"isp": "甲", "local": true}, {"isp": "乙", "local": true}])", 5000);
  ::kill(centre.pid(), SIGHUP);
  for (int i = 0; i < 300 && dir.read("centre.log").find("with 2 node(s)") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const Record after = ask();
  ASSERT_EQ(after.size(), 2u) << dir.read("centre.log");
  EXPECT_EQ(after[0]["isp"], "甲");
  EXPECT_EQ(after[1]["isp"], "乙");

  // The request started before the reload answers with the node it started with.
  release.set_value();
  const Record before = in_flight.get();
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before[0]["isp"], "慢");
  EXPECT_EQ(before[0]["http_code"], 200);
}

// Waits until `text` shows in the file at `path`; answers what the file then holds.
std::string wait_for_text(const rivi::testing::TempRoot& dir, const std::string& file, const std::string& text) {
  for (int i = 0; i < 500 && dir.read(file).find(text) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return dir.read(file);
}

TEST(CentreProgram, PinsAnHttpsNodeByTheFingerprintItPrintsAndFollowsARenewal) {
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  target.start();
  rivi::testing::TempRoot dir(false);
  auto files = rivi::testing::make_certificate(dir.path(), "node");
  const int node_port = free_port();
  rivi::testing::Child node({rivi::testing::bin("rivi-node"), "--listen", "127.0.0.1:" + std::to_string(node_port),
                             "--allow-private", "--tls-cert", files.certificate, "--tls-key", files.key},
                            {{"RIVI_NODE_KEY", "nk"}}, dir.file("node.log"));
  ASSERT_TRUE(rivi::testing::wait_for_port(node_port)) << dir.read("node.log");
  wait_for_text(dir, "node.log", "listening on");  // written after the fingerprint
  const auto fingerprint_in = [](const std::string& log, const std::string& after) {
    const auto at = log.find(after);
    return at == std::string::npos ? std::string() : log.substr(at + after.size() + 1, 95);
  };
  const std::string first = fingerprint_in(dir.read("node.log"), "HTTPS certificate SHA-256 fingerprint");
  ASSERT_EQ(first, fingerprint_text(certificate_fingerprint(files.certificate))) << dir.read("node.log");

  const std::string config = dir.file("centre.json");
  const auto configure = [&](const std::string& pin) {
    write_config(config, R"([{"isp": "远方", "address": "127.0.0.1:)" + std::to_string(node_port) +
                             R"(", "key": "nk", "pin_sha256": ")" + pin + R"("}])", 5000);
  };
  configure(first);
  // Each check starts a centre of its own: a running centre keeps using the connection it has,
  // made under the certificate the node had then.
  const auto start_centre = [&](const std::string& log) {
    const int port = free_port();
    auto centre = std::make_unique<rivi::testing::Child>(
        std::vector<std::string>{rivi::testing::bin("rivi-dispatch"), "--config", config, "--listen",
                                 "127.0.0.1:" + std::to_string(port)},
        std::map<std::string, std::string>{}, dir.file(log));
    EXPECT_TRUE(rivi::testing::wait_for_port(port)) << dir.read(log);
    return std::make_pair(std::move(centre), port);
  };
  const auto http_code = [&](int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(20, 0);
    auto res = client.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
    return res && res->status == 200 ? decode(res->body)[0].value("http_code", -1) : -1;
  };
  {
    const auto [centre, port] = start_centre("first.log");
    EXPECT_EQ(http_code(port), 200);
  }

  // A renewed certificate: the node takes it on SIGHUP; the old pin no longer matches until the
  // centre is given the new fingerprint and reloads.
  files = rivi::testing::make_certificate(dir.path(), "node");
  ::kill(node.pid(), SIGHUP);
  const std::string second =
      fingerprint_in(wait_for_text(dir, "node.log", "reloaded the certificate"), "reloaded the certificate, SHA-256 fingerprint");
  ASSERT_EQ(second.size(), 95u) << dir.read("node.log");
  EXPECT_NE(second, first);
  const auto [centre, port] = start_centre("second.log");
  EXPECT_EQ(http_code(port), 0);
  configure(second);
  ::kill(centre->pid(), SIGHUP);
  wait_for_text(dir, "second.log", "reloaded");
  EXPECT_EQ(http_code(port), 200) << dir.read("second.log");
}

// A node's refusal shows as its words: an old node refusing the signature scheme names the
// upgrade, and text cut in the middle of a character still makes a node list.
TEST(CentreHealth, ShowsANodesRefusalAsItsWords) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += "节点";
  LoopbackSite old_node, chatty;
  old_node.server().Post("/probe", [](const httplib::Request&, httplib::Response& res) {
    res.status = 403;
    res.set_content(encode(Record{{"status", false}, {"msg", "请求签名错误"}}), "application/json");
  });
  old_node.start();
  chatty.server().Post("/probe", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 502;
    res.set_content(text, "text/plain; charset=utf-8");
  });
  chatty.start();
  CentreConfig c;
  c.deadline_ms = 3000;
  c.nodes = {{"旧", "127.0.0.1:" + std::to_string(old_node.port()), "nk", false},
             {"多话", "127.0.0.1:" + std::to_string(chatty.port()), "", false}};
  RunningCentre centre(c);
  httplib::Client client("127.0.0.1", centre.port());
  client.set_read_timeout(10, 0);
  ASSERT_EQ(client.Post("/api/local/rivi", httplib::Params{{"url", "http://example.com/"}})->status, 200);
  auto res = client.Get("/api/local/rivi/nodes");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const Record health = decode(res->body);
  EXPECT_EQ(health[0]["last_error"],
            "HTTP 403: 请求签名错误（节点的密钥不同，或节点早于签名方案 2：请升级该节点）");
  const std::string said = health[1]["last_error"].get<std::string>();
  EXPECT_EQ(said.rfind("HTTP 502: 节点节点", 0), 0u) << said;
  EXPECT_LE(said.size(), 210u);
}

// The program as deployed: a name other than its own gets 421 on every route, and /metrics takes
// the token from `metrics_token_file`, not the callers' key.
TEST(CentreProgram, AnswersToItsOwnNamesAndShowsMetricsToTheirTokenOnly) {
  rivi::testing::TempRoot dir(false);
  dir.write("metrics.token", "scrape-token\n");
  const int port = free_port();
  dir.write("centre.json", R"({"listen": "127.0.0.1:)" + std::to_string(port) +
                               R"(", "access_key": "ck", "metrics_token_file": ")" + dir.file("metrics.token") +
                               R"(", "nodes": [{"isp": "本地", "local": true}]})");
  rivi::testing::Child centre({rivi::testing::bin("rivi-dispatch"), "--config", dir.file("centre.json")}, {},
                              dir.file("centre.log"));
  ASSERT_TRUE(rivi::testing::wait_for_port(port)) << dir.read("centre.log");
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(10, 0);
  const httplib::Headers rebound{{"Host", "attacker.example:" + std::to_string(port)}};
  const httplib::Params form{{"access_key", "ck"}, {"url", "http://example.com/"}};
  EXPECT_EQ(client.Get("/metrics", {{"Host", "attacker.example"}, {"Authorization", "Bearer scrape-token"}})->status, 421);
  EXPECT_EQ(client.Post("/api/local/rivi/nodes", rebound, form)->status, 421);
  auto refused = client.Post("/api/local/rivi", rebound, form);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 421);
  EXPECT_EQ(decode(refused->body)["status"], false);
  EXPECT_EQ(client.Post("/api/local/rivi/nodes", {{"Host", "localhost:" + std::to_string(port)}}, form)->status, 200);

  EXPECT_EQ(client.Get("/metrics")->status, 401);
  EXPECT_EQ(client.Get("/metrics", {{"Authorization", "Bearer ck"}})->status, 401);
  auto metrics = client.Get("/metrics", {{"Authorization", "Bearer scrape-token"}});
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_NE(metrics->body.find("rivi_centre_node_requests_total"), std::string::npos) << metrics->body;
}

}  // namespace
}  // namespace rivi::dispatch
