// Task health: what every probe run keeps beside its `rivi_list` row, so that the page reads small
// tables and never scans results. Owns the tables
//   rivi_health    one row per task: the health of its latest run, since when it holds, what led to
//                  it, each node's failing streak and the last runs' trend;
//   rivi_incident  one row per outage: opened by the first `down` or `error` run, closed by the
//                  next `up` or `degraded` run (runs in a maintenance window leave it as it is);
//   rivi_hourly    one row per task and hour: runs, and of them good runs, monitor errors
//                  (`errors`) and runs in a maintenance window (`maintenance`), node times,
//                  per-ISP figures; availability is good / (runs - errors - maintenance);
// the judgement of one run's node results (failing and unanswered nodes; a site, one ISP's network
// or one node to blame; the task's success rules of checks.h), the readable words of node error
// codes, and the 90-day purge. Each run also goes to the node incidents (node_incidents.h);
// windows come from maintenance.h.
//
// Health values, judged on the nodes that answered: `up` (no failing or warned node), `degraded`
// (some fail, or some are only warned: slow, or a certificate near its end), `down` (more than
// two fail, or every node that answered failed), `error` (the run stored no result, or no node
// answered: the monitor's trouble, not the site's), `maintenance` (the run fell in a maintenance
// window). `unknown` (never run) and `paused` (task stopped) are not stored: the queries derive
// them. The run's verdict (`rivi_list.status`, the anomaly report) keeps its
// own rule, more than two failing nodes; health never changes it.
//
// Durations never run backwards: a clock stepped back ends an incident at its start (zero length,
// `kClockBackNote` added to its reason), keeps an hour's times at zero or more, and moves a
// health's `since` back to the run.
#pragma once

#include "host/record.h"
#include "plugin/qn_rivi/checks.h"

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
inline constexpr const char* kMaintenanceWords = "维护中";
// Added to the reason of an incident that a clock stepped back would have ended before it began.
inline constexpr const char* kClockBackNote = "（时钟回拨：结束时间早于开始时间，时长记为0）";

// The end of a span that began at `start`, never before it.
inline std::int64_t not_before(std::int64_t start, std::int64_t end) { return end < start ? start : end; }

// The words of a node error code: "连接被拒绝", "状态码 500", ... ("" for ""). A code that is not
// one of the centre's (dispatch/error_code.h) is `kUnknownWords`, never its own text. A "timeout"
// of a node that had `connected` (the server took the connection and never answered) is
// "响应超时"; one before the connection was made is "连接超时".
std::string error_words(std::string_view code, const Record& http_code, bool connected = false);

// One node result of a run, as judged.
struct Node {
  std::string label;             // `node` when present, else "<isp>#<n>" (n-th node of that ISP)
  std::string isp;               // the ISP label; for an unanswered node its `node` label
  std::string key;               // the node across runs and tasks: `label` of an answering node;
                                 // "<isp>#<n>" of an unanswered one (our centre names it by ISP)
  bool answered = false;         // false for "节点未响应"
  bool failing = false;          // answered with a status other than 200, 301, 302, 401, 403, or
                                 // failing a rule of its task
  std::string code;              // the node's `error_code`, derived when the node sent none
  bool connected = false;        // the node's connection was made (its `connect_time` above 0)
  Record http_code;              // as received
  std::optional<double> time;    // total_time (at least 0) of an answered node that did not fail
  std::string rule;              // the failed rule in words ("状态码不符（403）"); "" when `code` says why
  std::string warning;           // a warning in words ("响应过慢（...）"): degraded at most; "" none
  std::size_t entry = 0;         // its place in the run's node list, for readers of its other figures
};

// The node results of `data` as the verdict judges them: empty entries are skipped, "节点未响应"
// nodes are unanswered, the others fail unless their `http_code` is good by value. Never throws:
// entries the verdict cannot judge count as unanswered (the verdict then raises on its own).
std::vector<Node> judge_nodes(const Record& data);

// The same, with the task's success rules. An answered node fails, with the rule in words, when
// its status is not accepted ("状态码不符 (403)", only with `expect_codes`; a status the rules
// accept does not fail), its keyword is missing or present against the rule ("缺少关键字「…」",
// "出现关键字「…」"), a resolved address lies outside `dns_expect` ("解析地址不符: …"), or its
// certificate has expired or did not verify ("证书已过期", "证书错误 (…)"). A node that does
// not fail is warned when slower than `slow_ms` ("响应过慢 (2,150 ms > 1,000 ms)") or its
// certificate ends within `cert_warn_days` ("证书将于 N 天后过期"). A result without the key a
// rule reads (an older node's) is not judged by that rule.
std::vector<Node> judge_nodes(const Record& data, const checks::Rules& rules);

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
  std::int64_t warned = 0;                // answered nodes with a warning, not failing
  std::vector<std::string> failing_nodes;     // labels, in node order
  std::vector<std::string> unanswered_nodes;  // labels, in node order
  std::vector<std::string> suspect_nodes;     // labels, in node order
  std::optional<double> mean_time;            // mean total_time of the good nodes
  Streaks streaks;                            // after this run
};

// Judges a stored run's nodes, given the streaks before it: the health by the rule above, on the
// nodes that answered. Every answering node failing: scope `site`; the failing nodes being all
// the answering nodes of some ISPs while other nodes answer well: scope `isp` ("仅<ISP>线路异常");
// every failing node having failed `kSuspectStreak` runs in a row while another node of its ISP
// answered well: scope `node`. Warned nodes alone make a run `degraded`, never `down`
// ("2/3 节点告警: 响应过慢 (...)"); beside failing nodes their words follow the reason. A run in which no node answered is an `error` of scope `monitor`:
// it says nothing about the site.
Assessment assess(const std::vector<Node>& nodes, const Streaks& before);

// Records a stored run of task `pid` at `time` (its row's `addtime`) with its verdict: health,
// incident, hour and the node incidents. Runs on `db` inside the caller's transaction, together
// with the row. A task that is gone (removed while it ran) gets nothing. In a maintenance window
// the run's figures and trend are kept, its health is `maintenance` ("维护中"), its hour counts it
// apart, and incidents and streaks stay as they were.
void record_run(Connection& db, std::int64_t pid, std::int64_t time, const std::vector<Node>& nodes,
                std::int64_t verdict);

// Records a run of task `pid` at `time` that stored no result, with the reason: health `error`,
// scope `monitor` (`maintenance` in a window); the figures of the last stored run stay.
void record_failed_run(Connection& db, std::int64_t pid, std::int64_t time, const std::string& reason);

// The readable reason of a failed dispatch, from the error text the request raised
// ("调度中心超时：...", "调度中心无法连接：...", "调度中心应答无效：...").
std::string dispatch_failure_reason(std::string_view error);
// The readable reason of the centre's own status record: "调度中心拒绝: <its msg>".
std::string centre_refusal_reason(const Record& answer);

// The names of the tables and indexes above, the node incidents' and the maintenance windows';
// `create_tables` makes the missing ones and adds the columns an older `rivi_hourly` lacks.
const std::vector<std::string>& schema_names();
void create_tables(Connection& db);

// Deletes the health, incidents and hours of task `pid` (through the store accessor, so inside
// the transaction open on this thread).
void forget_task(std::int64_t pid);

// Deletes the closed incidents (of tasks and of nodes) that ended, and the hours that began,
// before `cutoff`, at most `batch` rows a statement; answers the rows deleted. A database without
// the tables has none.
std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch);

// The start of the hour holding `t`.
inline std::int64_t hour_of(std::int64_t t) { return t - ((t % kHour) + kHour) % kHour; }
// The first hour of the `hours` hours that end with the one holding `now`.
inline std::int64_t first_hour(std::int64_t now, std::int64_t hours) { return hour_of(now) - (hours - 1) * kHour; }
// good / runs as a percentage rounded to two decimals; null without runs.
Record percent(std::int64_t good, std::int64_t runs);
// The SQL sum of the runs that judged the site (not monitor errors, not in maintenance) of
// `rivi_hourly` rows, for availability.
inline constexpr const char* kJudgedRuns = "(runs - errors - maintenance)";

}  // namespace health
}  // namespace rivi
