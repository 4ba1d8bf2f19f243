// Every scheduled probe run accounted for. The host's scheduler records each fire of a job and how
// its process ended (`crontab_fire`, host/cron/fire_log.h) but knows nothing of tasks; a task's job
// is the one whose `save` key is "rivi_id_<task id>". A fire of a task's job that left no trace
// (no mark in `rivi_fire`: no row, no error record, nothing waiting in the spool) once its process
// has ended, or `timeout` after it was fired, becomes an `error` run of the task, recorded once
// through the failed-run path of health.h with the reason its end tells: killed by a signal, no
// space, a locked database, a run that could not start, from the exit status and the last lines
// of its log.
//
// `panel serve` runs `keep_runs_accounted` on a thread of its own: every few seconds it replays
// the spool (run_store.h) and accounts for the fires since the last round.
#pragma once

#include "host/cron/fire_log.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

namespace rivi {

class Connection;

namespace run_accounting {

// The task a job key names ("rivi_id_<id>"), or 0 for any other key.
std::int64_t task_of(const std::string& job_key);

// Why the run of `fire` left no trace, in words for the page, from how its process ended (`now`
// for a run never seen to end).
std::string lost_run_reason(const Fire& fire, std::int64_t now);

struct Options {
  std::string database;                                 // the host database
  std::chrono::milliseconds every{std::chrono::seconds(5)};
  std::int64_t timeout = 900;  // seconds after its fire a run never seen to end is taken as lost

  // The host database of the panel root; RIVI_FIRE_TIMEOUT (tests only, seconds) sets `timeout`.
  static Options for_panel();
};

// Where the accounting stands: fires up to `done` are all accounted for.
struct Cursor {
  std::int64_t done = 0;
  bool spool_wait_said = false;  // the spool's wait was said in an earlier round (run_store::replay)
};

// One round on `db` at `now`: replays the spool, then records the fires after `cursor` that left
// no trace. Answers the number of runs it recorded. Throws std::runtime_error from the store
// (what was recorded before stays, and `cursor` moves past it only).
std::int64_t account(const std::shared_ptr<Connection>& db, std::int64_t now, Cursor& cursor, const Options& options);

// Runs `account` every `options.every` until `stop` is requested, and purges old marks once an
// hour. Failures are reported on standard error (once each) and the round is tried again.
void keep_runs_accounted(std::stop_token stop, const Options& options);

}  // namespace run_accounting
}  // namespace rivi
