// The alert policy and each task's alert state. The policy lives under `alert` in the plug-in's
// own <root>/plugin/qn_rivi/config.json:
//   mode            "every_run" (a report on every anomalous run, the default) or "incident" (a
//                   report when an outage opens, reminders while it lasts, a notice when it ends)
//   remind_minutes  minutes between reminders of an open outage; 0 (the default) sends none
//   recovery        whether recovery notices are sent (default true)
//   error_after     runs in a row storing nothing before the monitor itself is reported (default 3;
//                   one message for all tasks, monitor_alerts.h)
// The state table `rivi_alert_state` keeps, per task, the outage already reported, when the last
// notice about it went out and the runs in a row that stored nothing.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <string>

namespace rivi {

class Connection;

namespace alerts {

struct Policy {
  std::string mode = "every_run";
  std::int64_t remind_minutes = 0;
  bool recovery = true;
  std::int64_t error_after = 3;
};

// A policy from the `alert` record; absent keys keep their defaults. Throws std::invalid_argument
// naming the key for anything else: an unknown key, a wrong type, a value out of range.
Policy parse_policy(const Record& alert);
Record policy_record(const Policy& policy);

std::string config_path();  // <root>/plugin/qn_rivi/config.json
// The decoded config.json; an empty record when there is none. A file that cannot be read, is not
// JSON or not an object throws std::runtime_error naming it.
Record read_config();
// The policy in config.json; the defaults when the file or its `alert` is absent. A file that
// cannot be read or decoded, or a wrong `alert`, throws std::runtime_error naming the file.
Policy read_policy();
// Writes `policy` as `alert` into config.json atomically, keeping every other key.
void write_policy(const Policy& policy);

struct State {
  std::int64_t incident = 0;       // the open outage already reported; 0 for none
  std::int64_t last_notice = 0;    // when the report or the last reminder about it went out
  std::int64_t empty_runs = 0;     // runs in a row that stored nothing
  bool monitoring = false;         // kept for older rows; the monitor's alerts are per cause now
};

void create_tables(Connection& db);
State load_state(Connection& db, std::int64_t pid);
void save_state(Connection& db, std::int64_t pid, const State& state);

}  // namespace alerts
}  // namespace rivi
