// One probe run against a scripted dispatch centre on loopback: the verdict, the stored row, the
// sorted answer, the failure envelopes, the request sent, and a report that fails.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/paths.h"
#include "host/public.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

namespace rivi {
namespace {

// A node result with the keys the evaluation and the sort read, plus an address.
Record node(const std::string& isp, const Record& code, double total, const std::string& ip = "1.2.3.4") {
  return Record{{"isp", isp}, {"primary_ip", ip}, {"http_code", code}, {"total_time", total},
                {"namelookup_time", 1.0}, {"starttransfer_time", 2.0}, {"size_download", 10}, {"speed_download", 100}};
}

class ProbingTest : public ::testing::Test {
 protected:
  ProbingTest() {
    ::setenv("PANEL_NOW", "1700000000", 1);
    centre_.server().Post("/api/local/rivi", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard lock(mu_);
      ++requests_;
      last_form_ = req.params;
      res.set_content(answer_, "application/json");
    });
    centre_.start();
    ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(centre_.port())).c_str(), 1);
    load_qn_rivi_module();
    plugin_.emplace();
    task_ = public_::M("rivi_task").insert(
        Record{{"name", "web"}, {"url", "http://example.test/"}, {"status", 1}, {"cycle", 1}, {"addtime", 1}});
  }
  ~ProbingTest() override {
    // Loading the plug-in entered the root, which is about to be removed.
    std::filesystem::current_path(testing::build_dir());
    ::unsetenv("PANEL_NOW");
    ::unsetenv("RIVI_DISPATCH_HOST");
  }

  void answer_text(const std::string& body) {
    std::lock_guard lock(mu_);
    answer_ = body;
  }
  void answer_nodes(const Record& nodes) { answer_text(encode(nodes)); }

  // Runs `start` with `id` and answers its answer and what it printed on standard output.
  std::pair<Record, std::string> run(const Record& id) {
    Record args{{"id", id}};
    ::testing::internal::CaptureStdout();
    Record answer;
    try {
      answer = plugin_->start(args);
    } catch (...) {
      ::testing::internal::GetCapturedStdout();
      throw;
    }
    return {answer, ::testing::internal::GetCapturedStdout()};
  }
  Record rows() { return public_::M("rivi_list").order("id").select(); }
  int requests() {
    std::lock_guard lock(mu_);
    return requests_;
  }

  testing::TempRoot root_;
  testing::LoopbackSite centre_;
  std::mutex mu_;
  std::string answer_ = "[]";
  std::multimap<std::string, std::string> last_form_;
  int requests_ = 0;
  std::optional<qn_rivi_main> plugin_;
  std::int64_t task_ = 0;
};

TEST_F(ProbingTest, CountsFailingNodesAndStoresTheVerdict) {
  struct Case {
    std::string name;
    Record nodes;
    std::int64_t verdict;
  };
  const Case cases[] = {
      {"two failing among good and silent", {node("a", 404, 1), node("b", 500, 2), node("c", 200, 3), node("节点未响应", 0, 4)}, 1},
      {"three failing", {node("a", 404, 1), node("b", 500, 2), node("c", 0, 3), node("d", 200, 4)}, 0},
      {"silent nodes never count", {node("节点未响应", 0, 1), node("节点未响应", 0, 2), node("节点未响应", 0, 3), node("a", 500, 4)}, 1},
      {"good codes compared by value",
       {node("a", 200.0, 1), node("b", 301, 2), node("c", 302, 3), node("d", 403, 4), node("e", 401, 5), node("f", 404, 6), node("g", 500, 7)},
       1},
      {"a code given as text fails", {node("a", "200", 1), node("b", "200", 2), node("c", "301", 3)}, 0},
      {"null codes fail", {node("a", nullptr, 1), node("b", nullptr, 2), node("c", nullptr, 3)}, 0},
      {"empty records are skipped",
       Record::array({Record::object(), nullptr, node("a", 404, 1), node("b", 404, 2)}), 1},
      {"no nodes at all", Record::array(), 1},
  };
  std::size_t stored = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    answer_nodes(c.nodes);
    Record data = c.nodes;
    EXPECT_EQ(plugin_->get_state(data, task_), c.verdict);
    if (c.name == "empty records are skipped") continue;  // the sort needs `total_time` on every node
    const auto [answer, out] = run(task_);
    EXPECT_TRUE(answer.is_array()) << answer.dump();
    const Record all = rows();
    ASSERT_EQ(all.size(), ++stored);
    EXPECT_EQ(all.back()["status"], c.verdict);
  }
}

TEST_F(ProbingTest, StoresOneRowInReceivedOrderAndAnswersSlowestFirst) {
  // Equal times (also 9 and 9.0) keep the order they were received in.
  const Record nodes = Record::array({node("a", 200, 5), node("b", 200, 9), node("c", 301, 5), node("d", 200, 9.0), node("e", 200, 1.5)});
  Record received = nodes;
  received[3]["total_time"] = 9;  // an integer time beside a real one
  answer_nodes(received);
  const auto [answer, out] = run(task_);
  EXPECT_EQ(out, "");
  std::vector<std::string> order;
  for (const Record& n : answer) order.push_back(n["isp"]);
  EXPECT_EQ(order, (std::vector<std::string>{"b", "d", "a", "c", "e"}));

  const Record all = rows();
  ASSERT_EQ(all.size(), 1u);
  const Record& row = all[0];
  EXPECT_EQ(row["pid"], task_);
  EXPECT_EQ(row["status"], 1);
  EXPECT_EQ(row["addtime"], 1700000000);
  EXPECT_EQ(row["data"], encode(received));
  EXPECT_EQ(row["data"].get<std::string>().substr(0, 40), "[{\"isp\": \"a\", \"primary_ip\": \"1.2.3.4\", \"");
}

TEST_F(ProbingTest, EmptyResultIsStoredAsAnEmptyList) {
  answer_text("[]");
  const auto [answer, out] = run(task_);
  EXPECT_EQ(answer, Record::array());
  const Record all = rows();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["data"], "[]");
  EXPECT_EQ(all[0]["status"], 1);
}

TEST_F(ProbingTest, TaskIdGivenAsTextIsUsedUnchanged) {
  public_::M("rivi_task").insert(Record{{"id", 7}, {"name", "seven"}, {"url", "http://seven.test/"}, {"status", 0}});
  answer_nodes(Record::array({node("a", 200, 1)}));
  const auto [answer, out] = run("7");
  ASSERT_TRUE(answer.is_array());
  const Record all = rows();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["pid"], 7);
  std::lock_guard lock(mu_);
  EXPECT_EQ(last_form_.find("url")->second, "http://seven.test/");
}

TEST_F(ProbingTest, SendsTheServerIdentityWithTheUrl) {
  root_.write("data/dispatch_key", "shared-key\n");
  answer_text("[]");
  run(task_);
  std::lock_guard lock(mu_);
  EXPECT_EQ(last_form_.count("serverid"), 1u);
  EXPECT_EQ(last_form_.find("serverid")->second.size(), 32u);
  EXPECT_EQ(last_form_.count("address"), 1u);
  EXPECT_EQ(last_form_.find("access_key")->second, "shared-key");
  EXPECT_EQ(last_form_.find("url")->second, "http://example.test/");
}

TEST_F(ProbingTest, RefusesWithoutIdOrTask) {
  Record no_id = Record::object();
  EXPECT_EQ(plugin_->start(no_id), public_::returnMsg(false, "错误的参数!"));
  public_::M("rivi_task").insert(Record{{"id", 20}, {"name", "blank"}, {"url", ""}, {"status", 1}});
  for (const Record& id : {Record(999), Record("20"), Record("abc")}) {
    const auto [answer, out] = run(id);
    EXPECT_EQ(answer, public_::returnMsg(false, "指定任务不存在!"));
    EXPECT_EQ(out, "");
  }
  EXPECT_EQ(requests(), 0);
  EXPECT_EQ(rows().size(), 0u);
}

TEST_F(ProbingTest, FailedDispatchPrintsTheErrorAndStoresNothing) {
  // A well-formed node list longer than the host reads is a failed dispatch too.
  const Record one = node("a", 200, 1);
  Record many = Record::array();
  for (std::size_t n = public_::kMaxPostAnswer / encode(one).size() + 1; n > 0; --n) many.push_back(one);
  const std::string bodies[] = {"not json", "", "42", "\"text\"", "{\"a\": 1}", "null", "true", encode(many)};
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body.substr(0, 20));
    answer_text(body);
    const auto [answer, out] = run(task_);
    EXPECT_EQ(answer, public_::returnMsg(false, "连接调度中心失败!"));
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
  }
  ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(testing::free_port())).c_str(), 1);
  const auto [answer, out] = run(task_);
  EXPECT_EQ(answer, public_::returnMsg(false, "连接调度中心失败!"));
  EXPECT_NE(out.find("127.0.0.1"), std::string::npos) << out;
  EXPECT_EQ(rows().size(), 0u);
}

TEST_F(ProbingTest, CentreAnswerWithStatusIsPassedOnAndNothingStored) {
  const Record refusal{{"status", false}, {"msg", "服务器未获授权"}, {"extra", 1}};
  answer_nodes(refusal);
  const auto [answer, out] = run(task_);
  EXPECT_EQ(answer, refusal);
  EXPECT_EQ(out, "");
  EXPECT_EQ(rows().size(), 0u);
}

TEST_F(ProbingTest, FindsTheCentreThroughTheConfigFile) {
  const std::string host = "127.0.0.1:" + std::to_string(centre_.port());
  ::unsetenv("RIVI_DISPATCH_HOST");
  root_.write("plugin/qn_rivi/config.json", encode(Record{{"dispatch_host", host}}));
  answer_text("[]");
  run(task_);
  EXPECT_EQ(requests(), 1);

  // The environment wins over the file.
  root_.write("plugin/qn_rivi/config.json", encode(Record{{"dispatch_host", "127.0.0.1:1"}}));
  ::setenv("RIVI_DISPATCH_HOST", host.c_str(), 1);
  run(task_);
  EXPECT_EQ(requests(), 2);

  // A setting that is not a bare host[:port] is a failed dispatch, never a different URL.
  for (const char* bad : {"127.0.0.1:1/x?", "evil.test@127.0.0.1", "a b"}) {
    ::setenv("RIVI_DISPATCH_HOST", bad, 1);
    const auto [answer, out] = run(task_);
    EXPECT_EQ(answer, public_::returnMsg(false, "连接调度中心失败!")) << bad;
    EXPECT_NE(out.find("is not a host[:port]"), std::string::npos) << out;
  }
  ::unsetenv("RIVI_DISPATCH_HOST");
  root_.write("plugin/qn_rivi/config.json", "{broken");
  const auto [answer, out] = run(task_);
  EXPECT_EQ(answer, public_::returnMsg(false, "连接调度中心失败!"));
  EXPECT_EQ(requests(), 2);
  EXPECT_EQ(rows().size(), 2u);
}

TEST_F(ProbingTest, NodeResultsLackingKeys) {
  // Without `isp` or `http_code` the evaluation cannot judge the node: nothing is stored.
  for (const Record& broken : {Record{{"http_code", 200}, {"total_time", 1.0}}, Record{{"isp", "a"}, {"total_time", 1.0}},
                               Record::array({Record::array({1})})}) {
    answer_nodes(Record::array({broken}));
    EXPECT_ANY_THROW(run(task_)) << broken.dump();
  }
  EXPECT_EQ(rows().size(), 0u);
  // A silent node needs no `http_code`; without `total_time` the sort fails after the row is stored.
  answer_nodes(Record::array({Record{{"isp", "节点未响应"}}}));
  EXPECT_THROW(run(task_), std::out_of_range);
  EXPECT_EQ(rows().size(), 1u);
}

TEST_F(ProbingTest, AnomalyReportRewritesTheStoredNodes) {
  testing::SmtpSink sink;
  root_.write("data/stmp_mail.json", encode(Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"},
                                                   {"port", sink.port()}, {"security", "none"}}));
  answer_nodes(Record::array({node("a", 0, 3, ""), node("b", 500, 2), node("c", 404, 1), node("d", 200, 4)}));
  const auto [answer, out] = run(task_);
  ASSERT_TRUE(answer.is_array());
  EXPECT_EQ(answer[0]["isp"], "d");
  EXPECT_EQ(answer[1]["primary_ip"], "解析失败");
  EXPECT_EQ(answer[1]["http_code"], "无法访问");
  const Record stored = decode(rows()[0]["data"].get<std::string>());
  EXPECT_EQ(rows()[0]["status"], 0);
  EXPECT_EQ(stored[0]["primary_ip"], "解析失败");
  EXPECT_EQ(stored[0]["http_code"], "无法访问");
  EXPECT_EQ(stored[1]["http_code"], 500);
  const auto messages = sink.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0]["subject"].get<std::string>().find("[3]"), std::string::npos) << messages[0].dump();
}

TEST_F(ProbingTest, FailedReportKeepsTheResult) {
  root_.write("data/stmp_mail.json", "{not json");
  const Record nodes = Record::array({node("a", 404, 1), node("b", 500, 2), node("c", 502, 3)});
  answer_nodes(nodes);
  const auto [answer, out] = run(task_);
  ASSERT_TRUE(answer.is_array());
  EXPECT_EQ(answer.size(), 3u);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), '\n');
  EXPECT_NE(out.find("invalid JSON"), std::string::npos) << out;
  const Record all = rows();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["status"], 0);
  EXPECT_EQ(all[0]["data"], encode(nodes));
}

}  // namespace
}  // namespace rivi
