// The channel settings readers and the anomaly report, delivered to a real SMTP server and a
// loopback webhook.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/install.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>

namespace rivi {
namespace {

using testing::SmtpSink;

constexpr const char* kHeading =
    "<h2>Quelmar企业平台拔测监控报表(2023-11-14 22:13:20)</h2><hr /><table  border='0' cellspacing='1' "
    "cellpadding='0' bgcolor='#888'><thead><tr bgcolor='#FFFFFF' style='background-color: darkgray;'><th>ISP</th>"
    "<th>解析地址</th><th>响应状态</th><th>总耗时</th><th>解析耗时</th><th>处理耗时</th><th>响应大小</th><th>传输速度</th>"
    "</tr></thead><tbody>";
constexpr const char* kFooter = "</tbody></table><hr><p>此为Quelmar企业版平台自动通知邮件，请勿回复</p>";

class AlertingTest : public ::testing::Test {
 protected:
  AlertingTest() {
    ::setenv("PANEL_NOW", "1700000000", 1);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    root_.write("data/stmp_mail.json", "{}");
    root_.write("data/dingding.json", "{}");
    root_.write("data/mail_list.json", "[]");
    Connection db(database_path());
    create_host_tables(db);
  }
  ~AlertingTest() override { ::unsetenv("PANEL_NOW"); }

  // Constructs the plug-in object (the recipient list is read now) and stores task "web".
  qn_rivi_main& plugin(const std::string& mail_list = "[]") {
    root_.write("data/mail_list.json", mail_list);
    plugin_.emplace();
    if (public_::M("rivi_task").count() == 0)
      task_id_ = public_::M("rivi_task").insert(Record{{"name", "web"}, {"url", "http://example.test/"}, {"status", 1}});
    return *plugin_;
  }
  void account(int port) {
    root_.write("data/stmp_mail.json",
                Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"}, {"port", port}, {"security", "none"}}.dump());
  }

  testing::TempRoot root_{false};
  std::optional<qn_rivi_main> plugin_;
  std::int64_t task_id_ = 0;
};

TEST_F(AlertingTest, SettingsReadersAnswerTheFilesOrFail) {
  struct Case {
    std::optional<std::string> text;  // nullopt: no file
    std::string answer;               // encoded answer, or the start of the error
  };
  auto& p = plugin();
  for (const Case& c : {Case{"{}", "false"}, Case{"[]", "false"}, Case{"\"\"", "false"},
                        Case{R"({"qq_mail": "a@example.test", "x": 1})", R"({"qq_mail": "a@example.test", "x": 1})"},
                        Case{"0", "error"}, Case{"null", "error"}, Case{"true", "error"}, Case{"", "error"},
                        Case{"{qq_mail", "error"}, Case{std::nullopt, "error"}}) {
    SCOPED_TRACE(c.text.value_or("(no file)"));
    for (const std::string file : {"data/stmp_mail.json", "data/dingding.json"}) {
      if (c.text) root_.write(file, *c.text);
      else std::filesystem::remove(root_.file(file));
      const bool mail = file == "data/stmp_mail.json";
      if (c.answer == "error") {
        EXPECT_ANY_THROW(mail ? p.get_user_mail() : p.get_dingding());
        EXPECT_ANY_THROW(p.get_settings());
      } else {
        EXPECT_EQ(encode(mail ? p.get_user_mail() : p.get_dingding()), c.answer);
      }
      root_.write(file, "{}");
    }
  }
}

TEST_F(AlertingTest, SettingsRecordReadsFilesAfreshButKeepsTheConstructedList) {
  auto& p = plugin(R"(["a@example.test", "b@example.test"])");
  root_.write("data/mail_list.json", R"(["changed@example.test"])");
  root_.write("data/stmp_mail.json", R"({"qq_mail": "me@example.test"})");
  root_.write("data/dingding.json", "[]");
  EXPECT_EQ(encode(p.get_settings()),
            R"({"user_mail": {"user_name": true, "mail_list": ["a@example.test", "b@example.test"], )"
            R"("info": {"qq_mail": "me@example.test"}}, "dingding": {"dingding": false, "info": false}})");
  EXPECT_EQ(encode(p.return_mail_list()), R"(["a@example.test", "b@example.test"])");
  root_.write("data/stmp_mail.json", "{}");
  EXPECT_EQ(encode(p.get_settings()["user_mail"]["user_name"]), "false");
}

Record node(const char* isp, Record ip, Record code, Record total) {
  return Record{{"isp", isp},           {"primary_ip", std::move(ip)}, {"http_code", std::move(code)},
                {"total_time", std::move(total)}, {"namelookup_time", 1.5},  {"starttransfer_time", 0.125},
                {"size_download", 2048},  {"speed_download", 1536.0},       {"extra", "kept"}};
}

TEST_F(AlertingTest, ReportListsEveryNodeAndGoesToEachRecipientInOrder) {
  SmtpSink sink;
  account(sink.port());
  auto& p = plugin(R"(["b@example.test", "a@example.test"])");
  Record data = Record::array({node("电信", "", 0, 12), nullptr, node("联通", nullptr, nullptr, 2.675),
                               Record::object(), node("移动", "", "", 0), node("教育网", "10.0.0.1", 500, 100.0),
                               node("节点未响应", "10.0.0.2", 0, 7)});
  p.send_mail(data, 4, task_id_);

  const std::string sizes = "</td><td>" + public_::to_size(2048) + "</td><td>" + public_::to_size(1536.0) + "/s</td></tr>";
  const std::string red = "<tr bgcolor='#FFFFFF' style='color:red;'><td>";
  const std::string body =
      kHeading + red + "电信</td><td>解析失败</td><td>无法访问</td><td>12.00ms</td><td>1.50ms</td><td>0.12ms" + sizes +
      red + "联通</td><td>解析失败</td><td>无法访问</td><td>2.67ms</td><td>1.50ms</td><td>0.12ms" + sizes +
      red + "移动</td><td>解析失败</td><td>无法访问</td><td>0.00ms</td><td>1.50ms</td><td>0.12ms" + sizes +
      "<tr bgcolor='#FFFFFF' ><td>教育网</td><td>10.0.0.1</td><td>500</td><td>100.00ms</td><td>1.50ms</td><td>0.12ms" +
      sizes + red + "节点未响应</td><td>10.0.0.2</td><td>无法访问</td><td>7.00ms</td><td>1.50ms</td><td>0.12ms" + sizes +
      kFooter +
      // After the report as it always was: the task, its address, the time in the display zone,
      // and each failing node's reason (the node that never answered is not the site's fault).
      "<p>任务：web<br>网址：http://example.test/<br>时间：2023-11-14 22:13:20 (UTC+00:00)</p>"
      "<p>异常节点及原因：</p><ul><li>电信#1：连接失败</li><li>联通#1：连接失败</li><li>移动#1：连接失败</li>"
      "<li>教育网#1：状态码 500</li></ul>";
  const auto mails = sink.messages();
  ASSERT_EQ(mails.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(mails[i]["rcpt_tos"][0], i == 0 ? "b@example.test" : "a@example.test");
    EXPECT_EQ(mails[i]["subject"], "【web】Quelmar拔测监控到[4]个测试异常");
    EXPECT_EQ(mails[i]["html"], body);
  }
  // The caller stores these texts in place of the false values.
  EXPECT_EQ(encode(data[0]["primary_ip"]), encode("解析失败"));
  EXPECT_EQ(data[2]["http_code"], "无法访问");
  EXPECT_EQ(data[5]["http_code"], 500);
  EXPECT_EQ(data[0]["extra"], "kept");
  EXPECT_TRUE(data[1].is_null());
}

TEST_F(AlertingTest, ValuesFromTheNodesAreEscapedInTheHtml) {
  SmtpSink sink;
  account(sink.port());
  auto& p = plugin();
  public_::M("rivi_task").where("id=?", task_id_).update(Record{{"name", "a<b>&c"}});
  Record data = Record::array({node("<script>x</script>", "1.2.3.4\" onclick='y'", "<b>200</b>", 1)});
  p.send_mail(data, 3, task_id_);
  const auto mails = sink.messages();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0]["rcpt_tos"][0], "monitor@example.test");  // empty list: the account itself
  EXPECT_EQ(mails[0]["subject"], "【a<b>&c】Quelmar拔测监控到[3]个测试异常");  // a plain-text subject
  const std::string html = mails[0]["html"];
  EXPECT_NE(html.find("<td>&lt;script&gt;x&lt;/script&gt;</td><td>1.2.3.4&quot; onclick=&#x27;y&#x27;</td>"
                      "<td>&lt;b&gt;200&lt;/b&gt;</td>"),
            std::string::npos)
      << html;
  EXPECT_EQ(data[0]["isp"], "<script>x</script>");  // the stored values stay as received
}

TEST_F(AlertingTest, DeliveryFollowsChannelAccountAndList) {
  SmtpSink sink;
  testing::LoopbackSite robot;
  std::mutex mu;
  std::vector<std::string> posts;
  robot.server().Post("/send", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(mu);
    posts.push_back(req.body);
    res.set_content(R"({"errcode": 0})", "application/json");
  });
  robot.start();
  struct Case {
    std::string name, mail_list, send;
    bool account, dingding;
    std::vector<std::string> recipients;
    std::size_t posts;
  };
  for (const Case& c : {
           // The mail channel also reaches a configured robot, with or without a mail account.
           Case{"no account", R"(["a@example.test", "b@example.test"])", "mail", false, true, {}, 1},
           Case{"no account, empty list", "[]", "mail", false, false, {}, 0},
           Case{"case differs", R"(["a@example.test"])", "Mail", true, true, {}, 0},
           Case{"unknown channel", R"(["a@example.test"])", "sms", true, true, {}, 0},
           Case{"list as a record", R"({"x@example.test": 1, "y@example.test": 2})", "mail", true, false,
                {"x@example.test", "y@example.test"}, 0},
           Case{"failed address", R"(["bad address@example.test", "a@example.test"])", "mail", true, false,
                {"a@example.test"}, 0},
           Case{"dingding configured", R"(["a@example.test"])", "dingding", true, true, {}, 1},
           Case{"dingding not configured", R"(["a@example.test"])", "dingding", true, false, {}, 0},
       }) {
    SCOPED_TRACE(c.name);
    const std::size_t mails_before = sink.messages().size(), posts_before = posts.size();
    if (c.account) account(sink.port());
    else root_.write("data/stmp_mail.json", "{}");
    root_.write("data/dingding.json", c.dingding ? Record{{"dingding_url", robot.url("/send")}}.dump() : "{}");
    Record data = Record::array({node("电信", "", 0, 1)});
    ::testing::internal::CaptureStderr();
    plugin(c.mail_list).send_mail(data, 3, task_id_, c.send);
    ::testing::internal::GetCapturedStderr();
    const auto mails = sink.messages();
    ASSERT_EQ(mails.size() - mails_before, c.recipients.size());
    for (std::size_t i = 0; i < c.recipients.size(); ++i) EXPECT_EQ(mails[mails_before + i]["rcpt_tos"][0], c.recipients[i]);
    std::lock_guard lock(mu);
    ASSERT_EQ(posts.size() - posts_before, c.posts);
    if (c.posts) {
      const Record post = Record::parse(posts.back());
      EXPECT_EQ(post["msgtype"], "markdown");
      EXPECT_NE(post["markdown"]["text"].get<std::string>().find("- 电信: **异常** | 0"), std::string::npos) << posts.back();
    }
    EXPECT_EQ(data[0]["primary_ip"], "解析失败");  // the report is built whatever the channel
  }
}

// An alert with no channel to go to is kept as undelivered at once, and said in the journal (the
// page's banner is not the only place that tells); one that has a channel is not said.
TEST_F(AlertingTest, AnAlertWithNowhereToGoIsSaid) {
  testing::LoopbackSite robot;
  robot.server().Post("/send", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"errcode": 0})", "application/json");
  });
  robot.start();
  const std::string said = "is not sent: 未配置通知渠道，告警无法发出";
  ::testing::internal::CaptureStderr();
  Record data = Record::array({node("电信", "", 0, 1)});
  plugin().send_mail(data, 3, task_id_, "mail");
  const std::string without = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(without.find("alert delivery: \""), std::string::npos) << without;
  EXPECT_NE(without.find(said), std::string::npos) << without;
  EXPECT_EQ(public_::M("rivi_outbox").where("state=?", "failed").count(), 1);

  root_.write("data/dingding.json", Record{{"dingding_url", robot.url("/send")}}.dump());
  ::testing::internal::CaptureStderr();
  data = Record::array({node("电信", "", 0, 1)});
  plugin().send_mail(data, 3, task_id_, "mail");
  const std::string with = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(with.find(said), std::string::npos) << with;
}

TEST_F(AlertingTest, ErrorsStopTheReportBeforeAnythingIsSent) {
  SmtpSink sink;
  account(sink.port());
  auto& p = plugin(R"(["a@example.test"])");
  Record lacking = node("电信", "1.1.1.1", 200, 1);
  lacking.erase("speed_download");
  struct Case {
    std::string name;
    Record data;
  };
  for (const Case& c : {Case{"a key missing", Record::array({node("电信", "", 0, 1), lacking})},
                        Case{"isp not text", Record::array({node("电信", "", 0, 1), {{"isp", 5}}})},
                        Case{"time not a number", Record::array({node("电信", "", 0, "12")})},
                        Case{"not a record", Record::array({7})}}) {
    SCOPED_TRACE(c.name);
    Record data = c.data;
    EXPECT_ANY_THROW(p.send_mail(data, 3, task_id_));
  }
  root_.write("data/dingding.json", "0");
  Record data = Record::array({node("电信", "", 0, 1)});
  EXPECT_ANY_THROW(p.send_mail(data, 3, task_id_));
  root_.write("data/dingding.json", "{}");
  EXPECT_ANY_THROW(plugin("5").send_mail(data, 3, task_id_));  // a number has no length
  EXPECT_TRUE(sink.messages().empty());

  // A task without a row still gets its report, titled with the missing name.
  plugin().send_mail(data, 3, 999);
  ASSERT_EQ(sink.messages().size(), 1u);
  EXPECT_EQ(sink.messages()[0]["subject"], "【None】Quelmar拔测监控到[3]个测试异常");
}

// A subject cannot carry a line break; one in the task's name must not cost the report.
TEST_F(AlertingTest, LineBreaksInTheNameAreFoldedInTheSubject) {
  SmtpSink sink;
  account(sink.port());
  auto& p = plugin(R"(["a@example.test"])");
  const std::pair<const char*, const char*> names[] = {{"a\r\nb", "a b"}, {"a\nb\rc\r\n", "a b c "}, {"\n\n", "  "}};
  for (const auto& [name, folded] : names) {
    public_::M("rivi_task").where("id=?", task_id_).update(Record{{"name", name}});
    Record data = Record::array({node("电信", "", 0, 1), node("联通", "", 0, 1), node("移动", "", 0, 1)});
    p.send_mail(data, 3, task_id_);
  }
  const auto mails = sink.messages();
  ASSERT_EQ(mails.size(), std::size(names));
  for (std::size_t i = 0; i < mails.size(); ++i) {
    EXPECT_EQ(mails[i]["subject"], std::string("【") + names[i].second + "】Quelmar拔测监控到[3]个测试异常");
  }
}

}  // namespace
}  // namespace rivi
