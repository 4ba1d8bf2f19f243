// The node and the centre at their descriptor limit, as real programs started under limits of
// their own (prlimit): they raise the soft limit to the hard one, and once every descriptor is
// taken a probe that gets no socket is refused as the node's failure (503; listed by a centre as
// not answered, its health saying why), never reported as a failure of the target.
#include "dispatch/centre.h"
#include "dispatch/error_code.h"
#include "dispatch/probe.h"
#include "host/record.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/raw_connections.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rivi::dispatch {
namespace {

using namespace std::chrono_literals;
using rivi::testing::bin;
using rivi::testing::Child;
using rivi::testing::free_port;
using rivi::testing::RawConnections;

// `argv` run with the descriptor limits `soft`:`hard`.
std::vector<std::string> limited(int soft, int hard, std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"prlimit", "--nofile=" + std::to_string(soft) + ":" + std::to_string(hard), "--"});
  return argv;
}

std::size_t open_descriptors(int pid) {
  std::size_t n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++n;
  }
  return n;
}

// The soft limit on open files of process `pid`, from /proc/PID/limits.
long soft_descriptor_limit(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Max open files", 0) == 0) return std::stol(line.substr(26));
  }
  return -1;
}

// Waits until the server process `pid` holds `limit` descriptors, its every one (it accepts
// queued connections as descriptors come free); false when it did not get there within 10 s.
bool full(int pid, std::size_t limit) {
  for (int i = 0; i < 1000 && open_descriptors(pid) < limit; ++i) std::this_thread::sleep_for(10ms);
  return open_descriptors(pid) >= limit;
}

// A client that keeps its connection alive between requests.
httplib::Client keeping(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  client.set_read_timeout(20, 0);
  return client;
}

// Starts `site` answering GET /ok with "ok".
void serve_ok(rivi::testing::LoopbackSite& site) {
  site.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  site.start();
}

constexpr int kLimit = 64;

TEST(DescriptorLimit, ProgramsRaiseTheirSoftLimitToTheHardOne) {
  rivi::testing::TempRoot dir(false);
  const int node_port = free_port();
  Child node(limited(256, 2048, {bin("rivi-node"), "--listen", "127.0.0.1:" + std::to_string(node_port)}), {},
             dir.file("node.log"));
  const int centre_port = free_port();
  Child centre(limited(256, 2048, {bin("rivi-dispatch"), "--listen", "127.0.0.1:" + std::to_string(centre_port)}),
               {}, dir.file("centre.log"));
  ASSERT_TRUE(rivi::testing::wait_for_port(node_port)) << dir.read("node.log");
  ASSERT_TRUE(rivi::testing::wait_for_port(centre_port)) << dir.read("centre.log");
  EXPECT_EQ(soft_descriptor_limit(node.pid()), 2048);
  EXPECT_EQ(soft_descriptor_limit(centre.pid()), 2048);
}

// A `rivi-node` that may probe this machine, started with `kLimit` descriptors, soft and hard.
class LimitedNode {
 public:
  LimitedNode()
      : port_(free_port()),
        child_(limited(kLimit, kLimit, {bin("rivi-node"), "--listen", "127.0.0.1:" + std::to_string(port_),
                                        "--allow-private", "--isp", "n"}),
               {{"RIVI_NODE_KEY", ""}}, dir_.file("node.log")) {}
  bool started() { return rivi::testing::wait_for_port(port_); }
  int port() const { return port_; }
  int pid() const { return child_.pid(); }

 private:
  rivi::testing::TempRoot dir_{false};
  int port_;
  Child child_;
};

TEST(DescriptorLimit, ANodeWithoutADescriptorRefusesItsCaller) {
  rivi::testing::LoopbackSite target;
  serve_ok(target);
  LimitedNode node;
  ASSERT_TRUE(node.started());
  // The caller's connection comes first in the node's queue, so it is accepted; of the many more
  // than the node can take, those it cannot accept wait there.
  RawConnections caller(node.port(), 1);
  const RawConnections idle(node.port(), 2 * kLimit);
  ASSERT_TRUE(full(node.pid(), kLimit)) << open_descriptors(node.pid());

  const std::string answer = caller.exchange(rivi::testing::form_post("/probe", "url=" + target.url("/ok")));
  EXPECT_EQ(answer.rfind("HTTP/1.1 503 ", 0), 0u) << answer;
  EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
  const auto body_at = answer.find("\r\n\r\n");
  ASSERT_NE(body_at, std::string::npos) << answer;
  const Record refusal = decode(answer.substr(body_at + 4));
  EXPECT_EQ(refusal["status"], false) << answer;
  EXPECT_NE(refusal["msg"].get<std::string>().find("节点资源不足"), std::string::npos) << answer;
  EXPECT_NE(refusal["msg"].get<std::string>().find("Too many open files"), std::string::npos) << answer;
}

TEST(DescriptorLimit, TheCentreListsANodeThatCouldNotProbeAsUnanswered) {
  rivi::testing::LoopbackSite target;
  serve_ok(target);
  LimitedNode node;
  ASSERT_TRUE(node.started());
  CentreConfig c;
  c.deadline_ms = 10000;
  c.nodes = {{"远程", "127.0.0.1:" + std::to_string(node.port()), "", false}};
  rivi::testing::RunningCentre centre(c);
  // The centre's connection to the node is made, and kept, while the node has descriptors to spare.
  httplib::Client caller = keeping(centre.port());
  auto res = caller.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
  ASSERT_TRUE(res);
  ASSERT_EQ(decode(res->body)[0]["http_code"], 200) << res->body;
  const RawConnections idle(node.port(), 2 * kLimit);
  ASSERT_TRUE(full(node.pid(), kLimit)) << open_descriptors(node.pid());

  res = caller.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
  ASSERT_TRUE(res);
  const Record list = decode(res->body);
  ASSERT_EQ(list.size(), 1u) << res->body;
  EXPECT_EQ(list[0], unanswered("远程"));
  const Record health = centre.centre().stats().health(centre.centre().config()->nodes);
  EXPECT_EQ(health[0]["state"], "down");
  EXPECT_NE(health[0]["last_error"].get<std::string>().find("HTTP 503: 节点资源不足"), std::string::npos)
      << health.dump();
}

TEST(DescriptorLimit, ACentreWithoutADescriptorListsItsInProcessNodesAsUnanswered) {
  rivi::testing::LoopbackSite target;
  serve_ok(target);
  rivi::testing::TempRoot dir(false);
  const int port = free_port();
  // The embedded default: three in-process nodes that may probe this machine.
  Child centre(limited(kLimit, kLimit, {bin("rivi-dispatch"), "--listen", "127.0.0.1:" + std::to_string(port)}), {},
               dir.file("centre.log"));
  ASSERT_TRUE(rivi::testing::wait_for_port(port)) << dir.read("centre.log");
  httplib::Client caller = keeping(port);
  auto res = caller.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
  ASSERT_TRUE(res);
  Record list = decode(res->body);
  ASSERT_EQ(list.size(), 3u) << res->body;
  for (const Record& r : list) EXPECT_EQ(r["http_code"], 200) << res->body;

  const RawConnections idle(port, 2 * kLimit);
  ASSERT_TRUE(full(centre.pid(), kLimit)) << open_descriptors(centre.pid());

  // An address, then a name whose lookup would need descriptors too (it is never asked).
  const std::pair<std::string, std::string> cases[] = {
      {target.url("/ok"), "no socket for the probe: Too many open files"},
      {"http://no-such-host.invalid/", "no descriptor for the name lookup: Too many open files"},
  };
  for (const auto& [url, reason] : cases) {
    SCOPED_TRACE(url);
    res = caller.Post("/api/local/rivi", httplib::Params{{"url", url}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    list = decode(res->body);
    ASSERT_EQ(list.size(), 3u) << res->body;
    for (const Record& r : list) {
      EXPECT_EQ(r["isp"], kNoAnswer) << res->body;
      EXPECT_EQ(r["error_code"], kNoAnswerCode) << res->body;
    }
    res = caller.Get("/api/local/rivi/nodes");
    ASSERT_TRUE(res);
    const Record health = decode(res->body);
    ASSERT_EQ(health.size(), 3u) << res->body;
    for (const Record& h : health) {
      EXPECT_EQ(h["state"], "down") << res->body;
      EXPECT_EQ(h["last_error"], reason) << res->body;
    }
  }
}

}  // namespace
}  // namespace rivi::dispatch
