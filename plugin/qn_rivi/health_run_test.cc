// What a probe run records about its task's health, through `start` against a scripted dispatch
// centre on loopback: the documented row and answer stay as they were, the health commits with
// the row or not at all, and a run that stores nothing records why.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace rivi {
namespace {

constexpr std::int64_t kNow = 1765170000;

Record node(const std::string& isp, const Record& code, double total, const std::string& error_code = "",
            const std::string& ip = "1.2.3.4") {
  return Record{{"isp", isp}, {"primary_ip", ip}, {"http_code", code}, {"total_time", total}, {"error_code", error_code}};
}

class HealthRunTest : public ::testing::Test {
 protected:
  HealthRunTest() {
    ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1);
    centre_.server().Post("/api/local/rivi", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mu_);
      res.set_content(answer_, "application/json");
    });
    centre_.start();
    point_at(centre_.port());
    load_qn_rivi_module();
    plugin_.emplace();
    task_ = public_::M("rivi_task").insert(
        Record{{"name", "web"}, {"url", "http://example.test/"}, {"status", 1}, {"cycle", 1}, {"addtime", 1}});
  }
  ~HealthRunTest() override {
    std::filesystem::current_path(testing::build_dir());
    ::unsetenv("PANEL_NOW");
    ::unsetenv("RIVI_DISPATCH_HOST");
  }

  static void point_at(int port) { ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(port)).c_str(), 1); }
  void answer(const std::string& body) {
    std::lock_guard lock(mu_);
    answer_ = body;
  }
  Record start(const Record& id) {
    Record args{{"id", id}};
    ::testing::internal::CaptureStdout();
    try {
      Record a = plugin_->start(args);
      ::testing::internal::GetCapturedStdout();
      return a;
    } catch (...) {
      ::testing::internal::GetCapturedStdout();
      throw;
    }
  }
  Record health() { return public_::M("rivi_health").where("pid=?", task_).find(); }
  Record rows() { return public_::M("rivi_list").order("id").select(); }

  testing::TempRoot root_;
  testing::LoopbackSite centre_;
  std::mutex mu_;
  std::string answer_ = "[]";
  std::optional<qn_rivi_main> plugin_;
  std::int64_t task_ = 0;
};

TEST_F(HealthRunTest, TheDocumentedRowAndAnswerStayAndTheHealthIsRecorded) {
  const Record received = Record::array({node("电信", 200, 5), node("联通", 0, 9, "timeout"), node("移动", 200, 7)});
  answer(encode(received));
  const Record answered = start(task_);
  EXPECT_EQ(answered, Record::array({received[1], received[2], received[0]}));
  const Record all = rows();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0], (Record{{"id", 1}, {"pid", task_}, {"data", encode(received)}, {"status", 1}, {"addtime", kNow}}));

  const Record h = health();
  EXPECT_EQ(h["health"], "degraded");
  EXPECT_EQ(h["last_run"], kNow);
  EXPECT_EQ(h["last_total_time"], 6.0);
  EXPECT_EQ(h["scope"], "isp");
  EXPECT_EQ(h["reason"], "仅联通线路异常");
  EXPECT_EQ(public_::M("rivi_hourly").count(), 1);
}

// The stored verdict and the anomaly report keep their rule (more than two failing nodes); only
// the health follows the nodes that answered.
TEST_F(HealthRunTest, TheVerdictKeepsItsRuleWhileHealthJudgesTheNodesThatAnswered) {
  const Record silent{{"isp", "节点未响应"}, {"primary_ip", ""}, {"http_code", 0}, {"total_time", 0.0},
                      {"node", "移动"},      {"error_code", "no_answer"}};
  struct Case {
    Record nodes;
    std::int64_t verdict;
    const char* health;
  };
  const Case cases[] = {
      {Record::array({node("电信", 500, 3, "http_status"), node("联通", 500, 3, "http_status"), silent}), 1, "down"},
      {Record::array({node("电信", 500, 3, "http_status"), silent, silent}), 1, "down"},
      {Record::array({node("电信", 500, 3, "http_status"), node("联通", 200, 3), silent}), 1, "degraded"},
      {Record::array({node("电信", 500, 3, "http_status"), node("联通", 500, 3, "http_status"),
                      node("移动", 500, 3, "http_status"), node("铁通", 200, 3)}),
       0, "down"},
  };
  for (const Case& c : cases) {
    answer(encode(c.nodes));
    start(task_);
    const Record row = public_::M("rivi_list").order("id DESC").find();
    EXPECT_EQ(row["status"], c.verdict) << c.nodes.dump();
    EXPECT_EQ(health()["health"], c.health) << c.nodes.dump();
  }
}

TEST_F(HealthRunTest, TheRowIsNotStoredWhenItsHealthCannotBe) {
  Connection(database_path()).exec_script("DROP TABLE rivi_hourly");
  answer(encode(Record::array({node("电信", 200, 5)})));
  EXPECT_THROW(start(task_), std::runtime_error);
  EXPECT_TRUE(rows().empty()) << "the row and the health commit together";
  EXPECT_TRUE(health().is_null());
}

TEST_F(HealthRunTest, ARunThatStoresNothingRecordsWhy) {
  answer("<html>busy</html>");
  EXPECT_EQ(start(task_), public_::returnMsg(false, "连接调度中心失败!"));
  EXPECT_EQ(health()["health"], "error");
  EXPECT_EQ(health()["reason"].get<std::string>().rfind("调度中心应答无效：", 0), 0u) << health()["reason"];

  const Record refusal{{"status", false}, {"msg", "服务器未获授权"}};
  answer(encode(refusal));
  EXPECT_EQ(start(task_), refusal);
  EXPECT_EQ(health()["reason"], "调度中心拒绝：服务器未获授权");

  point_at(testing::free_port());
  EXPECT_EQ(start(task_), public_::returnMsg(false, "连接调度中心失败!"));
  const Record h = health();
  EXPECT_EQ(h["reason"].get<std::string>().rfind("调度中心无法连接：POST http://127.0.0.1:", 0), 0u) << h["reason"];
  EXPECT_EQ(h["scope"], "monitor");
  EXPECT_EQ(h["error_streak"], 3);
  EXPECT_EQ(h["since"], kNow);
  EXPECT_TRUE(rows().empty());
  const Record incidents = public_::M("rivi_incident").select();
  ASSERT_EQ(incidents.size(), 1u);
  EXPECT_EQ(incidents[0]["kind"], "error");
  EXPECT_EQ(incidents[0]["runs"], 3);

  // No such task: nothing to keep health for.
  EXPECT_EQ(start(999), public_::returnMsg(false, "指定任务不存在!"));
  EXPECT_EQ(public_::M("rivi_health").count(), 1);
}

TEST_F(HealthRunTest, TheReportsRewritingDoesNotHideTheReason) {
  testing::SmtpSink sink;
  root_.write("data/stmp_mail.json", encode(Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                                   {"port", sink.port()}, {"security", "none"}}));
  answer(encode(Record::array({node("电信", 0, 0.2, "refused", ""), node("联通", 0, 0.2, "refused", ""),
                               node("移动", 0, 0.2, "refused", "")})));
  start(task_);
  const Record stored = decode(rows()[0]["data"].get<std::string>());
  EXPECT_EQ(stored[0]["primary_ip"], "解析失败");  // the documented report text, kept in the row
  EXPECT_EQ(health()["reason"], "3/3 节点失败：连接被拒绝");
  EXPECT_EQ(health()["health"], "down");
}

}  // namespace
}  // namespace rivi
