// Task health queries: get_overview, get_incidents, get_availability.
//
// They read `rivi_task` and the small health tables (health.h), never `rivi_list`: a page of the
// overview is a handful of statements whatever the number of stored results. Request text reaches
// SQL only as bound values; the health expression, the `IN` marks and the limit text are built
// here from constants and integers. Availability counts only the runs that judged the site:
// monitor errors and runs in maintenance windows are counted apart and left out.
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/checks.h"
#include "plugin/qn_rivi/display_zone.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/maintenance.h"
#include "plugin/qn_rivi/paging.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/resolution.h"
#include "plugin/qn_rivi/retention.h"
#include "plugin/qn_rivi/row_id.h"
#include "plugin/qn_rivi/task_health.h"
#include "plugin/qn_rivi/tags.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace rivi {
namespace {

constexpr std::int64_t kRowsPerPage = 12;
constexpr std::int64_t kMostRowsPerPage = 100;
constexpr std::size_t kIncidentNodes = 10;  // labels named in an incident, most failing first
constexpr const char* kBadArgs = "错误的参数!";
constexpr const char* kBadDays = "天数应在1到30之间！";

// A running task without an attempt (a stored row or a recorded failure) for two of its cycles at
// `now`: it is not being probed, whatever its last run said.
std::string overdue(std::int64_t now) {
  return fmt::format("(t.status = 1 AND COALESCE(h.last_attempt, t.addtime, 0) < {} - 120 * t.cycle)", now);
}
constexpr const char* kOverdueReason = "未按时拨测";

// A task's health as answered: a stopped task is paused, a task in a maintenance window now is in
// maintenance, an overdue one is `error`, a task without health never ran. The window's tasks
// come from `kCovered`, put before the statement, which binds their pids (0: every task) as one
// JSON list.
constexpr const char* kCovered = "WITH covered(pid) AS (SELECT value FROM json_each(?)) ";
std::string health_case(std::int64_t now) {
  return "(CASE WHEN t.status IS NOT 1 THEN 'paused' "
         "WHEN EXISTS (SELECT 1 FROM covered WHERE covered.pid IN (0, t.id)) THEN 'maintenance' WHEN " +
         overdue(now) + " THEN 'error' WHEN h.health IS NULL THEN 'unknown' ELSE h.health END)";
}

// Rows a page of the overview: `rows`, 12..100, default 12; nothing for a value out of range.
std::optional<std::int64_t> rows_per_page(const Record& args) {
  if (!has(args, "rows")) return kRowsPerPage;
  try {
    const std::int64_t rows = to_int(args.at("rows"));
    if (rows >= kRowsPerPage && rows <= kMostRowsPerPage) return rows;
  } catch (const std::invalid_argument&) {
  }
  return std::nullopt;
}

// The overview's order: `sort` (health, worst first; name; last, the last attempt; uptime, over
// 24 hours) with `order` asc|desc (default asc, for `last` desc), then the newest task first.
// Without `sort`, the newest task first. Nothing for a value it does not know.
std::optional<std::string> order_by(const Record& args, const std::string& health_sql) {
  const std::string sort = has(args, "sort") ? text_of(args.at("sort")) : "";
  const std::string order = has(args, "order") ? text_of(args.at("order")) : "";
  if (!order.empty() && order != "asc" && order != "desc") return std::nullopt;
  std::string key;
  if (sort.empty()) return std::string("t.id DESC");
  if (sort == "health") {
    key = "CASE " + health_sql + " WHEN 'down' THEN 0 WHEN 'error' THEN 1 WHEN 'degraded' THEN 2 WHEN 'maintenance' THEN 3 "
          "WHEN 'unknown' THEN 4 WHEN 'up' THEN 5 ELSE 6 END";
  } else if (sort == "name") {
    key = "lower(COALESCE(t.name, ''))";
  } else if (sort == "last") {
    key = "COALESCE(h.last_attempt, 0)";
  } else if (sort == "uptime") {
    key = "COALESCE(u.uptime, -1)";
  } else {
    return std::nullopt;
  }
  const bool descending = order.empty() ? sort == "last" : order == "desc";
  return key + (descending ? " DESC" : " ASC") + ", t.id DESC";
}

// Each task's uptime over the last 24 hours (0..1), for the sort by uptime; binds the first hour.
std::string uptime_join() {
  return std::string(" LEFT JOIN (SELECT pid, CAST(SUM(good) AS REAL) / NULLIF(SUM(") + health::kJudgedRuns +
         "), 0) AS uptime FROM rivi_hourly WHERE hour >= ? GROUP BY pid) u ON u.pid = t.id";
}

// A JSON list or record stored by the health recording; `fallback` when the text is not one.
Record stored_json(const Record& text, Record fallback) {
  if (!text.is_string()) return fallback;
  try {
    Record value = decode(text.get<std::string>());
    return value.type() == fallback.type() ? value : fallback;
  } catch (const std::invalid_argument&) {
    return fallback;
  }
}

Record rounded(const Record& ms) { return ms.is_number() ? Record(round2(as_double(ms))) : Record(nullptr); }

std::string marks(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += i == 0 ? "?" : ", ?";
  return out;
}

// Uptime of each task of `pids` over the last 24 hours, 7 days and 30 days (with `with_30d`),
// keyed by task id, of the runs that judged the site. Tasks without such runs in a span get null
// there.
std::map<std::int64_t, Record> uptimes(Connection& db, const std::vector<std::int64_t>& pids, std::int64_t now,
                                       bool with_30d) {
  std::map<std::int64_t, Record> out;
  if (pids.empty()) return out;
  const std::int64_t from24 = health::first_hour(now, 24);
  const std::int64_t from7 = health::first_hour(now, 7 * 24);
  const std::int64_t from30 = health::first_hour(now, 30 * 24);
  Record params = Record::array({from24, from24, from7, from7});
  for (std::int64_t pid : pids) params.push_back(pid);
  params.push_back(with_30d ? from30 : from7);
  const std::string judged = health::kJudgedRuns;
  // No upper bound: hours past `now` hold runs made before the clock was set back, and count.
  const Record rows = db.query(
      "SELECT pid, SUM(CASE WHEN hour >= ? THEN " + judged + " ELSE 0 END) AS r24, "
      "SUM(CASE WHEN hour >= ? THEN good ELSE 0 END) AS g24, "
      "SUM(CASE WHEN hour >= ? THEN " + judged + " ELSE 0 END) AS r7, SUM(CASE WHEN hour >= ? THEN good ELSE 0 END) AS g7, "
      "SUM(" + judged + ") AS r30, SUM(good) AS g30 FROM rivi_hourly WHERE pid IN (" + marks(pids.size()) +
          ") AND hour >= ? GROUP BY pid",
      params);
  for (std::int64_t pid : pids) {
    out[pid] = Record{{"uptime_24h", nullptr}, {"uptime_7d", nullptr}};
    if (with_30d) out[pid]["uptime_30d"] = nullptr;
  }
  for (const Record& r : rows) {
    Record& u = out[r["pid"].get<std::int64_t>()];
    u["uptime_24h"] = health::percent(to_int(r["g24"]), to_int(r["r24"]));
    u["uptime_7d"] = health::percent(to_int(r["g7"]), to_int(r["r7"]));
    if (with_30d) u["uptime_30d"] = health::percent(to_int(r["g30"]), to_int(r["r30"]));
  }
  return out;
}

// The monitor's own state: `error` when every running task that ran within two of its cycles
// ended its latest run in `error`; `stale` when running tasks exist and none ran (or was created)
// within two of its cycles; `late` when some of them did not (each task is judged on its own
// cycle, so a task that stopped being probed shows even while others run), naming them; else `ok`.
Record judged_monitor_state(Connection& db, std::int64_t now) {
  const Record r = db.query(
      "SELECT COUNT(*) AS running, "
      "SUM(CASE WHEN COALESCE(h.last_attempt, t.addtime, 0) >= ? - 120 * t.cycle THEN 1 ELSE 0 END) AS fresh, "
      "SUM(CASE WHEN h.last_attempt >= ? - 120 * t.cycle THEN 1 ELSE 0 END) AS ran, "
      "SUM(CASE WHEN h.last_attempt >= ? - 120 * t.cycle AND h.health = 'error' THEN 1 ELSE 0 END) AS failed, "
      "MAX(COALESCE(h.last_attempt, t.addtime, 0)) AS latest "
      "FROM rivi_task t LEFT JOIN rivi_health h ON h.pid = t.id WHERE t.status = 1",
      Record::array({now, now, now}))[0];
  const std::int64_t running = to_int(r["running"]);
  if (running == 0) return Record{{"state", "ok"}, {"reason", ""}};
  const std::int64_t ran = to_int(r["ran"]);
  if (ran > 0 && to_int(r["failed"]) == ran) {
    const Record latest = db.query(
        "SELECT h.reason FROM rivi_task t JOIN rivi_health h ON h.pid = t.id "
        "WHERE t.status = 1 AND h.health = 'error' ORDER BY h.last_attempt DESC LIMIT 1");
    return Record{{"state", "error"}, {"reason", latest.empty() ? Record("") : latest[0]["reason"]}};
  }
  if (to_int(r["fresh"]) == 0) {
    const std::int64_t minutes = std::max<std::int64_t>(0, (now - to_int(r["latest"])) / 60);
    return Record{{"state", "stale"}, {"reason", fmt::format("已有{}分钟没有任务运行，监控可能已停止", minutes)}};
  }
  const Record late = db.query("SELECT t.name FROM rivi_task t LEFT JOIN rivi_health h ON h.pid = t.id WHERE " +
                               overdue(now) + " ORDER BY t.id LIMIT 4");
  if (!late.empty()) {
    const std::int64_t count = to_int(r["running"]) - to_int(r["fresh"]);
    std::string names;
    for (std::size_t i = 0; i < late.size() && i < 3; ++i) names += (i ? "、" : "") + text_of(late[i]["name"]);
    if (count > 3) names += "等";
    return Record{{"state", "late"}, {"reason", fmt::format("{}个任务超过两个周期没有拨测：{}", count, names)}};
  }
  return Record{{"state", "ok"}, {"reason", ""}};
}

// The labels of an incident's nodes, most failing runs first (ties in the order first seen).
Record most_failing(const Record& node_fails) {
  std::vector<std::pair<std::string, std::int64_t>> counted;
  for (const auto& [label, n] : node_fails.items()) counted.emplace_back(label, n.is_number() ? to_int(n) : 0);
  std::stable_sort(counted.begin(), counted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  Record labels = Record::array();
  for (std::size_t i = 0; i < counted.size() && i < kIncidentNodes; ++i) labels.push_back(counted[i].first);
  return labels;
}

// The tasks maintenance windows cover at `now`, as the JSON list `kCovered` binds.
std::string covered_now(Connection& db, std::int64_t now) {
  Record pids = Record::array();
  for (std::int64_t pid : maintenance::covered_tasks(db, now)) pids.push_back(pid);
  return encode(pids);
}

// {runs, good, mean, min, max} of stored hour figures.
Record hour_figures(std::int64_t runs, std::int64_t good, const Record& sum, const Record& count, const Record& min,
                    const Record& max) {
  const std::int64_t n = count.is_number() ? to_int(count) : 0;
  Record f = Record::object();
  f["runs"] = runs;
  f["good"] = good;
  f["mean"] = n > 0 && sum.is_number() ? Record(round2(as_double(sum) / static_cast<double>(n))) : Record(nullptr);
  f["min"] = rounded(min);
  f["max"] = rounded(max);
  return f;
}

}  // namespace

Record qn_rivi_main::get_overview(Record& args) {
  const std::int64_t p = paging::page_number(args);
  const std::int64_t now = public_::now();
  const std::string health_sql = health_case(now);
  const auto rows_wanted = rows_per_page(args);
  if (!rows_wanted) return public_::returnMsg(false, fmt::format("每页行数应在{}到{}之间！", kRowsPerPage, kMostRowsPerPage));
  const auto ordering = order_by(args, health_sql);
  if (!ordering) return public_::returnMsg(false, "排序参数错误：sort应为health、name、last或uptime，order应为asc或desc！");
  Query tasks = public_::M("rivi_task");
  Connection& db = tasks.connection();

  std::string where = "1";
  Record params = Record::array({covered_now(db, now)});
  if (has(args, "search")) {
    // ASCII letters match regardless of case; other text byte for byte.
    where = "(instr(lower(COALESCE(t.name, '')), lower(?)) > 0 OR instr(lower(COALESCE(t.url, '')), lower(?)) > 0)";
    const std::string text = text_of(args["search"]);
    params.push_back(text);
    params.push_back(text);
  }
  // An empty tag filters nothing, as an empty field of the page's form means.
  if (const std::string tag = has(args, "tag") ? trimmed_blanks(text_of(args["tag"])) : ""; !tag.empty()) {
    where += " AND t.id IN (SELECT pid FROM rivi_tag WHERE tag = ?)";
    params.push_back(tag);
  }
  const auto from_where = [](const std::string& where_sql) {
    return " FROM rivi_task t LEFT JOIN rivi_health h ON h.pid = t.id WHERE " + where_sql;
  };
  const std::string from = from_where(where);

  // Tasks per health among those `where_sql` keeps (every value present, 0 when none).
  const auto health_counts = [&](const std::string& where_sql, const Record& where_params) {
    Record counts = Record::object();
    for (const char* value : task_health::kStates) counts[value] = 0;
    const std::string sql = std::string(kCovered) + "SELECT " + health_sql + " AS health, COUNT(*) AS n" +
                            from_where(where_sql) + " GROUP BY 1";
    for (const Record& r : db.query(sql, where_params)) counts[r["health"].get<std::string>()] = r["n"];
    return counts;
  };
  Record counts = health_counts(where, params);

  std::string filter;
  Record page_params = params;
  std::int64_t total = 0;
  const std::string wanted = has(args, "health") ? text_of(args["health"]) : "";
  if (!wanted.empty()) {
    filter = " AND " + health_sql + " = ?";
    page_params.push_back(wanted);
    total = counts.contains(wanted) ? to_int(counts[wanted]) : 0;
  } else {
    for (const auto& [value, n] : counts.items()) total += to_int(n);
  }

  Record answer = Record::object();
  answer["data"] = Record::array();
  answer["page"] = public_::get_page(total, p, *rows_wanted);
  // The uptime join binds its first hour ahead of the filter's values.
  const bool by_uptime = has(args, "sort") && text_of(args["sort"]) == "uptime";
  std::string page_from = from;
  if (by_uptime) {
    page_from = " FROM rivi_task t LEFT JOIN rivi_health h ON h.pid = t.id" + uptime_join() + " WHERE " + where;
    page_params.insert(page_params.begin() + 1, health::first_hour(now, 24));
  }
  const Record rows = db.query(
      std::string(kCovered) + "SELECT t.id, t.name, t.url, t.cycle, t.status, " + health_sql +
          " AS health, h.health AS stored_health, h.since, h.last_run, h.last_total_time, h.failing, h.nodes, h.unanswered, h.reason, h.scope, "
          "h.suspect_nodes, h.unanswered_nodes, h.error_streak, h.last_attempt, h.incident, h.trend, " + overdue(now) +
          " AS overdue, COALESCE(h.last_attempt, t.addtime) AS attempted" +
          page_from + filter + " ORDER BY " + *ordering + " LIMIT " + paging::limit_text(answer["page"]),
      page_params);

  std::vector<std::int64_t> ids;
  for (const Record& r : rows) ids.push_back(to_int(r["id"]));
  const auto uptime = uptimes(db, ids, now, false);
  const std::vector<std::int64_t> ruled = checks::with_rules(db, ids);
  const std::set<std::int64_t> dns_mismatch = resolution::mismatched(db, ids, result_retention_cutoff(now));
  const auto task_tags = tags::of_tasks(db, ids);

  for (const Record& r : rows) {
    const bool stored = r["health"] != "paused" && r["health"] != "unknown";
    const auto number = [&](const char* key) { return r[key].is_null() ? Record(0) : r[key]; };
    const auto text = [&](const char* key) { return r[key].is_null() ? Record("") : r[key]; };
    Record task = Record::object();
    for (const char* key : {"id", "name", "url", "cycle", "status", "health"}) task[key] = r[key];
    const bool late = r["health"] == "error" && truthy(r["overdue"]);
    task["since"] = late ? r["attempted"] : stored ? r["since"] : Record(nullptr);
    // In a window whose runs have not come yet, the window is the reason, and since when is not known.
    const bool window_now = r["health"] == "maintenance" && r["stored_health"] != "maintenance";
    if (window_now) task["since"] = nullptr;
    task["last_run"] = r["last_run"];
    task["last_total_time"] = rounded(r["last_total_time"]);
    task["failing"] = number("failing");
    task["nodes"] = number("nodes");
    task["unanswered"] = number("unanswered");
    task["reason"] = late ? Record(kOverdueReason) : stored ? text("reason") : Record("");
    task["scope"] = late ? Record("monitor") : stored ? text("scope") : Record("");
    if (window_now) {
      const auto window = maintenance::covering(db, to_int(r["id"]), now);
      task["reason"] = !window || window->note.empty() ? std::string(health::kMaintenanceWords)
                                                       : std::string(health::kMaintenanceWords) + ": " + window->note;
      task["scope"] = "";
    }
    task["suspect_nodes"] = stored_json(r["suspect_nodes"], Record::array());
    const Record& u = uptime.at(to_int(r["id"]));
    task["uptime_24h"] = u["uptime_24h"];
    task["uptime_7d"] = u["uptime_7d"];
    task["trend"] = stored_json(r["trend"], Record::array());
    // Beyond the page's contract: who did not answer, errors in a row, the last attempt (stored
    // or not) and the open incident.
    task["unanswered_nodes"] = stored_json(r["unanswered_nodes"], Record::array());
    task["error_streak"] = number("error_streak");
    task["last_attempt"] = r["last_attempt"];
    task["incident"] = r["incident"];
    // Whether the task has success rules of its own (checks.h), for the list's mark.
    task["has_checks"] = std::find(ruled.begin(), ruled.end(), to_int(r["id"])) != ruled.end();
    // A line whose latest answer resolved the name outside the task's `dns_expect`.
    task["dns_mismatch"] = dns_mismatch.contains(to_int(r["id"]));
    task["tags"] = Record::array();
    if (const auto found = task_tags.find(to_int(r["id"])); found != task_tags.end())
      for (const auto& tag : found->second) task["tags"].push_back(tag);
    answer["data"].push_back(std::move(task));
  }
  answer["counts"] = std::move(counts);
  answer["monitor"] = judged_monitor_state(db, now);
  // Keys in the documented order: data, page, counts, monitor; then what the page's first view
  // would otherwise ask three more calls for, so that one answer draws it: the tag filter's
  // choices (as get_tags), whether alerts reach anyone (the banner, as get_undelivered), the zone
  // the page shows times in (as get_alert_policy), and, when a search or tag narrows the list, the
  // counts over every task (the title's).
  answer["tags"] = db.has_table("rivi_tag") ? tags::listed(db) : Record::array();
  answer["alerting"] = alert_reach(db);
  answer["timezone"] = display::effective_zone();
  if (where != "1") answer["all_counts"] = health_counts("1", Record::array({params[0]}));
  return answer;
}

Record qn_rivi_main::get_incidents(Record& args) {
  const std::int64_t p = paging::page_number(args);
  const std::int64_t now = public_::now();
  Query incidents = public_::M("rivi_incident");
  Connection& db = incidents.connection();

  // Without `pid`, every task's incidents; a pid that denotes no whole number names none.
  std::string where = "1";
  Record params = Record::array();
  if (has(args, "pid")) {
    const auto pid = row_id(args["pid"]);
    where = "pid = ?";
    params.push_back(pid ? Record(*pid) : Record(nullptr));
  }
  const std::int64_t total = to_int(db.query("SELECT COUNT(*) AS n FROM rivi_incident WHERE " + where, params)[0]["n"]);
  Record answer = Record::object();
  answer["data"] = Record::array();
  answer["page"] = public_::get_page(total, p, kRowsPerPage);
  const Record rows = db.query(
      "SELECT * FROM rivi_incident WHERE " + where + " ORDER BY id DESC LIMIT " + paging::limit_text(answer["page"]), params);
  for (const Record& r : rows) {
    Record incident = Record::object();
    incident["id"] = r["id"];
    incident["pid"] = r["pid"];
    incident["kind"] = r["kind"];
    incident["start"] = r["start_time"];
    incident["end"] = r["end_time"];
    const std::int64_t until = r["end_time"].is_null() ? now : to_int(r["end_time"]);
    incident["duration"] = std::max<std::int64_t>(0, until - to_int(r["start_time"]));
    incident["failing_nodes"] = most_failing(stored_json(r["node_fails"], Record::object()));
    incident["reason"] = r["reason"];
    incident["scope"] = r["scope"];
    incident["runs"] = r["runs"];
    answer["data"].push_back(std::move(incident));
  }
  return answer;
}

Record qn_rivi_main::get_availability(Record& args) {
  if (!has(args, "pid")) return public_::returnMsg(false, kBadArgs);
  std::int64_t days = 7;
  if (has(args, "days")) {
    try {
      days = to_int(args["days"]);
    } catch (const std::exception&) {
      return public_::returnMsg(false, kBadDays);
    }
    if (days < 1 || days > 30) return public_::returnMsg(false, kBadDays);
  }
  const std::int64_t now = public_::now();
  Query hourly = public_::M("rivi_hourly");
  Connection& db = hourly.connection();
  const auto pid = row_id(args["pid"]);

  Record answer = Record::object();
  answer["uptime_24h"] = nullptr;
  answer["uptime_7d"] = nullptr;
  answer["uptime_30d"] = nullptr;
  answer["hours"] = Record::array();
  if (!pid) return answer;
  const Record uptime = uptimes(db, {*pid}, now, true).at(*pid);
  for (const auto& [key, value] : uptime.items()) answer[key] = value;

  const Record rows = db.query(
      "SELECT hour, runs, good, errors, maintenance, time_sum, time_count, time_min, time_max, isp FROM rivi_hourly "
      "WHERE pid = ? AND hour >= ? AND hour <= ? ORDER BY hour",
      Record::array({*pid, health::first_hour(now, days * 24), health::hour_of(now)}));
  for (const Record& r : rows) {
    Record hour = Record::object();
    hour["hour"] = r["hour"];
    const Record figures = hour_figures(to_int(r["runs"]), to_int(r["good"]), r["time_sum"], r["time_count"],
                                        r["time_min"], r["time_max"]);
    for (const auto& [key, value] : figures.items()) hour[key] = value;
    // Beside the runs: those that were monitor errors and those in a maintenance window, which
    // the hour's availability leaves out.
    hour["errors"] = r["errors"];
    hour["maintenance"] = r["maintenance"];
    Record isps = Record::object();
    const Record stored_isps = stored_json(r["isp"], Record::object());
    for (const auto& [isp, f] : stored_isps.items()) {
      if (!f.is_object()) continue;
      isps[isp] = hour_figures(f.value("runs", std::int64_t{0}), f.value("good", std::int64_t{0}), f.value("sum", Record()),
                               f.value("count", Record()), f.value("min", Record()), f.value("max", Record()));
    }
    hour["isp"] = std::move(isps);
    answer["hours"].push_back(std::move(hour));
  }
  return answer;
}

std::map<std::int64_t, std::string> task_health::health_now(Connection& db, const std::vector<std::int64_t>& pids,
                                                            std::int64_t now) {
  std::map<std::int64_t, std::string> out;
  if (pids.empty()) return out;
  Record ids = Record::array();
  for (std::int64_t pid : pids) ids.push_back(pid);
  const Record rows = db.query(std::string(kCovered) + "SELECT t.id, " + health_case(now) +
                                   " AS health FROM rivi_task t LEFT JOIN rivi_health h ON h.pid = t.id "
                                   "WHERE t.id IN (SELECT value FROM json_each(?))",
                               Record::array({covered_now(db, now), encode(ids)}));
  for (const Record& r : rows) out[to_int(r["id"])] = r["health"].get<std::string>();
  return out;
}

std::map<std::int64_t, task_health::Current> task_health::current(Connection& db, const std::vector<std::int64_t>& pids,
                                                                 std::int64_t now) {
  std::map<std::int64_t, Current> out;
  std::vector<std::int64_t> found;
  for (auto& [pid, health] : health_now(db, pids, now)) {
    out[pid].health = std::move(health);
    found.push_back(pid);
  }
  for (const auto& [pid, u] : uptimes(db, found, now, true)) out[pid].uptime_30d = u["uptime_30d"];
  return out;
}

Record task_health::monitor_state(Connection& db, std::int64_t now) { return judged_monitor_state(db, now); }

}  // namespace rivi
