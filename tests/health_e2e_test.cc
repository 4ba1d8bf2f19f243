// Task health through the real chain: in-process nodes measure loopback targets and set their
// error codes, the centre answers them, `start` stores the run and its health, and the overview
// shows the reason, the scope and the outage.
#include "host/public.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/dispatch_servers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

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
  EXPECT_EQ(dead["reason"], "3/3 节点失败: 连接被拒绝");
  EXPECT_EQ(dead["last_total_time"], nullptr);
  const Record& failing = overview["data"][1];
  EXPECT_EQ(failing["health"], "down");
  EXPECT_EQ(failing["reason"], "3/3 节点失败: 状态码 500");

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

}  // namespace
}  // namespace rivi
