#include "plugin/qn_rivi/metrics.h"

#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/certificates.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/retention.h"

#include <fmt/format.h>

#include <cmath>
#include <map>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace rivi {
namespace {

// The number each health is exposed as; documented in the family's HELP.
int health_number(const std::string& health) {
  static const std::map<std::string, int> kNumbers{{"up", 0},      {"degraded", 1}, {"down", 2},          {"error", 3},
                                                   {"unknown", 4}, {"paused", 5},   {"maintenance", 6}};
  const auto it = kNumbers.find(health);
  return it == kNumbers.end() ? 4 : it->second;
}

// A sample value as the format writes it (integers without a fraction).
std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  return fmt::format("{}", value);
}

class Exposition {
 public:
  void family(std::string_view name, std::string_view type, std::string_view help) {
    text_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
  }
  void sample(std::string_view name, const std::vector<std::pair<std::string, std::string>>& labels, double value) {
    text_ += name;
    if (!labels.empty()) {
      text_ += '{';
      for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) text_ += ',';
        text_ += labels[i].first + "=\"" + label_value(labels[i].second) + '"';
      }
      text_ += '}';
    }
    text_ += ' ' + number(value) + '\n';
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

struct Task {
  std::string id;
  std::string name;
  std::string health;
  std::optional<std::int64_t> failing;
};

using Labels = std::vector<std::pair<std::string, std::string>>;

Labels task_labels(const Task& task) { return {{"task_id", task.id}, {"task", task.name}}; }

}  // namespace

std::string label_value(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string plugin_metrics(Connection& db, std::int64_t now) {
  std::vector<Task> tasks;
  std::map<std::int64_t, std::size_t> index;  // task id -> place in `tasks`
  for (const Record& r : db.query(
           "SELECT t.id, t.name, CASE WHEN t.status IS NOT 1 THEN 'paused' WHEN h.health IS NULL THEN 'unknown' "
           "ELSE h.health END AS health, h.failing FROM rivi_task t LEFT JOIN rivi_health h ON h.pid = t.id "
           "ORDER BY t.id")) {
    Task task;
    const std::int64_t id = to_int(r["id"]);
    task.id = std::to_string(id);
    task.name = r["name"].is_null() ? "" : text_of(r["name"]);
    task.health = r["health"].get<std::string>();
    if (r["failing"].is_number()) task.failing = to_int(r["failing"]);
    index[id] = tasks.size();
    tasks.push_back(std::move(task));
  }
  Exposition out;

  out.family("rivi_task_health", "gauge",
             "Health of the task's latest run: 0 up, 1 degraded, 2 down, 3 error, 4 unknown (never ran), 5 paused, "
             "6 maintenance (the run fell in a maintenance window).");
  for (const Task& task : tasks) out.sample("rivi_task_health", task_labels(task), health_number(task.health));

  out.family("rivi_task_failing_nodes", "gauge", "Nodes that failed in the task's last run.");
  for (const Task& task : tasks)
    if (task.failing) out.sample("rivi_task_failing_nodes", task_labels(task), static_cast<double>(*task.failing));

  // The latest stored row of every task: one index step a task through rivi_list (pid, id).
  // Node times are stored in milliseconds; the family answers seconds, the format's base unit,
  // rounded to the nanosecond so that 8.2 ms reads 0.0082 rather than 0.008199999999999999.
  out.family("rivi_task_last_total_time_seconds", "gauge",
             "Mean total time in seconds of the ISP's well-answering nodes in the task's last stored run.");
  for (const Record& r : db.query("SELECT pid, data FROM rivi_list WHERE id IN (SELECT MAX(id) FROM rivi_list GROUP BY pid) "
                                  "ORDER BY pid")) {
    const auto it = index.find(to_int(r["pid"]));
    if (it == index.end() || !r["data"].is_string()) continue;
    Record data;
    try {
      data = decode(r["data"].get<std::string>());
    } catch (const std::invalid_argument&) {
      continue;  // a row that is not JSON has no node times
    }
    std::map<std::string, std::pair<double, int>> by_isp;  // isp -> sum, count
    for (const health::Node& node : health::judge_nodes(data)) {
      if (!node.time) continue;
      auto& [sum, count] = by_isp[node.isp];
      sum += *node.time;
      ++count;
    }
    const Task& task = tasks[it->second];
    for (const auto& [isp, figures] : by_isp) {
      Labels labels = task_labels(task);
      labels.emplace_back("isp", isp);
      out.sample("rivi_task_last_total_time_seconds", labels, std::round(figures.first / figures.second * 1e6) / 1e9);
    }
  }

  const std::int64_t from24 = health::first_hour(now, 24);
  const std::int64_t from7 = health::first_hour(now, 7 * 24);
  // Availability counts the runs that judged the site: monitor errors and runs in maintenance
  // windows are counted apart.
  const std::string judged = health::kJudgedRuns;
  const Record hours = db.query(
      "SELECT pid, SUM(CASE WHEN hour >= ? AND hour <= ? THEN " + judged + " ELSE 0 END) AS r24, "
      "SUM(CASE WHEN hour >= ? AND hour <= ? THEN good ELSE 0 END) AS g24, "
      "SUM(CASE WHEN hour >= ? AND hour <= ? THEN " + judged + " ELSE 0 END) AS r7, "
      "SUM(CASE WHEN hour >= ? AND hour <= ? THEN good ELSE 0 END) AS g7, "
      "SUM(runs) AS runs, SUM(good) AS good, SUM(errors) AS errors, SUM(maintenance) AS maintenance "
      "FROM rivi_hourly GROUP BY pid ORDER BY pid",
      Record::array({from24, now, from24, now, from7, now, from7, now}));
  out.family("rivi_task_uptime_ratio", "gauge",
             "Share of the task's good runs (up or degraded) over the last 24 hours (window=\"24h\") or 7 days "
             "(window=\"7d\"), counted by whole hours, of the runs that judged the site (monitor errors and runs in "
             "maintenance windows left out); absent without such runs in the window.");
  for (const Record& r : hours) {
    const auto it = index.find(to_int(r["pid"]));
    if (it == index.end()) continue;
    for (const auto& [window, runs, good] : {std::tuple{"24h", "r24", "g24"}, std::tuple{"7d", "r7", "g7"}}) {
      const std::int64_t n = to_int(r[runs]);
      if (n == 0) continue;
      Labels labels = task_labels(tasks[it->second]);
      labels.emplace_back("window", window);
      out.sample("rivi_task_uptime_ratio", labels, static_cast<double>(to_int(r[good])) / static_cast<double>(n));
    }
  }
  out.family("rivi_task_runs_total", "counter",
             fmt::format("Runs of the task by outcome (good: up or degraded; bad: down; error: no node answered or no result; "
                         "maintenance: in a maintenance window) over the kept hours (the last {} days); it drops when old "
                         "hours are purged.",
                         health::kKeepDays));
  for (const Record& r : hours) {
    const auto it = index.find(to_int(r["pid"]));
    if (it == index.end()) continue;
    const std::int64_t runs = to_int(r["runs"]), good = to_int(r["good"]), errors = to_int(r["errors"]),
                       maintained = to_int(r["maintenance"]);
    for (const auto& [outcome, n] : {std::pair{"good", good}, std::pair{"bad", runs - good - errors - maintained},
                                     std::pair{"error", errors}, std::pair{"maintenance", maintained}}) {
      Labels labels = task_labels(tasks[it->second]);
      labels.emplace_back("outcome", outcome);
      out.sample("rivi_task_runs_total", labels, static_cast<double>(n));
    }
  }

  out.family("rivi_cert_expiry_timestamp_seconds", "gauge",
             "Expiry (Unix seconds) of the certificate the ISP line was last served by the task's site, of the lines "
             "seen in the kept seven days.");
  for (const Record& r : certificates::expiries(db, result_retention_cutoff(now)))
    out.sample("rivi_cert_expiry_timestamp_seconds", {{"task_id", text_of(r["pid"])}, {"isp", text_of(r["isp"])}},
               static_cast<double>(to_int(r["not_after"])));

  out.family("rivi_alert_deliveries_total", "counter", "Alert deliveries by channel and outcome (success or failure).");
  if (db.has_table("rivi_delivery")) {
    Record rows;
    try {
      rows = db.query("SELECT channel, CASE WHEN success THEN 'success' ELSE 'failure' END AS outcome, COUNT(*) AS n "
                      "FROM rivi_delivery GROUP BY 1, 2 ORDER BY 1, 2");
    } catch (const std::exception&) {
      rows = Record::array();  // a table of another layout: no delivery figures
    }
    for (const Record& r : rows)
      out.sample("rivi_alert_deliveries_total",
                 {{"channel", r["channel"].is_null() ? "" : text_of(r["channel"])}, {"outcome", text_of(r["outcome"])}},
                 static_cast<double>(to_int(r["n"])));
  }
  return out.take();
}

std::string panel_metrics() {
  load_qn_rivi_module();
  const qn_rivi_main plugin;  // makes the tables a fresh root lacks
  auto tasks = public_::M("rivi_task");
  return plugin_metrics(tasks.connection(), public_::now());
}

}  // namespace rivi
