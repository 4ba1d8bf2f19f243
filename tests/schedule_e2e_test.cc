// A task made through `panel call` is fired by `panel serve` through its real job command, the
// installed worker probes a loopback site through a loopback dispatch centre, and the result row
// appears. `PANEL_CRON_MINUTE=1` makes a scheduler minute one second long; nothing else differs
// from a production run.
#include "host/public.h"
#include "host/record.h"
#include "host/cron/scheduler.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace rivi {
namespace {

namespace fs = std::filesystem;
using testing::bin;
using testing::read_file;
using testing::wait_until;

// True while some process still has `needle` in its command line (the test's own workers).
bool process_mentions(const std::string& needle) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = read_file(entry.path() / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find(needle) != std::string::npos) return true;
  }
  return false;
}

TEST(ScheduleEndToEnd, ATaskCreatedThroughPanelCallIsProbedByPanelServe) {
  ASSERT_TRUE(fs::exists(bin("rivi-dispatch"))) << "build the target rivi-dispatch first";
  testing::TempRoot root(false);
  const testing::RunResult installed = testing::run({bin("panel"), "install"});
  ASSERT_EQ(installed.status, 0) << installed.err;

  testing::LoopbackSite site;
  site.server().Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  site.start();

  const int centre_port = testing::free_port();
  const std::string centre_address = "127.0.0.1:" + std::to_string(centre_port);
  testing::Child centre({bin("rivi-dispatch"), "--listen", centre_address}, {}, root.file("centre.log"));
  ASSERT_TRUE(testing::wait_for_port(centre_port)) << read_file(root.file("centre.log"));

  const std::map<std::string, std::string> env{{"RIVI_DISPATCH_HOST", centre_address}, {"PANEL_CRON_MINUTE", "1"}};
  const testing::RunResult created =
      testing::run({bin("panel"), "call", "qn_rivi", "create", "name2=web", "url=" + site.url("/"), "cycle=1"}, env);
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(created.out, "{\"status\": true, \"msg\": \"添加成功!\"}\n");
  const Record job = public_::M("crontab").where("save=?", "rivi_id_1").find();
  ASSERT_FALSE(job.is_null());
  EXPECT_EQ(job["sBody"], root.file("pyenv/bin/python") + " " + root.file("plugin/qn_rivi/rivi") + " 1");

  const auto results = [] { return public_::M("rivi_list").where("pid=?", 1).count(); };
  const auto call = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {bin("panel"), "call", "qn_rivi"});
    const testing::RunResult result = testing::run(args, env);
    EXPECT_EQ(result.status, testing::call_status(result.out)) << result.err;
    return decode(result.out);
  };
  {
    testing::Child serve({bin("panel"), "serve", "--no-web"}, env, root.file("serve.log"));
    const bool probed_twice = wait_until([&] { return results() >= 2; }, 60);
    const std::string job_log = read_file(job_log_path(job["id"].get<std::int64_t>()));
    ASSERT_TRUE(probed_twice) << "serve: " << read_file(root.file("serve.log")) << "\njob: " << job_log;
    EXPECT_NE(job_log.find(" job " + text_of(job["id"]) + " -----\n"), std::string::npos) << job_log;

    // Paused and resumed by another process: the job follows the task and fires again.
    EXPECT_EQ(call({"modify", "id=1", "status=0"})["status"], true);
    EXPECT_EQ(public_::M("crontab").where("id=?", job["id"]).getField("status"), 0);
    EXPECT_EQ(call({"modify", "id=1", "status=1"})["status"], true);
    EXPECT_EQ(public_::M("crontab").where("id=?", job["id"]).getField("status"), 1);
    const std::int64_t before = results();
    EXPECT_TRUE(wait_until([&] { return results() > before; }, 60)) << read_file(root.file("serve.log"));
    EXPECT_EQ(serve.stop(), 0);
  }

  const Record row = public_::M("rivi_list").where("pid=?", 1).order("id").find();
  EXPECT_EQ(row["status"], 1) << row.dump();
  const Record nodes = decode(row["data"].get<std::string>());
  ASSERT_TRUE(nodes.is_array());
  ASSERT_FALSE(nodes.empty());
  for (const Record& node : nodes) EXPECT_TRUE(same_value(node["http_code"], 200)) << node.dump();

  EXPECT_EQ(call({"remove", "id=1"}), public_::returnMsg(true, "删除成功!"));
  EXPECT_EQ(public_::M("crontab").count(), 0);

  // Runs already started are left to finish; wait for them before the root goes away.
  EXPECT_TRUE(wait_until([&] { return !process_mentions(root.path().string()); }, 60));
}

}  // namespace
}  // namespace rivi
