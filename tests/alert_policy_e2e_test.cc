// The alert policy through the real chain: in-process nodes probe a loopback site switched
// between 500 and 200, the centre answers, `start` stores the runs, and every message reaches a
// real SMTP server and a loopback DingTalk robot; what each receives is counted exactly.
#include "host/public.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/smtp_sink.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

namespace rivi {
namespace {

using testing::SmtpSink;

constexpr const char* kSecret = "SECtopsecret";

class AlertPolicyTest : public ::testing::Test {
 protected:
  AlertPolicyTest() {
    robot_.server().Post("/robot/send", [&](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mu_);
      robot_posts_.push_back(Record{{"body", decode(req.body)},
                                    {"timestamp", req.get_param_value("timestamp")},
                                    {"sign", req.get_param_value("sign")}});
      res.set_content(R"({"errcode":0,"errmsg":"ok"})", "application/json");
    });
    robot_.start();
    centre_.emplace(testing::three_local_nodes());
    use_centre();
    load_qn_rivi_module();
    root_.write("data/stmp_mail.json", Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                              {"port", sink_.port()}, {"security", "none"}, {"timeout", 5},
                                              {"password", ""}}.dump());
    root_.write("data/dingding.json", Record{{"dingding_url", robot_.url("/robot/send?access_token=TOKENabc")},
                                             {"secret", kSecret}}.dump());
    root_.write("data/mail_list.json", R"(["ops@example.test"])");
    qn_rivi_main first;  // the first construction makes the plug-in's tables
    task_ = public_::M("rivi_task").insert(
        Record{{"name", "站点"}, {"url", site_.url("/")}, {"status", 1}, {"cycle", 1}, {"addtime", 1700000000}});
  }
  ~AlertPolicyTest() override {
    ::unsetenv("RIVI_DISPATCH_HOST");
    ::unsetenv("PANEL_NOW");
    std::filesystem::current_path(testing::build_dir());
  }

  void use_centre() { ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(centre_->port())).c_str(), 1); }
  void policy(const Record& alert) { root_.write("plugin/qn_rivi/config.json", Record{{"alert", alert}}.dump()); }

  // One run of the task at `time`; `down` switches the site to 500 first.
  void run(bool down, std::int64_t time) {
    broken_ = down;
    ::setenv("PANEL_NOW", std::to_string(time).c_str(), 1);
    qn_rivi_main plugin;  // one object per run, as the worker makes it
    Record args{{"id", task_}};
    plugin.start(args);
  }

  std::vector<std::string> subjects() {
    std::vector<std::string> out;
    for (const auto& m : sink_.messages()) out.push_back(m["subject"].get<std::string>());
    return out;
  }
  std::vector<std::string> robot_titles() {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    for (const Record& post : robot_posts_) out.push_back(post["body"]["markdown"]["title"].get<std::string>());
    return out;
  }

  testing::TempRoot root_;
  testing::SwitchableSite site_;
  std::atomic<bool>& broken_ = site_.broken;
  testing::LoopbackSite robot_;
  std::mutex mu_;
  std::vector<Record> robot_posts_;
  SmtpSink sink_;
  std::optional<testing::RunningCentre> centre_;
  std::int64_t task_ = 0;
};

const std::string kReport = "【站点】Quelmar拔测监控到[3]个测试异常";
const std::string kFault = "[故障] 站点";  // the outage's first message in incident mode carries the report

TEST_F(AlertPolicyTest, EveryRunReportsEachAnomalousRunOnBothChannelsSignedAndRecorded) {
  const std::int64_t t = 1700000000;
  for (bool down : {true, true, true, false, false}) run(down, t);
  EXPECT_EQ(subjects(), std::vector<std::string>(3, kReport));
  EXPECT_EQ(robot_titles(), std::vector<std::string>(3, kReport));
  {
    std::lock_guard lock(mu_);
    const Record& post = robot_posts_.at(0);
    EXPECT_EQ(post["sign"], testing::dingtalk_signature(post["timestamp"].get<std::string>(), kSecret));
    const std::string text = post["body"]["markdown"]["text"];
    EXPECT_NE(text.find("联通: **异常** | 500"), std::string::npos) << text;
    EXPECT_NE(text.find("状态码 500"), std::string::npos) << text;
  }
  Record args{{"pid", task_}};
  const Record delivered = call_web_method("get_deliveries", args);
  ASSERT_EQ(delivered.size(), 6u);
  for (const Record& d : delivered) {
    EXPECT_EQ(d["kind"], "report");
    EXPECT_EQ(d["success"], true);
  }
  EXPECT_EQ(delivered[0]["channel"], "dingding");
  EXPECT_EQ(delivered[0]["answer"], "errcode 0: ok");
  EXPECT_EQ(delivered[1]["recipient"], "ops@example.test");
  EXPECT_EQ(delivered[1]["answer"].get<std::string>().substr(0, 3), "250");
  // The delivery record keeps the robot's host, never its token or secret.
  const std::string answer = encode(delivered);
  EXPECT_EQ(answer.find(kSecret), std::string::npos);
  EXPECT_EQ(answer.find("TOKENabc"), std::string::npos);
}

TEST_F(AlertPolicyTest, IncidentModeReportsOnceRemindsOnTimeAndAnnouncesTheRecovery) {
  policy(Record{{"mode", "incident"}, {"remind_minutes", 1}});
  const std::int64_t t = 1700000000;
  run(true, t);         // opens the outage: the fault, with the report
  run(true, t + 30);    // within a minute of it: nothing
  run(true, t + 90);    // a minute later: one reminder
  run(false, t + 150);  // closes it: the recovery notice
  run(false, t + 210);
  const std::vector<std::string> expected = {kFault, "[提醒] 站点", "[恢复] 站点"};
  EXPECT_EQ(subjects(), expected);
  EXPECT_EQ(robot_titles(), expected);
  const auto messages = sink_.messages();
  EXPECT_NE(messages.at(0)["html"].get<std::string>().find("Quelmar企业平台拔测监控报表"), std::string::npos);
  const std::string recovery = messages.at(2)["html"];
  EXPECT_NE(recovery.find(site_.url("/")), std::string::npos);
  EXPECT_NE(recovery.find("持续：2分钟"), std::string::npos) << recovery;
  EXPECT_NE(recovery.find("<td>200</td>"), std::string::npos) << recovery;
}

TEST_F(AlertPolicyTest, IncidentModeWithoutRemindersOrRecoverySendsTheReportAlone) {
  policy(Record{{"mode", "incident"}, {"recovery", false}});
  for (bool down : {true, true, true, false, false}) run(down, 1700000000);
  EXPECT_EQ(subjects(), std::vector<std::string>{kFault});
  EXPECT_EQ(robot_titles(), std::vector<std::string>{kFault});
}

TEST_F(AlertPolicyTest, ACentreOutageRaisesOneMonitoringAlertAndOneRecovery) {
  ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(testing::free_port())).c_str(), 1);
  for (int i = 0; i < 4; ++i) run(false, 1700000000 + i * 60);
  use_centre();
  run(false, 1700000300);
  run(false, 1700000360);
  // The monitor's own words: "[恢复]" is the site's.
  const std::vector<std::string> expected = {"[监控异常] 调度中心", "[监控恢复] 调度中心"};
  EXPECT_EQ(subjects(), expected);
  EXPECT_EQ(robot_titles(), expected);
  EXPECT_NE(sink_.messages().at(0)["html"].get<std::string>().find("调度中心无法连接"), std::string::npos);
}

TEST_F(AlertPolicyTest, APolicyIsCheckedAndWrittenBesideTheOtherSettings) {
  root_.write("plugin/qn_rivi/config.json", R"({"dispatch_host": "127.0.0.1:1"})");
  Record args{{"mode", "incident"}, {"remind_minutes", "30"}, {"recovery", "false"}};
  EXPECT_EQ(call_web_method("set_alert_policy", args)["status"], true);
  const Record written = decode(root_.read("plugin/qn_rivi/config.json"));
  EXPECT_EQ(written["dispatch_host"], "127.0.0.1:1");
  Record none = Record::object();
  Record policy = call_web_method("get_alert_policy", none);
  for (const char* zone_key : {"display_timezone", "timezone", "utc_offset"}) policy.erase(zone_key);  // the display zone's
  EXPECT_EQ(policy, (Record{{"mode", "incident"}, {"remind_minutes", 30}, {"recovery", false}, {"error_after", 3}}));
  for (const Record& bad : {Record{{"mode", "sometimes"}}, Record{{"error_after", "0"}}, Record{{"remind_minutes", "x"}}}) {
    Record a = bad;
    EXPECT_EQ(call_web_method("set_alert_policy", a)["status"], false) << bad.dump();
  }
  root_.write("plugin/qn_rivi/config.json", R"({"alert": {"mode": "Incident"}})");
  EXPECT_THROW(call_web_method("get_alert_policy", none), std::runtime_error);
}

TEST(AlertTestChannel, AWrongPasswordIsReportedWithTheServersReply) {
  testing::SmtpSinkOptions login;
  login.user = "monitor@example.test";
  login.password = "right";
  SmtpSink sink(login);
  testing::TempRoot root;
  load_qn_rivi_module();
  root.write("data/stmp_mail.json", Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                           {"port", sink.port()}, {"security", "none"}, {"timeout", 5},
                                           {"password", "wrong"}}.dump());
  Record args{{"channel", "mail"}};
  const Record answer = call_web_method("test_channel", args);
  EXPECT_EQ(answer["status"], false);
  EXPECT_NE(answer["msg"].get<std::string>().find("535"), std::string::npos) << answer.dump();
  EXPECT_EQ(encode(answer).find("wrong"), std::string::npos);
  root.write("data/dingding.json", R"({"dingding_url": "http://robot.example.test/send"})");
  args = Record{{"channel", "dingding"}};
  EXPECT_NE(call_web_method("test_channel", args)["msg"].get<std::string>().find("https"), std::string::npos);
  std::filesystem::current_path(testing::build_dir());
}

// A service on loopback that is no mail server: it writes `banner` to every connection, then
// closes it. Stopped and joined on destruction.
class BannerService {
 public:
  explicit BannerService(std::string banner) : banner_(std::move(banner)) {
    thread_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        pollfd p{listener_.fd(), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept(listener_.fd(), nullptr, nullptr);
        if (fd < 0) continue;
        for (std::size_t sent = 0; sent < banner_.size();) {
          const ssize_t n = ::send(fd, banner_.data() + sent, banner_.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<std::size_t>(n);
        }
        ::close(fd);
      }
    });
  }
  int port() const { return listener_.port(); }

 private:
  std::string banner_;
  testing::LoopbackListener listener_;
  std::jthread thread_;
};

class TestChannel : public ::testing::Test {
 protected:
  TestChannel() { load_qn_rivi_module(); }
  ~TestChannel() override {
    ::unsetenv("PANEL_NOW");
    std::filesystem::current_path(testing::build_dir());
  }
  // One press of "test" at `time`, as a web call makes it (a plug-in object of its own).
  Record press(const std::string& channel, std::int64_t time) {
    ::setenv("PANEL_NOW", std::to_string(time).c_str(), 1);
    Record args{{"channel", channel}};
    return call_web_method("test_channel", args);
  }
  void mail_at(int port) {
    root_.write("data/stmp_mail.json", Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"}, {"port", port},
                                              {"security", "none"}, {"timeout", 2}}.dump());
  }
  void robot_at(const std::string& url) { root_.write("data/dingding.json", Record{{"dingding_url", url}, {"timeout", 3}}.dump()); }

  testing::TempRoot root_;
};

// What listens behind an address reaches the page only as a fixed summary: an SMTP reply code
// and a short text, the robot's errcode and errmsg, or the HTTP status. A closed port, a silent
// one and a service of another kind read the same.
TEST_F(TestChannel, AnswersAFixedSummaryAndNothingOfWhatListens) {
  const std::string secret = "SECRET-" + std::string(60000, 'x');  // within what is read of an answer
  BannerService chatty("+OK " + secret + "\r\n");
  BannerService long_reply("554 " + secret.substr(0, 4000) + "\r\n");
  testing::LoopbackSite silent;  // an HTTP server: it waits for a request, the mail client for a greeting
  silent.start();
  std::int64_t t = 1700000000;
  std::vector<std::string> unreached;
  ::testing::internal::CaptureStderr();
  for (const int port : {testing::free_port(), silent.port(), chatty.port()}) {
    mail_at(port);
    const Record answer = press("mail", t += 10);
    EXPECT_EQ(answer["status"], false);
    unreached.push_back(answer["msg"].get<std::string>());
  }
  mail_at(long_reply.port());
  const std::string refused = press("mail", t += 10)["msg"];
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(unreached[1], unreached[0]);
  EXPECT_EQ(unreached[2], unreached[0]);
  EXPECT_EQ(refused.find("554 SECRET-xxx"), refused.find("（服务器：") + std::string("（服务器：").size()) << refused;
  EXPECT_LT(refused.size(), 300u);

  testing::LoopbackSite robot;
  robot.server().Post("/page", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content(secret, "text/html");
  });
  robot.server().Post("/refuses", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"errcode": 310000, "errmsg": "sign not match", "detail": ")" + secret + R"("})", "application/json");
  });
  robot.server().Post("/text", [&](const httplib::Request&, httplib::Response& res) { res.set_content(secret, "text/plain"); });
  robot.server().Post("/flood", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(secret + secret, "text/plain");
  });
  robot.server().Post("/ok", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"errcode": 0, "errmsg": "ok"})", "application/json");
  });
  robot.start();
  testing::LoopbackListener inner;
  const std::pair<std::string, std::string> robots[] = {
      {robot.url("/page"), "钉钉未接受消息（HTTP 404）"},
      {robot.url("/refuses"), "钉钉未接受消息（errcode 310000: sign not match）"},
      {robot.url("/text"), "钉钉未接受消息（HTTP 200）"},
      {robot.url("/flood"), "钉钉未接受消息（HTTP 200，应答过大）"},
      {robot.url("/ok"), "errcode 0: ok"},
      {"https://127.0.0.1:" + std::to_string(inner.port()) + "/robot/send",
       "setting `dingding_url`: 钉钉 Webhook 地址不能指向内部地址（本机、内网、保留地址）"},
  };
  ::testing::internal::CaptureStderr();
  for (const auto& [url, summary] : robots) {
    robot_at(url);
    EXPECT_EQ(press("dingding", t += 10)["msg"], summary) << url;
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(inner.accepted(), 0);
  // The delivery record holds the same summaries.
  Record none = Record::object();
  const std::string recorded = encode(call_web_method("get_deliveries", none));
  EXPECT_EQ(recorded.find(std::string(200, 'x')), std::string::npos);
  EXPECT_LT(recorded.size(), 4096u);
}

// The pace holds across processes (every `panel call`, like every web call, is an object of its
// own): one test a channel every ten seconds.
TEST_F(TestChannel, OneTestPerChannelEveryTenSecondsWhateverProcessAsks) {
  testing::LoopbackRobot robot;
  robot_at(robot.url());
  SmtpSink sink;
  mail_at(sink.port());
  const auto press_in_process = [&](const std::string& channel, std::int64_t time) {
    const auto r = testing::run({testing::bin("panel"), "call", "qn_rivi", "test_channel", "channel=" + channel},
                                {{"PANEL_NOW", std::to_string(time)}});
    EXPECT_EQ(r.status, testing::call_status(r.out)) << r.err;
    return decode(r.out);
  };
  const std::int64_t t = 1700000000;
  EXPECT_EQ(press_in_process("dingding", t)["status"], true);
  const Record again = press_in_process("dingding", t + 9);
  EXPECT_EQ(again["status"], false);
  EXPECT_EQ(again["msg"], "测试过于频繁，请 1 秒后再试");
  EXPECT_EQ(press("dingding", t + 5)["msg"], "测试过于频繁，请 5 秒后再试");  // a web call counts the same
  EXPECT_EQ(press_in_process("mail", t + 5)["status"], true);               // the other channel has its own pace
  EXPECT_EQ(press_in_process("mail", t + 6)["status"], false);
  EXPECT_EQ(press_in_process("dingding", t + 10)["status"], true);
  EXPECT_EQ(robot.posts(), 2u);
  EXPECT_EQ(sink.messages().size(), 1u);
}

}  // namespace
}  // namespace rivi
