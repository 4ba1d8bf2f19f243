#include "host/scheduler.h"

#include "host/crontab.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/store.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace rivi {
namespace {

using std::chrono::milliseconds;
using Ids = std::vector<std::int64_t>;

constexpr std::int64_t kMinute = 60'000;

// Remembers the runs it is asked to start.
class RecordingRunner : public JobRunner {
 public:
  void start(const ScheduledJob& job, const std::filesystem::path& log) override {
    if (job.id == refused) throw std::runtime_error("no processes left");
    started.push_back(job);
    logs.push_back(log);
  }
  std::vector<ScheduledJob> started;
  std::vector<std::filesystem::path> logs;
  std::int64_t refused = 0;  // a job whose runs cannot start
};

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_.file("data"));
    Connection db(database_path());
    create_crontab_table(db);
  }

  std::int64_t add(std::int64_t where1, const std::string& body = "echo hi") {
    Record job = Record::object();
    job["name"] = "job";
    job["type"] = "minute-n";
    job["where1"] = where1;
    job["sBody"] = body;
    job["save"] = "k";
    return cron_.AddCrontab(job)["id"].get<std::int64_t>();
  }

  std::unique_ptr<Scheduler> make_scheduler(JobRunner& runner) {
    SchedulerOptions options;
    options.database = database_path();
    return std::make_unique<Scheduler>(options, [this] { return now_; }, runner);
  }

  // Moves the clock to `ms` milliseconds since the epoch and ticks once.
  Ids tick_at(Scheduler& scheduler, std::int64_t ms) {
    now_ = std::chrono::system_clock::time_point(milliseconds(ms));
    return scheduler.tick();
  }

  testing::TempRoot root_{false};
  crontab cron_;
  std::chrono::system_clock::time_point now_;
  RecordingRunner runner_;
};

// Jobs first seen wait for the next boundary of their interval; each boundary crossed gives one
// run, however late the tick or however many boundaries it skipped.
TEST_F(SchedulerTest, DueTimesFollowTheIntervalBoundaries) {
  const std::int64_t every_minute = add(1);
  const std::int64_t every_five = add(5);
  auto scheduler = make_scheduler(runner_);
  const std::int64_t t0 = 1000 * kMinute;  // a multiple of five minutes
  struct Step {
    std::int64_t at;
    Ids fired;
  };
  const Step steps[] = {
      {t0 + 30'000, {}},                                  // first sight: nothing
      {t0 + kMinute - 1, {}},                             // just before the boundary
      {t0 + kMinute, {every_minute}},                     // on it
      {t0 + kMinute + 999, {}},                           // same minute again
      {t0 + 2 * kMinute + 500, {every_minute}},           // a late tick still runs once
      {t0 + 5 * kMinute + 10, {every_minute, every_five}},
      {t0 + 9 * kMinute, {every_minute}},                 // three minutes skipped: no burst
      {t0 + 30 * kMinute, {every_minute, every_five}},    // long stall: one run each
      {t0 + 30 * kMinute - 5, {}},                        // clock stepped back: nothing again
  };
  for (const Step& step : steps) {
    EXPECT_EQ(tick_at(*scheduler, step.at), step.fired) << "at t0 + " << step.at - t0 << " ms";
  }
  ASSERT_FALSE(runner_.started.empty());
  EXPECT_EQ(runner_.started[0].body, "echo hi");
  EXPECT_EQ(runner_.logs[0], job_log_path(every_minute));
  EXPECT_EQ(runner_.logs[0], std::filesystem::path(root_.file("cron/" + std::to_string(every_minute) + ".log")));
}

TEST_F(SchedulerTest, PausedJobsWaitAndResumedJobsStartAtTheNextBoundary) {
  const std::int64_t id = add(1);
  const std::int64_t other = add(1);
  auto scheduler = make_scheduler(runner_);
  const std::int64_t t0 = 1000 * kMinute;
  tick_at(*scheduler, t0 + 10);
  EXPECT_EQ(tick_at(*scheduler, t0 + kMinute), (Ids{id, other}));

  cron_.set_cron_status({{"id", id}});
  EXPECT_EQ(tick_at(*scheduler, t0 + 2 * kMinute), Ids{other});
  EXPECT_EQ(tick_at(*scheduler, t0 + 3 * kMinute), Ids{other});

  cron_.set_cron_status({{"id", id}});
  EXPECT_EQ(tick_at(*scheduler, t0 + 3 * kMinute + 20'000), Ids{});  // resumed mid-minute
  EXPECT_EQ(tick_at(*scheduler, t0 + 4 * kMinute), (Ids{id, other}));
}

TEST_F(SchedulerTest, DeletedJobsStopAndAddedJobsAreSeen) {
  const std::int64_t id = add(1);
  auto scheduler = make_scheduler(runner_);
  const std::int64_t t0 = 1000 * kMinute;
  tick_at(*scheduler, t0);
  const std::int64_t added = add(1);
  EXPECT_EQ(tick_at(*scheduler, t0 + 1000), Ids{});  // the new job is seen, not yet due
  EXPECT_EQ(tick_at(*scheduler, t0 + kMinute), (Ids{id, added}));
  cron_.DelCrontab({{"id", id}});
  EXPECT_EQ(tick_at(*scheduler, t0 + 2 * kMinute), Ids{added});
  EXPECT_EQ(tick_at(*scheduler, t0 + 3 * kMinute), Ids{added});
}

TEST_F(SchedulerTest, ChangedIntervalsAndCommandsApplyFromTheNextTick) {
  const std::int64_t id = add(1, "echo one");
  auto scheduler = make_scheduler(runner_);
  const std::int64_t t0 = 1200 * kMinute;  // a multiple of three minutes
  tick_at(*scheduler, t0 + 10);
  EXPECT_EQ(tick_at(*scheduler, t0 + kMinute), Ids{id});

  Record change{{"id", id}, {"where1", 3}, {"sBody", "echo three"}};
  ASSERT_EQ(cron_.modify_crond(change)["status"], true);
  EXPECT_EQ(tick_at(*scheduler, t0 + kMinute + 10), Ids{});
  EXPECT_EQ(tick_at(*scheduler, t0 + 2 * kMinute), Ids{});
  EXPECT_EQ(tick_at(*scheduler, t0 + 3 * kMinute), Ids{id});
  EXPECT_EQ(tick_at(*scheduler, t0 + 4 * kMinute), Ids{});
  EXPECT_EQ(runner_.started.back().body, "echo three");

  // A new command alone keeps the job's place in its interval.
  ASSERT_EQ(cron_.modify_crond({{"id", id}, {"sBody", "echo again"}})["status"], true);
  EXPECT_EQ(tick_at(*scheduler, t0 + 6 * kMinute), Ids{id});
  EXPECT_EQ(runner_.started.back().body, "echo again");
}

TEST_F(SchedulerTest, ARestartLosesNoJobAndFiresNoBurst) {
  const std::int64_t a = add(1);
  const std::int64_t b = add(2);
  const std::int64_t t0 = 1000 * kMinute;
  {
    auto first = make_scheduler(runner_);
    tick_at(*first, t0 + 10);
    EXPECT_EQ(tick_at(*first, t0 + kMinute), Ids{a});
  }
  // Down for a while, then a new process.
  auto second = make_scheduler(runner_);
  EXPECT_EQ(tick_at(*second, t0 + 7 * kMinute + 30'000), Ids{});
  EXPECT_EQ(tick_at(*second, t0 + 8 * kMinute), (Ids{a, b}));
}

TEST_F(SchedulerTest, RowsThatCannotRunAreSkippedAndTheOthersStillRun) {
  const std::int64_t good = add(1);
  Connection db(database_path());
  db.run("INSERT INTO crontab (name, type, where1, sBody, status) VALUES ('a', 'minute-n', 'abc', 'echo', 1)");
  db.run("INSERT INTO crontab (name, type, where1, sBody, status) VALUES ('b', 'day', '1', 'echo', 1)");
  db.run("INSERT INTO crontab (name, type, where1, sBody, status) VALUES ('c', 'minute-n', '1', '', 1)");
  db.run("INSERT INTO crontab (name, type, where1, sBody, status) VALUES ('d', 'minute-n', '0', 'echo', 1)");
  db.run("INSERT INTO crontab (name, type, where1, sBody, status) VALUES ('e', 'minute-n', '1', 'echo', 0)");
  auto scheduler = make_scheduler(runner_);
  const std::int64_t t0 = 1000 * kMinute;
  tick_at(*scheduler, t0 + 10);
  EXPECT_EQ(tick_at(*scheduler, t0 + kMinute), Ids{good});
}

TEST_F(SchedulerTest, ARunThatCannotStartCountsAsRunAndTheOthersGoOn) {
  const std::int64_t refused = add(1);
  const std::int64_t fine = add(1);
  runner_.refused = refused;
  auto scheduler = make_scheduler(runner_);
  const std::int64_t t0 = 1000 * kMinute;
  tick_at(*scheduler, t0 + 10);
  EXPECT_EQ(tick_at(*scheduler, t0 + kMinute), (Ids{refused, fine}));
  EXPECT_EQ(tick_at(*scheduler, t0 + kMinute + 10), Ids{});
  ASSERT_EQ(runner_.started.size(), 1u);
  EXPECT_EQ(runner_.started[0].id, fine);
}

TEST_F(SchedulerTest, AMissingTableIsReportedAsAnError) {
  Connection db(database_path());
  db.exec_script("DROP TABLE crontab;");
  auto scheduler = make_scheduler(runner_);
  EXPECT_THROW(tick_at(*scheduler, 0), std::runtime_error);
}

// Polls `path` until it contains `text`; false after ten seconds.
bool wait_for_text(const std::filesystem::path& path, const std::string& text) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    if (content.str().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Real shell runs: each its own process, output appended to the job's log, none waiting for
// another.
TEST_F(SchedulerTest, ShellRunsAppendToTheJobLogWithoutWaitingForEachOther) {
  const std::string gate = root_.file("gate");
  const std::int64_t slow = add(1, "while [ ! -e '" + gate + "' ]; do sleep 0.05; done; echo slow done");
  const std::int64_t fast = add(1, "echo \"fast $((1 + 2))\"; echo oops >&2");
  ShellRunner shell;
  auto scheduler = make_scheduler(shell);
  const std::int64_t t0 = 1000 * kMinute;
  tick_at(*scheduler, t0 + 10);
  ASSERT_EQ(tick_at(*scheduler, t0 + kMinute), (Ids{slow, fast}));

  // The slow run is still waiting for its gate while the fast one has finished.
  ASSERT_TRUE(wait_for_text(job_log_path(fast), "oops\n"));
  EXPECT_EQ(read_file(job_log_path(slow)).find("slow done"), std::string::npos);
  EXPECT_GE(shell.running(), 1u);
  EXPECT_EQ(tick_at(*scheduler, t0 + 2 * kMinute), (Ids{slow, fast}));
  std::ofstream(gate) << "";
  ASSERT_TRUE(wait_for_text(job_log_path(slow), "slow done\nslow done\n"));
  ASSERT_TRUE(wait_for_text(job_log_path(fast), "fast 3\noops\n-----"));

  const std::string log = read_file(job_log_path(fast));
  EXPECT_EQ(log.rfind("----- ", 0), 0u) << log;
  EXPECT_NE(log.find(" job " + std::to_string(fast) + " -----\nfast 3\noops\n----- "), std::string::npos) << log;
}

TEST_F(SchedulerTest, ALogPastItsLimitBecomesTheBackup) {
  const std::int64_t id = add(1, "echo fresh");
  const std::filesystem::path log = job_log_path(id);
  std::filesystem::create_directories(log.parent_path());
  std::ofstream(backup_log_path(log)) << "oldest\n";
  const std::string old(kJobLogLimit + 1, 'x');
  std::ofstream(log) << old;
  ShellRunner shell;
  auto scheduler = make_scheduler(shell);
  const std::int64_t t0 = 1000 * kMinute;
  tick_at(*scheduler, t0 + 10);
  ASSERT_EQ(tick_at(*scheduler, t0 + kMinute), Ids{id});
  ASSERT_TRUE(wait_for_text(log, "fresh\n"));
  EXPECT_EQ(read_file(backup_log_path(log)), old);
  EXPECT_EQ(read_file(log).find('x'), std::string::npos);
}

TEST(SchedulerOptionsTest, TheMinuteComesFromTheEnvironment) {
  struct Case {
    const char* value;
    std::int64_t seconds;  // 0: refused
  };
  const Case cases[] = {{nullptr, 60}, {"2", 2}, {" 5 ", 5}, {"0", 0}, {"1.5", 0}, {"abc", 0}, {"", 0}, {"86401", 0}};
  for (const Case& c : cases) {
    if (c.value) ::setenv("PANEL_CRON_MINUTE", c.value, 1);
    else ::unsetenv("PANEL_CRON_MINUTE");
    if (c.seconds == 0) {
      EXPECT_THROW(SchedulerOptions::from_environment(), std::invalid_argument) << c.value;
    } else {
      EXPECT_EQ(SchedulerOptions::from_environment().minute, std::chrono::seconds(c.seconds));
    }
  }
  ::unsetenv("PANEL_CRON_MINUTE");
}

}  // namespace
}  // namespace rivi
