// What people read about a failing run, through the real chain: a real centre with in-process
// nodes probes loopback targets (one that takes connections and never answers, one port that
// refuses them), health words each failure, and the anomaly report reaches a real SMTP server
// naming the task, its URL and each failing node's reason, its time in the display zone. The
// display zone is set and refused through the settings method.
#include "host/public.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/hanging_target.h"
#include "tests/support/smtp_sink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

namespace rivi {
namespace {

Record call(const std::string& method, Record args) { return call_web_method(method, args); }

std::int64_t add_task(const std::string& name, const std::string& url) {
  return public_::M("rivi_task").insert(
      Record{{"name", name}, {"url", url}, {"status", 1}, {"cycle", 5}, {"addtime", public_::now()}});
}

class ReportReasons : public ::testing::Test {
 protected:
  ReportReasons() : centre_(testing::three_local_nodes()) {
    ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(centre_.port())).c_str(), 1);
    load_qn_rivi_module();
    root_.write("data/stmp_mail.json", Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                              {"port", sink_.port()}, {"security", "none"}, {"timeout", 5}}.dump());
    qn_rivi_main first;  // the first construction makes the plug-in's tables
  }
  ~ReportReasons() override {
    ::unsetenv("RIVI_DISPATCH_HOST");
    std::filesystem::current_path(testing::build_dir());
  }

  void run(std::int64_t id) {
    qn_rivi_main plugin;
    Record args{{"id", id}};
    ASSERT_TRUE(plugin.start(args).is_array());
  }
  std::string reason_of(std::int64_t id) {
    return text_of(public_::M("rivi_health").where("pid=?", id).getField("reason"));
  }

  testing::TempRoot root_;
  testing::SmtpSink sink_;
  testing::RunningCentre centre_;
};

TEST_F(ReportReasons, ASilentServerIsAResponseTimeOutAndAClosedPortARefusalInHealthAndTheReport) {
  testing::HangingTarget silent;
  const int closed = testing::free_port();
  const std::int64_t hanging = add_task("静默站点", silent.url());
  const std::int64_t refusing = add_task("关闭端口", "http://127.0.0.1:" + std::to_string(closed) + "/");
  // The nodes give up on the silent server after a second rather than the centre's three.
  ASSERT_EQ(call("set_checks", Record{{"pid", std::to_string(hanging)}, {"timeout_ms", "1000"}})["status"], true);
  ASSERT_EQ(call("set_alert_policy", Record{{"display_timezone", "Asia/Kathmandu"}})["status"], true);
  run(hanging);
  run(refusing);

  EXPECT_EQ(reason_of(hanging), "3/3 节点失败：响应超时");
  EXPECT_EQ(reason_of(refusing), "3/3 节点失败：连接被拒绝");

  const auto mails = sink_.messages();
  ASSERT_EQ(mails.size(), 2u);
  const std::string timeout_mail = mails[0]["html"], refused_mail = mails[1]["html"];
  EXPECT_EQ(mails[0]["subject"], "【静默站点】Quelmar拔测监控到[3]个测试异常");
  // The fixed report comes first, as it always did; what is added follows its footer.
  const std::string footer = "</tbody></table><hr><p>此为Quelmar企业版平台自动通知邮件，请勿回复</p>";
  ASSERT_NE(timeout_mail.find(footer), std::string::npos) << timeout_mail;
  EXPECT_EQ(timeout_mail.rfind("<h2>Quelmar企业平台拔测监控报表(", 0), 0u);
  const std::string added = timeout_mail.substr(timeout_mail.find(footer) + footer.size());
  EXPECT_NE(added.find("任务：静默站点"), std::string::npos) << added;
  EXPECT_NE(added.find("网址：" + silent.url()), std::string::npos) << added;
  EXPECT_TRUE(std::regex_search(added, std::regex(R"(时间：\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(UTC\+05:45\))"))) << added;
  for (const char* node : {"电信#1", "电信#2", "联通#1"})
    EXPECT_NE(added.find(std::string("<li>") + node + "：响应超时</li>"), std::string::npos) << node << " " << added;
  EXPECT_NE(refused_mail.find("<li>联通#1：连接被拒绝</li>"), std::string::npos) << refused_mail;
  EXPECT_EQ(refused_mail.find("响应超时"), std::string::npos);
}

TEST_F(ReportReasons, TheDisplayZoneIsASettingBesideThePolicyAndABadNameIsRefusedInChinese) {
  Record none = Record::object();
  const Record before = call("get_alert_policy", none);
  EXPECT_EQ(before["display_timezone"], "");

  ASSERT_EQ(call("set_alert_policy", Record{{"mode", "incident"}})["status"], true);
  const Record set = call("set_alert_policy", Record{{"display_timezone", " Asia/Shanghai "}});
  EXPECT_EQ(set["status"], true) << set.dump();
  Record after = call("get_alert_policy", none);
  EXPECT_EQ(after["display_timezone"], "Asia/Shanghai");
  EXPECT_EQ(after["timezone"], "Asia/Shanghai");
  EXPECT_EQ(after["utc_offset"], "UTC+08:00");
  EXPECT_EQ(after["mode"], "incident") << "the zone alone leaves the policy as it was";

  for (const std::string bad : {"Mars/Olympus", "../../etc/passwd", "Asia/Shanghai; rm -rf /", "\xff"}) {
    const Record refused = call("set_alert_policy", Record{{"display_timezone", bad}});
    EXPECT_EQ(refused["status"], false) << bad;
    EXPECT_EQ(refused["msg"].get<std::string>().rfind("显示时区（display_timezone）“", 0), 0u) << refused.dump();
  }
  EXPECT_EQ(call("get_alert_policy", none)["display_timezone"], "Asia/Shanghai");

  // Empty goes back to the server's own zone.
  ASSERT_EQ(call("set_alert_policy", Record{{"display_timezone", ""}})["status"], true);
  EXPECT_EQ(call("get_alert_policy", none)["display_timezone"], "");
  EXPECT_FALSE(decode(root_.read("plugin/qn_rivi/config.json")).contains("display_timezone"));
}

}  // namespace
}  // namespace rivi
