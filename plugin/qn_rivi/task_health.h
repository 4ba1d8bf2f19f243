// The health of given tasks now, as the overview judges it (paused, in a maintenance window,
// overdue, never run, else the stored health of the latest run), with their 30-day uptime, and
// the monitor's own state. For readers other than the overview (the public status pages, the
// metrics), so that all tell the same state.
#pragma once

#include "host/record.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rivi {

class Connection;

namespace task_health {

// Every health a task can be in now, in the order the overview counts them.
inline constexpr std::array<const char*, 7> kStates{"up", "degraded", "down", "error", "maintenance", "unknown", "paused"};

struct Current {
  std::string health;  // up, degraded, down, error, maintenance, unknown or paused
  Record uptime_30d;   // percentage with two decimals of the runs that judged the site; null without any
};

// The tasks of `pids` that exist, by id.
std::map<std::int64_t, Current> current(Connection& db, const std::vector<std::int64_t>& pids, std::int64_t now);
// Their health alone, without the uptime's reading of 30 days of hours.
std::map<std::int64_t, std::string> health_now(Connection& db, const std::vector<std::int64_t>& pids, std::int64_t now);

// The monitor's own state as the overview answers it: {state: ok, late (some running task was not
// probed for two of its cycles), stale (none was), or error (every recent run failed to
// dispatch); reason: in words, "" when ok}.
Record monitor_state(Connection& db, std::int64_t now);

}  // namespace task_health
}  // namespace rivi
