// The runner of `panel serve`: each run of a job is a process of its own.
#pragma once

#include "host/cron/job_runner.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace rivi {

// Runs each job as its own process, in its own process group, with standard input from
// /dev/null and standard output and error appended to the log after a line naming the start
// time. A command of plain words (`plain_words`) is executed directly, its first word searched
// in PATH; any other command, or one whose first word is no program (a shell built-in such as
// `exit`, a script without `#!`), runs as `/bin/sh -c <sBody>`. A log grown past `kJobLogLimit`
// replaces its backup first; a log that cannot be written (a full disk) does not keep the run
// from starting. The start returns once the process has executed its program.
//
// Each run holds its job's lock (host/cron/job_lock.h) as descriptor 3 and finds its fire in
// the environment variable `kFireVariable`; a job whose lock is held by a run this runner did
// not start (one of an earlier `panel serve`) counts as running. Runs are reaped by `running`
// and `collect`, and runs still going when the runner is destroyed are left to finish.
class ShellRunner : public JobRunner {
 public:
  ShellRunner() = default;
  ~ShellRunner() override;
  ShellRunner(const ShellRunner&) = delete;
  ShellRunner& operator=(const ShellRunner&) = delete;

  pid_t start(const ScheduledJob& job, const std::filesystem::path& log, const std::string& fire) override;
  pid_t running(std::int64_t job_id) override;
  std::vector<EndedRun> collect() override;
  // Runs started and not yet reaped.
  std::size_t running() const { return children_.size(); }

 private:
  struct Run {
    pid_t pid = 0;
    std::string fire;
    std::filesystem::path log;
    std::uintmax_t log_from = 0;  // where this run's output begins in its log
  };
  // Reaps the runs of job `job_id` (every job when null) that have ended into `ended_`.
  void reap(const std::int64_t* job_id);

  std::multimap<std::int64_t, Run> children_;  // job id -> run
  std::vector<EndedRun> ended_;                // reaped, not yet collected
};

}  // namespace rivi
