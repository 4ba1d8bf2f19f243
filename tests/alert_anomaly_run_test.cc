// An anomaly run end to end: the worker, as a scheduled job starts it, asks a real dispatch centre
// whose three nodes cannot resolve the task's host name; the run stores its row and mails the
// report through a real SMTP server to every recipient.
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

namespace rivi {
namespace {

using testing::SmtpSink;
using testing::TempRoot;

class AnomalyRunTest : public ::testing::Test {
 protected:
  AnomalyRunTest() {
    qn_rivi_main first;  // the first construction makes the plug-in's tables
    centre_port_ = testing::free_port();
    // Each node gives up on its own long before the centre's deadline, so all three answer.
    const Record node = {{"isp", "本机"}, {"local", true}, {"allow_private", true}};
    const Record config = {{"listen", "127.0.0.1:" + std::to_string(centre_port_)}, {"deadline_ms", 20000},
                           {"probe_timeout_ms", 8000}, {"nodes", Record::array({node, node, node})}};
    root_.write("centre.json", config.dump());
    centre_ = std::make_unique<testing::Child>(
        std::vector<std::string>{testing::bin("rivi-dispatch"), "--config", root_.file("centre.json")},
        std::map<std::string, std::string>{}, root_.file("centre.log"));
    EXPECT_TRUE(testing::wait_for_port(centre_port_)) << root_.read("centre.log");
    // ".invalid" never resolves, so every node reports an empty address and no status.
    task_id_ = public_::M("rivi_task").insert(Record{{"name", "web"}, {"url", "http://probe-target.invalid/"},
                                                     {"status", 1}, {"cycle", 5}, {"addtime", 1700000000}});
  }

  // Runs the job's command for the task, as the scheduler does.
  testing::RunResult run_job() {
    return testing::run({root_.file("pyenv/bin/python"), root_.file("plugin/qn_rivi/rivi"), std::to_string(task_id_)},
                        {{"RIVI_DISPATCH_HOST", "127.0.0.1:" + std::to_string(centre_port_)}}, 120);
  }

  Record stored_rows() { return public_::M("rivi_list").where("pid=?", task_id_).select(); }

  void account(int port) {
    root_.write("data/stmp_mail.json", Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                              {"port", port}, {"security", "none"}, {"timeout", 5}}.dump());
  }

  TempRoot root_;
  int centre_port_ = 0;
  std::unique_ptr<testing::Child> centre_;
  std::int64_t task_id_ = 0;
};

TEST_F(AnomalyRunTest, StoresTheRowAndMailsOneReportPerRecipient) {
  SmtpSink sink;
  account(sink.port());
  root_.write("data/mail_list.json", R"(["ops2@example.test", "ops1@example.test"])");

  const auto result = run_job();
  ASSERT_EQ(result.status, 0) << result.err;

  const Record rows = stored_rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["status"], 0);
  const std::string text = rows[0]["data"];
  EXPECT_NE(text.find(R"("primary_ip": "\u89e3\u6790\u5931\u8d25")"), std::string::npos) << text;  // 解析失败
  const Record nodes = decode(text);
  ASSERT_EQ(nodes.size(), 3u);
  for (const Record& n : nodes) {
    EXPECT_EQ(n["primary_ip"], "解析失败");
    EXPECT_EQ(n["http_code"], "无法访问");
  }
  const Record answer = decode(result.out);  // the answer carries the same texts
  ASSERT_EQ(answer.size(), 3u);
  EXPECT_EQ(answer[0]["primary_ip"], "解析失败");

  const auto mails = sink.messages();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0]["rcpt_tos"][0], "ops2@example.test");
  EXPECT_EQ(mails[1]["rcpt_tos"][0], "ops1@example.test");
  for (const auto& m : mails) {
    EXPECT_EQ(m["subject"], "【web】Quelmar拔测监控到[3]个测试异常");
    const std::string html = m["html"];
    const std::string red_row = "<tr bgcolor='#FFFFFF' style='color:red;'><td>本机</td><td>解析失败</td><td>无法访问</td>";
    std::size_t rows_found = 0;
    for (auto at = html.find(red_row); at != std::string::npos; at = html.find(red_row, at + 1)) ++rows_found;
    EXPECT_EQ(rows_found, 3u) << html;
  }
}

TEST_F(AnomalyRunTest, AFailedReportLosesNoProbeResult) {
  root_.write("data/mail_list.json", R"(["ops@example.test"])");
  struct Case {
    std::string name;
    std::function<void()> arrange;
  };
  std::unique_ptr<SmtpSink> refusing;
  for (const Case& c : {
           Case{"settings not JSON", [&] { root_.write("data/stmp_mail.json", "{qq_mail"); }},
           Case{"server down", [&] { account(testing::free_port()); }},
           Case{"server refuses", [&] {
                  testing::SmtpSinkOptions o;
                  o.reject_rcpt = {"ops@example.test"};
                  refusing = std::make_unique<SmtpSink>(o);
                  account(refusing->port());
                }},
       }) {
    SCOPED_TRACE(c.name);
    c.arrange();
    const std::size_t before = stored_rows().size();
    const auto result = run_job();
    EXPECT_EQ(result.status, 0) << result.err;
    const Record rows = stored_rows();
    ASSERT_EQ(rows.size(), before + 1);
    EXPECT_EQ(rows.back()["status"], 0);
    EXPECT_EQ(decode(rows.back()["data"].get<std::string>()).size(), 3u);
  }
  EXPECT_TRUE(refusing->messages().empty());
}

}  // namespace
}  // namespace rivi
