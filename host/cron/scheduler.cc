// The runner of the host's scheduled jobs: planned times, the two clocks, the timed loop and the
// record of each fire.
#include "host/cron/scheduler.h"
#include "host/journal.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/stop_signal.h"
#include "host/store/store.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <random>
#include <stdexcept>

namespace rivi {

namespace {

// Floor division, so that times before the epoch still fall into the right cycle.
std::int64_t slot_of(std::int64_t ms, std::int64_t period_ms) {
  std::int64_t slot = ms / period_ms;
  if (ms % period_ms < 0) --slot;
  return slot;
}

std::int64_t distance(std::int64_t a, std::int64_t b) { return a > b ? a - b : b - a; }

// Intervals past this many milliseconds could overflow the planned-time arithmetic.
constexpr std::int64_t kLongestPeriodMs = std::numeric_limits<std::int64_t>::max() / 4;

constexpr std::int64_t kPurgeEveryMs = 3'600'000;
constexpr int kWriteWaitMs = 50;

// A prefix no other scheduler's fire keys share: fires of an earlier `panel serve` are told
// apart from this one's by it.
std::string new_instance() {
  std::random_device random;
  const std::uint64_t high = random(), low = random();
  return fmt::format("{:016x}-", (high << 32) ^ low);
}

std::int64_t seconds_of(std::int64_t ms) { return slot_of(ms, 1000); }

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

SchedulerClock SchedulerClock::system() {
  return {[] { return std::chrono::system_clock::now(); }, [] { return std::chrono::steady_clock::now(); }};
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
    : options_(std::move(options)), clock_(std::move(clock)), runner_(runner),
      fires_(std::make_unique<FireLog>()), instance_(new_instance()) {
  if (!options_.counters) options_.counters = std::make_shared<SchedulerCounters>();
}

Scheduler::~Scheduler() = default;

std::size_t Scheduler::fires_queued() const { return fires_->queued(); }

std::int64_t Scheduler::steady_ms() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_.steady().time_since_epoch()).count();
}

std::int64_t Scheduler::look() {
  const std::int64_t steady = steady_ms();
  const std::int64_t wall = std::chrono::duration_cast<std::chrono::milliseconds>(clock_.wall().time_since_epoch()).count();
  const std::int64_t offset = wall - steady;
  if (clock_offset_ && distance(offset, *clock_offset_) > options_.step_tolerance.count()) {
    const std::int64_t step = offset - *clock_offset_;
    options_.counters->clock_steps.fetch_add(1, std::memory_order_relaxed);
    journal::log_line(journal::Priority::warning, fmt::format("scheduler: the clock was set {} by {:.1f} s; planned times follow the new time",
                                                                  step < 0 ? "back" : "forward",
                                                                  static_cast<double>(distance(step, 0)) / 1000));
    // Set back, a job waits for its next boundary of the new time, not for the old one to come
    // round again; set forward, a job whose boundary was passed is due now, once.
    if (step < 0) {
      for (auto& [id, track] : tracks_) {
        track.slot = std::min(track.slot, slot_of(wall - track.offset_ms, track.period_ms));
      }
    }
  }
  clock_offset_ = offset;
  return wall;
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
      journal::log_line(journal::Priority::warning, fmt::format("scheduler: job {} is not run: {}", id, problem));
    }
  }
  reported_ = std::move(problems);
  ++table_reads_;
  return jobs;
}

Connection& Scheduler::db() {
  if (!db_) {
    auto db = std::make_unique<Connection>(options_.database);
    // The loop must stay on time: a write (a fire record) waits a moment for another writer and
    // is tried again at the next poll. Reads of a database in WAL mode do not wait.
    sqlite3_busy_timeout(db->handle(), kWriteWaitMs);
    db_ = std::move(db);
    data_version_.reset();
    fire_table_ready_ = false;
  }
  return *db_;
}

void Scheduler::refresh(std::int64_t now_ms) {
  db();
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
    if (slot <= track.slot) continue;  // not due yet
    track.slot = slot;
    const std::filesystem::path log = job_log_path(id);
    if (const pid_t previous = runner_.running(id); previous != 0) {
      const std::string why = previous > 0 ? fmt::format("skipped: previous run still going (pid {})", previous)
                                           : std::string("skipped: previous run still going");
      journal::log_line(journal::Priority::warning, fmt::format("scheduler: job {} {}", id, why));
      options_.counters->skipped.fetch_add(1, std::memory_order_relaxed);
      try {
        append_log_line(log, fmt::format("----- {} job {} {} -----", public_::format_date(), id, why));
      } catch (const std::exception& error) {
        journal::log_line(journal::Priority::warning, fmt::format("scheduler: job {}: {}", id, error.what()));
      }
      continue;
    }
    // A run of an earlier scheduler has ended when its job's lock is free: noted before the log
    // gets the new run's lines.
    std::erase_if(orphans_, [&](const Fire& fire) {
      if (fire.job_id != id) return false;
      end_orphan(fire, now_ms);
      return true;
    });
    fired.push_back(id);
    options_.counters->fired.fetch_add(1, std::memory_order_relaxed);
    const std::string fire = instance_ + std::to_string(++fire_count_);
    try {
      fires_->started(fire, id, seconds_of(now_ms), runner_.start(track.job, log, fire));
    } catch (const std::exception& error) {
      journal::log_line(journal::Priority::err, fmt::format("scheduler: job {}: {}", id, error.what()));
      fires_->not_started(fire, id, seconds_of(now_ms), error.what());
    }
  }
  return fired;
}

void Scheduler::end_orphan(const Fire& fire, std::int64_t now_ms) {
  EndedRun run;
  run.fire = fire.fire;
  run.job_id = fire.job_id;
  run.log_tail = log_tail(job_log_path(fire.job_id), 0);
  fires_->ended(run, seconds_of(now_ms));
}

void Scheduler::account(std::int64_t now_ms) {
  for (const EndedRun& run : runner_.collect()) fires_->ended(run, seconds_of(now_ms));
  try {
    // Runs of an earlier scheduler: once, then each until its job's lock is free.
    if (!fire_table_ready_) {
      create_fire_table(db());
      fire_table_ready_ = true;
    }
    if (!orphans_read_) {
      orphans_ = FireLog::unfinished(db(), instance_);
      orphans_read_ = true;
    }
    std::erase_if(orphans_, [&](const Fire& fire) {
      if (runner_.running(fire.job_id) != 0) return false;
      end_orphan(fire, now_ms);
      return true;
    });
    fires_->flush(db());
    if (!last_purge_ms_ || distance(now_ms, *last_purge_ms_) >= kPurgeEveryMs) {
      FireLog::purge(db(), seconds_of(now_ms) - kFireKeepSeconds);
      last_purge_ms_ = now_ms;
    }
    if (!fire_problem_.empty()) journal::log_line(journal::Priority::notice, "scheduler: fire records written again");
    fire_problem_.clear();
  } catch (const std::runtime_error& error) {
    if (fire_problem_.empty()) journal::log_line(journal::Priority::err, std::string("scheduler: ") + error.what());
    fire_problem_ = error.what();
  }
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
  const std::int64_t now = look();
  refresh(now);
  std::vector<std::int64_t> fired = fire_due(now);
  account(now);
  return fired;
}

void Scheduler::run(std::stop_token stop) {
  std::string last_error;
  std::optional<std::int64_t> next_poll;  // on the monotonic clock
  const std::int64_t poll_ms = std::max<std::int64_t>(options_.poll.count(), 1);
  while (!stop.stop_requested()) {
    const std::int64_t now = look();
    if (!next_poll || steady_ms() >= *next_poll) {
      try {
        refresh(now);
        last_error.clear();
      } catch (const std::exception& error) {
        // A broken connection is opened again at the next poll; known jobs keep running.
        db_.reset();
        if (last_error != error.what()) journal::log_line(journal::Priority::err, std::string("scheduler: ") + error.what());
        last_error = error.what();
      }
      account(now);
      next_poll = steady_ms() + poll_ms;
    }
    fire_due(now);

    // Waits are on the monotonic clock: a wall clock set meanwhile is seen at the next look.
    const std::int64_t poll_in = *next_poll - steady_ms();
    const std::int64_t due_in = next_due().value_or(now + poll_in) - now;
    const std::int64_t wait_ms = std::clamp<std::int64_t>(std::min(poll_in, due_in), 0, poll_ms);
    if (wait_ms > 0) rest(stop, std::chrono::milliseconds(wait_ms));
  }
  // What the last moments started is recorded before the scheduler goes; a database that does
  // not take it now loses those records (said on standard error).
  account(look());
}

}  // namespace rivi
