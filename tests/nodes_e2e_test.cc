// `panel call qn_rivi get_nodes` against the real rivi-dispatch, which asks a real rivi-node
// (signing with its key) and an address where nothing listens, and asks its callers for a key.
#include "host/record.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace rivi {
namespace {

TEST(NodesEndToEnd, TheCentresNodeHealthReachesThePanelWithItsKey) {
  testing::TempRoot root;
  root.write("data/dispatch_key", "centre-key\n");
  testing::LoopbackSite target;
  target.server().Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  target.start();

  const int node_port = testing::free_port();
  const std::string node = "127.0.0.1:" + std::to_string(node_port);
  testing::Child node_program({testing::bin("rivi-node"), "--listen", node, "--allow-private"},
                              {{"RIVI_NODE_KEY", "node-key"}}, root.file("node.log"));
  ASSERT_TRUE(testing::wait_for_port(node_port)) << root.read("node.log");
  const std::string dead = "127.0.0.1:" + std::to_string(testing::free_port());
  const Record config{{"deadline_ms", 3000}, {"access_key", "centre-key"},
                      {"nodes", Record::array({Record{{"isp", "远程"}, {"address", node}, {"key", "node-key"}},
                                               Record{{"isp", "死节点"}, {"address", dead}}})}};
  root.write("centre.json", encode(config));
  const int centre_port = testing::free_port();
  testing::Child centre({testing::bin("rivi-dispatch"), "--config", root.file("centre.json"), "--listen",
                         "127.0.0.1:" + std::to_string(centre_port)},
                        {}, root.file("centre.log"));
  ASSERT_TRUE(testing::wait_for_port(centre_port)) << root.read("centre.log");

  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()},
                                               {"RIVI_DISPATCH_HOST", "127.0.0.1:" + std::to_string(centre_port)}};
  const auto call = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {testing::bin("panel"), "call", "qn_rivi"});
    const testing::RunResult r = testing::run(args, env);
    EXPECT_EQ(r.status, testing::call_status(r.out)) << r.err;
    return decode(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1));  // the answer is the last line
  };
  ASSERT_EQ(call({"create", "name2=站点", "url=" + target.url("/"), "cycle=5"})["status"], true);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(call({"start", "id=1"}).size(), 2u);

  const Record nodes = call({"get_nodes"});
  ASSERT_EQ(nodes.size(), 2u) << nodes.dump();
  EXPECT_EQ(nodes[0]["node"], node);
  EXPECT_EQ(nodes[0]["state"], "up");
  EXPECT_EQ(nodes[0]["failures"], 0);
  EXPECT_TRUE(nodes[0]["last_success"].is_number());
  EXPECT_TRUE(nodes[0]["median_ms"].is_number());
  EXPECT_EQ(nodes[1]["address"], dead);
  EXPECT_EQ(nodes[1]["state"], "down");
  EXPECT_EQ(nodes[1]["failures"], 2);
  EXPECT_EQ(nodes[1]["last_success"], nullptr);
  EXPECT_NE(nodes[1]["last_error"].get<std::string>().find("Couldn't connect to server"), std::string::npos);

  // A panel holding another key gets the centre's own refusal, not a failure to connect.
  root.write("data/dispatch_key", "stale-key\n");
  EXPECT_EQ(call({"get_nodes"}), Record({{"status", false}, {"msg", "访问密钥错误"}}));
}

// With the centre down the panel prints why, and never the key it would have sent.
TEST(NodesEndToEnd, ACentreThatIsDownLeavesTheKeyOutOfThePanelsOutput) {
  testing::TempRoot root;
  root.write("data/dispatch_key", "never-printed-key\n");
  const int port = testing::free_port();
  const testing::RunResult r = testing::run({testing::bin("panel"), "call", "qn_rivi", "get_nodes"},
                                            {{"PANEL_ROOT", root.path().string()},
                                             {"RIVI_DISPATCH_HOST", "127.0.0.1:" + std::to_string(port)}});
  EXPECT_EQ(r.status, 1) << r.err << "a refusal";
  EXPECT_NE(r.out.find("127.0.0.1:" + std::to_string(port) + "/api/local/rivi/nodes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("连接调度中心失败"), std::string::npos) << r.out;
  EXPECT_EQ((r.out + r.err).find("never-printed-key"), std::string::npos) << r.out << r.err;
}

}  // namespace
}  // namespace rivi
