// The runner of the host's scheduled jobs. Owns the decision of when a job of the table `crontab`
// is due, the fires it makes and what became of them; the rows themselves belong to
// host/cron/crontab.h, the processes to a JobRunner (host/cron/shell_runner.h for `panel serve`).
//
// A running job (status 1, type "minute-n") with interval N minutes runs once per cycle. Cycles
// start at the whole multiples of N minutes since the Unix epoch; inside its cycle a job runs at
// a fixed offset, FNV-1a (64 bit) of its key modulo the cycle length in milliseconds, the key
// being its `save` text, or its id in decimal when `save` is empty. A thousand one-minute jobs
// are so spread over the minute instead of all starting at its first second, and each keeps its
// place across restarts, builds and machines.
//
// Planned times are wall-clock boundaries, waited for on the monotonic clock. The two clocks are
// compared at every look: when the wall clock moved against the monotonic one by more than the
// step tolerance, it was set (by hand, by NTP's step, or it stood still through a suspend), and
// every job's boundaries are taken afresh from the new wall time. Set back, a job runs at its
// next boundary of the new time instead of waiting for the old one to come round again; set
// forward past a boundary, it runs once at once (its one catch-up) and then at its boundaries.
//
// A job is first seen without firing: after a start, a restart, a resume or a change of interval
// it runs at its next planned time, and planned times missed meanwhile (downtime, a stalled
// thread) give one run, never a burst. A job whose previous run is still going when it is due
// is not started again for that cycle, also when that run was started by an earlier `panel
// serve` (the runner knows it by the job's lock); the skip is written to its log and to standard
// error.
//
// Every run started is a fire, with a key of its own that the run finds in its environment
// (`kFireVariable`), recorded in `crontab_fire` (host/cron/fire_log.h) with its process and,
// once it has ended, its exit status or signal and the tail of its log; a run that could not
// start is a fire too, with the reason. Runs of an earlier `panel serve` found going at start are
// watched until they end.
//
// The table is read again when the database changed (SQLite's `data_version`, checked once a
// poll) and at least once a re-read interval, so jobs added, changed, stopped or deleted by other
// processes are seen within about a poll.
#pragma once

#include "host/cron/fire_log.h"
#include "host/cron/job_runner.h"
#include "host/cron/shell_runner.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

class Connection;

// 64-bit FNV-1a of `text`.
std::uint64_t fnv1a(std::string_view text);
// Where a job of key `key` runs inside a cycle of `period_ms` milliseconds: in [0, period_ms).
// `period_ms` must be at least 1.
std::int64_t job_offset_ms(std::string_view key, std::int64_t period_ms);

// The scheduler's two clocks: the wall clock its boundaries are on, and the monotonic clock that
// shows when the wall clock was set.
struct SchedulerClock {
  std::function<std::chrono::system_clock::time_point()> wall;
  std::function<std::chrono::steady_clock::time_point()> steady;
  // The system's clocks.
  static SchedulerClock system();
};

// What the scheduler has done since it started, read by other threads (the web server's metrics)
// while it runs. A run that could not be started counts as fired.
struct SchedulerCounters {
  std::atomic<std::int64_t> fired{0};    // runs started
  std::atomic<std::int64_t> skipped{0};  // runs not started: the job's previous run was still going
  std::atomic<std::int64_t> clock_steps{0};  // times the wall clock was found set
};

struct SchedulerOptions {
  std::string database;                          // the host database
  std::chrono::milliseconds minute{60'000};      // the length of one minute of `where1`
  std::chrono::milliseconds poll{1'000};         // time between two looks for table changes
  std::chrono::milliseconds reread{60'000};      // the table is read at least this often
  // A difference between the two clocks' progress past this is a step of the wall clock.
  std::chrono::milliseconds step_tolerance{1'000};
  // Where the scheduler counts its fires and skips; empty: counters of its own.
  std::shared_ptr<SchedulerCounters> counters;

  // The host database of the panel root. The environment variable PANEL_CRON_MINUTE, when set,
  // gives the length of a minute in whole seconds (tests shrink it to run jobs quickly); a value
  // that is not a whole number of at least 1 throws std::invalid_argument.
  static SchedulerOptions from_environment();
};

class Scheduler {
 public:
  // `runner` must outlive the scheduler.
  Scheduler(SchedulerOptions options, SchedulerClock clock, JobRunner& runner);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Reads the table when it may have changed (first call, a change seen through `data_version`
  // at least a poll after the last look, or `reread` since the last read), notes ended runs and
  // starts every job that is due, then writes the fire records; answers the ids of the jobs it
  // started, in id order. A job that cannot be started is reported on standard error and counts
  // as run (its id is answered); a job skipped because its previous run is still going is not
  // answered. Throws std::runtime_error when the table cannot be read; a fire record the
  // database does not take now stays queued (`fires_queued`) and is reported on standard error.
  std::vector<std::int64_t> tick();

  // Until `stop` is requested: sleeps until the next planned time or the next poll, whichever
  // comes first, starts the jobs due then, and once a poll looks for table changes, notes ended
  // runs and writes the fire records (once more before it returns). A failed read is reported on
  // standard error and tried again at the next poll.
  void run(std::stop_token stop);

  // Times the table has been read (for tests and benchmarks).
  std::int64_t table_reads() const { return table_reads_; }
  // Fires and skips so far (the counters of the options when they gave some).
  const SchedulerCounters& counters() const { return *options_.counters; }
  // Fire records not yet written to the database.
  std::size_t fires_queued() const;

 private:
  // Where a running job stands: its cycle, its offset in it, and the last cycle it was seen in.
  struct Track {
    ScheduledJob job;
    std::int64_t period_ms = 0;
    std::int64_t offset_ms = 0;
    std::int64_t slot = 0;
  };

  // The wall time in milliseconds, after following a step of the wall clock if there was one.
  std::int64_t look();
  std::int64_t steady_ms() const;
  // The scheduler's connection, opened when there is none.
  Connection& db();
  // Reads the table when it may have changed and tracks the running jobs it holds.
  void refresh(std::int64_t now_ms);
  std::vector<ScheduledJob> read_running_jobs();
  // Starts the jobs due at `now_ms`.
  std::vector<std::int64_t> fire_due(std::int64_t now_ms);
  // Notes the end of a run of an earlier scheduler, whose exit status nobody knows.
  void end_orphan(const Fire& fire, std::int64_t now_ms);
  // Notes the runs that ended and writes the fire records; purges old ones once an hour.
  void account(std::int64_t now_ms);
  // The earliest planned time of any tracked job, or nothing when none is tracked.
  std::optional<std::int64_t> next_due() const;

  SchedulerOptions options_;
  SchedulerClock clock_;
  JobRunner& runner_;
  std::unique_ptr<Connection> db_;
  std::unique_ptr<FireLog> fires_;
  std::string instance_;                          // prefix of this scheduler's fire keys
  std::int64_t fire_count_ = 0;
  std::vector<Fire> orphans_;                     // runs of earlier schedulers not seen to end
  bool orphans_read_ = false;
  bool fire_table_ready_ = false;                 // made on the connection `db_`
  std::optional<std::int64_t> clock_offset_;      // wall minus monotonic at the last look
  std::map<std::int64_t, Track> tracks_;          // job id -> track
  std::map<std::int64_t, std::string> reported_;  // job id -> last problem reported
  std::string fire_problem_;                      // last failure to write fire records
  std::optional<std::int64_t> data_version_;
  std::int64_t last_look_ms_ = 0;  // last `data_version` check
  std::int64_t last_read_ms_ = 0;  // last read of the table
  std::optional<std::int64_t> last_purge_ms_;
  std::int64_t table_reads_ = 0;
};

}  // namespace rivi
