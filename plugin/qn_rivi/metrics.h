// The plug-in's metrics for scrapers: every task's health (stored and current), whether its site
// is up, tasks by health, the monitor's own state, failing nodes, last node times per ISP, each
// node's status and phase times in the last run, uptime and runs, each line's certificate expiry,
// and the alert deliveries, as text in the Prometheus exposition format (version 0.0.4). Read
// from `rivi_task`, the health tables (health.h, task_health.h), the last stored row of each task
// in `rivi_list`, the lines' certificates (certificates.h), and the running totals
// (counters.h), which only grow. The host serves the text at GET /metrics
// (host/web/web_server.h) with the scheduler's counters after it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rivi {

class Connection;

// `value` as a label value: backslash, double quote and new line escaped.
std::string label_value(std::string_view value);

// The metrics of the plug-in's tables in `db` at Unix time `now` (uptime spans end with the hour
// holding it). Each family has its HELP and TYPE lines, also when it has no sample.
std::string plugin_metrics(Connection& db, std::int64_t now);

// The same for the panel's database: loads the module and makes the plug-in's tables when they
// are missing, as a web call does.
std::string panel_metrics();

}  // namespace rivi
