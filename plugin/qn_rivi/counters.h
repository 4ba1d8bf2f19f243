// Running totals for scrapers: owns `rivi_counter` (name, labels, value), one row per counter
// series, bumped in the same transaction that stores what it counts (a run's row or failure, a
// delivery's outcome) and never touched by the purges, so that a `_total` family only grows
// while the rows it counts age out of their tables. `labels` is SQLite's json_object text of the
// series' labels (values as text), written the same way by every writer.
//
// The table is made, and seeded from the rows still kept (the hours of `rivi_hourly`, the
// attempts of `rivi_delivery`), once and atomically: an upgraded root goes on from the figures its
// scrapers last read instead of starting again at 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace rivi {

class Connection;

namespace counters {

inline constexpr const char* kTable = "rivi_counter";
inline constexpr const char* kTaskRuns = "rivi_task_runs_total";               // task_id, outcome
inline constexpr const char* kAlertDeliveries = "rivi_alert_deliveries_total";  // channel, outcome

using Labels = std::vector<std::pair<std::string, std::string>>;

// A run's outcome as counted by kTaskRuns: good (up, degraded), bad (down), error, maintenance.
std::string run_outcome(const std::string& health);

// Runs `body` on `db` inside the transaction open on it, else inside one of its own (BEGIN
// IMMEDIATE, rolled back when `body` throws), so that a count and what it counts land together.
void within_transaction(Connection& db, const std::function<void()>& body);

// Makes and seeds the table when it is missing. Inside the caller's transaction when one is open
// on `db`, else in one of its own (BEGIN IMMEDIATE), so two processes never both seed it.
void create_tables(Connection& db);

// Adds `by` to the series `name`{`labels`} (labels in the order given), making the table first
// when it is missing. Runs on `db`, inside the caller's transaction when one is open.
void add(Connection& db, const std::string& name, const Labels& labels, std::int64_t by = 1);

struct Series {
  Labels labels;  // in the order they were written
  std::int64_t value = 0;
};

// Every series of `name`; none when the table is missing.
std::vector<Series> read(Connection& db, const std::string& name);

// Deletes the series of task `pid` (a removed task), through the store accessor so that it runs
// inside the transaction open on this thread.
void forget_task(std::int64_t pid);

}  // namespace counters
}  // namespace rivi
