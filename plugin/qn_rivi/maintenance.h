// Maintenance windows: spans of time in which a task's alerts are held back. Kept by the health
// side of the plug-in; alerting only asks whether a task is inside one.
#pragma once

#include <cstdint>

namespace rivi {

class Connection;

namespace maintenance {

// Whether task `pid` is inside a maintenance window at `time` (Unix seconds), read on `db`
// (inside the caller's transaction when one is open).
bool active(Connection& db, std::int64_t pid, std::int64_t time);

}  // namespace maintenance
}  // namespace rivi
