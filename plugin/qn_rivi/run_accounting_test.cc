// Accounting for scheduled runs on a real store: fires recorded as the scheduler records them, the
// runs that left a trace, and those that did not becoming one error run each, with the reason
// their end tells.
#include "plugin/qn_rivi/run_accounting.h"

#include "host/cron/crontab.h"
#include "host/cron/job_runner.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/run_store.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

namespace rivi {
namespace {

constexpr std::int64_t kT = 1765170000;

Fire ended(std::optional<int> status, std::optional<int> signal, const std::string& tail) {
  Fire fire;
  fire.fire = "f";
  fire.time = kT;
  fire.pid = 42;
  fire.end_time = kT + 3;
  fire.exit_status = status;
  fire.signal = signal;
  fire.log_tail = tail;
  return fire;
}

TEST(LostRunReason, SaysHowTheRunEnded) {
  using run_accounting::lost_run_reason;
  EXPECT_EQ(lost_run_reason(ended(std::nullopt, 9, ""), kT), "拨测进程被信号 9（SIGKILL）终止");
  Fire never = ended(std::nullopt, std::nullopt, "cannot start job: /bin/sh: Resource temporarily unavailable");
  never.pid.reset();
  EXPECT_EQ(lost_run_reason(never, kT), "拨测无法启动：cannot start job: /bin/sh: Resource temporarily unavailable");
  EXPECT_EQ(lost_run_reason(ended(2, std::nullopt,
                                  "----- 2026-12-08 job 3 -----\n/usr/bin/python3: can't open file '/r/plugin/qn_rivi/rivi': "
                                  "[Errno 2] No such file or directory"),
                            kT),
            "拨测无法启动：/usr/bin/python3: can't open file '/r/plugin/qn_rivi/rivi': [Errno 2] No such file or directory");
  EXPECT_EQ(lost_run_reason(ended(127, std::nullopt, "sh: 1: /r/pyenv/bin/python: not found"), kT),
            "拨测无法启动：sh: 1: /r/pyenv/bin/python: not found");
  EXPECT_EQ(lost_run_reason(ended(4, std::nullopt,
                                  "[]\nrivi_worker: task 3: the result of task 3 could not be stored: database or disk is "
                                  "full; nor kept: ... No space left on device\n"),
                            kT)
                .rfind("磁盘空间不足，结果未能保存：rivi_worker: task 3:", 0),
            0u);
  EXPECT_EQ(lost_run_reason(ended(4, std::nullopt, ""), kT), "结果无处保存（数据库与暂存目录都不可写）");
  EXPECT_EQ(lost_run_reason(ended(1, std::nullopt, "x\nstd::runtime_error: database locked: database is locked (/r/d.db)\ny"), kT),
            "数据库被锁定，结果未能保存：std::runtime_error: database locked: database is locked (/r/d.db)");
  EXPECT_EQ(lost_run_reason(ended(1, std::nullopt, "one\ntwo\n\n"), kT), "拨测异常退出（状态 1）：two");
  EXPECT_EQ(lost_run_reason(ended(std::nullopt, std::nullopt, "last words"), kT),
            "拨测已结束，退出状态未知（panel serve 曾重启）：last words");
  EXPECT_EQ(lost_run_reason(ended(0, std::nullopt, ""), kT), "拨测已结束，但没有留下结果");
  Fire going = ended(std::nullopt, std::nullopt, "");
  going.end_time.reset();
  EXPECT_EQ(lost_run_reason(going, kT + 1200), "拨测在 20 分钟内没有结束，也没有留下结果");

  EXPECT_EQ(run_accounting::task_of("rivi_id_12"), 12);
  for (const char* other : {"", "rivi_id_", "rivi_id_1x", "backup", "rivi_id_-1", "rivi_id_1234567890123456789"}) {
    EXPECT_EQ(run_accounting::task_of(other), 0) << other;
  }
}

class AccountingTest : public ::testing::Test {
 protected:
  AccountingTest() {
    load_qn_rivi_module();
    qn_rivi_main plugin;
    create_fire_table(*db_);
    task_ = public_::M("rivi_task").insert(Record{{"name", "web"}, {"url", "http://example.test/"}, {"status", 1},
                                                  {"cycle", 1}, {"addtime", 1}});
    job_ = add_job("rivi_id_" + std::to_string(task_));
    other_job_ = add_job("backup");
    options_.database = database_path();
  }
  std::int64_t add_job(const std::string& key) {
    crontab jobs;
    return to_int(jobs.AddCrontab(Record{{"name", key}, {"type", "minute-n"}, {"where1", 1}, {"sBody", "true"}, {"save", key}})["id"]);
  }
  // A fire as the scheduler records it; `end` set when it ended.
  void fire(const std::string& key, std::int64_t job, std::int64_t time, std::optional<EndedRun> end) {
    fires_.started(key, job, time, 4242);
    if (end) {
      end->fire = key;
      fires_.ended(*end, time + 2);
    }
    fires_.flush(*db_);
  }
  std::int64_t account(std::int64_t now) { return run_accounting::account(db_, now, cursor_, options_); }
  Record lost() { return public_::M("rivi_fire").where("kind=?", "lost").order("time").select(); }

  testing::TempRoot root_;
  std::shared_ptr<Connection> db_ = std::make_shared<Connection>(database_path());
  FireLog fires_;
  run_accounting::Cursor cursor_;
  run_accounting::Options options_;
  std::int64_t task_ = 0, job_ = 0, other_job_ = 0;
};

// A killed run becomes one error run of its task, whatever the number of rounds; runs that left a
// trace, runs of other jobs and runs still going do not.
TEST_F(AccountingTest, EachRunWithoutATraceBecomesOneErrorRun) {
  EndedRun killed;
  killed.signal = 9;
  EndedRun fine;
  fine.exit_status = 0;
  fire("a", job_, kT, killed);
  fire("b", job_, kT + 60, fine);
  const Record good = Record::array({Record{{"isp", "电信"}, {"http_code", 200}, {"total_time", 5.0}}});
  run_store::write(db_, spool::RunOutcome{"b", "row", task_, kT + 61,
                                          Record{{"status", 1}, {"data", encode(good)}, {"pid", task_}, {"addtime", kT + 61}},
                                          health::judge_nodes(good), ""});
  fire("c", other_job_, kT + 60, killed);
  fire("d", job_, kT + 120, std::nullopt);  // still going

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(account(kT + 130), 1);
  EXPECT_EQ(account(kT + 140), 0) << "recorded once";
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::count_lines(log, "stored nothing"), 1) << log;
  EXPECT_EQ(testing::count_lines(log, "run accounting: task " + std::to_string(task_) + ": the run fired at "), 1) << log;
  Record l = lost();
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0]["fire"], "a");
  EXPECT_EQ(l[0]["pid"], task_);
  EXPECT_EQ(l[0]["time"], kT);
  const Record h = public_::M("rivi_health").where("pid=?", task_).find();
  EXPECT_EQ(h["last_attempt"], kT + 61);
  const Record incident = public_::M("rivi_incident").where("pid=?", task_).find();
  EXPECT_EQ(incident["reason"], "拨测进程被信号 9（SIGKILL）终止");
  EXPECT_EQ(incident["kind"], "error");
  EXPECT_EQ(to_int(public_::M("rivi_hourly").where("pid=?", task_).getField("runs")), 2);

  // The run still going is waited for until its time-out, then taken as lost.
  EXPECT_EQ(account(kT + 120 + options_.timeout - 1), 0);
  EXPECT_EQ(account(kT + 120 + options_.timeout), 1);
  l = lost();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[1]["fire"], "d");
}

// A run whose outcome waits in the spool has left its trace: it is replayed, never recorded lost.
TEST_F(AccountingTest, ARunWaitingInTheSpoolIsNotLost) {
  EndedRun fine;
  fine.exit_status = 0;
  fire("a", job_, kT, fine);
  spool::write(spool::RunOutcome{"a", "row", task_, kT + 1,
                                 Record{{"status", 1}, {"data", "[]"}, {"pid", task_}, {"addtime", kT + 1}}, {}, ""});
  Connection holder(database_path());
  holder.exec_script("BEGIN IMMEDIATE");
  EXPECT_THROW(account(kT + 10), std::runtime_error) << "a locked database: the round waits";
  holder.exec_script("COMMIT");
  EXPECT_EQ(account(kT + 20), 0);
  EXPECT_TRUE(lost().empty());
  EXPECT_EQ(public_::M("rivi_list").count(), 1);
  EXPECT_TRUE(spool::files().empty());
}

}  // namespace
}  // namespace rivi
