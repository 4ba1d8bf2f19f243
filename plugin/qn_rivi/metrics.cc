#include "plugin/qn_rivi/metrics.h"

#include "host/public.h"
#include "host/record.h"
#include "host/mail/robots.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/certificates.h"
#include "plugin/qn_rivi/counters.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/retention.h"
#include "plugin/qn_rivi/task_health.h"

#include <fmt/format.h>

#include <array>
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
  void raw(std::string_view text) { text_ += text; }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

struct Task {
  std::string id;
  std::string name;
  std::string health;
  std::optional<std::int64_t> failing;
  std::optional<std::int64_t> last_attempt;
  std::string current;  // the health now, as the overview answers it
};


// A node figure in milliseconds as seconds, rounded to the nanosecond so that 8.2 ms reads
// 0.0082 rather than 0.008199999999999999.
double seconds(double ms) { return std::round(ms * 1e6) / 1e9; }

// A run's numeric node figure; nothing when absent or not a number.
std::optional<double> figure(const Record& result, const char* key) {
  if (!result.is_object() || !result.contains(key) || !is_number(result[key])) return std::nullopt;
  return as_double(result[key]);
}

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
           "ELSE h.health END AS health, h.failing, h.last_attempt FROM rivi_task t LEFT JOIN rivi_health h ON h.pid = t.id "
           "ORDER BY t.id")) {
    Task task;
    const std::int64_t id = to_int(r["id"]);
    task.id = std::to_string(id);
    task.name = r["name"].is_null() ? "" : text_of(r["name"]);
    task.health = r["health"].get<std::string>();
    if (r["failing"].is_number()) task.failing = to_int(r["failing"]);
    if (r["last_attempt"].is_number()) task.last_attempt = to_int(r["last_attempt"]);
    index[id] = tasks.size();
    tasks.push_back(std::move(task));
  }
  {
    std::vector<std::int64_t> ids;
    for (const auto& [id, place] : index) ids.push_back(id);
    for (auto& [id, health] : task_health::health_now(db, ids, now)) tasks[index.at(id)].current = std::move(health);
  }
  Exposition out;

  out.family("rivi_task_health", "gauge",
             "Health of the task's latest run: 0 up, 1 degraded, 2 down, 3 error, 4 unknown (never ran), 5 paused, "
             "6 maintenance (the run fell in a maintenance window).");
  for (const Task& task : tasks) out.sample("rivi_task_health", task_labels(task), health_number(task.health));

  out.family("rivi_task_up", "gauge",
             "1 when the task's site is up by its current health (up or degraded), 0 when it is down or the monitor "
             "could not judge it (error: no node answered, no result stored, or the task is overdue); absent for "
             "tasks paused, in a maintenance window now, or never run.");
  for (const Task& task : tasks) {
    if (task.current == "up" || task.current == "degraded") out.sample("rivi_task_up", task_labels(task), 1);
    else if (task.current == "down" || task.current == "error") out.sample("rivi_task_up", task_labels(task), 0);
  }

  out.family("rivi_tasks", "gauge",
             "Tasks by their current health, as the overview counts them (an overdue task is error, a task in a "
             "maintenance window now is maintenance); every state is present.");
  // Every state the overview counts, exposed even when no task has it.
  for (const char* state : task_health::kStates) {
    const auto n = std::count_if(tasks.begin(), tasks.end(), [&](const Task& t) { return t.current == state; });
    out.sample("rivi_tasks", {{"health", state}}, static_cast<double>(n));
  }

  out.family("rivi_task_last_run_timestamp_seconds", "gauge",
             "Unix time of the task's last run, stored or failed; absent for a task never run.");
  for (const Task& task : tasks)
    if (task.last_attempt)
      out.sample("rivi_task_last_run_timestamp_seconds", task_labels(task), static_cast<double>(*task.last_attempt));

  out.family("rivi_monitor_ok", "gauge",
             "1 when the monitor's own state is ok; 0 when it is late (a running task was not probed for two of its "
             "cycles), stale (none was) or error (every recent run failed to dispatch).");
  out.sample("rivi_monitor_ok", {}, task_health::monitor_state(db, now)["state"] == "ok" ? 1 : 0);

  out.family("rivi_task_failing_nodes", "gauge", "Nodes that failed in the task's last run.");
  for (const Task& task : tasks)
    if (task.failing) out.sample("rivi_task_failing_nodes", task_labels(task), static_cast<double>(*task.failing));

  // The latest stored row of every task: one index step a task through rivi_list (pid, id).
  // Node times are stored in milliseconds; the families answer seconds, the format's base unit.
  // Per node, the last run only, so that the series stay as many as the tasks' nodes.
  Exposition node_codes, node_phases;  // samples alone, each family's kept together
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
    const Task& task = tasks[it->second];
    std::map<std::string, std::pair<double, int>> by_isp;  // isp -> sum, count
    for (const health::Node& node : health::judge_nodes(data)) {
      if (node.answered) {
        Labels labels = task_labels(task);
        labels.emplace_back("node", node.label);
        labels.emplace_back("isp", node.isp);
        if (node.http_code.is_number()) node_codes.sample("rivi_task_node_http_status_code", labels, as_double(node.http_code));
        const Record& result = data[node.entry];
        for (const auto& [phase, key] : {std::pair{"dns", "namelookup_time"}, std::pair{"first_byte", "starttransfer_time"},
                                         std::pair{"total", "total_time"}}) {
          const auto ms = figure(result, key);
          if (!ms) continue;
          Labels with_phase = labels;
          with_phase.emplace_back("phase", phase);
          node_phases.sample("rivi_task_node_phase_seconds", with_phase, seconds(std::max(0.0, *ms)));
        }
      }
      if (!node.time) continue;
      auto& [sum, count] = by_isp[node.isp];
      sum += *node.time;
      ++count;
    }
    for (const auto& [isp, figures] : by_isp) {
      Labels labels = task_labels(task);
      labels.emplace_back("isp", isp);
      out.sample("rivi_task_last_total_time_seconds", labels, seconds(figures.first / figures.second));
    }
  }
  out.family("rivi_task_node_http_status_code", "gauge",
             "HTTP status each answering node got in the task's last stored run (0: no response), by node and ISP.");
  out.raw(node_codes.take());
  out.family("rivi_task_node_phase_seconds", "gauge",
             "Seconds from the start of each answering node's fetch in the task's last stored run to the end of the "
             "phase: dns (name lookup), first_byte (first byte of the answer), total.");
  out.raw(node_phases.take());

  const std::int64_t from24 = health::first_hour(now, 24);
  const std::int64_t from7 = health::first_hour(now, 7 * 24);
  // Availability counts the runs that judged the site: monitor errors and runs in maintenance
  // windows are counted apart.
  const std::string judged = health::kJudgedRuns;
  const Record hours = db.query(
      "SELECT pid, SUM(CASE WHEN hour >= ? AND hour <= ? THEN " + judged + " ELSE 0 END) AS r24, "
      "SUM(CASE WHEN hour >= ? AND hour <= ? THEN good ELSE 0 END) AS g24, "
      "SUM(CASE WHEN hour >= ? AND hour <= ? THEN " + judged + " ELSE 0 END) AS r7, "
      "SUM(CASE WHEN hour >= ? AND hour <= ? THEN good ELSE 0 END) AS g7 "
      "FROM rivi_hourly WHERE hour >= ? GROUP BY pid ORDER BY pid",
      Record::array({from24, now, from24, now, from7, now, from7, now, from7}));
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
             "Runs of the task by outcome (good: up or degraded; bad: down; error: no node answered or no result; "
             "maintenance: in a maintenance window), counted since the task was made (or since its kept hours, for a "
             "task older than the running totals); never lowered by the purge of old results.");
  {
    std::map<std::int64_t, std::map<std::string, std::int64_t>> runs;  // task id -> outcome -> runs
    for (const counters::Series& series : counters::read(db, counters::kTaskRuns)) {
      std::string task, outcome;
      for (const auto& [key, value] : series.labels) {
        if (key == "task_id") task = value;
        if (key == "outcome") outcome = value;
      }
      try {
        runs[to_int(Record(task))][outcome] += series.value;
      } catch (const std::invalid_argument&) {
        // not a task's id: no task's series
      }
    }
    for (const auto& [id, place] : index) {
      for (const char* outcome : {"good", "bad", "error", "maintenance"}) {
        Labels labels = task_labels(tasks[place]);
        labels.emplace_back("outcome", outcome);
        const auto found = runs.find(id);
        const std::int64_t n = found == runs.end() ? 0 : found->second[outcome];
        out.sample("rivi_task_runs_total", labels, static_cast<double>(n));
      }
    }
  }

  out.family("rivi_cert_expiry_timestamp_seconds", "gauge",
             "Expiry (Unix seconds) of the certificate the ISP line was last served by the task's site, of the lines "
             "seen in the kept seven days.");
  for (const Record& r : certificates::expiries(db, result_retention_cutoff(now)))
    out.sample("rivi_cert_expiry_timestamp_seconds", {{"task_id", text_of(r["pid"])}, {"isp", text_of(r["isp"])}},
               static_cast<double>(to_int(r["not_after"])));

  out.family("rivi_alert_deliveries_total", "counter",
             "Alert deliveries by channel and outcome (success or failure), counted since the deliveries were first "
             "recorded; never lowered by the purge of old attempts. Both outcomes of every channel are present.");
  {
    // Every channel there is, at 0 before its first delivery, so that the first failure is an
    // increase a rule can see; then any other channel the table names.
    std::map<std::string, std::map<std::string, std::int64_t>> sent;  // channel -> outcome -> deliveries
    for (std::string_view channel : {std::string_view("mail"), std::string_view("dingding"), robots::kWecom,
                                     robots::kFeishu, robots::kWebhook})
      sent[std::string(channel)];
    for (const counters::Series& series : counters::read(db, counters::kAlertDeliveries)) {
      std::string channel, outcome;
      for (const auto& [key, value] : series.labels) {
        if (key == "channel") channel = value;
        if (key == "outcome") outcome = value;
      }
      sent[channel][outcome] += series.value;
    }
    for (auto& [channel, outcomes] : sent)
      for (const char* outcome : {"success", "failure"})
        out.sample("rivi_alert_deliveries_total", {{"channel", channel}, {"outcome", outcome}},
                   static_cast<double>(outcomes[outcome]));
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
