// The runner of the host's scheduled jobs. Owns the decision of when a job of the table `crontab`
// is due and the processes that run it; the rows themselves belong to host/crontab.h.
//
// A running job (status 1, type "minute-n") with interval N minutes is due each time the clock
// crosses a whole multiple of N minutes since the Unix epoch. The table is read anew on every
// tick, so jobs added, changed, stopped or deleted by other processes are seen at the next tick.
// A job is first seen without firing: after a start, a restart, a resume or a change of
// interval it runs at the next boundary, and boundaries missed meanwhile (downtime, a stalled
// tick) give one run, never a burst.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace rivi {

class Connection;

// One runnable job as read from the table.
struct ScheduledJob {
  std::int64_t id = 0;
  std::string name;
  std::int64_t where1 = 0;  // interval in minutes
  std::string body;         // `sBody`, a shell command
};

// The run log of job `job_id`: <root>/cron/<job_id>.log.
std::filesystem::path job_log_path(std::int64_t job_id);
// The one older log kept beside `log` ("<log>.1").
std::filesystem::path backup_log_path(const std::filesystem::path& log);

// Size past which a run log is moved to its backup before the next run writes to it.
inline constexpr std::uintmax_t kJobLogLimit = 1024 * 1024;

// Starts the runs of jobs. `start` must return without waiting for the run.
class JobRunner {
 public:
  virtual ~JobRunner() = default;
  // Starts one run of `job`, its output appended to `log`. Throws std::runtime_error when the
  // run cannot be started.
  virtual void start(const ScheduledJob& job, const std::filesystem::path& log) = 0;
  // Collects runs that have ended; called on every tick.
  virtual void collect() {}
};

// Runs each job as its own process, `/bin/sh -c <sBody>`, in its own process group, with
// standard input from /dev/null and standard output and error appended to the log after a line
// naming the start time. A log grown past `kJobLogLimit` replaces its backup first. Runs still
// going when the runner is destroyed are left to finish.
class ShellRunner : public JobRunner {
 public:
  ShellRunner() = default;
  ~ShellRunner() override;
  ShellRunner(const ShellRunner&) = delete;
  ShellRunner& operator=(const ShellRunner&) = delete;

  void start(const ScheduledJob& job, const std::filesystem::path& log) override;
  void collect() override;
  // Runs started and not yet collected.
  std::size_t running() const { return children_.size(); }

 private:
  std::vector<pid_t> children_;
};

using SchedulerClock = std::function<std::chrono::system_clock::time_point()>;

struct SchedulerOptions {
  std::string database;                      // the host database
  std::chrono::milliseconds minute{60'000};  // the length of one minute of `where1`
  std::chrono::milliseconds poll{1'000};     // time between two ticks of `run`

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

  // Reads the table once and starts every job that is due; answers their ids in id order. A job
  // that cannot be started is reported on standard error and counts as run. Throws
  // std::runtime_error when the table cannot be read.
  std::vector<std::int64_t> tick();

  // Ticks every `poll` until `stop` is requested. A failed tick is reported on standard error
  // and the next one tries again.
  void run(std::stop_token stop);

 private:
  // Where a running job stands: its period and the last boundary it was seen at.
  struct Track {
    std::int64_t period_ms = 0;
    std::int64_t slot = 0;
  };

  std::vector<ScheduledJob> read_running_jobs();

  SchedulerOptions options_;
  SchedulerClock clock_;
  JobRunner& runner_;
  std::unique_ptr<Connection> db_;
  std::map<std::int64_t, Track> tracks_;
  std::map<std::int64_t, std::string> reported_;  // job id -> last problem reported
};

}  // namespace rivi
