// Task health through the real chain: in-process nodes measure loopback targets and set their
// error codes, the centre answers them, `start` stores the run and its health, and the overview
// shows the reason, the scope and the outage. Then the real programs: three `rivi-node`s behind
// `rivi-dispatch`, one of them killed, and the centre itself stopped for a while.
#include "host/public.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/dispatch_servers.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace rivi {
namespace {

TEST(HealthEndToEnd, NodeErrorCodesBecomeTheReasonAndAnOutageOpensAndCloses) {
  testing::TempRoot root;
  std::atomic<bool> broken{true};
  testing::LoopbackSite site;
  site.server().Get("/", [&](const httplib::Request&, httplib::Response& res) {
    res.status = broken ? 500 : 200;
    res.set_content("page", "text/plain");
  });
  site.start();

  dispatch::CentreConfig config;
  config.deadline_ms = 5000;
  config.probe_timeout_ms = 3000;
  config.nodes = {{"电信", "", "", true}, {"电信", "", "", true}, {"联通", "", "", true}};
  testing::RunningCentre centre(config);
  ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(centre.port())).c_str(), 1);

  load_qn_rivi_module();
  qn_rivi_main plugin;
  const auto site_task = public_::M("rivi_task").insert(
      Record{{"name", "站点"}, {"url", site.url("/")}, {"status", 1}, {"cycle", 1}, {"addtime", public_::now()}});
  const auto dead_task = public_::M("rivi_task").insert(
      Record{{"name", "关闭的端口"}, {"url", "http://127.0.0.1:" + std::to_string(testing::free_port()) + "/"},
             {"status", 1}, {"cycle", 1}, {"addtime", public_::now()}});
  const auto probe = [&](std::int64_t id) {
    Record args{{"id", id}};
    ASSERT_TRUE(plugin.start(args).is_array());
  };
  probe(site_task);
  probe(dead_task);

  Record args = Record::object();
  Record overview = call_web_method("get_overview", args);
  ASSERT_EQ(overview["data"].size(), 2u);
  const Record& dead = overview["data"][0];
  EXPECT_EQ(dead["health"], "down");
  EXPECT_EQ(dead["scope"], "site");
  EXPECT_EQ(dead["reason"], "3/3 节点失败：连接被拒绝");
  EXPECT_EQ(dead["last_total_time"], nullptr);
  const Record& failing = overview["data"][1];
  EXPECT_EQ(failing["health"], "down");
  EXPECT_EQ(failing["reason"], "3/3 节点失败：状态码 500");

  broken = false;
  probe(site_task);
  args = Record::object();
  overview = call_web_method("get_overview", args);
  EXPECT_EQ(overview["data"][1]["health"], "up");
  EXPECT_TRUE(overview["data"][1]["last_total_time"].is_number());
  EXPECT_EQ(overview["counts"]["down"], 1);
  args = Record{{"pid", std::to_string(site_task)}};
  const Record incidents = call_web_method("get_incidents", args);
  ASSERT_EQ(incidents["data"].size(), 1u);
  EXPECT_EQ(incidents["data"][0]["failing_nodes"], Record::array({"电信#1", "电信#2", "联通#1"}));
  EXPECT_FALSE(incidents["data"][0]["end"].is_null());

  ::unsetenv("RIVI_DISPATCH_HOST");
  std::filesystem::current_path(testing::build_dir());
}

std::string host_of(int port) { return "127.0.0.1:" + std::to_string(port); }

// The probing programs as they run in production, each its own process on loopback: `rivi-node`s
// on fixed ports (so that one can come back where it was) and `rivi-dispatch` asking them.
class RealPrograms : public ::testing::Test {
 protected:
  RealPrograms() {
    site_.server().Get("/", [this](const httplib::Request&, httplib::Response& res) {
      res.status = status_.load();
      res.set_content("page", "text/plain");
    });
    site_.start();
    for (int& port : node_ports_) port = testing::free_port();
    for (int i = 0; i < 3; ++i) start_node(i);
    Record nodes = Record::array();
    for (int i = 0; i < 3; ++i) nodes.push_back(Record{{"isp", kIsps[i]}, {"address", host_of(node_ports_[i])}});
    root_.write("centre.json", encode(Record{{"deadline_ms", 3000}, {"probe_timeout_ms", 2000}, {"nodes", nodes}}));
    centre_port_ = testing::free_port();
    start_centre();
    ::setenv("RIVI_DISPATCH_HOST", host_of(centre_port_).c_str(), 1);
    load_qn_rivi_module();
    plugin_.emplace();
    task_ = public_::M("rivi_task").insert(
        Record{{"name", "站点"}, {"url", site_.url("/")}, {"status", 1}, {"cycle", 1}, {"addtime", public_::now()}});
  }
  ~RealPrograms() override {
    ::unsetenv("RIVI_DISPATCH_HOST");
    std::filesystem::current_path(testing::build_dir());
  }

  void start_node(int i) {
    const std::string log = root_.file("node" + std::to_string(i) + ".log");
    nodes_[i] = std::make_unique<testing::Child>(
        std::vector<std::string>{testing::bin("rivi-node"), "--listen", host_of(node_ports_[i]), "--allow-private"},
        std::map<std::string, std::string>{}, log);
    ASSERT_TRUE(testing::wait_for_port(node_ports_[i])) << root_.read("node" + std::to_string(i) + ".log");
  }
  void kill_node(int i) {
    ::kill(nodes_[i]->pid(), SIGKILL);
    nodes_[i]->stop();
  }
  void start_centre() {
    centre_ = std::make_unique<testing::Child>(
        std::vector<std::string>{testing::bin("rivi-dispatch"), "--listen", host_of(centre_port_), "--config",
                                 root_.file("centre.json")},
        std::map<std::string, std::string>{}, root_.file("centre.log"));
    ASSERT_TRUE(testing::wait_for_port(centre_port_)) << root_.read("centre.log");
  }
  // One run of task `id`, as its job would start it; answers the run's answer.
  Record probe(std::int64_t id) {
    Record args{{"id", id}};
    ::testing::internal::CaptureStdout();
    Record answer = plugin_->start(args);
    ::testing::internal::GetCapturedStdout();
    return answer;
  }
  Record health() { return public_::M("rivi_health").where("pid=?", task_).find(); }
  Record incidents() { return public_::M("rivi_incident").where("pid=?", task_).order("id").select(); }
  Record node_incidents() { return public_::M("rivi_node_incident").order("id").select(); }

  static constexpr const char* kIsps[3] = {"电信", "联通", "移动"};
  testing::TempRoot root_;
  testing::LoopbackSite site_;
  std::atomic<int> status_{200};
  std::array<int, 3> node_ports_{};
  std::array<std::unique_ptr<testing::Child>, 3> nodes_;
  int centre_port_ = 0;
  std::unique_ptr<testing::Child> centre_;
  std::optional<qn_rivi_main> plugin_;
  std::int64_t task_ = 0;
};

// A site answering 500 everywhere stays down, as one incident, while a node is killed and comes
// back; the node's silence is a node incident of its own, closed when it answers again.
TEST_F(RealPrograms, AKilledNodeNeitherHidesAnOutageNorSplitsIt) {
  status_ = 500;
  const auto other = public_::M("rivi_task").insert(Record{{"name", "另一个站点"}, {"url", site_.url("/")}, {"status", 1},
                                                          {"cycle", 1}, {"addtime", public_::now()}});
  ASSERT_TRUE(probe(task_).is_array());
  EXPECT_EQ(health()["health"], "down");

  kill_node(1);
  // Misses counted across tasks: the node incident opens at the third run it missed.
  for (const std::int64_t id : {task_, other, task_}) {
    const Record nodes = probe(id);
    ASSERT_TRUE(nodes.is_array()) << nodes.dump();
    EXPECT_EQ(std::count_if(nodes.begin(), nodes.end(), [](const Record& n) { return n["isp"] == "节点未响应"; }), 1)
        << nodes.dump();
    EXPECT_EQ(health()["health"], "down") << "two of two answering nodes fail: the site is down";
  }
  EXPECT_EQ(public_::M("rivi_list").where("pid=?", task_).order("id DESC").find()["status"], 1)
      << "the run's verdict keeps its rule: two failing nodes are no anomaly";
  Record silent = node_incidents();
  ASSERT_EQ(silent.size(), 1u) << silent.dump();
  EXPECT_EQ(silent[0]["node"], "联通#1");
  EXPECT_EQ(silent[0]["isp"], "联通");
  EXPECT_EQ(silent[0]["end_time"], nullptr);
  EXPECT_FALSE(silent[0]["last_seen"].is_null());

  start_node(1);
  ASSERT_TRUE(probe(task_).is_array());
  silent = node_incidents();
  ASSERT_EQ(silent.size(), 1u);
  EXPECT_FALSE(silent[0]["end_time"].is_null()) << "the node answered again";
  EXPECT_EQ(health()["health"], "down");

  status_ = 200;
  ASSERT_TRUE(probe(task_).is_array());
  EXPECT_EQ(health()["health"], "up");
  const Record outages = incidents();
  ASSERT_EQ(outages.size(), 1u) << "one outage, one incident: " << outages.dump();
  EXPECT_EQ(outages[0]["runs"], 4);
  EXPECT_FALSE(outages[0]["end_time"].is_null());
}

// The dispatch centre stopped for a while: runs that store nothing are the monitor's errors and
// leave the site's availability whole.
TEST_F(RealPrograms, ACentreOutageDoesNotCountAgainstTheSite) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(probe(task_).is_array());
  centre_->stop();
  EXPECT_EQ(probe(task_), public_::returnMsg(false, "连接调度中心失败!"));
  EXPECT_EQ(health()["health"], "error");
  start_centre();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(probe(task_).is_array());

  Record args{{"pid", std::to_string(task_)}, {"days", "1"}};
  const Record availability = call_web_method("get_availability", args);
  EXPECT_EQ(availability["uptime_24h"], 100.0);
  std::int64_t runs = 0, errors = 0;
  for (const Record& h : availability["hours"]) {
    runs += to_int(h["runs"]);
    errors += to_int(h["errors"]);
  }
  EXPECT_EQ(runs, 7);
  EXPECT_EQ(errors, 1);
  args = Record::object();
  EXPECT_EQ(call_web_method("get_overview", args)["data"][0]["uptime_24h"], 100.0);
}

}  // namespace
}  // namespace rivi
