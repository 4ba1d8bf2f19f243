// The background purge of probe results older than seven days, and of incidents and hourly
// availability older than ninety.
#include "plugin/qn_rivi/retention.h"

#include "host/journal.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/stop_signal.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/deliveries.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/line_records.h"

#include <fmt/format.h>

#include <ctime>
#include <iostream>
#include <stdexcept>

namespace rivi {

namespace {

// The same local clock time `days` calendar days before `now`, in Unix seconds.
std::int64_t local_days_before(std::int64_t now, int days) {
  // Through the broken-down local time, so that a daylight-saving change inside the window does
  // not shift the cut-off by an hour.
  const std::time_t t = static_cast<std::time_t>(now);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) {
    throw std::runtime_error(fmt::format("cannot convert {} to local time", now));
  }
  local.tm_mday -= days;
  local.tm_isdst = -1;
  const std::time_t cutoff = std::mktime(&local);
  if (cutoff == static_cast<std::time_t>(-1)) {
    throw std::runtime_error(fmt::format("cannot compute the retention cut-off for {}", now));
  }
  return static_cast<std::int64_t>(cutoff);
}

}  // namespace

std::int64_t result_retention_cutoff(std::int64_t now) { return local_days_before(now, kResultRetentionDays); }

std::int64_t health_retention_cutoff(std::int64_t now) { return local_days_before(now, health::kKeepDays); }

PurgeReport purge_results_before(Connection& db, std::int64_t cutoff, const PurgeOptions& options,
                                 std::stop_token stop) {
  if (options.batch < 1) throw std::invalid_argument("a purge batch holds at least one row");
  // The host's SQLite zeroes every page a delete frees by default; FAST still clears deleted
  // rows on the pages that are written anyway, at a third of the writes.
  PurgeReport report;
  // The plug-in creates its tables when it first runs; before that there is nothing to keep.
  if (!db.has_table("rivi_list")) return report;
  db.exec_script("PRAGMA secure_delete=FAST");
  // Each statement is its own transaction, served by the `addtime` index; the pause lets the
  // writers that waited for the lock in.
  while (!stop.stop_requested()) {
    const std::int64_t deleted = db.run(
        "DELETE FROM rivi_list WHERE id IN (SELECT id FROM rivi_list WHERE addtime < ? LIMIT ?)",
        Record::array({cutoff, options.batch}));
    if (deleted == 0) break;
    report.rows += deleted;
    ++report.batches;
    if (deleted < options.batch) break;
    if (!rest(stop, options.pause)) break;
  }
  return report;
}

RetentionOptions RetentionOptions::for_panel() {
  RetentionOptions options;
  options.database = database_path();
  return options;
}

void keep_result_retention(std::stop_token stop, const RetentionOptions& options) {
  std::string last_error;
  for (auto wait = options.first; rest(stop, wait); wait = options.every) {
    try {
      Connection db(options.database);
      const std::int64_t now = public_::now();
      purge_results_before(db, result_retention_cutoff(now), options.purge, stop);
      line_records::purge_before(db, result_retention_cutoff(now), options.purge.batch);
      health::purge_before(db, health_retention_cutoff(now), options.purge.batch);
      deliveries::purge_before(db, now - std::int64_t{deliveries::kKeepDays} * 86400, options.purge.batch);
      last_error.clear();
    } catch (const std::exception& error) {
      if (last_error != error.what()) journal::log_line(journal::Priority::err, std::string("result retention: ") + error.what());
      last_error = error.what();
    }
  }
}

}  // namespace rivi
