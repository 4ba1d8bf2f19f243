// The runner of the host's scheduled jobs: planned times, the timed loop and the job processes.
#include "host/cron/scheduler.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"

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

// Floor division, so that times before the epoch still fall into the right cycle.
std::int64_t slot_of(std::int64_t ms, std::int64_t period_ms) {
  std::int64_t slot = ms / period_ms;
  if (ms % period_ms < 0) --slot;
  return slot;
}

std::int64_t distance(std::int64_t a, std::int64_t b) { return a > b ? a - b : b - a; }

// Bytes that make up a plain word: nothing a shell would expand, quote, redirect or split.
bool plain_byte(unsigned char c) {
  if (c >= 0x80) return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("/._-+:,@%").find(static_cast<char>(c)) != std::string_view::npos;
}

// Errors of a direct start after which the shell gets the command instead: it knows built-ins
// and runs scripts without `#!`, and otherwise reports the failure in the log as it always has.
bool shell_may_know(int error) {
  return error == ENOENT || error == ENOEXEC || error == EACCES || error == ENOTDIR;
}

// Intervals past this many milliseconds could overflow the planned-time arithmetic.
constexpr std::int64_t kLongestPeriodMs = std::numeric_limits<std::int64_t>::max() / 4;

}  // namespace

std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::int64_t job_offset_ms(std::string_view key, std::int64_t period_ms) {
  if (period_ms < 1) throw std::invalid_argument(fmt::format("a cycle of {} ms has no offsets", period_ms));
  return static_cast<std::int64_t>(fnv1a(key) % static_cast<std::uint64_t>(period_ms));
}

std::optional<std::vector<std::string>> plain_words(std::string_view body) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : body) {
    if (c == ' ') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else if (plain_byte(static_cast<unsigned char>(c))) {
      word.push_back(c);
    } else {
      return std::nullopt;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  if (words.empty()) return std::nullopt;
  return words;
}

std::filesystem::path job_log_path(std::int64_t job_id) {
  return root_path(fmt::format("cron/{}.log", job_id));
}

std::filesystem::path backup_log_path(const std::filesystem::path& log) { return log.string() + ".1"; }

void append_log_line(const std::filesystem::path& log, std::string_view line) {
  std::error_code error;
  std::filesystem::create_directories(log.parent_path(), error);
  if (error) throw std::runtime_error(fmt::format("cannot create {}: {}", log.parent_path().string(), error.message()));
  std::ofstream out(log, std::ios::app);
  out << line << '\n';
  if (!out) throw std::runtime_error(fmt::format("cannot write {}", log.string()));
}

ShellRunner::~ShellRunner() { collect(); }

void ShellRunner::start(const ScheduledJob& job, const std::filesystem::path& log) {
  // A job that runs every minute for months must not fill the disk: past the limit the log
  // becomes its one backup and a new log starts.
  std::error_code error;
  if (const auto size = std::filesystem::file_size(log, error); !error && size > kJobLogLimit) {
    std::filesystem::rename(log, backup_log_path(log), error);
    if (error) throw std::runtime_error(fmt::format("cannot rotate {}: {}", log.string(), error.message()));
  }
  append_log_line(log, fmt::format("----- {} job {} -----", public_::format_date(), job.id));

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

  // The spawn returns once the child has executed its program (or failed to), without waiting
  // for the run; an exec failure is answered by posix_spawnp itself, the failed child reaped.
  pid_t pid = -1;
  int failure = ENOENT;
  if (std::optional<std::vector<std::string>> words = plain_words(job.body)) {
    std::vector<char*> argv;
    for (std::string& word : *words) argv.push_back(word.data());
    argv.push_back(nullptr);
    failure = posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ);
    if (failure != 0 && !shell_may_know(failure)) check_spawn(failure, argv[0]);
  }
  if (failure != 0) {
    std::string shell = "/bin/sh";
    std::string dash_c = "-c";
    std::string body = job.body;
    char* argv[] = {shell.data(), dash_c.data(), body.data(), nullptr};
    check_spawn(posix_spawn(&pid, shell.c_str(), actions.get(), attributes.get(), argv, environ), "/bin/sh");
  }
  children_.emplace(job.id, pid);
}

namespace {

// True when `pid` has ended (and is now reaped) or is not a child of this process.
bool ended(pid_t pid) {
  int status = 0;
  const pid_t done = waitpid(pid, &status, WNOHANG);
  return done == pid || (done < 0 && errno == ECHILD);
}

}  // namespace

pid_t ShellRunner::running(std::int64_t job_id) {
  auto [first, last] = children_.equal_range(job_id);
  pid_t alive = 0;
  for (auto it = first; it != last;) {
    if (ended(it->second)) {
      it = children_.erase(it);
    } else {
      alive = it->second;
      ++it;
    }
  }
  return alive;
}

void ShellRunner::collect() {
  std::erase_if(children_, [](const auto& child) { return ended(child.second); });
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
    : options_(std::move(options)), clock_(std::move(clock)), runner_(runner) {
  if (!options_.counters) options_.counters = std::make_shared<SchedulerCounters>();
}

Scheduler::~Scheduler() = default;

std::int64_t Scheduler::now_ms() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_().time_since_epoch()).count();
}

std::vector<ScheduledJob> Scheduler::read_running_jobs() {
  const Record rows = db_->query("SELECT id, name, type, where1, sBody, status, save FROM crontab ORDER BY id");
  const std::int64_t minute_ms = options_.minute.count();

  std::vector<ScheduledJob> jobs;
  std::map<std::int64_t, std::string> problems;
  for (const Record& row : rows) {
    if (!same_value(row["status"], 1)) continue;
    ScheduledJob job;
    job.id = row["id"].get<std::int64_t>();
    job.name = row["name"].is_string() ? row["name"].get<std::string>() : text_of(row["name"]);
    job.key = row["save"].is_string() && !row["save"].get_ref<const std::string&>().empty()
                  ? row["save"].get<std::string>()
                  : std::to_string(job.id);
    std::string problem;
    try {
      job.where1 = to_int(row["where1"]);
    } catch (const std::exception&) {
      job.where1 = 0;
    }
    if (row["type"] != "minute-n") {
      problem = fmt::format("type '{}' is not minute-n", text_of(row["type"]));
    } else if (job.where1 < 1 || job.where1 > kLongestPeriodMs / minute_ms) {
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
  // Each problem is said once, not once a read.
  for (const auto& [id, problem] : problems) {
    auto seen = reported_.find(id);
    if (seen == reported_.end() || seen->second != problem) {
      std::cerr << fmt::format("scheduler: job {} is not run: {}\n", id, problem);
    }
  }
  reported_ = std::move(problems);
  ++table_reads_;
  return jobs;
}

void Scheduler::refresh(std::int64_t now_ms) {
  if (!db_) {
    db_ = std::make_unique<Connection>(options_.database);
    data_version_.reset();
  }
  // Any commit by another connection changes `data_version`, including the workers' result
  // rows; looking once a poll bounds the reads to one a poll however busy the database is.
  bool read = !data_version_ || distance(now_ms, last_read_ms_) >= options_.reread.count();
  if (!read && distance(now_ms, last_look_ms_) < options_.poll.count()) return;
  last_look_ms_ = now_ms;
  const std::int64_t version = db_->query("PRAGMA data_version").at(0)["data_version"].get<std::int64_t>();
  if (!read && version == *data_version_) return;

  const std::vector<ScheduledJob> jobs = read_running_jobs();
  data_version_ = version;
  last_read_ms_ = now_ms;

  // Only jobs running now are tracked: a stopped or deleted job drops out and is seen afresh.
  std::map<std::int64_t, Track> tracks;
  for (const ScheduledJob& job : jobs) {
    Track track;
    track.period_ms = job.where1 * options_.minute.count();
    track.offset_ms = job_offset_ms(job.key, track.period_ms);
    track.slot = slot_of(now_ms - track.offset_ms, track.period_ms);
    auto known = tracks_.find(job.id);
    if (known != tracks_.end() && known->second.period_ms == track.period_ms &&
        known->second.offset_ms == track.offset_ms) {
      track.slot = known->second.slot;  // a new command or name keeps the job's place
    }
    track.job = job;
    tracks.emplace(job.id, std::move(track));
  }
  tracks_ = std::move(tracks);
}

std::vector<std::int64_t> Scheduler::fire_due(std::int64_t now_ms) {
  std::vector<std::int64_t> fired;
  for (auto& [id, track] : tracks_) {
    const std::int64_t slot = slot_of(now_ms - track.offset_ms, track.period_ms);
    if (slot <= track.slot) continue;  // not due yet, or the clock went back
    track.slot = slot;
    const std::filesystem::path log = job_log_path(id);
    if (const pid_t previous = runner_.running(id); previous != 0) {
      const std::string why = fmt::format("skipped: previous run still going (pid {})", previous);
      std::cerr << fmt::format("scheduler: job {} {}\n", id, why);
      options_.counters->skipped.fetch_add(1, std::memory_order_relaxed);
      try {
        append_log_line(log, fmt::format("----- {} job {} {} -----", public_::format_date(), id, why));
      } catch (const std::exception& error) {
        std::cerr << fmt::format("scheduler: job {}: {}\n", id, error.what());
      }
      continue;
    }
    fired.push_back(id);
    options_.counters->fired.fetch_add(1, std::memory_order_relaxed);
    try {
      runner_.start(track.job, log);
    } catch (const std::exception& error) {
      std::cerr << fmt::format("scheduler: job {}: {}\n", id, error.what());
    }
  }
  return fired;
}

std::optional<std::int64_t> Scheduler::next_due() const {
  std::optional<std::int64_t> next;
  for (const auto& [id, track] : tracks_) {
    const std::int64_t due = (track.slot + 1) * track.period_ms + track.offset_ms;
    if (!next || due < *next) next = due;
  }
  return next;
}

std::vector<std::int64_t> Scheduler::tick() {
  const std::int64_t now = now_ms();
  refresh(now);
  return fire_due(now);
}

void Scheduler::run(std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::string last_error;
  std::optional<std::int64_t> next_poll;
  const std::int64_t poll_ms = std::max<std::int64_t>(options_.poll.count(), 1);
  while (!stop.stop_requested()) {
    const std::int64_t now = now_ms();
    // A poll is due on time, and at once when the clock has been set back past it.
    if (!next_poll || now >= *next_poll || *next_poll - now > poll_ms) {
      try {
        refresh(now);
        last_error.clear();
      } catch (const std::exception& error) {
        // A broken connection is opened again at the next poll; known jobs keep running.
        db_.reset();
        if (last_error != error.what()) std::cerr << "scheduler: " << error.what() << "\n";
        last_error = error.what();
      }
      runner_.collect();
      next_poll = now + poll_ms;
    }
    fire_due(now);

    const std::int64_t wake_at = std::min(*next_poll, next_due().value_or(*next_poll));
    const std::int64_t wait_ms = std::max<std::int64_t>(wake_at - now_ms(), 0);
    if (wait_ms == 0) continue;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, std::chrono::milliseconds(wait_ms), [] { return false; });
  }
}

}  // namespace rivi
