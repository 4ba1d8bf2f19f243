// The runner of the host's scheduled jobs. Owns the decision of when a job of the table `crontab`
// is due and the processes that run it; the rows themselves belong to host/crontab.h.
//
// A running job (status 1, type "minute-n") with interval N minutes runs once per cycle. Cycles
// start at the whole multiples of N minutes since the Unix epoch; inside its cycle a job runs at
// a fixed offset, FNV-1a (64 bit) of its key modulo the cycle length in milliseconds, the key
// being its `save` text, or its id in decimal when `save` is empty. A thousand one-minute jobs
// are so spread over the minute instead of all starting at its first second, and each keeps its
// place across restarts, builds and machines.
//
// A job is first seen without firing: after a start, a restart, a resume or a change of interval
// it runs at its next planned time, and planned times missed meanwhile (downtime, a stalled
// thread) give one run, never a burst. A job whose previous run is still going when it is due
// is not started again for that cycle; the skip is written to its log and to standard error.
//
// The table is read again when the database changed (SQLite's `data_version`, checked once a
// poll) and at least once a re-read interval, so jobs added, changed, stopped or deleted by other
// processes are seen within about a poll.
#pragma once

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

// One runnable job as read from the table.
struct ScheduledJob {
  std::int64_t id = 0;
  std::string name;
  std::int64_t where1 = 0;  // interval in minutes
  std::string body;         // `sBody`, a command line
  std::string key;          // `save`, or the id in decimal when `save` is empty
};

// 64-bit FNV-1a of `text`.
std::uint64_t fnv1a(std::string_view text);
// Where a job of key `key` runs inside a cycle of `period_ms` milliseconds: in [0, period_ms).
// `period_ms` must be at least 1.
std::int64_t job_offset_ms(std::string_view key, std::int64_t period_ms);

// The words of `body` when it is plain words separated by spaces, which run without a shell;
// nothing when it holds anything a shell would read differently (quotes, `$`, redirections,
// globs, `=`, tabs, new lines, ...) or no word at all. Letters, digits, bytes past ASCII and
// `/ . _ - + : , @ %` make a plain word.
std::optional<std::vector<std::string>> plain_words(std::string_view body);

// The run log of job `job_id`: <root>/cron/<job_id>.log.
std::filesystem::path job_log_path(std::int64_t job_id);
// The one older log kept beside `log` ("<log>.1").
std::filesystem::path backup_log_path(const std::filesystem::path& log);
// Appends `line` and a new line to `log`, creating its directory. Throws std::runtime_error.
void append_log_line(const std::filesystem::path& log, std::string_view line);

// Size past which a run log is moved to its backup before the next run writes to it.
inline constexpr std::uintmax_t kJobLogLimit = 1024 * 1024;

// Starts the runs of jobs. `start` must return without waiting for the run.
class JobRunner {
 public:
  virtual ~JobRunner() = default;
  // Starts one run of `job`, its output appended to `log`. Throws std::runtime_error when the
  // run cannot be started.
  virtual void start(const ScheduledJob& job, const std::filesystem::path& log) = 0;
  // The process of a run of job `job_id` that is still going, or 0 when none is.
  virtual pid_t running(std::int64_t job_id) {
    static_cast<void>(job_id);
    return 0;
  }
  // Collects runs that have ended; called once a poll.
  virtual void collect() {}
};

// Runs each job as its own process, in its own process group, with standard input from
// /dev/null and standard output and error appended to the log after a line naming the start
// time. A command of plain words (`plain_words`) is executed directly, its first word searched
// in PATH; any other command, or one whose first word is no program (a shell built-in such as
// `exit`, a script without `#!`), runs as `/bin/sh -c <sBody>`. A log grown past `kJobLogLimit`
// replaces its backup first. The start returns once the process has executed its program; runs
// are reaped by `running` and `collect`, and runs still going when the runner is destroyed are
// left to finish.
class ShellRunner : public JobRunner {
 public:
  ShellRunner() = default;
  ~ShellRunner() override;
  ShellRunner(const ShellRunner&) = delete;
  ShellRunner& operator=(const ShellRunner&) = delete;

  void start(const ScheduledJob& job, const std::filesystem::path& log) override;
  pid_t running(std::int64_t job_id) override;
  void collect() override;
  // Runs started and not yet collected.
  std::size_t running() const { return children_.size(); }

 private:
  std::multimap<std::int64_t, pid_t> children_;  // job id -> process
};

using SchedulerClock = std::function<std::chrono::system_clock::time_point()>;

// What the scheduler has done since it started, read by other threads (the web server's metrics)
// while it runs. A run that could not be started counts as fired.
struct SchedulerCounters {
  std::atomic<std::int64_t> fired{0};    // runs started
  std::atomic<std::int64_t> skipped{0};  // runs not started: the job's previous run was still going
};

struct SchedulerOptions {
  std::string database;                          // the host database
  std::chrono::milliseconds minute{60'000};      // the length of one minute of `where1`
  std::chrono::milliseconds poll{1'000};         // time between two looks for table changes
  std::chrono::milliseconds reread{60'000};      // the table is read at least this often
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
  // at least a poll after the last look, or `reread` since the last read) and starts every job
  // that is due; answers the ids of the jobs it started, in id order. A job that cannot be
  // started is reported on standard error and counts as run (its id is answered); a job skipped
  // because its previous run is still going is not answered. Throws std::runtime_error when the
  // table cannot be read.
  std::vector<std::int64_t> tick();

  // Until `stop` is requested: sleeps until the next planned time or the next poll, whichever
  // comes first, starts the jobs due then, and once a poll looks for table changes and collects
  // ended runs. A failed read is reported on standard error and tried again at the next poll.
  void run(std::stop_token stop);

  // Times the table has been read (for tests and benchmarks).
  std::int64_t table_reads() const { return table_reads_; }
  // Fires and skips so far (the counters of the options when they gave some).
  const SchedulerCounters& counters() const { return *options_.counters; }

 private:
  // Where a running job stands: its cycle, its offset in it, and the last cycle it was seen in.
  struct Track {
    ScheduledJob job;
    std::int64_t period_ms = 0;
    std::int64_t offset_ms = 0;
    std::int64_t slot = 0;
  };

  std::int64_t now_ms() const;
  // Reads the table when it may have changed and tracks the running jobs it holds.
  void refresh(std::int64_t now_ms);
  std::vector<ScheduledJob> read_running_jobs();
  // Starts the jobs due at `now_ms`.
  std::vector<std::int64_t> fire_due(std::int64_t now_ms);
  // The earliest planned time of any tracked job, or nothing when none is tracked.
  std::optional<std::int64_t> next_due() const;

  SchedulerOptions options_;
  SchedulerClock clock_;
  JobRunner& runner_;
  std::unique_ptr<Connection> db_;
  std::map<std::int64_t, Track> tracks_;          // job id -> track
  std::map<std::int64_t, std::string> reported_;  // job id -> last problem reported
  std::optional<std::int64_t> data_version_;
  std::int64_t last_look_ms_ = 0;  // last `data_version` check
  std::int64_t last_read_ms_ = 0;  // last read of the table
  std::int64_t table_reads_ = 0;
};

}  // namespace rivi
