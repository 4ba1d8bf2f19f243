// Task health: what every probe run keeps beside its `rivi_list` row, so that the page reads small
// tables and never scans results. Owns the tables
//   rivi_health    one row per task: the health of its latest run, since when it holds, what led to
//                  it, each node's failing streak and the last runs' trend;
//   rivi_incident  one row per outage: opened by the first `down` or `error` run, closed by the
//                  next `up` or `degraded` run;
//   rivi_hourly    one row per task and hour: runs, good runs, node times, per-ISP figures;
// the judgement of one run's node results (failing and unanswered nodes; a site, one ISP's network
// or one node to blame), the readable words of node error codes, and the 90-day purge.
//
// Health values: `up` (no failing node), `degraded` (1 or 2), `down` (3 or more: the anomaly),
// `error` (the run stored no result, or no node answered). `unknown` (never run) and `paused`
// (task stopped) are not stored: the queries derive them.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

class Connection;

namespace health {

inline constexpr int kKeepDays = 90;       // incidents and hours older than this are purged
inline constexpr int kTrendRuns = 30;      // stored runs kept in a task's trend
inline constexpr int kSuspectStreak = 3;   // failing runs in a row that make a node suspect
inline constexpr std::int64_t kHour = 3600;

inline constexpr const char* kUnknownWords = "未知错误";

// The words of a node error code: "连接被拒绝", "状态码 500", ... ("" for ""). A code that is not
// one of the centre's (dispatch/error_code.h) is `kUnknownWords`, never its own text.
std::string error_words(std::string_view code, const Record& http_code);

// One node result of a run, as judged.
struct Node {
  std::string label;             // `node` when present, else "<isp>#<n>" (n-th node of that ISP)
  std::string isp;               // the ISP label; for an unanswered node its `node` label
  bool answered = false;         // false for "节点未响应"
  bool failing = false;          // answered with a status other than 200, 301, 302, 401, 403
  std::string code;              // the node's `error_code`, derived when the node sent none
  Record http_code;              // as received
  std::optional<double> time;    // total_time of an answered node that did not fail
};

// The node results of `data` as the verdict judges them: empty entries are skipped, "节点未响应"
// nodes are unanswered, the others fail unless their `http_code` is good by value. Never throws:
// entries the verdict cannot judge count as unanswered (the verdict then raises on its own).
std::vector<Node> judge_nodes(const Record& data);

// Failing runs in a row, by node label, carried from run to run.
using Streaks = std::map<std::string, std::int64_t>;

// What one run says about its task.
struct Assessment {
  std::string health;                     // up, degraded, down or error
  std::string reason;                     // readable; "" for a healthy run
  std::string scope;                      // site, isp, node, monitor or ""
  std::int64_t failing = 0;
  std::int64_t nodes = 0;                 // node results, unanswered ones included
  std::int64_t unanswered = 0;
  std::vector<std::string> failing_nodes;     // labels, in node order
  std::vector<std::string> unanswered_nodes;  // labels, in node order
  std::vector<std::string> suspect_nodes;     // labels, in node order
  std::optional<double> mean_time;            // mean total_time of the good nodes
  Streaks streaks;                            // after this run
};

// Judges a stored run's nodes, given the streaks before it. Every answering node failing: scope
// `site`; the failing nodes being all the answering nodes of some ISPs while other nodes answer
// well: scope `isp` ("仅<ISP>线路异常"); every failing node having failed `kSuspectStreak` runs in
// a row while another node of its ISP answered well: scope `node`. A run in which no node
// answered is an `error` of scope `monitor`: it says nothing about the site.
Assessment assess(const std::vector<Node>& nodes, const Streaks& before);

// Records a stored run of task `pid` at `time` (its row's `addtime`) with its verdict: health,
// incident and hour. Runs on `db` inside the caller's transaction, together with the row. A task
// that is gone (removed while it ran) gets nothing.
void record_run(Connection& db, std::int64_t pid, std::int64_t time, const std::vector<Node>& nodes,
                std::int64_t verdict);

// Records a run of task `pid` at `time` that stored no result, with the reason: health `error`,
// scope `monitor`; the figures of the last stored run stay.
void record_failed_run(Connection& db, std::int64_t pid, std::int64_t time, const std::string& reason);

// The readable reason of a failed dispatch, from the error text the request raised
// ("调度中心超时: ...", "调度中心无法连接: ...", "调度中心应答无效: ...").
std::string dispatch_failure_reason(std::string_view error);
// The readable reason of the centre's own status record: "调度中心拒绝: <its msg>".
std::string centre_refusal_reason(const Record& answer);

// The names of the tables and indexes above; `create_tables` makes the missing ones.
const std::vector<std::string>& schema_names();
void create_tables(Connection& db);

// Deletes the health, incidents and hours of task `pid` (through the store accessor, so inside
// the transaction open on this thread).
void forget_task(std::int64_t pid);

// Deletes the closed incidents that ended, and the hours that began, before `cutoff`, at most
// `batch` rows a statement; answers the rows deleted. A database without the tables has none.
std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch);

// The time from `from` to `to`, two wall-clock times (Unix seconds), never negative: a `to`
// before `from` means the clock was set back between them, and is taken as no time at all.
struct Span {
  std::int64_t seconds = 0;
  bool clock_back = false;  // `to` lay before `from`
};
Span wall_span(std::int64_t from, std::int64_t to);
// The span in words: "2天3小时5分钟" (minutes always when nothing else), with "(系统时钟被回拨)"
// after it when the clock was set back.
std::string span_words(std::int64_t from, std::int64_t to);
// What an incident whose end came before its start says of it, after its reason.
inline constexpr const char* kClockBackNote = " (系统时钟被回拨: 结束时间早于开始, 时长按0计)";

// The start of the hour holding `t`.
inline std::int64_t hour_of(std::int64_t t) { return t - ((t % kHour) + kHour) % kHour; }
// The first hour of the `hours` hours that end with the one holding `now`.
inline std::int64_t first_hour(std::int64_t now, std::int64_t hours) { return hour_of(now) - (hours - 1) * kHour; }
// good / runs as a percentage rounded to two decimals; null without runs.
Record percent(std::int64_t good, std::int64_t runs);

}  // namespace health
}  // namespace rivi
