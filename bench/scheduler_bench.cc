// The panel's scheduler at scale: N jobs (default 1,000) on a one-minute cycle, run for M real
// minutes (default 10) by the real scheduler loop and process runner, each job the cheap command
// `/bin/date +%s.%N`, which writes its own start time into the job's log. Prints the runs fired
// against the planned ones (skipped cycles), the start lateness against each job's planned time
// (boundary + offset) as the job's own clock saw it and as the scheduler's spawn saw it, the
// scheduler's CPU time (this process, children excluded), the load average, and a baseline
// measured in the same run: the spread-free burst of the old scheduler, N `/bin/sh -c true`
// spawned one after the other, each waited for.
//
// Usage: scheduler_bench [--jobs N] [--minutes M] [--minute-seconds S]
//   --minute-seconds shortens the scheduler's minute as PANEL_CRON_MINUTE does (default 60).
#include "host/cron/crontab.h"
#include "host/paths.h"
#include "host/record.h"
#include "host/cron/scheduler.h"
#include "host/store/store.h"
#include "tests/support/testing.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::system_clock;

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

double load_average() {
  double load[1] = {-1};
  return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

// CPU time of this process (all its threads), children excluded, in milliseconds.
double own_cpu_ms() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1000 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// p-th percentile (0..100) of `values`, nearest rank; 0 for none.
double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
}

std::string spread(const std::vector<double>& ms) {
  return fmt::format("p50 {:.1f} ms, p99 {:.1f} ms, max {:.1f} ms", percentile(ms, 50), percentile(ms, 99),
                     percentile(ms, 100));
}

// The old behaviour at a boundary: every job spawned at once, one after the other, each start
// waited for. Answers each spawn's lateness against the boundary (the burst's start).
std::vector<double> baseline_burst(int jobs, double& cpu_ms, double& wall_ms) {
  std::vector<double> lateness;
  const double cpu_before = own_cpu_ms();
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < jobs; ++i) {
    lateness.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
    std::string shell = "/bin/sh", dash_c = "-c", body = "true";
    char* argv[] = {shell.data(), dash_c.data(), body.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, shell.c_str(), nullptr, nullptr, argv, environ) != 0) throw std::runtime_error("spawn failed");
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  cpu_ms = own_cpu_ms() - cpu_before;
  return lateness;
}

// The process runner, noting when each start was asked for and how long it took.
class TimingRunner : public rivi::JobRunner {
 public:
  pid_t start(const rivi::ScheduledJob& job, const std::filesystem::path& log, const std::string& fire) override {
    const std::int64_t at = now_ms();
    const pid_t pid = shell_.start(job, log, fire);
    starts_[job.id].push_back(at);
    return pid;
  }
  pid_t running(std::int64_t job_id) override { return shell_.running(job_id); }
  std::vector<rivi::EndedRun> collect() override { return shell_.collect(); }
  std::size_t unreaped() const { return shell_.running(); }
  const std::map<std::int64_t, std::vector<std::int64_t>>& starts() const { return starts_; }

 private:
  rivi::ShellRunner shell_;
  std::map<std::int64_t, std::vector<std::int64_t>> starts_;  // job id -> start times (ms)
};

// What one job's log says: the start times its runs wrote (ms) and the cycles it skipped.
struct JobLog {
  std::vector<double> starts_ms;
  int skips = 0;
};

JobLog read_job_log(std::int64_t id) {
  JobLog log;
  std::ifstream in(rivi::job_log_path(id));
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("skipped: previous run still going") != std::string::npos) ++log.skips;
    if (line.empty() || line[0] < '0' || line[0] > '9') continue;
    log.starts_ms.push_back(std::stod(line) * 1000.0);
  }
  return log;
}

}  // namespace

int main(int argc, char** argv) {
  int jobs = 1000;
  double minutes = 10;
  int minute_seconds = 60;
  CLI::App app{"The scheduler keeping time with many one-minute jobs"};
  app.add_option("--jobs", jobs, "jobs, each on a one-minute cycle")->capture_default_str();
  app.add_option("--minutes", minutes, "real minutes the scheduler runs")->capture_default_str();
  app.add_option("--minute-seconds", minute_seconds, "length of the scheduler's minute in seconds")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (jobs < 1 || minutes <= 0 || minute_seconds < 1) {
    fmt::print(stderr, "need at least one job, a positive run time and a minute of at least one second\n");
    return 2;
  }

  try {
    rivi::testing::TempRoot root(false);
    std::filesystem::create_directories(root.file("data"));
    {
      rivi::Connection db(rivi::database_path());
      rivi::create_crontab_table(db);
      // The rows `AddCrontab` writes, in one transaction; ids 1 to N on the fresh table.
      db.exec_script("BEGIN");
      for (int i = 1; i <= jobs; ++i) {
        db.run("INSERT INTO crontab (name, type, where1, sType, sBody, save, status, switched) "
               "VALUES (?, 'minute-n', '1', 'toShell', '/bin/date +%s.%N', ?, 1, 0)",
               rivi::Record::array({fmt::format("job {}", i), fmt::format("rivi_id_{}", i)}));
      }
      db.exec_script("COMMIT");
    }
    const double load_before = load_average();

    double burst_cpu_ms = 0, burst_wall_ms = 0;
    const std::vector<double> burst = baseline_burst(jobs, burst_cpu_ms, burst_wall_ms);

    rivi::SchedulerOptions options;
    options.database = rivi::database_path();
    options.minute = std::chrono::seconds(minute_seconds);
    TimingRunner runner;
    rivi::Scheduler scheduler(options, rivi::SchedulerClock::system(), runner);
    const double cpu_before = own_cpu_ms();
    const std::int64_t begin = now_ms();
    {
      std::jthread loop([&scheduler](std::stop_token stop) { scheduler.run(stop); });
      std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<std::int64_t>(minutes * 60'000)));
    }
    const std::int64_t end = now_ms();
    const double cpu_ms = own_cpu_ms() - cpu_before;
    const double load_after = load_average();
    for (int i = 0; i < 500 && runner.unreaped() > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      runner.collect();
    }

    // Planned times counted: those after the first second (the first look at the table) and
    // before the last second (a run just before the stop may not have written yet).
    const std::int64_t period = options.minute.count();
    std::int64_t planned_runs = 0, matched = 0, skipped_cycles = 0, logged_skips = 0, extra = 0;
    std::vector<double> job_lateness, spawn_lateness;
    for (int i = 1; i <= jobs; ++i) {
      const std::int64_t id = i;  // ids are given in insertion order on a fresh table
      const std::int64_t offset = rivi::job_offset_ms(fmt::format("rivi_id_{}", i), period);
      const JobLog log = read_job_log(id);
      logged_skips += log.skips;
      const auto found = runner.starts().find(id);
      const std::vector<std::int64_t> no_starts;
      const std::vector<std::int64_t>& spawns = found == runner.starts().end() ? no_starts : found->second;
      std::int64_t used = 0;
      for (std::int64_t k = (begin + 1000 - offset) / period; k * period + offset <= end - 1000; ++k) {
        const std::int64_t planned = k * period + offset;
        if (planned <= begin + 1000) continue;
        ++planned_runs;
        const auto run = std::find_if(log.starts_ms.begin(), log.starts_ms.end(), [&](double t) {
          return t >= static_cast<double>(planned) && t < static_cast<double>(planned + period);
        });
        if (run == log.starts_ms.end()) {
          ++skipped_cycles;
          continue;
        }
        ++matched;
        ++used;
        job_lateness.push_back(*run - static_cast<double>(planned));
        const auto spawn = std::find_if(spawns.begin(), spawns.end(),
                                        [&](std::int64_t t) { return t >= planned && t < planned + period; });
        if (spawn != spawns.end()) spawn_lateness.push_back(static_cast<double>(*spawn - planned));
      }
      std::int64_t in_window = 0;
      for (const double t : log.starts_ms) {
        if (t > static_cast<double>(begin + 1000) && t <= static_cast<double>(end - 1000)) ++in_window;
      }
      extra += std::max<std::int64_t>(in_window - used, 0);
    }
    std::int64_t fired = 0;
    for (const auto& [id, times] : runner.starts()) fired += static_cast<std::int64_t>(times.size());

    const double window_s = static_cast<double>(end - begin) / 1000.0;
    fmt::print("scheduler, {} jobs on a one-minute cycle, minute of {} s, {:.1f} real minutes\n", jobs,
               minute_seconds, window_s / 60);
    fmt::print("load average (1 min): {:.2f} before, {:.2f} after, on {} cores\n", load_before, load_after,
               std::thread::hardware_concurrency());
    fmt::print("baseline, the old burst: {} x `/bin/sh -c true` spawned one after the other, each waited for\n",
               jobs);
    fmt::print("  burst {:.0f} ms, cpu {:.0f} ms; start lateness vs the boundary: {}\n", burst_wall_ms,
               burst_cpu_ms, spread(burst));
    fmt::print("spread scheduler: runs fired {} (all cycles), planned in the measured window {}, run {}, "
               "skipped cycles {}, extra runs {}, skips logged (run still going) {}\n",
               fired, planned_runs, matched, skipped_cycles, extra, logged_skips);
    fmt::print("  start lateness vs planned, job's clock:     {}\n", spread(job_lateness));
    fmt::print("  start lateness vs planned, scheduler spawn: {}\n", spread(spawn_lateness));
    fmt::print("  scheduler cpu {:.0f} ms over {:.0f} s ({:.2f} % of one core), {:.2f} ms per run; table reads {}\n",
               cpu_ms, window_s, cpu_ms / (window_s * 10.0), fired ? cpu_ms / static_cast<double>(fired) : 0.0,
               scheduler.table_reads());
  } catch (const std::exception& error) {
    fmt::print(stderr, "scheduler_bench: {}\n", error.what());
    return 1;
  }
  return 0;
}
