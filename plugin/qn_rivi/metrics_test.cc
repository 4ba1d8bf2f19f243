// The metrics a scraper reads at GET /metrics, from a real web server in this process over real
// runs (made by `start` against a stand-in dispatch centre on loopback), checked by promtool
// without a format error or a lint problem.
#include "plugin/qn_rivi/metrics.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/serve.h"
#include "host/store/store.h"
#include "host/web/web_server.h"
#include "plugin/qn_rivi/deliveries.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/retention.h"
#include "tests/support/testing.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace rivi {
namespace {

constexpr std::int64_t kNow = 1765170000;
constexpr const char* kToken = "scrape-token-1";
constexpr const char* kOddName = "a \"quoted\" \\ name\nline two";

Record node(const std::string& isp, const Record& code, double total) {
  return Record{{"isp", isp}, {"primary_ip", "1.2.3.4"}, {"http_code", code}, {"total_time", total}, {"error_code", ""}};
}

// The labels of a task's series.
std::string task_labels(std::int64_t id, const std::string& name) {
  return "task_id=\"" + std::to_string(id) + "\",task=\"" + name + "\"";
}

// Each of `lines` is in the scrape `text`.
void expect_lines(const std::string& text, std::initializer_list<std::string> lines) {
  for (const std::string& line : lines) EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
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
  for (const auto& [channel, success] : {std::pair{"mail", true}, std::pair{"mail", false}, std::pair{"mail", true},
                                        std::pair{"dingding", false}})
    deliveries::record(deliveries::Attempt{odd, channel, "ops@example.test", "down", success, ""}, kNow);

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

  const std::string odd_labels = task_labels(odd, label_value(kOddName));
  const std::string paused_labels = task_labels(paused, "paused");
  const std::string fresh_labels = task_labels(fresh, "fresh");
  expect_lines(text, {
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
           // Both outcomes of a channel used, so that the first failure is an increase.
           std::string("rivi_alert_deliveries_total{channel=\"dingding\",outcome=\"success\"} 0\n"),
           std::string("rivi_scheduler_fires_total 4\n"),
           std::string("rivi_scheduler_skips_total 1\n"),
           std::string("rivi_scheduler_clock_steps_total 2\n"),
       });
  EXPECT_EQ(text.find("rivi_task_last_total_time_seconds{" + odd_labels + ",isp=\"移动\""), std::string::npos) << text;
  // The failing node is still one of the last run's nodes, with the status it got.
  EXPECT_NE(text.find("rivi_task_node_http_status_code{" + odd_labels + ",node=\"移动#1\",isp=\"移动\"} 0\n"),
            std::string::npos)
      << text;
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
  const std::string labels = task_labels(task, "t");
  expect_lines(text, {"rivi_task_health{" + labels + "} 3\n",
                      "rivi_task_uptime_ratio{" + labels + ",window=\"24h\"} 1\n",
                      "rivi_task_runs_total{" + labels + ",outcome=\"good\"} 1\n",
                      "rivi_task_runs_total{" + labels + ",outcome=\"bad\"} 0\n",
                      "rivi_task_runs_total{" + labels + ",outcome=\"error\"} 2\n",
                      "rivi_task_runs_total{" + labels + ",outcome=\"maintenance\"} 0\n"});
}

// The `_total` samples of a scrape, by series.
std::map<std::string, double> totals(const std::string& text) {
  std::map<std::string, double> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.rfind(' ');
    const std::string series = line.substr(0, space);
    if (!series.substr(0, series.find('{')).ends_with("_total")) continue;
    out[series] = std::stod(line.substr(space + 1));
  }
  return out;
}

// The retention's purges of results, hours and delivery attempts past their windows never lower
// a counter: a scrape after them reads every series at least as high, and the next run and
// delivery count on from there.
TEST_F(MetricsTest, CountersNeverDecreaseWhenOldRowsArePurged) {
  const std::int64_t task = add_task("t", 1);
  const std::int64_t old = kNow - 100 * 86400;  // past the 90 days of hours and 30 of attempts
  ::setenv("PANEL_NOW", std::to_string(old).c_str(), 1);
  run(task, Record::array({node("电信", 200, 10)}));
  run(task, Record::array({node("电信", 500, 10), node("联通", 500, 10), node("移动", 500, 10)}));
  run(task, Record{{"status", false}, {"msg", "服务器未获授权"}});
  deliveries::record(deliveries::Attempt{task, "mail", "ops@example.test", "down", false, "timed out"}, old);
  ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1);
  run(task, Record::array({node("电信", 200, 10)}));
  deliveries::record(deliveries::Attempt{task, "mail", "ops@example.test", "recovery", true, "250 ok"}, kNow);

  const auto scrape = [] { return totals(panel_metrics()); };
  const auto before = scrape();
  const std::string labels = "task_id=\"" + std::to_string(task) + "\",task=\"t\"";
  EXPECT_EQ(before.at("rivi_task_runs_total{" + labels + ",outcome=\"good\"}"), 2);
  EXPECT_EQ(before.at("rivi_task_runs_total{" + labels + ",outcome=\"bad\"}"), 1);
  EXPECT_EQ(before.at("rivi_task_runs_total{" + labels + ",outcome=\"error\"}"), 1);
  EXPECT_EQ(before.at("rivi_alert_deliveries_total{channel=\"mail\",outcome=\"failure\"}"), 1);

  Connection db(database_path());
  EXPECT_GT(purge_results_before(db, result_retention_cutoff(kNow), PurgeOptions{}).rows, 0);
  EXPECT_GT(health::purge_before(db, health_retention_cutoff(kNow), 500), 0);
  EXPECT_GT(deliveries::purge_before(db, kNow - deliveries::kKeepDays * 86400, 500), 0);
  EXPECT_EQ(scrape(), before);

  run(task, Record::array({node("电信", 200, 10)}));
  deliveries::record(deliveries::Attempt{task, "mail", "ops@example.test", "down", false, "timed out"}, kNow);
  const auto after = scrape();
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [series, value] : before) EXPECT_GE(after.at(series), value) << series;
  EXPECT_EQ(after.at("rivi_task_runs_total{" + labels + ",outcome=\"good\"}"), 3);
  EXPECT_EQ(after.at("rivi_alert_deliveries_total{channel=\"mail\",outcome=\"failure\"}"), 2);

  // A removed task's series go with it.
  Record args{{"id", task}};
  plugin_->remove(args);
  EXPECT_EQ(panel_metrics().find("rivi_task_runs_total{" + labels), std::string::npos);
}

// A root from before the running totals goes on from the rows it still keeps: the first scrape
// after the upgrade reads what the last one before it did, and the totals are seeded only once.
TEST_F(MetricsTest, AnUpgradedRootGoesOnFromItsKeptRows) {
  const std::int64_t task = add_task("t", 1);
  run(task, Record::array({node("电信", 200, 10)}));
  run(task, Record::array({node("电信", 200, 10)}));
  run(task, Record{{"status", false}, {"msg", "服务器未获授权"}});
  deliveries::record(deliveries::Attempt{task, "dingding", "robot.test", "down", true, "ok"}, kNow);
  const auto before = totals(panel_metrics());
  public_::M("rivi_counter").execute("DROP TABLE rivi_counter");

  const auto upgraded = totals(panel_metrics());  // makes the plug-in, which lays out what is missing
  EXPECT_EQ(upgraded, before);
  run(task, Record::array({node("电信", 200, 10)}));
  const auto next = totals(panel_metrics());
  EXPECT_EQ(next.at("rivi_task_runs_total{task_id=\"" + std::to_string(task) + "\",task=\"t\",outcome=\"good\"}"), 3);
  EXPECT_EQ(next.at("rivi_alert_deliveries_total{channel=\"dingding\",outcome=\"success\"}"), 1);
}

// The families the usual alerts read, for tasks in every state: whether each site is up, tasks by
// health, the last run's time, the monitor's own state, and each node's status and phase times.
TEST_F(MetricsTest, TheAlertFamiliesTellEachTaskAndTheMonitor) {
  const auto timed = [](const std::string& isp, int code, double dns, double first_byte, double total) {
    Record r = node(isp, code, total);
    r["namelookup_time"] = dns;
    r["starttransfer_time"] = first_byte;
    return r;
  };
  const std::int64_t up = add_task("up", 1);
  const std::int64_t down = add_task("down", 1);
  const std::int64_t error = add_task("error", 1);
  const std::int64_t paused = add_task("paused", 0);
  const std::int64_t held = add_task("held", 1);
  run(up, Record::array({timed("电信", 200, 1.5, 20, 30), timed("电信", 301, 2, 10, 12)}));
  run(down, Record::array({timed("电信", 500, 1, 5, 6), timed("联通", 0, 3000, 0, 3000), node("移动", 503, 9)}));
  run(error, Record{{"status", false}, {"msg", "服务器未获授权"}});
  run(held, Record::array({node("电信", 200, 10)}));
  Record window{{"pid", held}, {"kind", "once"}, {"start", kNow - 60}, {"end", kNow + 3600}};
  ASSERT_EQ(plugin_->set_maintenance(window)["status"], true);
  const std::int64_t fresh = public_::M("rivi_task").insert(
      Record{{"name", "fresh"}, {"url", "http://example.test/"}, {"status", 1}, {"cycle", 1}, {"addtime", kNow}});

  Connection db(database_path());
  const std::string text = plugin_metrics(db, kNow);
  expect_lines(text, {
           "rivi_task_up{" + task_labels(up, "up") + "} 1\n",
           "rivi_task_up{" + task_labels(down, "down") + "} 0\n",
           "rivi_task_up{" + task_labels(error, "error") + "} 0\n",
           std::string("rivi_tasks{health=\"up\"} 1\n"),
           std::string("rivi_tasks{health=\"degraded\"} 0\n"),
           std::string("rivi_tasks{health=\"down\"} 1\n"),
           std::string("rivi_tasks{health=\"error\"} 1\n"),
           std::string("rivi_tasks{health=\"maintenance\"} 1\n"),
           std::string("rivi_tasks{health=\"unknown\"} 1\n"),
           std::string("rivi_tasks{health=\"paused\"} 1\n"),
           "rivi_task_last_run_timestamp_seconds{" + task_labels(up, "up") + "} " + std::to_string(kNow) + "\n",
           "rivi_task_last_run_timestamp_seconds{" + task_labels(error, "error") + "} " + std::to_string(kNow) + "\n",
           std::string("rivi_monitor_ok 1\n"),
           // Each answering node of the last run, numbered within its ISP, times in seconds.
           "rivi_task_node_http_status_code{" + task_labels(up, "up") + ",node=\"电信#2\",isp=\"电信\"} 301\n",
           "rivi_task_node_http_status_code{" + task_labels(down, "down") + ",node=\"联通#1\",isp=\"联通\"} 0\n",
           "rivi_task_node_phase_seconds{" + task_labels(up, "up") + ",node=\"电信#1\",isp=\"电信\",phase=\"dns\"} 0.0015\n",
           "rivi_task_node_phase_seconds{" + task_labels(up, "up") + ",node=\"电信#1\",isp=\"电信\",phase=\"first_byte\"} 0.02\n",
           "rivi_task_node_phase_seconds{" + task_labels(up, "up") + ",node=\"电信#1\",isp=\"电信\",phase=\"total\"} 0.03\n",
           "rivi_task_node_phase_seconds{" + task_labels(down, "down") + ",node=\"联通#1\",isp=\"联通\",phase=\"dns\"} 3\n",
       });
  // Nothing to judge: paused, in a window now, never run.
  for (const std::string& series : {task_labels(paused, "paused"), task_labels(held, "held"), task_labels(fresh, "fresh")})
    EXPECT_EQ(text.find("rivi_task_up{" + series + "}"), std::string::npos) << series << "\n" << text;
  EXPECT_EQ(text.find("rivi_task_last_run_timestamp_seconds{" + task_labels(fresh, "fresh") + "}"), std::string::npos);

  // Three minutes on, no running task was probed for two of its one-minute cycles.
  const std::string later = plugin_metrics(db, kNow + 180);
  EXPECT_NE(later.find("rivi_monitor_ok 0\n"), std::string::npos) << later;
  EXPECT_NE(later.find("rivi_tasks{health=\"error\"} 4\n"), std::string::npos) << later;
  EXPECT_NE(later.find("rivi_task_up{" + task_labels(up, "up") + "} 0\n"), std::string::npos) << later;
}

// Before any delivery (and without the deliveries table) every channel's outcomes are there at
// 0, so that a rule sees the first failure as an increase, and the scrape still succeeds.
TEST_F(MetricsTest, EveryChannelIsCountedFromZero) {
  const std::string text = plugin_metrics(public_::M("rivi_task").connection(), kNow);
  EXPECT_NE(text.find("# TYPE rivi_alert_deliveries_total counter\n"), std::string::npos) << text;
  for (const char* channel : {"mail", "dingding", "wecom", "feishu", "webhook"})
    for (const char* outcome : {"success", "failure"})
      EXPECT_NE(text.find(fmt::format("rivi_alert_deliveries_total{{channel=\"{}\",outcome=\"{}\"}} 0\n", channel, outcome)),
                std::string::npos)
          << text;
}

}  // namespace
}  // namespace rivi
