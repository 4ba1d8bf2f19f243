// The monitor's own alerts: one message for each cause that keeps tasks from being probed, never
// one per task, and words of their own, so that "[恢复]" stays the site's.
//   - The dispatch centre (unreachable, too slow, answering garbage or refusing): while runs store
//     nothing because of it, table `rivi_monitor_alert` keeps one row with the tasks it affects.
//     "[监控异常] 调度中心", naming them, goes out once, when a task has stored nothing
//     `error_after` runs in a row (tasks joining while it still waits in the outbox are added to
//     it); "[监控恢复] 调度中心" goes out when every affected task stores rows again (or was paused
//     or removed). A cause that ended before its alert went out ends silently.
//   - A probe node that is down: each row of `rivi_node_incident` (kept by the health side) gives
//     "[节点异常] <node>", naming the tasks that see the node fail, and "[节点恢复] <node>" once
//     it ends; table `rivi_node_alert` remembers what went out. Incidents that ended more than an
//     hour before they were first seen here are not announced.
#pragma once

#include "plugin/qn_rivi/outbox.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rivi {

class Connection;

namespace monitor_alerts {

// Makes the tables above (and `rivi_node_incident` where the health side has not yet).
void create_tables(Connection& db);

// Run `pid` stored nothing for `reason`, its `empty_runs`-th such run in a row. Answers the alert
// to queue (none or one). Runs on `db` inside the caller's transaction.
std::vector<outbox::Alert> run_failed(Connection& db, std::int64_t pid, const std::string& reason, std::int64_t empty_runs,
                                      std::int64_t error_after, std::int64_t now);

// Run `pid` stored its row. Answers the recovery to queue, when this ends an announced cause and
// `recovery` is wanted.
std::vector<outbox::Alert> run_stored(Connection& db, std::int64_t pid, bool recovery, std::int64_t now);

// The node incidents not yet announced, and the ends of those announced; each is marked as
// announced. Runs on `db` inside the caller's transaction.
std::vector<outbox::Alert> node_changes(Connection& db, bool recovery, std::int64_t now);

}  // namespace monitor_alerts
}  // namespace rivi
