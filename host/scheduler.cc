// The runner of the host's scheduled jobs: due times, the tick loop and the shell runs.
#include "host/scheduler.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <stdexcept>

extern char** environ;

namespace rivi {

namespace {

// Owners of the two posix_spawn setting objects.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

void check_spawn(int error, const char* what) {
  if (error != 0) throw std::runtime_error(fmt::format("cannot start job: {}: {}", what, std::strerror(error)));
}

// Floor division, so that times before the epoch still fall into the right slot.
std::int64_t slot_of(std::int64_t now_ms, std::int64_t period_ms) {
  std::int64_t slot = now_ms / period_ms;
  if (now_ms % period_ms < 0) --slot;
  return slot;
}

}  // namespace

std::filesystem::path job_log_path(std::int64_t job_id) {
  return root_path(fmt::format("cron/{}.log", job_id));
}

std::filesystem::path backup_log_path(const std::filesystem::path& log) { return log.string() + ".1"; }

ShellRunner::~ShellRunner() { collect(); }

void ShellRunner::start(const ScheduledJob& job, const std::filesystem::path& log) {
  collect();
  std::error_code error;
  std::filesystem::create_directories(log.parent_path(), error);
  if (error) throw std::runtime_error(fmt::format("cannot create {}: {}", log.parent_path().string(), error.message()));
  // A job that runs every minute for months must not fill the disk: past the limit the log
  // becomes its one backup and a new log starts.
  if (const auto size = std::filesystem::file_size(log, error); !error && size > kJobLogLimit) {
    std::filesystem::rename(log, backup_log_path(log), error);
    if (error) throw std::runtime_error(fmt::format("cannot rotate {}: {}", log.string(), error.message()));
  }
  {
    std::ofstream out(log, std::ios::app);
    out << fmt::format("----- {} job {} -----\n", public_::format_date(), job.id);
    if (!out) throw std::runtime_error(fmt::format("cannot write {}", log.string()));
  }

  SpawnActions actions;
  check_spawn(posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0), "stdin");
  check_spawn(posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, log.c_str(),
                                               O_WRONLY | O_CREAT | O_APPEND, 0644),
              "log");
  check_spawn(posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO), "stderr");
  // The panel's own descriptors (database, sockets) stay with the panel.
  check_spawn(posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1), "descriptors");

  // The panel blocks its stop signals to wait for them; a run starts with a clean mask and
  // default handlers, in a group of its own so that a Ctrl-C to the panel leaves it running.
  SpawnAttributes attributes;
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
  check_spawn(posix_spawnattr_setsigmask(attributes.get(), &none), "signal mask");
  check_spawn(posix_spawnattr_setsigdefault(attributes.get(), &defaults), "signal handlers");
  check_spawn(posix_spawnattr_setpgroup(attributes.get(), 0), "process group");
  check_spawn(posix_spawnattr_setflags(attributes.get(),
                                       POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP),
              "flags");

  std::string shell = "/bin/sh";
  std::string dash_c = "-c";
  std::string body = job.body;
  char* argv[] = {shell.data(), dash_c.data(), body.data(), nullptr};
  pid_t pid = -1;
  check_spawn(posix_spawn(&pid, shell.c_str(), actions.get(), attributes.get(), argv, environ), "/bin/sh");
  children_.push_back(pid);
}

void ShellRunner::collect() {
  std::erase_if(children_, [](pid_t pid) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    return done == pid || (done < 0 && errno == ECHILD);
  });
}

SchedulerOptions SchedulerOptions::from_environment() {
  SchedulerOptions options;
  options.database = database_path();
  if (const char* text = std::getenv("PANEL_CRON_MINUTE"); text != nullptr) {
    std::int64_t seconds = 0;
    try {
      seconds = to_int(Record(text));
    } catch (const std::exception&) {
      seconds = 0;
    }
    if (seconds < 1 || seconds > 86'400) {
      throw std::invalid_argument(
          fmt::format("PANEL_CRON_MINUTE must be a whole number of seconds from 1 to 86400, not '{}'", text));
    }
    options.minute = std::chrono::seconds(seconds);
  }
  return options;
}

Scheduler::Scheduler(SchedulerOptions options, SchedulerClock clock, JobRunner& runner)
    : options_(std::move(options)), clock_(std::move(clock)), runner_(runner) {}

Scheduler::~Scheduler() = default;

std::vector<ScheduledJob> Scheduler::read_running_jobs() {
  if (!db_) db_ = std::make_unique<Connection>(options_.database);
  const Record rows = db_->query("SELECT id, name, type, where1, sBody, status FROM crontab ORDER BY id");
  const std::int64_t minute_ms = options_.minute.count();

  std::vector<ScheduledJob> jobs;
  std::map<std::int64_t, std::string> problems;
  for (const Record& row : rows) {
    if (!same_value(row["status"], 1)) continue;
    ScheduledJob job;
    job.id = row["id"].get<std::int64_t>();
    job.name = row["name"].is_string() ? row["name"].get<std::string>() : text_of(row["name"]);
    std::string problem;
    try {
      job.where1 = to_int(row["where1"]);
    } catch (const std::exception&) {
      job.where1 = 0;
    }
    if (row["type"] != "minute-n") {
      problem = fmt::format("type '{}' is not minute-n", text_of(row["type"]));
    } else if (job.where1 < 1 || job.where1 > std::numeric_limits<std::int64_t>::max() / minute_ms) {
      problem = fmt::format("interval '{}' is not a whole number of minutes, at least 1", text_of(row["where1"]));
    } else if (!row["sBody"].is_string() || row["sBody"].get_ref<const std::string&>().empty()) {
      problem = "no command";
    } else {
      job.body = row["sBody"].get<std::string>();
      jobs.push_back(std::move(job));
      continue;
    }
    problems[job.id] = problem;
  }
  // Each problem is said once, not once a tick.
  for (const auto& [id, problem] : problems) {
    auto seen = reported_.find(id);
    if (seen == reported_.end() || seen->second != problem) {
      std::cerr << fmt::format("scheduler: job {} is not run: {}\n", id, problem);
    }
  }
  reported_ = std::move(problems);
  return jobs;
}

std::vector<std::int64_t> Scheduler::tick() {
  runner_.collect();
  const std::vector<ScheduledJob> jobs = read_running_jobs();
  const std::int64_t now_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_().time_since_epoch()).count();

  // Only jobs running now are tracked: a stopped or deleted job drops out and is seen afresh.
  std::map<std::int64_t, Track> tracks;
  std::vector<std::int64_t> fired;
  for (const ScheduledJob& job : jobs) {
    const std::int64_t period_ms = job.where1 * options_.minute.count();
    const std::int64_t slot = slot_of(now_ms, period_ms);
    auto known = tracks_.find(job.id);
    if (known == tracks_.end() || known->second.period_ms != period_ms) {
      tracks[job.id] = Track{period_ms, slot};
      continue;
    }
    Track track = known->second;
    if (slot > track.slot) {
      track.slot = slot;
      fired.push_back(job.id);
      try {
        runner_.start(job, job_log_path(job.id));
      } catch (const std::exception& error) {
        std::cerr << fmt::format("scheduler: job {}: {}\n", job.id, error.what());
      }
    }
    tracks[job.id] = track;
  }
  tracks_ = std::move(tracks);
  return fired;
}

void Scheduler::run(std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::string last_error;
  while (!stop.stop_requested()) {
    try {
      tick();
      last_error.clear();
    } catch (const std::exception& error) {
      // A broken connection is opened again on the next tick.
      db_.reset();
      if (last_error != error.what()) std::cerr << "scheduler: " << error.what() << "\n";
      last_error = error.what();
    }
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, options_.poll, [] { return false; });
  }
}

}  // namespace rivi
