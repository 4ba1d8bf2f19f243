// Alerts through the outbox against real servers: probe runs through a real dispatch centre and
// its in-process nodes against a loopback site, a real SMTP server that can refuse and stall, a
// loopback DingTalk robot that can be down and refuses past its limit, workers started as the
// scheduler starts them, and `panel serve`. What each server receives is counted exactly.
#include "host/public.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/smtp_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <thread>

namespace rivi {
namespace {

using testing::SmtpSink;

constexpr std::int64_t kT = 1700000000;

// Polls `done` every 50 ms for at most `seconds`; answers its last value.
template <typename Done>
bool eventually(Done done, int seconds = 20) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

class OutboxTest : public ::testing::Test {
 protected:
  explicit OutboxTest(testing::SmtpSinkOptions sink = {}, std::size_t robot_limit = 0)
      : sink_(std::move(sink)), robot_(robot_limit), centre_(testing::three_local_nodes()) {
    use_centre();
    load_qn_rivi_module();
    root_.write("data/stmp_mail.json", Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                              {"port", sink_.port()}, {"security", "none"}, {"timeout", 5}}.dump());
    root_.write("data/dingding.json", Record{{"dingding_url", robot_.url()}, {"timeout", 5}}.dump());
    root_.write("data/mail_list.json", R"(["ops@example.test"])");
    qn_rivi_main first;  // the first construction makes the plug-in's tables
  }
  ~OutboxTest() override {
    ::unsetenv("RIVI_DISPATCH_HOST");
    ::unsetenv("PANEL_NOW");
    std::filesystem::current_path(testing::build_dir());
  }

  void use_centre() { ::setenv("RIVI_DISPATCH_HOST", centre_host().c_str(), 1); }
  std::string centre_host() const { return "127.0.0.1:" + std::to_string(centre_.port()); }
  void policy(const Record& alert) { root_.write("plugin/qn_rivi/config.json", Record{{"alert", alert}}.dump()); }
  void at(std::int64_t time) { ::setenv("PANEL_NOW", std::to_string(time).c_str(), 1); }

  std::int64_t task(const std::string& name) {
    return public_::M("rivi_task").insert(
        Record{{"name", name}, {"url", site_.url("/")}, {"status", 1}, {"cycle", 1}, {"addtime", kT}});
  }

  // One run of `pid` at `time`, as the worker makes it; `down` switches the site to 500 first.
  void run(std::int64_t pid, bool down, std::int64_t time) {
    broken_ = down;
    at(time);
    qn_rivi_main plugin;
    Record args{{"id", pid}};
    ::testing::internal::CaptureStdout();
    plugin.start(args);
    ::testing::internal::GetCapturedStdout();
  }

  // One pass of `panel serve`'s upkeep at `time`.
  void upkeep(std::int64_t time) {
    at(time);
    qn_rivi_main plugin;
    plugin.send_alerts(kUpkeepBudget);
  }

  std::vector<std::string> subjects() {
    std::vector<std::string> out;
    for (const auto& m : sink_.messages()) out.push_back(m["subject"].get<std::string>());
    return out;
  }
  std::vector<std::string> robot_titles() {
    std::vector<std::string> out;
    for (const std::string& body : robot_.bodies()) out.push_back(decode(body)["markdown"]["title"].get<std::string>());
    return out;
  }
  Record undelivered() {
    Record none = Record::object();
    return call_web_method("get_undelivered", none);
  }

  testing::TempRoot root_;
  testing::SwitchableSite site_;
  std::atomic<bool>& broken_ = site_.broken;
  SmtpSink sink_;
  testing::LoopbackRobot robot_;
  testing::RunningCentre centre_;
};

// Channels that are down when an outage opens: the alert waits in the outbox, is tried again on
// its back-off, and arrives once they are back.
TEST_F(OutboxTest, AnAlertThatFailedArrivesOnALaterRunOnceTheChannelsAreBack) {
  policy(Record{{"mode", "incident"}});
  const std::int64_t pid = task("站点");
  sink_.set_refusing(true);
  robot_.set_down(true);
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 4; ++i) run(pid, true, kT + i * 100);  // opens the outage, then retries that fail
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(sink_.messages().empty());
  Record waiting = undelivered();
  ASSERT_EQ(waiting["data"].size(), 2u) << waiting.dump();
  for (const Record& row : waiting["data"]) {
    EXPECT_EQ(row["state"], "pending");
    EXPECT_EQ(row["title"], "[故障] 站点");
    EXPECT_GE(row["attempts"].get<int>(), 2);
  }
  sink_.set_refusing(false);
  robot_.set_down(false);
  run(pid, true, kT + 2000);  // a later run of the same outage
  EXPECT_EQ(subjects(), std::vector<std::string>{"[故障] 站点"});
  EXPECT_EQ(robot_titles(), std::vector<std::string>{"[故障] 站点"});
  EXPECT_TRUE(undelivered()["data"].empty());
  // Each attempt is in the record: the failures first, the delivery last.
  Record args{{"pid", pid}};
  const Record attempts = call_web_method("get_deliveries", args);
  ASSERT_GE(attempts.size(), 6u);
  EXPECT_EQ(attempts[0]["success"], true);
  EXPECT_EQ(attempts[attempts.size() - 1]["success"], false);
}

TEST_F(OutboxTest, PanelServeDeliversWhatFailedWithoutAnotherRun) {
  policy(Record{{"mode", "incident"}});
  const std::int64_t pid = task("站点");
  sink_.set_refusing(true);
  robot_.set_down(true);
  ::testing::internal::CaptureStderr();
  run(pid, true, kT);
  ::testing::internal::GetCapturedStderr();
  sink_.set_refusing(false);
  robot_.set_down(false);
  testing::Child serve({testing::bin("panel"), "serve", "--no-web"}, {{"PANEL_NOW", std::to_string(kT + 120)}},
                       root_.file("serve.log"));
  EXPECT_TRUE(eventually([&] { return sink_.messages().size() == 1 && robot_.posts() == 1; })) << root_.read("serve.log");
  serve.stop();
  EXPECT_EQ(subjects(), std::vector<std::string>{"[故障] 站点"});
  EXPECT_EQ(robot_titles(), std::vector<std::string>{"[故障] 站点"});
}

// A dispatch centre outage is one cause: one "[监控异常]" naming every task and one "[监控恢复]"
// a channel, however many tasks it stopped.
TEST_F(OutboxTest, ACentreOutageAcross45TasksSendsOneAlertAndOneRecoveryPerChannel) {
  std::vector<std::int64_t> pids;
  for (int i = 0; i < 45; ++i) pids.push_back(task("任务" + std::to_string(i)));
  ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(testing::free_port())).c_str(), 1);
  for (int round = 0; round < 3; ++round)
    for (std::size_t i = 0; i < pids.size(); ++i) run(pids[i], false, kT + round * 60 + static_cast<std::int64_t>(i));
  use_centre();
  for (std::size_t i = 0; i < pids.size(); ++i) run(pids[i], false, kT + 300 + static_cast<std::int64_t>(i));
  upkeep(kT + 600);
  const std::vector<std::string> expected = {"[监控异常] 调度中心", "[监控恢复] 调度中心"};
  EXPECT_EQ(subjects(), expected);
  EXPECT_EQ(robot_titles(), expected);
  const std::string alert = sink_.messages().at(0)["html"];
  EXPECT_NE(alert.find("受影响的任务（45 个）"), std::string::npos) << alert;
  EXPECT_NE(alert.find("任务44"), std::string::npos);
  EXPECT_NE(alert.find("调度中心无法连接"), std::string::npos);
}

// Several tasks changing at once: the first change goes out at once, the others of that minute
// together as one digest a channel.
TEST_F(OutboxTest, SeveralTasksChangingWithinAMinuteShareOneDigest) {
  policy(Record{{"mode", "incident"}});
  std::vector<std::int64_t> pids;
  for (const char* name : {"甲", "乙", "丙", "丁"}) pids.push_back(task(name));
  for (std::size_t i = 0; i < pids.size(); ++i) run(pids[i], true, kT + static_cast<std::int64_t>(i) * 10);
  EXPECT_EQ(subjects(), std::vector<std::string>{"[故障] 甲"});
  upkeep(kT + 59);
  EXPECT_EQ(subjects().size(), 1u);  // the minute is not over
  upkeep(kT + 60);
  const std::vector<std::string> expected = {"[故障] 甲", "[汇总] 3 条通知"};
  EXPECT_EQ(subjects(), expected);
  EXPECT_EQ(robot_titles(), expected);
  const std::string digest = sink_.messages().at(1)["html"];
  for (const char* name : {"[故障] 乙", "[故障] 丙", "[故障] 丁"}) EXPECT_NE(digest.find(name), std::string::npos) << name;
  const std::string markdown = decode(robot_.bodies().at(1))["markdown"]["text"];
  EXPECT_NE(markdown.find("\\[故障\\] 丁"), std::string::npos) << markdown;
}

// A probe node's incident, as the health side records it, is announced once and its end once,
// with the tasks that see the node fail; an incident long over when first seen is not.
TEST_F(OutboxTest, ANodeIncidentSendsOneAlertAndItsRecovery) {
  const std::int64_t pid = task("站点");
  run(pid, false, kT);
  public_::M("rivi_health").where("pid=?", pid).update(Record{{"unanswered_nodes", R"(["联通#1"])"}});
  public_::M("rivi_node_incident").insert(Record{{"node", "电信#9"}, {"isp", "电信"}, {"start_time", kT - 7200},
                                                {"end_time", kT - 5000}, {"reason", "old"}, {"last_seen", kT - 5000}});
  const std::int64_t incident = public_::M("rivi_node_incident").insert(
      Record{{"node", "联通#1"}, {"isp", "联通"}, {"start_time", kT}, {"reason", "节点未响应"}, {"last_seen", kT}});
  upkeep(kT + 10);
  upkeep(kT + 20);
  EXPECT_EQ(subjects(), std::vector<std::string>{"[节点异常] 联通#1"});
  EXPECT_NE(sink_.messages().at(0)["html"].get<std::string>().find("站点"), std::string::npos);
  public_::M("rivi_node_incident").where("id=?", incident).update(Record{{"end_time", kT + 600}});
  upkeep(kT + 700);
  upkeep(kT + 710);
  const std::vector<std::string> expected = {"[节点异常] 联通#1", "[节点恢复] 联通#1"};
  EXPECT_EQ(subjects(), expected);
  EXPECT_EQ(robot_titles(), expected);
  EXPECT_NE(sink_.messages().at(1)["html"].get<std::string>().find("持续：10分钟"), std::string::npos);
}

// A task's alerts are sent only through configured channels; with none, the alert is kept as
// undelivered and the page can say why.
TEST_F(OutboxTest, WithNoChannelTheAlertIsVisiblyUndelivered) {
  root_.write("data/stmp_mail.json", "{}");
  root_.write("data/dingding.json", "{}");
  const std::int64_t pid = task("站点");
  run(pid, true, kT);
  const Record answer = undelivered();
  EXPECT_EQ(answer["channels"], (Record{{"mail", false}, {"dingding", false}}));
  EXPECT_EQ(answer["failing_tasks"], 1);
  EXPECT_EQ(answer["counts"]["failed"], 1);
  ASSERT_EQ(answer["data"].size(), 1u);
  EXPECT_EQ(answer["data"][0]["channel"], "none");
  EXPECT_EQ(answer["data"][0]["state"], "failed");
  EXPECT_EQ(answer["data"][0]["task"], "站点");
  EXPECT_EQ(answer["data"][0]["title"], "【站点】Quelmar拔测监控到[3]个测试异常");
}

// The robot takes 20 messages a minute: what exceeds that waits and goes out merged, not refused.
class RateLimitedRobot : public OutboxTest {
 protected:
  RateLimitedRobot() : OutboxTest({}, 20) { root_.write("data/stmp_mail.json", "{}"); }
};

TEST_F(RateLimitedRobot, WhatExceedsTheLimitIsMergedIntoTheNextMessage) {
  const std::int64_t pid = task("站点");
  at(kT);
  for (int i = 0; i < 25; ++i) {
    qn_rivi_main plugin;
    Record data = Record::array({Record{{"isp", "电信"}, {"primary_ip", "1.1.1.1"}, {"http_code", 500 + i},
                                        {"total_time", 1}, {"namelookup_time", 1}, {"starttransfer_time", 1},
                                        {"size_download", 1}, {"speed_download", 1}}});
    plugin.send_mail(data, 3, pid);
  }
  EXPECT_EQ(robot_.posts(), 20u);
  EXPECT_EQ(robot_.refused(), 0u);
  EXPECT_EQ(undelivered()["counts"]["pending"], 5);
  robot_.next_minute();
  upkeep(kT + 60);
  ASSERT_EQ(robot_.posts(), 21u);
  EXPECT_EQ(robot_.refused(), 0u);
  EXPECT_EQ(robot_titles().back(), "[汇总] 5 条通知");
  const std::string text = decode(robot_.bodies().back())["markdown"]["text"];
  for (int code = 520; code < 525; ++code) EXPECT_NE(text.find(std::to_string(code)), std::string::npos) << code;
  EXPECT_TRUE(undelivered()["data"].empty());
}

// The SMTP server takes a long time to answer each message: the row is stored all the same,
// while the run is still waiting for the server.
class StallingMailServer : public OutboxTest {
 protected:
  static testing::SmtpSinkOptions stalling() {
    testing::SmtpSinkOptions o;
    o.stall_seconds = 120;
    return o;
  }
  StallingMailServer() : OutboxTest(stalling()) { root_.write("data/dingding.json", "{}"); }
};

TEST_F(StallingMailServer, DoesNotHoldTheRowBack) {
  const std::int64_t pid = task("站点");
  broken_ = true;
  testing::Child worker({root_.file("pyenv/bin/python"), root_.file("plugin/qn_rivi/rivi"), std::to_string(pid)},
                        {{"RIVI_DISPATCH_HOST", centre_host()}, {"PANEL_NOW", std::to_string(kT)}}, root_.file("worker.log"));
  ASSERT_TRUE(eventually([&] { return sink_.stalls() >= 1; })) << root_.read("worker.log");
  EXPECT_TRUE(worker.running());
  const Record rows = public_::M("rivi_list").where("pid=?", pid).select();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["status"], 0);
}

// Runs started at once, each sending what is due after its row (its own report and a backlog of
// failed ones), never send one message twice.
TEST_F(OutboxTest, ConcurrentRunsNeverSendAMessageTwice) {
  std::vector<std::int64_t> pids;
  for (int i = 0; i < 6; ++i) pids.push_back(task("站点" + std::to_string(i)));
  broken_ = true;
  const auto run_all = [&](std::int64_t time) {
    std::vector<std::unique_ptr<testing::Child>> workers;
    for (std::int64_t pid : pids)
      workers.push_back(std::make_unique<testing::Child>(
          std::vector<std::string>{root_.file("pyenv/bin/python"), root_.file("plugin/qn_rivi/rivi"), std::to_string(pid)},
          std::map<std::string, std::string>{{"RIVI_DISPATCH_HOST", centre_host()}, {"PANEL_NOW", std::to_string(time)}},
          root_.file("worker-" + std::to_string(pid) + ".log")));
    EXPECT_TRUE(eventually([&] {
      return std::none_of(workers.begin(), workers.end(), [](auto& w) { return w->running(); });
    }, 60));
  };
  sink_.set_refusing(true);
  robot_.set_down(true);
  run_all(kT);
  EXPECT_EQ(undelivered()["counts"]["pending"], 12);
  sink_.set_refusing(false);
  robot_.set_down(false);
  run_all(kT + 600);
  std::map<std::string, int> mails;
  for (const auto& m : sink_.messages()) ++mails[m["subject"].get<std::string>()];
  EXPECT_EQ(mails.size(), 6u);
  for (const auto& [subject, n] : mails) EXPECT_EQ(n, 2) << subject;  // each task: the failed report and the new one
  EXPECT_EQ(robot_.posts(), 12u);
  EXPECT_TRUE(undelivered()["data"].empty());
}

// A test message goes with what the form holds; a stored password goes only to the server it
// was stored for, and never back to the page.
class TestWithTheForm : public OutboxTest {
 protected:
  static testing::SmtpSinkOptions login() {
    testing::SmtpSinkOptions o;
    o.user = "monitor@example.test";
    o.password = "stored-secret";
    return o;
  }
  TestWithTheForm() : OutboxTest(login()) {
    root_.write("data/stmp_mail.json", Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                              {"port", sink_.port()}, {"security", "none"}, {"timeout", 5},
                                              {"password", "stored-secret"}}.dump());
  }
  Record press(std::int64_t time, Record form) {
    at(time);
    form["channel"] = "mail";
    return call_web_method("test_channel", form);
  }
  Record form(int port) {
    return Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"}, {"port", std::to_string(port)},
                  {"security", "none"}, {"password", ""}, {"mail_list", "a@example.test\nb@example.test"}};
  }
};

TEST_F(TestWithTheForm, SendsWithTheFormsValuesToEveryRecipient) {
  Record answer = press(kT, form(sink_.port()));
  EXPECT_EQ(answer["status"], true) << answer.dump();
  EXPECT_EQ(answer["recipient"], "a@example.test、b@example.test");
  const auto mails = sink_.messages();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[1]["rcpt_tos"][0], "b@example.test");
  EXPECT_EQ(mails[0]["login"], "monitor@example.test");

  // Another server in the form: the stored password stays behind.
  SmtpSink other(login());
  ::testing::internal::CaptureStderr();
  answer = press(kT + 10, form(other.port()));
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(answer["status"], false);
  EXPECT_TRUE(other.messages().empty());
  // The form's password, typed, reaches it; the stored file is left as it was.
  Record typed = form(other.port());
  typed["password"] = "stored-secret";
  EXPECT_EQ(press(kT + 20, typed)["status"], true);
  EXPECT_EQ(other.messages().size(), 2u);
  EXPECT_EQ(decode(root_.read("data/stmp_mail.json"))["port"], sink_.port());
  EXPECT_EQ(press(kT + 25, form(sink_.port()))["msg"], "测试过于频繁，请 5 秒后再试");
  Record none = Record::object();
  EXPECT_EQ(encode(call_web_method("get_deliveries", none)).find("stored-secret"), std::string::npos);
}

}  // namespace
}  // namespace rivi
