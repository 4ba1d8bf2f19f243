// Task health: judging a run's nodes, recording health, incidents and hours, the schema and the purge.
#include "plugin/qn_rivi/health.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/counters.h"
#include "plugin/qn_rivi/maintenance.h"
#include "plugin/qn_rivi/node_incidents.h"
#include "plugin/qn_rivi/tags.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>

namespace rivi::health {
namespace {

constexpr const char* kNoAnswer = "节点未响应";
constexpr std::size_t kReasonWords = 3;      // distinct failure words named in a reason
constexpr std::size_t kDetailBytes = 200;    // of a dispatch error kept in a reason

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_health ("
    "pid INTEGER PRIMARY KEY, health TEXT NOT NULL, since INTEGER NOT NULL, last_attempt INTEGER NOT NULL, "
    "last_run INTEGER, last_total_time REAL, failing INTEGER NOT NULL DEFAULT 0, nodes INTEGER NOT NULL DEFAULT 0, "
    "unanswered INTEGER NOT NULL DEFAULT 0, reason TEXT NOT NULL DEFAULT '', scope TEXT NOT NULL DEFAULT '', "
    "suspect_nodes TEXT NOT NULL DEFAULT '[]', unanswered_nodes TEXT NOT NULL DEFAULT '[]', "
    "streaks TEXT NOT NULL DEFAULT '{}', error_streak INTEGER NOT NULL DEFAULT 0, incident INTEGER, "
    "trend TEXT NOT NULL DEFAULT '[]');"
    "CREATE TABLE IF NOT EXISTS rivi_incident ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL, kind TEXT NOT NULL, start_time INTEGER NOT NULL, "
    "end_time INTEGER, last_time INTEGER NOT NULL, node_fails TEXT NOT NULL DEFAULT '{}', "
    "reason TEXT NOT NULL DEFAULT '', scope TEXT NOT NULL DEFAULT '', runs INTEGER NOT NULL DEFAULT 1);"
    "CREATE INDEX IF NOT EXISTS rivi_incident_pid_id ON rivi_incident (pid, id);"
    "CREATE INDEX IF NOT EXISTS rivi_incident_end ON rivi_incident (end_time);"
    "CREATE TABLE IF NOT EXISTS rivi_hourly ("
    "pid INTEGER NOT NULL, hour INTEGER NOT NULL, runs INTEGER NOT NULL, good INTEGER NOT NULL, "
    "errors INTEGER NOT NULL DEFAULT 0, maintenance INTEGER NOT NULL DEFAULT 0, time_sum REAL NOT NULL DEFAULT 0, time_count INTEGER NOT NULL DEFAULT 0, time_min REAL, time_max REAL, "
    "isp TEXT NOT NULL DEFAULT '{}', PRIMARY KEY (pid, hour)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS rivi_hourly_hour ON rivi_hourly (hour);";

bool good_code(const Record& code) {
  static const std::array<Record, 5> kGood{200, 301, 302, 403, 401};
  return std::any_of(kGood.begin(), kGood.end(), [&](const Record& g) { return same_value(code, g); });
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty()) out += separator;
    out += p;
  }
  return out;
}

Record text_list(const std::vector<std::string>& items) {
  Record list = Record::array();
  for (const auto& i : items) list.push_back(i);
  return list;
}

// The distinct words `words_of` gives the nodes (skipping ""), most frequent first (ties in node
// order), at most `kReasonWords` of them.
template <typename WordsOf>
std::string counted_words(const std::vector<Node>& nodes, WordsOf words_of) {
  std::vector<std::pair<std::string, int>> counted;
  for (const Node& n : nodes) {
    const std::string w = words_of(n);
    if (w.empty()) continue;
    auto it = std::find_if(counted.begin(), counted.end(), [&](const auto& c) { return c.first == w; });
    if (it == counted.end()) counted.emplace_back(w, 1);
    else ++it->second;
  }
  std::stable_sort(counted.begin(), counted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<std::string> words;
  for (std::size_t i = 0; i < counted.size() && i < kReasonWords; ++i) words.push_back(counted[i].first);
  return joined(words, "、");
}

// The words of the failing nodes: the rule each failed, else its code's words.
std::string failure_words(const std::vector<Node>& nodes) {
  return counted_words(nodes, [](const Node& n) {
    if (!n.answered || !n.failing) return std::string();
    return n.rule.empty() ? error_words(n.code, n.http_code, n.connected) : n.rule;
  });
}

std::string warning_words(const std::vector<Node>& nodes) {
  return counted_words(nodes, [](const Node& n) { return n.answered && !n.failing ? n.warning : std::string(); });
}

// Whole milliseconds with the thousands marked: "2,150".
std::string grouped(double ms) {
  const long long whole = std::llround(ms);
  std::string digits = std::to_string(whole < 0 ? -whole : whole);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
  return (whole < 0 ? "-" : "") + digits;
}

// The first address a node resolved that no range of `expected` holds: of `addresses`, else its
// `primary_ip`; nothing when all lie in them or the node resolved nothing.
std::optional<std::string> unexpected_address(const Record& r, const std::vector<checks::AddressRange>& expected) {
  std::vector<std::string> resolved;
  if (r.contains("addresses") && r["addresses"].is_array()) {
    for (const Record& a : r["addresses"])
      if (a.is_string() && !a.get_ref<const std::string&>().empty()) resolved.push_back(a.get<std::string>());
  } else if (r.contains("primary_ip") && r["primary_ip"].is_string() && !r["primary_ip"].get_ref<const std::string&>().empty()) {
    resolved.push_back(r["primary_ip"].get<std::string>());
  }
  for (const std::string& address : resolved) {
    const bool held = std::any_of(expected.begin(), expected.end(), [&](const auto& range) { return range.contains(address); });
    if (!held) return readable_text(address, 64);
  }
  return std::nullopt;
}

// Judges an answered node `n` (its result `r`) by its task's rules: the rule it fails, or the
// warning it gets. The strongest reason wins: certificate, addresses, status, keyword.
void apply_rules(Node& n, const Record& r, const checks::Rules& rules) {
  const bool got_status = n.http_code.is_number() && as_double(n.http_code) > 0;
  std::string rule;
  if (got_status && !rules.keyword.empty() && r.contains("keyword_found") && r["keyword_found"].is_boolean()) {
    const bool found = r["keyword_found"].get<bool>();
    if (rules.keyword_mode == "absent" && found) rule = fmt::format("出现关键字「{}」", rules.keyword);
    if (rules.keyword_mode != "absent" && !found) rule = fmt::format("缺少关键字「{}」", rules.keyword);
  }
  // With expected statuses the status is theirs to judge; a node that got no status keeps its code.
  if (got_status && !rules.expect_codes.empty()) {
    n.failing = !rules.accepts(n.http_code);
    if (n.failing) rule = "状态码不符（" + text_of(n.http_code) + "）";
    else if (n.code == "http_status") n.code.clear();
  }
  if (!rules.dns_expect.empty()) {
    if (const auto address = unexpected_address(r, rules.dns_expect))
      rule = fmt::format("解析地址不符：{}线路解析到 {}（疑似劫持）", n.isp, *address);
  }
  const Record cert = r.contains("cert") && r["cert"].is_object() ? r["cert"] : Record();
  std::optional<std::int64_t> days;
  if (cert.is_object() && cert.contains("days_left") && is_number(cert["days_left"]))
    days = static_cast<std::int64_t>(std::floor(as_double(cert["days_left"])));
  if (cert.is_object() && cert.contains("verify_error") && cert["verify_error"].is_string() &&
      !cert["verify_error"].get_ref<const std::string&>().empty())
    rule = "证书错误（" + readable_text(cert["verify_error"].get<std::string>(), 120) + "）";
  if (days && *days < 0) rule = "证书已过期";
  if (!rule.empty()) {
    n.failing = true;
    n.rule = std::move(rule);
  }
  if (n.failing) return;

  std::vector<std::string> warnings;
  if (rules.cert_warn_days > 0 && days && *days <= rules.cert_warn_days)
    warnings.push_back(fmt::format("证书将于 {} 天后过期", *days));
  // Slowness is judged on the whole milliseconds the words show, so that they never read "1,000 > 1,000".
  if (rules.slow_ms > 0 && r.contains("total_time") && is_number(r["total_time"]) &&
      std::llround(as_double(r["total_time"])) > rules.slow_ms)
    warnings.push_back(fmt::format("响应过慢（{} ms > {} ms）", grouped(as_double(r["total_time"])),
                                   grouped(static_cast<double>(rules.slow_ms))));
  n.warning = joined(warnings, "、");
}

Record decoded_or(const Record& text, Record fallback) {
  if (!text.is_string()) return fallback;
  try {
    return decode(text.get<std::string>());
  } catch (const std::invalid_argument&) {
    return fallback;
  }
}

Streaks streaks_of(const Record& text) {
  Streaks s;
  const Record r = decoded_or(text, Record::object());
  if (!r.is_object()) return s;
  for (const auto& [label, n] : r.items()) {
    if (n.is_number_integer()) s[label] = n.get<std::int64_t>();
  }
  return s;
}

Record streaks_record(const Streaks& s) {
  Record r = Record::object();
  for (const auto& [label, n] : s) r[label] = n;
  return r;
}

Record optional_time(const std::optional<double>& t) { return t ? Record(*t) : Record(nullptr); }

// Adds one run's node figures (a time, or none) to a {sum, count, min, max} holder.
void add_time(Record& figures, const std::optional<double>& time, const char* sum, const char* count,
              const char* min, const char* max) {
  if (!time) return;
  figures[sum] = figures.value(sum, 0.0) + *time;
  figures[count] = figures.value(count, std::int64_t{0}) + 1;
  const Record lo = figures.value(min, Record());
  const Record hi = figures.value(max, Record());
  if (!lo.is_number() || *time < lo.get<double>()) figures[min] = *time;
  if (!hi.is_number() || *time > hi.get<double>()) figures[max] = *time;
}

// Columns that `rivi_hourly` gained after it was first laid out.
constexpr std::array<const char*, 2> kLaterHourColumns{"errors", "maintenance"};

void add_missing_hour_columns(Connection& db) {
  const Record present = db.query("SELECT name FROM pragma_table_info('rivi_hourly')");
  for (const char* column : kLaterHourColumns) {
    if (std::any_of(present.begin(), present.end(), [&](const Record& r) { return r["name"] == column; })) continue;
    try {
      db.run(fmt::format("ALTER TABLE rivi_hourly ADD COLUMN {} INTEGER NOT NULL DEFAULT 0", column));
    } catch (const std::runtime_error& e) {
      // Another process starting at the same moment added it first.
      if (std::strstr(e.what(), "duplicate column") == nullptr) throw;
    }
  }
}

// How a run counts in its hour's availability.
enum class Counted { judged, error, maintenance };

Counted counted_as(const std::string& health) {
  if (health == "error") return Counted::error;
  if (health == "maintenance") return Counted::maintenance;
  return Counted::judged;
}

// Adds the run to the task's hour: one run; a run that judged the site as good or not, with its
// good nodes' times and per ISP figures (an ISP is good in a run when none of its answering nodes
// failed); a monitor error or a run in a maintenance window counted apart, with nothing else.
void add_to_hour(Connection& db, std::int64_t pid, std::int64_t time, const std::string& health,
                 const std::vector<Node>& nodes) {
  const std::int64_t hour = hour_of(time);
  const Record found = db.query("SELECT * FROM rivi_hourly WHERE pid = ? AND hour = ?", Record::array({pid, hour}));
  Record row = found.empty() ? Record{{"runs", 0}, {"good", 0}, {"errors", 0}, {"maintenance", 0}, {"time_sum", 0.0},
                                      {"time_count", 0}, {"time_min", nullptr}, {"time_max", nullptr}}
                             : found[0];
  const Counted counted = counted_as(health);
  row["runs"] = row["runs"].get<std::int64_t>() + 1;
  row["good"] = row["good"].get<std::int64_t>() + (health == "up" || health == "degraded" ? 1 : 0);
  row["errors"] = to_int(row["errors"]) + (counted == Counted::error ? 1 : 0);
  row["maintenance"] = to_int(row["maintenance"]) + (counted == Counted::maintenance ? 1 : 0);
  Record isps = found.empty() ? Record::object() : decoded_or(row["isp"], Record::object());
  if (!isps.is_object()) isps = Record::object();

  std::map<std::string, bool> isp_good;  // ISPs that answered in this run
  for (const Node& n : nodes) {
    if (!n.answered || counted != Counted::judged) continue;
    add_time(row, n.time, "time_sum", "time_count", "time_min", "time_max");
    Record& figures = isps[n.isp];
    if (!figures.is_object()) figures = Record::object();
    add_time(figures, n.time, "sum", "count", "min", "max");
    auto [it, added] = isp_good.emplace(n.isp, !n.failing);
    if (!added) it->second = it->second && !n.failing;
  }
  for (const auto& [isp, ok] : isp_good) {
    Record& figures = isps[isp];
    figures["runs"] = figures.value("runs", std::int64_t{0}) + 1;
    figures["good"] = figures.value("good", std::int64_t{0}) + (ok ? 1 : 0);
  }
  db.run("INSERT OR REPLACE INTO rivi_hourly (pid, hour, runs, good, errors, maintenance, time_sum, time_count, "
         "time_min, time_max, isp) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
         Record::array({pid, hour, row["runs"], row["good"], row["errors"], row["maintenance"], row["time_sum"],
                        row["time_count"], row["time_min"], row["time_max"], encode(isps)}));
}

// Opens, extends or closes the task's incident; answers the id of the incident open after the run.
// A run in a maintenance window leaves it as it is. Nothing ends or lasts before its start.
Record follow_incident(Connection& db, std::int64_t pid, std::int64_t time, const Assessment& a, const Record& open) {
  if (a.health == "maintenance") return open;
  const bool bad = a.health == "down" || a.health == "error";
  const Record found = open.is_null() ? Record::array()
                                      : db.query("SELECT start_time, reason, node_fails FROM rivi_incident "
                                                 "WHERE id = ? AND end_time IS NULL",
                                                 Record::array({open}));
  if (!bad) {
    if (!found.empty()) {
      const std::int64_t start = to_int(found[0]["start_time"]);
      const std::string reason = text_of(found[0]["reason"]) + (time < start ? kClockBackNote : "");
      db.run("UPDATE rivi_incident SET end_time = ?, reason = ? WHERE id = ?",
             Record::array({not_before(start, time), reason, open}));
    }
    return nullptr;
  }
  Record fails = Record::object();
  if (!found.empty()) {
    fails = decoded_or(found[0]["node_fails"], Record::object());
    if (!fails.is_object()) fails = Record::object();
    for (const auto& label : a.failing_nodes) fails[label] = fails.value(label, std::int64_t{0}) + 1;
    db.run("UPDATE rivi_incident SET runs = runs + 1, last_time = ?, node_fails = ? WHERE id = ?",
           Record::array({not_before(to_int(found[0]["start_time"]), time), encode(fails), open}));
    return open;
  }
  for (const auto& label : a.failing_nodes) fails[label] = fails.value(label, std::int64_t{0}) + 1;
  db.run("INSERT INTO rivi_incident (pid, kind, start_time, end_time, last_time, node_fails, reason, scope, runs) "
         "VALUES (?, ?, ?, NULL, ?, ?, ?, ?, 1)",
         Record::array({pid, a.health, time, time, encode(fails), a.reason, a.scope}));
  return static_cast<std::int64_t>(sqlite3_last_insert_rowid(db.handle()));
}

// The task's health row, or an empty record.
Record health_row(Connection& db, std::int64_t pid) {
  Record found = db.query("SELECT * FROM rivi_health WHERE pid = ?", Record::array({pid}));
  return found.empty() ? Record::object() : std::move(found[0]);
}

bool task_exists(Connection& db, std::int64_t pid) {
  return !db.query("SELECT 1 FROM rivi_task WHERE id = ?", Record::array({pid})).empty();
}

Streaks streaks_in(const Record& row) { return row.contains("streaks") ? streaks_of(row["streaks"]) : Streaks{}; }

// Writes the run's health, incident and hour over the task's row `before`. `stored`: the run
// stored a row (with `verdict`); otherwise the figures of the last stored run are kept.
void record(Connection& db, std::int64_t pid, std::int64_t time, const Record& before, const Assessment& a,
            const std::vector<Node>& nodes, bool stored, std::int64_t verdict) {
  const auto value = [&](const char* key, Record fallback) {
    return before.contains(key) && !before[key].is_null() ? before[key] : fallback;
  };

  Record trend = decoded_or(value("trend", "[]"), Record::array());
  if (!trend.is_array()) trend = Record::array();
  Record row = Record::object();
  row["pid"] = pid;
  row["health"] = a.health;
  // The same health keeps its start, unless a clock stepped back put the run before it.
  row["since"] = value("health", "") == a.health ? Record(std::min(to_int(value("since", time)), time)) : Record(time);
  // Outcomes may be written late (replayed from the spool, or a lost run recorded after it was
  // found): the last attempt is the latest one.
  row["last_attempt"] = std::max(time, to_int(value("last_attempt", time)));
  if (stored) {
    trend.push_back(Record::array({time, optional_time(a.mean_time), verdict}));
    if (trend.size() > kTrendRuns) trend.erase(trend.begin(), trend.end() - kTrendRuns);
    row["last_run"] = time;
    row["last_total_time"] = optional_time(a.mean_time);
    row["failing"] = a.failing;
    row["nodes"] = a.nodes;
    row["unanswered"] = a.unanswered;
    row["suspect_nodes"] = encode(text_list(a.suspect_nodes));
    row["unanswered_nodes"] = encode(text_list(a.unanswered_nodes));
  } else {
    row["last_run"] = value("last_run", nullptr);
    row["last_total_time"] = value("last_total_time", nullptr);
    row["failing"] = value("failing", 0);
    row["nodes"] = value("nodes", 0);
    row["unanswered"] = value("unanswered", 0);
    row["suspect_nodes"] = value("suspect_nodes", "[]");
    row["unanswered_nodes"] = value("unanswered_nodes", "[]");
  }
  row["reason"] = a.reason;
  row["scope"] = a.scope;
  row["streaks"] = encode(streaks_record(a.streaks));
  row["error_streak"] = a.health == "error"         ? to_int(value("error_streak", 0)) + 1
                        : a.health == "maintenance" ? to_int(value("error_streak", 0))
                                                    : 0;
  row["incident"] = follow_incident(db, pid, time, a, value("incident", nullptr));
  row["trend"] = encode(trend);

  std::string columns, marks;
  Record params = Record::array();
  for (const auto& [key, v] : row.items()) {
    columns += (columns.empty() ? "" : ", ") + key;
    marks += marks.empty() ? "?" : ", ?";
    params.push_back(v);
  }
  db.run("INSERT OR REPLACE INTO rivi_health (" + columns + ") VALUES (" + marks + ")", params);
  add_to_hour(db, pid, time, a.health, nodes);
  counters::add(db, counters::kTaskRuns, {{"task_id", std::to_string(pid)}, {"outcome", counters::run_outcome(a.health)}});
}

// A run in maintenance window `w`: health `maintenance`, node streaks as they were.
void in_maintenance(Assessment& a, const maintenance::Window& w, const Streaks& before) {
  a.health = "maintenance";
  a.reason = w.note.empty() ? kMaintenanceWords : std::string(kMaintenanceWords) + ": " + w.note;
  a.scope = "";
  a.streaks = before;
}

}  // namespace

std::string error_words(std::string_view code, const Record& http_code, bool connected) {
  static const std::map<std::string_view, const char*> kWords = {
      {"refused", "连接被拒绝"},       {"timeout", "连接超时"},   {"dns", "域名解析失败"},
      {"tls", "证书错误"},             {"inner_address", "内部地址被拒绝"}, {"too_large", "响应过大"},
      {"connect", "连接失败"},         {"no_answer", "节点未响应"},
  };
  if (code.empty()) return "";
  if (code == "timeout" && connected) return "响应超时";
  if (code == "http_status") return "状态码 " + (http_code.is_null() ? std::string("0") : text_of(http_code));
  const auto it = kWords.find(code);
  // A code from another centre (or a garbled one) is not ours to word: its text could read as
  // anything. The node result keeps it for the run's detail.
  return it == kWords.end() ? kUnknownWords : it->second;
}

namespace {

// The node results of `data`, judged by `rules` when given.
std::vector<Node> judged(const Record& data, const checks::Rules* rules) {
  std::vector<Node> nodes;
  if (!data.is_array()) return nodes;
  std::map<std::string, int> per_isp;  // nodes of each ISP seen so far, for "<isp>#<n>"
  for (std::size_t entry = 0; entry < data.size(); ++entry) {
    const Record& r = data[entry];
    if (!truthy(r) || !r.is_object()) continue;
    Node n;
    n.entry = entry;
    const Record isp = r.contains("isp") ? r["isp"] : Record();
    const bool has_node = r.contains("node") && r["node"].is_string() && !r["node"].get_ref<const std::string&>().empty();
    n.answered = !(isp == kNoAnswer);
    n.isp = n.answered ? (isp.is_string() ? isp.get<std::string>() : text_of(isp)) : (has_node ? r["node"].get<std::string>() : "");
    const int position = ++per_isp[n.isp];
    n.label = has_node ? r["node"].get<std::string>() : fmt::format("{}#{}", n.isp, position);
    n.key = n.answered ? n.label : fmt::format("{}#{}", n.isp, position);
    const Record code = r.contains("error_code") && r["error_code"].is_string() ? r["error_code"] : Record();
    if (!n.answered) {
      n.code = "no_answer";
      nodes.push_back(std::move(n));
      continue;
    }
    n.http_code = r.contains("http_code") ? r["http_code"] : Record();
    n.connected = r.contains("connect_time") && is_number(r["connect_time"]) && as_double(r["connect_time"]) > 0;
    n.failing = !good_code(n.http_code);
    // A node that sent no code (another centre's) gets the nearest one its status allows.
    if (code.is_string() && !code.get_ref<const std::string&>().empty()) n.code = code.get<std::string>();
    else if (n.failing) n.code = n.http_code.is_number() && as_double(n.http_code) > 0 ? "http_status" : "connect";
    if (rules) apply_rules(n, r, *rules);
    if (!n.failing && r.contains("total_time") && is_number(r["total_time"]))
      n.time = std::max(0.0, as_double(r["total_time"]));
    nodes.push_back(std::move(n));
  }
  return nodes;
}

}  // namespace

std::vector<Node> judge_nodes(const Record& data) { return judged(data, nullptr); }

std::vector<Node> judge_nodes(const Record& data, const checks::Rules& rules) { return judged(data, &rules); }

Assessment assess(const std::vector<Node>& nodes, const Streaks& before) {
  Assessment a;
  a.streaks = before;
  a.nodes = static_cast<std::int64_t>(nodes.size());
  double sum = 0;
  std::int64_t timed = 0;
  for (const Node& n : nodes) {
    if (!n.answered) {
      ++a.unanswered;
      a.unanswered_nodes.push_back(n.label);
      continue;  // a node that did not answer says nothing: its streak stays
    }
    if (n.failing) {
      ++a.failing;
      a.failing_nodes.push_back(n.label);
      ++a.streaks[n.label];
    } else {
      a.streaks.erase(n.label);
      if (!n.warning.empty()) ++a.warned;
    }
    if (n.time) {
      sum += *n.time;
      ++timed;
    }
  }
  if (timed > 0) a.mean_time = round2(sum / static_cast<double>(timed));
  const std::int64_t answered = a.nodes - a.unanswered;
  // When every node answered, the run names every node there is: the streaks of nodes the centre
  // no longer asks go. (A node that did not answer may be listed under another label.)
  if (a.unanswered == 0) {
    std::erase_if(a.streaks, [&](const auto& entry) {
      return std::none_of(nodes.begin(), nodes.end(), [&](const Node& n) { return n.label == entry.first; });
    });
  }
  if (answered == 0) {
    a.health = "error";
    a.scope = "monitor";
    a.reason = a.nodes == 0 ? "调度中心未返回任何节点结果" : fmt::format("全部{}个节点未响应", a.nodes);
    return a;
  }
  // Judged on the nodes that answered: a node that did not answer neither fails nor clears the site.
  const bool down = a.failing > 2 || a.failing == answered;
  a.health = a.failing == 0 ? (a.warned == 0 ? "up" : "degraded") : down ? "down" : "degraded";
  const std::string warned =
      a.warned == 0 ? "" : fmt::format("{}/{} 节点告警：{}", a.warned, answered, warning_words(nodes));

  // Per ISP: answering nodes, failing ones.
  std::map<std::string, std::pair<int, int>> isps;
  for (const Node& n : nodes) {
    if (!n.answered) continue;
    auto& [answering, failing] = isps[n.isp];
    ++answering;
    failing += n.failing ? 1 : 0;
  }
  std::vector<std::string> suspect_reasons;
  for (const Node& n : nodes) {
    if (!n.answered || !n.failing) continue;
    const std::int64_t streak = a.streaks[n.label];
    const auto& [answering, failing] = isps[n.isp];
    if (streak >= kSuspectStreak && failing < answering) {
      a.suspect_nodes.push_back(n.label);
      suspect_reasons.push_back(fmt::format("{}（连续{}次失败）", n.label, streak));
    }
  }
  if (a.failing == 0) {
    // Warnings alone: slow or soon expiring everywhere is the site's, elsewhere some nodes'.
    a.reason = warned;
    if (a.warned > 0) a.scope = a.warned == answered ? "site" : "node";
    return a;
  }
  const std::string counted = fmt::format("{}/{} 节点失败：{}", a.failing, answered, failure_words(nodes));
  if (a.failing == answered) {
    a.scope = "site";
    a.reason = counted;
    return a;
  }
  std::vector<std::string> failed_isps;  // in node order
  bool only_whole_isps = true;
  for (const Node& n : nodes) {
    if (!n.answered || !n.failing) continue;
    const auto& [answering, failing] = isps[n.isp];
    if (failing < answering) only_whole_isps = false;
    else if (std::find(failed_isps.begin(), failed_isps.end(), n.isp) == failed_isps.end()) failed_isps.push_back(n.isp);
  }
  if (only_whole_isps) {
    a.scope = "isp";
    a.reason = "仅" + joined(failed_isps, "、") + "线路异常";
  } else if (a.suspect_nodes.size() == static_cast<std::size_t>(a.failing)) {
    a.scope = "node";
    a.reason = "疑似节点故障：" + joined(suspect_reasons, "、");
  } else {
    a.reason = counted;
  }
  // Beside failing nodes, the warned ones follow the reason.
  if (!warned.empty()) a.reason += "；" + warned;
  return a;
}

void record_run(Connection& db, std::int64_t pid, std::int64_t time, const std::vector<Node>& nodes,
                std::int64_t verdict) {
  if (!task_exists(db, pid)) return;
  const Record before = health_row(db, pid);
  Assessment a = assess(nodes, streaks_in(before));
  if (const auto window = maintenance::covering(db, pid, time)) in_maintenance(a, *window, streaks_in(before));
  record(db, pid, time, before, a, nodes, true, verdict);
  node_incidents::record_run(db, time, nodes);
}

void record_failed_run(Connection& db, std::int64_t pid, std::int64_t time, const std::string& reason) {
  if (!task_exists(db, pid)) return;
  const Record before = health_row(db, pid);
  Assessment a;
  a.health = "error";
  a.scope = "monitor";
  a.reason = readable_text(reason, kDetailBytes + 64);
  a.streaks = streaks_in(before);
  if (const auto window = maintenance::covering(db, pid, time)) in_maintenance(a, *window, a.streaks);
  record(db, pid, time, before, a, {}, false, 0);
}

std::string dispatch_failure_reason(std::string_view error) {
  const auto has = [&](std::string_view part) { return error.find(part) != std::string_view::npos; };
  const std::string detail = readable_text(error, kDetailBytes);
  if (has("timed out") || has("Timeout was reached")) return "调度中心超时：" + detail;
  if (has("is larger than")) return "调度中心应答过大：" + detail;
  if (has("invalid JSON") || has("neither a node list")) return "调度中心应答无效：" + detail;
  if (has("is not a host[:port]")) return "调度中心地址无效：" + detail;
  return "调度中心无法连接：" + detail;
}

std::string centre_refusal_reason(const Record& answer) {
  const std::string said = answer.is_object() && answer.contains("msg") ? text_of(answer["msg"]) : encode(answer);
  return "调度中心拒绝：" + readable_text(said, kDetailBytes);
}

const std::vector<std::string>& schema_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all = {"rivi_health",       "rivi_incident", "rivi_incident_pid_id",
                                    "rivi_incident_end", "rivi_hourly",   "rivi_hourly_hour",
                                    counters::kTable};
    for (const auto* more : {&node_incidents::schema_names(), &maintenance::schema_names(), &checks::schema_names(),
                              &tags::schema_names()})
      all.insert(all.end(), more->begin(), more->end());
    return all;
  }();
  return names;
}

void create_tables(Connection& db) {
  db.exec_script(kSchema);
  add_missing_hour_columns(db);
  node_incidents::create_tables(db);
  maintenance::create_tables(db);
  checks::create_tables(db);
  tags::create_tables(db);
  // Last: its seed reads the hours laid out above.
  counters::create_tables(db);
}

void forget_task(std::int64_t pid) {
  for (const char* table : {"rivi_health", "rivi_incident", "rivi_hourly"}) {
    public_::M(table).where("pid=?", Record::array({pid})).delete_();
  }
  counters::forget_task(pid);
}

std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch) {
  if (batch < 1) throw std::invalid_argument("a purge batch holds at least one row");
  const Record tables = db.query("SELECT name FROM sqlite_master WHERE type = 'table' AND name IN ('rivi_incident', 'rivi_hourly')");
  if (tables.size() != 2) return 0;
  std::int64_t deleted = 0;
  const auto drain = [&](const char* sql) {
    for (;;) {
      const std::int64_t n = db.run(sql, Record::array({cutoff, batch}));
      deleted += n;
      if (n < batch) break;
    }
  };
  // An open incident has no end and stays whatever its age.
  drain("DELETE FROM rivi_incident WHERE id IN (SELECT id FROM rivi_incident WHERE end_time < ? LIMIT ?)");
  drain("DELETE FROM rivi_hourly WHERE (pid, hour) IN (SELECT pid, hour FROM rivi_hourly WHERE hour < ? LIMIT ?)");
  if (db.has_table("rivi_node_incident"))
    deleted += node_incidents::purge_before(db, cutoff, batch);
  return deleted;
}

Record percent(std::int64_t good, std::int64_t runs) {
  if (runs <= 0) return nullptr;
  return round2(100.0 * static_cast<double>(good) / static_cast<double>(runs));
}

}  // namespace rivi::health
