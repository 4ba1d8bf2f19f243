// The metrics a scraper reads at GET /metrics, from a real web server in this process over real
// runs (made by `start` against a stand-in dispatch centre on loopback), checked by promtool
// without a format error or a lint problem.
#include "plugin/qn_rivi/metrics.h"

#include "host/public.h"
#include "host/serve.h"
#include "host/store/store.h"
#include "host/web/web_server.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace rivi {
namespace {

constexpr std::int64_t kNow = 1765170000;
constexpr const char* kToken = "scrape-token-1";
constexpr const char* kOddName = "a \"quoted\" \\ name\nline two";

Record node(const std::string& isp, const Record& code, double total) {
  return Record{{"isp", isp}, {"primary_ip", "1.2.3.4"}, {"http_code", code}, {"total_time", total}, {"error_code", ""}};
}

class MetricsTest : public ::testing::Test {
 protected:
  MetricsTest() {
    ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1);
    load_qn_rivi_module();
    plugin_.emplace();
    root_.write("data/metrics_token", std::string(kToken) + "\n");
  }
  ~MetricsTest() override {
    std::filesystem::current_path(testing::build_dir());
    ::unsetenv("PANEL_NOW");
  }

  std::int64_t add_task(const std::string& name, int status) {
    return public_::M("rivi_task").insert(
        Record{{"name", name}, {"url", "http://example.test/"}, {"status", status}, {"cycle", 1}, {"addtime", 1}});
  }
  void run(std::int64_t task, const Record& nodes) {
    centre_.answer(encode(nodes));
    Record args{{"id", task}};
    ::testing::internal::CaptureStdout();
    plugin_->start(args);
    ::testing::internal::GetCapturedStdout();
  }

  testing::TempRoot root_;
  testing::StandInCentre centre_;
  std::optional<qn_rivi_main> plugin_;
};

TEST(LabelValue, EscapesBackslashQuoteAndNewLine) {
  EXPECT_EQ(label_value("plain 拔测"), "plain 拔测");
  EXPECT_EQ(label_value(kOddName), "a \\\"quoted\\\" \\\\ name\\nline two");
}

TEST_F(MetricsTest, AScrapeAnswersValidMetricsOfEveryTask) {
  const std::int64_t odd = add_task(kOddName, 1);
  const std::int64_t paused = add_task("paused", 0);
  const std::int64_t fresh = add_task("fresh", 1);
  run(odd, Record::array({node("电信", 200, 10), node("电信", 200, 20), node("移动", 500, 99)}));
  run(odd, Record::array({node("电信", 200, 30), node("联通", 200, 8.2), node("移动", 0, 70)}));
  run(paused, Record::array({node("电信", 0, 1), node("联通", 0, 1), node("移动", 0, 1)}));
  public_::M("rivi_delivery").execute("CREATE TABLE rivi_delivery (id INTEGER PRIMARY KEY, channel TEXT, success INTEGER)");
  public_::M("rivi_delivery").execute("INSERT INTO rivi_delivery (channel, success) VALUES ('mail', 1), ('mail', 0), "
                                      "('mail', 1), ('dingding', 0)");

  // The whole answer of `panel serve`: the plug-in's families, then the scheduler's counters.
  SchedulerCounters counters;
  counters.fired = 4;
  counters.skipped = 1;
  counters.clock_steps = 2;
  WebOptions options;
  options.port = 0;
  options.metrics = [&counters] { return panel_metrics() + scheduler_metrics(counters); };
  WebServer server(options);
  server.start();
  httplib::Client client("127.0.0.1", server.port());
  client.set_read_timeout(30);
  EXPECT_EQ(client.Get("/metrics")->status, 401);
  EXPECT_EQ(client.Get("/metrics", {{"Authorization", "Bearer wrong"}})->status, 401);
  auto res = client.Get("/metrics", {{"Authorization", std::string("Bearer ") + kToken}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const std::string& text = res->body;

  const std::string body_file = root_.file("metrics.txt");
  root_.write("metrics.txt", text);
  const auto check = testing::run({"/bin/sh", "-c", "promtool check metrics < '" + body_file + "'"});
  // Clean: no format error (status 1) and no lint problem (status 3, e.g. a unit abbreviated in a
  // name or a counter without _total).
  EXPECT_EQ(check.status, 0) << check.out << check.err << text;
  EXPECT_EQ(check.out + check.err, "") << text;

  const std::string odd_labels = "task_id=\"" + std::to_string(odd) + "\",task=\"" + label_value(kOddName) + "\"";
  const std::string paused_labels = "task_id=\"" + std::to_string(paused) + "\",task=\"paused\"";
  const std::string fresh_labels = "task_id=\"" + std::to_string(fresh) + "\",task=\"fresh\"";
  for (const std::string& line : {
           "rivi_task_health{" + odd_labels + "} 1\n",  // one failing node: degraded
           "rivi_task_health{" + paused_labels + "} 5\n",
           "rivi_task_health{" + fresh_labels + "} 4\n",
           "rivi_task_failing_nodes{" + odd_labels + "} 1\n",
           "rivi_task_failing_nodes{" + paused_labels + "} 3\n",
           // The last run only, in seconds: 电信 30 ms, 联通 8.2 ms, the failing 移动 has no time.
           "rivi_task_last_total_time_seconds{" + odd_labels + ",isp=\"电信\"} 0.03\n",
           "rivi_task_last_total_time_seconds{" + odd_labels + ",isp=\"联通\"} 0.0082\n",
           // Degraded runs count as good; the paused task's one run was down.
           "rivi_task_uptime_ratio{" + odd_labels + ",window=\"24h\"} 1\n",
           "rivi_task_uptime_ratio{" + odd_labels + ",window=\"7d\"} 1\n",
           "rivi_task_uptime_ratio{" + paused_labels + ",window=\"24h\"} 0\n",
           "rivi_task_runs_total{" + odd_labels + ",outcome=\"good\"} 2\n",
           "rivi_task_runs_total{" + odd_labels + ",outcome=\"bad\"} 0\n",
           "rivi_task_runs_total{" + paused_labels + ",outcome=\"bad\"} 1\n",
           std::string("rivi_alert_deliveries_total{channel=\"mail\",outcome=\"success\"} 2\n"),
           std::string("rivi_alert_deliveries_total{channel=\"mail\",outcome=\"failure\"} 1\n"),
           std::string("rivi_alert_deliveries_total{channel=\"dingding\",outcome=\"failure\"} 1\n"),
           std::string("rivi_scheduler_fires_total 4\n"),
           std::string("rivi_scheduler_skips_total 1\n"),
           std::string("rivi_scheduler_clock_steps_total 2\n"),
       })
    EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
  EXPECT_EQ(text.find("isp=\"移动\""), std::string::npos) << text;
  EXPECT_EQ(text.find("rivi_task_failing_nodes{" + fresh_labels), std::string::npos) << text;
  server.stop();
}

// Runs that stored nothing, or in which no node answered, are the monitor's: an outcome of their
// own, outside the uptime ratio.
TEST_F(MetricsTest, MonitorErrorsAreNeitherGoodNorBadRuns) {
  const std::int64_t task = add_task("t", 1);
  run(task, Record::array({node("电信", 200, 10)}));
  run(task, Record::array({Record{{"isp", "节点未响应"}, {"http_code", 0}, {"total_time", 0.0}, {"node", "电信"}}}));
  run(task, Record{{"status", false}, {"msg", "服务器未获授权"}});
  const std::string text = plugin_metrics(public_::M("rivi_task").connection(), kNow);
  const std::string labels = "task_id=\"" + std::to_string(task) + "\",task=\"t\"";
  for (const std::string& line : {"rivi_task_health{" + labels + "} 3\n",
                                  "rivi_task_uptime_ratio{" + labels + ",window=\"24h\"} 1\n",
                                  "rivi_task_runs_total{" + labels + ",outcome=\"good\"} 1\n",
                                  "rivi_task_runs_total{" + labels + ",outcome=\"bad\"} 0\n",
                                  "rivi_task_runs_total{" + labels + ",outcome=\"error\"} 2\n",
                                  "rivi_task_runs_total{" + labels + ",outcome=\"maintenance\"} 0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
}

// Without the deliveries table the family is there, empty, and the scrape still succeeds.
TEST_F(MetricsTest, AMissingDeliveriesTableIsSkipped) {
  const std::string text = plugin_metrics(public_::M("rivi_task").connection(), kNow);
  EXPECT_NE(text.find("# TYPE rivi_alert_deliveries_total counter\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("rivi_alert_deliveries_total{"), std::string::npos) << text;
}

}  // namespace
}  // namespace rivi
