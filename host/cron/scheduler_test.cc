#include "host/cron/scheduler.h"

#include "host/cron/crontab.h"
#include "host/cron/job_lock.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace rivi {
namespace {

using std::chrono::milliseconds;
using Ids = std::vector<std::int64_t>;

constexpr std::int64_t kMinute = 60'000;

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

// Remembers the runs it is asked to start.
class RecordingRunner : public JobRunner {
 public:
  pid_t start(const ScheduledJob& job, const std::filesystem::path& log, const std::string& fire) override {
    if (job.id == refused) throw std::runtime_error("no processes left");
    started.push_back(job);
    logs.push_back(log);
    fires.push_back(fire);
    return static_cast<pid_t>(1000 + started.size());
  }
  pid_t running(std::int64_t job_id) override {
    auto found = busy.find(job_id);
    return found == busy.end() ? 0 : found->second;
  }
  std::vector<EndedRun> collect() override { return std::exchange(ended, {}); }
  std::vector<ScheduledJob> started;
  std::vector<std::filesystem::path> logs;
  std::vector<std::string> fires;
  std::int64_t refused = 0;             // a job whose runs cannot start
  std::map<std::int64_t, pid_t> busy;  // job id -> a run still going
  std::vector<EndedRun> ended;         // handed over at the next collect
};

// A time that is a whole multiple of every interval the tests use (1 to 6 minutes).
constexpr std::int64_t kT0 = 1200 * kMinute;

// The planned time of the job of key `key` and interval `where1` in cycle `n` after `kT0`.
std::int64_t planned(std::int64_t n, std::int64_t where1 = 1, const std::string& key = "k") {
  return kT0 + n * where1 * kMinute + job_offset_ms(key, where1 * kMinute);
}

// The first planned time of that job after `after`.
std::int64_t next_planned(std::int64_t after, std::int64_t where1, const std::string& key) {
  const std::int64_t period = where1 * kMinute;
  std::int64_t n = (after - planned(0, where1, key)) / period;
  while (planned(n, where1, key) <= after) ++n;
  return planned(n, where1, key);
}

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_.file("data"));
    Connection db(database_path());
    create_crontab_table(db);
  }

  std::int64_t add(std::int64_t where1, const std::string& body = "echo hi", const std::string& key = "k") {
    Record job = Record::object();
    job["name"] = "job";
    job["type"] = "minute-n";
    job["where1"] = where1;
    job["sBody"] = body;
    job["save"] = key;
    return cron_.AddCrontab(job)["id"].get<std::int64_t>();
  }

  // A scheduler that looks for table changes on every tick unless `poll` says otherwise.
  std::unique_ptr<Scheduler> make_scheduler(JobRunner& runner, milliseconds poll = milliseconds(0)) {
    SchedulerOptions options;
    options.database = database_path();
    options.poll = poll;
    SchedulerClock clock{[this] { return now_; }, [this] { return std::chrono::steady_clock::time_point(now_.time_since_epoch() + step_); }};
    return std::make_unique<Scheduler>(options, clock, runner);
  }

  // Moves both clocks to `ms` milliseconds since the epoch (time passing) and ticks once.
  Ids tick_at(Scheduler& scheduler, std::int64_t ms) {
    const auto before = now_;
    now_ = std::chrono::system_clock::time_point(milliseconds(ms));
    if (now_ < before) step_ += before - now_;  // the monotonic clock never goes back
    return scheduler.tick();
  }

  // Sets the wall clock to `ms` while the monotonic clock stays (someone set the clock) and ticks.
  Ids set_clock_and_tick(Scheduler& scheduler, std::int64_t ms) {
    const auto set = std::chrono::system_clock::time_point(milliseconds(ms));
    step_ -= set - now_;
    now_ = set;
    return scheduler.tick();
  }

  testing::TempRoot root_{false};
  crontab cron_;
  std::chrono::system_clock::time_point now_;
  std::chrono::system_clock::duration step_{};  // monotonic minus wall, changed by clock steps
  RecordingRunner runner_;
};

// The offset is a well-defined hash of the key, so every process and build agrees on it, and a
// thousand tasks spread over the minute.
TEST(JobOffsetTest, KeysSpreadOverTheCycleAndKeepTheirPlace) {
  EXPECT_EQ(fnv1a(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(fnv1a("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(fnv1a("foobar"), 0x85944171f73967e8ULL);
  EXPECT_EQ(job_offset_ms("rivi_id_1", kMinute), static_cast<std::int64_t>(fnv1a("rivi_id_1") % kMinute));
  EXPECT_EQ(job_offset_ms("rivi_id_1", 1), 0);
  EXPECT_THROW(job_offset_ms("rivi_id_1", 0), std::invalid_argument);

  std::vector<int> per_second(60, 0);
  for (int i = 1; i <= 1000; ++i) {
    const std::string key = "rivi_id_" + std::to_string(i);
    const std::int64_t offset = job_offset_ms(key, kMinute);
    ASSERT_GE(offset, 0) << key;
    ASSERT_LT(offset, kMinute) << key;
    ASSERT_EQ(job_offset_ms(key, kMinute), offset) << key;
    ++per_second[offset / 1000];
  }
  // 1,000 jobs over 60 seconds: about 17 a second; none may hold 5 % of them.
  for (int second = 0; second < 60; ++second) EXPECT_LE(per_second[second], 50) << "second " << second;
}

// Jobs first seen wait for their next planned time (cycle boundary + offset); each planned time
// crossed gives one run, however late the tick or however many planned times it skipped.
TEST_F(SchedulerTest, EachJobRunsOncePerCycleAtItsOffset) {
  for (const std::int64_t where1 : {1, 5}) {
    const std::int64_t id = add(where1, "echo hi", "rivi_id_7");
    auto scheduler = make_scheduler(runner_);
    const std::int64_t period = where1 * kMinute;
    const std::int64_t p0 = planned(0, where1, "rivi_id_7");
    struct Step {
      std::int64_t at;
      Ids fired;
    };
    const Step steps[] = {
        {p0 - period / 2, {}},       // first sight: nothing
        {p0 - 1, {}},                // just before the planned time
        {p0, {id}},                  // on it
        {p0 + 999, {}},              // same cycle again
        {p0 + period + period / 2, {id}},  // a late tick still runs once
        {p0 + 5 * period + 10, {id}},      // three planned times skipped: no burst
        {p0 + 30 * period, {id}},          // long stall: one run
        {p0 + 30 * period - 5, {}},        // clock stepped back: nothing again
    };
    for (const Step& step : steps) {
      EXPECT_EQ(tick_at(*scheduler, step.at), step.fired) << where1 << " min, at p0 + " << step.at - p0 << " ms";
    }
    cron_.DelCrontab({{"id", id}});
  }
  ASSERT_FALSE(runner_.started.empty());
  EXPECT_EQ(runner_.started[0].body, "echo hi");
  EXPECT_EQ(runner_.started[0].key, "rivi_id_7");
  EXPECT_EQ(runner_.logs[0], std::filesystem::path(root_.file("cron/" + std::to_string(runner_.started[0].id) + ".log")));
}

// Two one-minute jobs of different keys run at different seconds of the same minute; a job
// without a key is placed by its id.
TEST_F(SchedulerTest, JobsOfDifferentKeysRunAtTheirOwnOffsets) {
  std::int64_t a = add(1, "echo a", "rivi_id_1");
  std::int64_t b = add(1, "echo b", "rivi_id_2");
  const std::int64_t keyless = add(1, "echo c", "");
  std::string key_a = "rivi_id_1";
  std::string key_b = "rivi_id_2";
  ASSERT_NE(job_offset_ms(key_a, kMinute), job_offset_ms(key_b, kMinute));
  if (job_offset_ms(key_a, kMinute) > job_offset_ms(key_b, kMinute)) {
    std::swap(a, b);
    std::swap(key_a, key_b);
  }
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, kT0 - 1);
  std::map<std::int64_t, Ids> expected;  // planned time -> jobs
  expected[planned(0, 1, key_a)].push_back(a);
  expected[planned(0, 1, key_b)].push_back(b);
  expected[planned(0, 1, std::to_string(keyless))].push_back(keyless);
  for (auto& [at, ids] : expected) {
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(tick_at(*scheduler, at - 1), Ids{}) << at - kT0;
    EXPECT_EQ(tick_at(*scheduler, at), ids) << at - kT0;
  }
}

TEST_F(SchedulerTest, PausedJobsWaitAndResumedJobsStartAtTheNextPlannedTime) {
  const std::int64_t id = add(1);
  const std::int64_t other = add(1);
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, planned(0) + 10);
  EXPECT_EQ(tick_at(*scheduler, planned(1)), (Ids{id, other}));

  cron_.set_cron_status({{"id", id}});
  EXPECT_EQ(tick_at(*scheduler, planned(2)), Ids{other});
  EXPECT_EQ(tick_at(*scheduler, planned(3)), Ids{other});

  cron_.set_cron_status({{"id", id}});
  EXPECT_EQ(tick_at(*scheduler, planned(3) + 20'000), Ids{});  // resumed mid-cycle
  EXPECT_EQ(tick_at(*scheduler, planned(4)), (Ids{id, other}));
}

TEST_F(SchedulerTest, DeletedJobsStopAndAddedJobsAreSeen) {
  const std::int64_t id = add(1);
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, planned(0));
  const std::int64_t added = add(1);
  EXPECT_EQ(tick_at(*scheduler, planned(0) + 1000), Ids{});  // the new job is seen, not yet due
  EXPECT_EQ(tick_at(*scheduler, planned(1)), (Ids{id, added}));
  cron_.DelCrontab({{"id", id}});
  EXPECT_EQ(tick_at(*scheduler, planned(2)), Ids{added});
  EXPECT_EQ(tick_at(*scheduler, planned(3)), Ids{added});
}

TEST_F(SchedulerTest, ChangedIntervalsAndCommandsApplyFromTheNextTick) {
  const std::int64_t id = add(1, "echo one");
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, planned(0) + 10);
  EXPECT_EQ(tick_at(*scheduler, planned(1)), Ids{id});

  Record change{{"id", id}, {"where1", 3}, {"sBody", "echo three"}};
  ASSERT_EQ(cron_.modify_crond(change)["status"], true);
  EXPECT_EQ(tick_at(*scheduler, planned(1) + 10), Ids{});  // seen afresh with its new cycle
  const std::int64_t due = next_planned(planned(1) + 10, 3, "k");
  EXPECT_EQ(tick_at(*scheduler, due - 1), Ids{});
  EXPECT_EQ(tick_at(*scheduler, due), Ids{id});
  EXPECT_EQ(tick_at(*scheduler, due + kMinute), Ids{});
  EXPECT_EQ(tick_at(*scheduler, due + 2 * kMinute), Ids{});
  EXPECT_EQ(runner_.started.back().body, "echo three");

  // A new command alone keeps the job's place in its cycle.
  ASSERT_EQ(cron_.modify_crond({{"id", id}, {"sBody", "echo again"}})["status"], true);
  EXPECT_EQ(tick_at(*scheduler, due + 3 * kMinute), Ids{id});
  EXPECT_EQ(runner_.started.back().body, "echo again");
}

TEST_F(SchedulerTest, ARestartLosesNoJobAndFiresNoBurst) {
  const std::int64_t a = add(1, "echo a", "a");
  const std::int64_t b = add(2, "echo b", "b");
  {
    auto first = make_scheduler(runner_);
    tick_at(*first, kT0);
    EXPECT_EQ(tick_at(*first, kT0 + 2 * kMinute), (Ids{a, b}));
  }
  // Down for a while, then a new process: each job runs once at its next planned time.
  auto second = make_scheduler(runner_);
  const std::int64_t back = kT0 + 7 * kMinute + 30'000;
  EXPECT_EQ(tick_at(*second, back), Ids{});
  const std::int64_t due_a = next_planned(back, 1, "a");
  const std::int64_t due_b = next_planned(back, 2, "b");
  EXPECT_EQ(tick_at(*second, std::min(due_a, due_b) - 1), Ids{});
  EXPECT_EQ(tick_at(*second, std::max(due_a, due_b)), (Ids{a, b}));
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
  tick_at(*scheduler, planned(0) + 10);
  EXPECT_EQ(tick_at(*scheduler, planned(1)), Ids{good});
}

TEST_F(SchedulerTest, ARunThatCannotStartCountsAsRunAndTheOthersGoOn) {
  const std::int64_t refused = add(1);
  const std::int64_t fine = add(1);
  runner_.refused = refused;
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, planned(0) + 10);
  EXPECT_EQ(tick_at(*scheduler, planned(1)), (Ids{refused, fine}));
  EXPECT_EQ(tick_at(*scheduler, planned(1) + 10), Ids{});
  ASSERT_EQ(runner_.started.size(), 1u);
  EXPECT_EQ(runner_.started[0].id, fine);
}

// A job whose last run is still going skips its cycle, says so, and runs again in the first
// cycle after that run has ended.
TEST_F(SchedulerTest, AJobStillRunningSkipsItsCycle) {
  const std::int64_t slow = add(1);
  const std::int64_t other = add(1);
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, planned(0) + 10);
  EXPECT_EQ(tick_at(*scheduler, planned(1)), (Ids{slow, other}));
  runner_.busy[slow] = 4242;
  EXPECT_EQ(tick_at(*scheduler, planned(2)), Ids{other});
  EXPECT_EQ(tick_at(*scheduler, planned(2) + 500), Ids{});  // one skip a cycle
  runner_.busy.clear();
  EXPECT_EQ(tick_at(*scheduler, planned(2) + 1000), Ids{});  // the skipped cycle is not made up
  EXPECT_EQ(tick_at(*scheduler, planned(3)), (Ids{slow, other}));
  EXPECT_EQ(runner_.started.size(), 5u);
  // The counters the metrics read: five runs started, one skipped.
  EXPECT_EQ(scheduler->counters().fired.load(), 5);
  EXPECT_EQ(scheduler->counters().skipped.load(), 1);

  const std::string log = read_file(job_log_path(slow));
  EXPECT_NE(log.find(" job " + std::to_string(slow) + " skipped: previous run still going (pid 4242) -----\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("skipped", log.find("skipped") + 1), std::string::npos) << log;
}

// The table is read when the database changed, looked at once a poll, and at least once a
// re-read interval; ticks in between start due jobs from what was read.
TEST_F(SchedulerTest, TheTableIsReadAgainOnlyWhenItChanged) {
  const std::int64_t id = add(1);
  auto scheduler = make_scheduler(runner_, milliseconds(1000));
  const std::int64_t t = planned(0) + 10;
  tick_at(*scheduler, t);
  EXPECT_EQ(scheduler->table_reads(), 1);
  EXPECT_EQ(tick_at(*scheduler, t + 500), Ids{});
  EXPECT_EQ(tick_at(*scheduler, t + 1500), Ids{});
  EXPECT_EQ(scheduler->table_reads(), 1);  // nothing changed

  const std::int64_t added = add(1);
  EXPECT_EQ(tick_at(*scheduler, t + 2000), Ids{});  // less than a poll since the last look
  EXPECT_EQ(scheduler->table_reads(), 1);
  EXPECT_EQ(tick_at(*scheduler, t + 2600), Ids{});
  EXPECT_EQ(scheduler->table_reads(), 2);
  EXPECT_EQ(tick_at(*scheduler, planned(1)), (Ids{id, added}));  // no change: started from memory
  EXPECT_EQ(scheduler->table_reads(), 2);

  EXPECT_EQ(tick_at(*scheduler, t + 2600 + 60'000), Ids{});  // the safety re-read
  EXPECT_EQ(scheduler->table_reads(), 3);
}

TEST_F(SchedulerTest, AMissingTableIsReportedAsAnError) {
  Connection db(database_path());
  db.exec_script("DROP TABLE crontab;");
  auto scheduler = make_scheduler(runner_);
  EXPECT_THROW(tick_at(*scheduler, 0), std::runtime_error);
}

// The wall clock set back an hour: each job runs at its next boundary of the new time, not an
// hour later when the old boundary comes round again; set forward, each job runs once at once
// and then at its boundaries. Neither gives a burst.
TEST_F(SchedulerTest, AClockSetBackOrForwardKeepsEveryJobOnItsNextBoundary) {
  constexpr std::int64_t kHour = 3'600'000;
  const std::int64_t minutely = add(1, "echo a", "a");
  const std::int64_t hourly = add(60, "echo b", "b");
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, kT0 + 10);
  const std::int64_t a1 = next_planned(kT0 + 10, 1, "a");
  const std::int64_t b1 = next_planned(kT0 + 10, 60, "b");
  EXPECT_EQ(tick_at(*scheduler, std::max(a1, b1)), (Ids{minutely, hourly}));
  const std::int64_t fired_at = std::max(a1, b1);

  // Back an hour: nothing at once, then each job at its first boundary of the new time.
  const std::int64_t back = fired_at + 1000 - kHour;
  EXPECT_EQ(set_clock_and_tick(*scheduler, back), Ids{});
  EXPECT_EQ(scheduler->counters().clock_steps.load(), 1);
  const std::int64_t a2 = next_planned(back, 1, "a");
  EXPECT_EQ(tick_at(*scheduler, a2 - 1), Ids{});
  EXPECT_EQ(tick_at(*scheduler, a2), Ids{minutely});
  EXPECT_EQ(tick_at(*scheduler, a2 + kMinute), Ids{minutely});
  const std::int64_t b2 = next_planned(back, 60, "b");
  EXPECT_LE(b2, back + kHour);
  Ids at_b2 = tick_at(*scheduler, b2);
  EXPECT_NE(std::find(at_b2.begin(), at_b2.end(), hourly), at_b2.end()) << "the hourly job at its boundary";

  // Forward two hours and a half: one catch-up run each, then their boundaries again.
  const std::int64_t ahead = b2 + 150 * kMinute;
  EXPECT_EQ(set_clock_and_tick(*scheduler, ahead), (Ids{minutely, hourly}));
  EXPECT_EQ(scheduler->counters().clock_steps.load(), 2);
  EXPECT_EQ(tick_at(*scheduler, ahead + 10), Ids{});
  const std::int64_t a3 = next_planned(ahead, 1, "a");
  EXPECT_EQ(tick_at(*scheduler, a3), Ids{minutely});
  const Ids at_b3 = tick_at(*scheduler, next_planned(ahead, 60, "b"));
  EXPECT_NE(std::find(at_b3.begin(), at_b3.end(), hourly), at_b3.end());

  // A clock that drifts a little is no step.
  const std::int64_t later = next_planned(ahead, 60, "b") + 20'000;
  tick_at(*scheduler, later);
  set_clock_and_tick(*scheduler, later + 500);
  EXPECT_EQ(scheduler->counters().clock_steps.load(), 2);
}

// Every run started, and every run that could not start, is a fire recorded with the key the
// run was given; the end and the exit status follow once the runner reports it.
TEST_F(SchedulerTest, EachFireIsRecordedWithItsEnd) {
  const std::int64_t ok = add(1);
  const std::int64_t refused = add(1);
  runner_.refused = refused;
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, planned(0) + 10);
  ASSERT_EQ(tick_at(*scheduler, planned(1)), (Ids{ok, refused}));
  ASSERT_EQ(runner_.fires.size(), 1u);

  Connection db(database_path());
  std::vector<Fire> fires = read_fires(db, 0, 10);
  ASSERT_EQ(fires.size(), 2u);
  EXPECT_EQ(fires[0].job_id, ok);
  EXPECT_EQ(fires[0].job_key, "k");
  EXPECT_EQ(fires[0].fire, runner_.fires[0]);
  EXPECT_EQ(fires[0].time, planned(1) / 1000);
  EXPECT_EQ(fires[0].pid, 1001);
  EXPECT_FALSE(fires[0].end_time);
  EXPECT_EQ(fires[1].job_id, refused);
  EXPECT_FALSE(fires[1].pid) << "it never started";
  EXPECT_EQ(fires[1].end_time, planned(1) / 1000);
  EXPECT_EQ(fires[1].log_tail, "no processes left");
  EXPECT_NE(fires[0].fire, fires[1].fire);

  runner_.ended.push_back(EndedRun{runner_.fires[0], ok, 1001, std::nullopt, 9, "last words"});
  tick_at(*scheduler, planned(1) + 5000);
  fires = read_fires(db, 0, 10);
  EXPECT_EQ(fires[0].end_time, (planned(1) + 5000) / 1000);
  EXPECT_EQ(fires[0].signal, 9);
  EXPECT_FALSE(fires[0].exit_status);
  EXPECT_EQ(fires[0].log_tail, "last words");
  EXPECT_TRUE(read_fires(db, fires[1].id, 10).empty());
}

// A database another connection holds for long does not hold up the scheduler: the fire is
// started on time, its record waits in memory and is written once the database is free.
TEST_F(SchedulerTest, FireRecordsWaitOutALockedDatabase) {
  const std::int64_t id = add(1);
  auto scheduler = make_scheduler(runner_);
  tick_at(*scheduler, planned(0) + 10);
  Connection holder(database_path());
  holder.exec_script("BEGIN IMMEDIATE");
  EXPECT_EQ(tick_at(*scheduler, planned(1)), Ids{id});
  EXPECT_EQ(tick_at(*scheduler, planned(2)), Ids{id});
  EXPECT_EQ(scheduler->fires_queued(), 2u);
  holder.exec_script("COMMIT");
  tick_at(*scheduler, planned(2) + 10);
  EXPECT_EQ(scheduler->fires_queued(), 0u);
  Connection db(database_path());
  EXPECT_EQ(read_fires(db, 0, 10).size(), 2u);
}

TEST(PlainWordsTest, OnlyPlainWordsRunWithoutAShell) {
  using Words = std::vector<std::string>;
  struct Case {
    const char* body;
    std::optional<Words> words;
  };
  const Case cases[] = {
      {"/usr/bin/python3 /www/server/panel/plugin/qn_rivi/rivi 12",
       Words{"/usr/bin/python3", "/www/server/panel/plugin/qn_rivi/rivi", "12"}},
      {"  date  +%s.%N ", Words{"date", "+%s.%N"}},
      {"a-b_c:d,e@f /x/\xc3\xa9t\xc3\xa9", Words{"a-b_c:d,e@f", "/x/\xc3\xa9t\xc3\xa9"}},
      {"", std::nullopt},
      {"   ", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(plain_words(c.body), c.words) << c.body;
  for (const char* shell : {"echo $HOME", "echo hi > f", "a | b", "a && b", "a; b", "'a'", "\"a\"", "a\\ b",
                            "`a`", "a &", "(a)", "ls *", "ls ?", "ls [a]", "{a,b}", "~/x", "a # c", "X=1 a",
                            "a\tb", "a\nb", "a < b", "!a"}) {
    EXPECT_EQ(plain_words(shell), std::nullopt) << shell;
  }
}

// Real shell runs: each its own process, output appended to the job's log, none waiting for
// another, and none started again while its last run is still going.
TEST_F(SchedulerTest, ShellRunsAppendToTheJobLogWithoutWaitingForEachOther) {
  const std::string gate = root_.file("gate");
  const std::int64_t slow = add(1, "while [ ! -e '" + gate + "' ]; do sleep 0.05; done; echo slow done");
  const std::int64_t fast = add(1, "echo \"fast $((1 + 2))\"; echo oops >&2");
  ShellRunner shell;
  auto scheduler = make_scheduler(shell);
  tick_at(*scheduler, planned(0) + 10);
  ASSERT_EQ(tick_at(*scheduler, planned(1)), (Ids{slow, fast}));

  // The slow run is still waiting for its gate while the fast one has finished.
  ASSERT_TRUE(wait_for_text(job_log_path(fast), "oops\n"));
  // Its output is written before its process has ended; the next cycle needs it ended.
  for (int i = 0; i < 1000 && shell.running(fast) != 0; ++i) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_EQ(shell.running(fast), 0);
  EXPECT_EQ(read_file(job_log_path(slow)).find("slow done"), std::string::npos);
  EXPECT_GE(shell.running(), 1u);
  EXPECT_EQ(tick_at(*scheduler, planned(2)), Ids{fast});
  std::ofstream(gate) << "";
  ASSERT_TRUE(wait_for_text(job_log_path(slow), "slow done\n"));
  ASSERT_TRUE(wait_for_text(job_log_path(fast), "fast 3\noops\n-----"));
  EXPECT_NE(read_file(job_log_path(slow)).find("skipped: previous run still going"), std::string::npos);

  const std::string log = read_file(job_log_path(fast));
  EXPECT_EQ(log.rfind("----- ", 0), 0u) << log;
  EXPECT_NE(log.find(" job " + std::to_string(fast) + " -----\nfast 3\noops\n----- "), std::string::npos) << log;
}

// Kills the process groups of runs a test leaves going and reaps them.
class RunKiller {
 public:
  RunKiller() = default;
  RunKiller(const RunKiller&) = delete;
  RunKiller& operator=(const RunKiller&) = delete;
  ~RunKiller() {
    for (const pid_t pid : pids_) kill_group(pid);
  }
  void add(pid_t pid) { pids_.push_back(pid); }
  // Kills and reaps the run `pid` now.
  void kill(pid_t pid) {
    std::erase(pids_, pid);
    kill_group(pid);
  }

 private:
  static void kill_group(pid_t pid) {
    ::kill(-pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }

  std::vector<pid_t> pids_;
};

// The command line of process `pid`, its arguments joined by '|'.
std::string command_line(pid_t pid) {
  std::string text = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  if (!text.empty() && text.back() == '\0') text.pop_back();
  std::replace(text.begin(), text.end(), '\0', '|');
  return text;
}

// Plain words are the job's own process; anything a shell must read goes through /bin/sh, and
// so does a plain word that names no program but a shell built-in.
TEST_F(SchedulerTest, PlainCommandsRunWithoutAShell) {
  ::setenv("RIVI_SCHEDULER_WORD", "expanded", 1);
  const std::int64_t plain = add(1, "sleep 30");
  const std::int64_t shell_syntax = add(1, "sleep 30 >/dev/null");
  const std::int64_t variable = add(1, "echo $RIVI_SCHEDULER_WORD");
  const std::int64_t builtin = add(1, "type type");
  ShellRunner shell;
  RunKiller killer;
  auto scheduler = make_scheduler(shell);
  tick_at(*scheduler, planned(0) + 10);
  ASSERT_EQ(tick_at(*scheduler, planned(1)), (Ids{plain, shell_syntax, variable, builtin}));
  ::unsetenv("RIVI_SCHEDULER_WORD");
  const pid_t direct = shell.running(plain);
  const pid_t through_shell = shell.running(shell_syntax);
  ASSERT_NE(direct, 0);
  ASSERT_NE(through_shell, 0);
  killer.add(direct);
  killer.add(through_shell);

  // The spawn returns after the program was executed, so the command line is already final.
  EXPECT_EQ(command_line(direct), "sleep|30");
  EXPECT_EQ(command_line(through_shell), "/bin/sh|-c|sleep 30 >/dev/null");
  EXPECT_TRUE(wait_for_text(job_log_path(variable), "expanded\n"));
  EXPECT_TRUE(wait_for_text(job_log_path(builtin), "type is a shell builtin\n"));
}

// A run that outlasts its cycle is not started a second time: the next cycle is skipped with a
// line naming the process, and the first cycle after it ended starts a new run.
TEST_F(SchedulerTest, ARunLongerThanItsCycleIsNotStartedTwice) {
  const std::int64_t id = add(1, "sleep 30");
  ShellRunner shell;
  RunKiller killer;
  auto scheduler = make_scheduler(shell);
  tick_at(*scheduler, planned(0) + 10);
  ASSERT_EQ(tick_at(*scheduler, planned(1)), Ids{id});
  const pid_t first = shell.running(id);
  ASSERT_NE(first, 0);
  killer.add(first);

  EXPECT_EQ(tick_at(*scheduler, planned(2)), Ids{});
  EXPECT_EQ(tick_at(*scheduler, planned(3)), Ids{});
  EXPECT_EQ(shell.running(id), first);
  EXPECT_EQ(shell.running(), 1u);
  const std::string log = read_file(job_log_path(id));
  const std::string skip = " job " + std::to_string(id) + " skipped: previous run still going (pid " +
                           std::to_string(first) + ") -----\n";
  EXPECT_NE(log.find(skip), std::string::npos) << log;
  EXPECT_NE(log.find(skip, log.find(skip) + 1), std::string::npos) << log;

  killer.kill(first);
  EXPECT_EQ(tick_at(*scheduler, planned(4)), Ids{id});
  const pid_t second = shell.running(id);
  killer.add(second);
  EXPECT_NE(second, 0);
  EXPECT_NE(second, first);
}

// A `panel serve` restarted while a run is going: the run keeps its job's lock, so the new
// runner sees it running (with its process id) and the new scheduler skips the job until it
// ends; the earlier scheduler's fire is then noted as ended, its exit status unknown.
TEST_F(SchedulerTest, ARunOfAnEarlierSchedulerIsNotStartedAgain) {
  const std::int64_t id = add(1, "sh -c 'echo \"fire=$PANEL_CRON_FIRE lock=$(readlink /proc/$$/fd/3)\"; sleep 30'");
  RunKiller killer;
  pid_t first = 0;
  {
    ShellRunner shell;
    auto scheduler = make_scheduler(shell);
    tick_at(*scheduler, planned(0) + 10);
    ASSERT_EQ(tick_at(*scheduler, planned(1)), Ids{id});
    first = shell.running(id);
    ASSERT_GT(first, 0);
    killer.add(first);
  }
  ASSERT_TRUE(wait_for_text(job_log_path(id), "lock=" + job_lock_path(id).string() + "\n"));
  Connection db(database_path());
  const std::vector<Fire> fired = read_fires(db, 0, 10);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_NE(read_file(job_log_path(id)).find("fire=" + fired[0].fire + " "), std::string::npos);

  ShellRunner shell;
  EXPECT_EQ(shell.running(id), first);
  auto scheduler = make_scheduler(shell);
  tick_at(*scheduler, planned(1) + 10);
  EXPECT_EQ(tick_at(*scheduler, planned(2)), Ids{});
  EXPECT_EQ(scheduler->counters().skipped.load(), 1);
  EXPECT_NE(read_file(job_log_path(id)).find("skipped: previous run still going (pid " + std::to_string(first) + ")"),
            std::string::npos);
  EXPECT_FALSE(read_fires(db, 0, 10)[0].end_time);

  killer.kill(first);
  // The lock is free once the last process holding it (the shell's own children) is gone.
  for (int i = 0; i < 500 && shell.running(id) != 0; ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_EQ(shell.running(id), 0);
  EXPECT_EQ(tick_at(*scheduler, planned(3)), Ids{id});
  killer.add(shell.running(id));
  const std::vector<Fire> fires = read_fires(db, 0, 10);
  ASSERT_EQ(fires.size(), 2u);
  EXPECT_EQ(fires[0].end_time, planned(3) / 1000);
  EXPECT_FALSE(fires[0].exit_status);
  EXPECT_FALSE(fires[0].signal);
  EXPECT_FALSE(fires[1].end_time);
}

// What a run's process left: its exit status or the signal that ended it, and when it failed
// the last lines it wrote.
TEST_F(SchedulerTest, EndedRunsCarryTheirExitStatusSignalAndLastLines) {
  const std::int64_t fails = add(1, "sh -c 'for i in 1 2 3 4 5 6 7 8 9 10 11 12; do echo line $i; done; exit 7'");
  const std::int64_t killed = add(1, "kill -9 $$");
  const std::int64_t fine = add(1, "echo fine");
  ShellRunner shell;
  auto scheduler = make_scheduler(shell);
  tick_at(*scheduler, planned(0) + 10);
  ASSERT_EQ(tick_at(*scheduler, planned(1)), (Ids{fails, killed, fine}));
  // The scheduler collects them as they end and records them with their fires.
  Connection db(database_path());
  std::map<std::int64_t, Fire> ended;
  for (int i = 1; i < 1000 && ended.size() < 3; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
    tick_at(*scheduler, planned(1) + i);
    for (Fire& fire : read_fires(db, 0, 10)) {
      if (fire.end_time) ended[fire.job_id] = std::move(fire);
    }
  }
  ASSERT_EQ(ended.size(), 3u);
  EXPECT_EQ(ended[fails].exit_status, 7);
  EXPECT_EQ(ended[fails].log_tail, "line 3\nline 4\nline 5\nline 6\nline 7\nline 8\nline 9\nline 10\nline 11\nline 12");
  EXPECT_EQ(ended[killed].signal, 9);
  EXPECT_FALSE(ended[killed].exit_status);
  EXPECT_EQ(ended[fine].exit_status, 0);
  EXPECT_EQ(ended[fine].log_tail, "") << "a run that did well leaves no tail";
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
  tick_at(*scheduler, planned(0) + 10);
  ASSERT_EQ(tick_at(*scheduler, planned(1)), Ids{id});
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
