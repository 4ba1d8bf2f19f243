// What the scheduler asks of whatever starts its jobs' runs (host/cron/scheduler.h): the job as
// read from the table `crontab`, the start of a run, the runs still going and those that ended,
// and the run logs under <root>/cron/ that every run appends to.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

// One runnable job as read from the table.
struct ScheduledJob {
  std::int64_t id = 0;
  std::string name;
  std::int64_t where1 = 0;  // interval in minutes
  std::string body;         // `sBody`, a command line
  std::string key;          // `save`, or the id in decimal when `save` is empty
};

// A run that has ended, as its process left it.
struct EndedRun {
  std::string fire;                 // the fire it was started for (see Scheduler)
  std::int64_t job_id = 0;
  pid_t pid = 0;
  std::optional<int> exit_status;   // set when it exited
  std::optional<int> signal;        // set when a signal ended it
  std::string log_tail;             // the last lines it wrote to its log, when it failed
};

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
// The last lines (at most 10, at most 1,000 bytes, whole lines where they fit) of what `log`
// holds past byte `from`; "" when it cannot be read.
std::string log_tail(const std::filesystem::path& log, std::uintmax_t from);

// Size past which a run log is moved to its backup before the next run writes to it.
inline constexpr std::uintmax_t kJobLogLimit = 1024 * 1024;

// The environment variable that names, to a run, the fire it was started for.
inline constexpr const char* kFireVariable = "PANEL_CRON_FIRE";
// The fire named to this process by the scheduler that started it; nothing when it was started
// otherwise (by hand, or by `panel call`).
std::optional<std::string> fire_of_this_run();

// Starts the runs of jobs. `start` must return without waiting for the run.
class JobRunner {
 public:
  virtual ~JobRunner() = default;
  // Starts one run of `job` for the fire `fire`, its output appended to `log`; answers its
  // process. Throws std::runtime_error when the run cannot be started.
  virtual pid_t start(const ScheduledJob& job, const std::filesystem::path& log, const std::string& fire) = 0;
  // The process of a run of job `job_id` that is still going, or 0 when none is; -1 for a run
  // whose process is not known (one started before this runner).
  virtual pid_t running(std::int64_t job_id) {
    static_cast<void>(job_id);
    return 0;
  }
  // The runs started by this runner that have ended since the last call; called once a poll.
  virtual std::vector<EndedRun> collect() { return {}; }
};

}  // namespace rivi
