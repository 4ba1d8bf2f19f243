// A run's outcome on a real store: the spool's files, a database locked past the wait sending the
// outcome to the spool and the next store replaying it first with its own time and health, each
// fire written once, and an outcome neither the database nor the spool takes.
#include "plugin/qn_rivi/run_store.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

namespace rivi {
namespace {

using std::chrono::milliseconds;

constexpr std::int64_t kT = 1765170000;

spool::RunOutcome row_run(const std::string& fire, std::int64_t pid, std::int64_t time) {
  const Record data = Record::array({Record{{"isp", "电信"}, {"http_code", 200}, {"total_time", 12.5}},
                                     Record{{"isp", "联通"}, {"http_code", 0}, {"total_time", 0.1}, {"error_code", "refused"}}});
  spool::RunOutcome run;
  run.fire = fire;
  run.kind = "row";
  run.pid = pid;
  run.time = time;
  run.row = Record{{"status", 1}, {"data", encode(data)}, {"pid", pid}, {"addtime", time}};
  run.nodes = health::judge_nodes(data);
  return run;
}

// A short wait for the database, as RIVI_STORE_WAIT_MS gives runs in tests.
StoreRetry short_wait() {
  StoreRetry retry;
  retry.busy_wait = retry.retry_for = retry.first_pause = milliseconds(100);
  return retry;
}

class RunStoreTest : public ::testing::Test {
 protected:
  RunStoreTest() {
    load_qn_rivi_module();
    qn_rivi_main plugin;  // lays out the plug-in's tables
    task_ = public_::M("rivi_task").insert(Record{{"name", "web"}, {"url", "http://example.test/"}, {"status", 1},
                                                  {"cycle", 1}, {"addtime", 1}});
  }
  Record rows() { return public_::M("rivi_list").order("id").select(); }
  Record marks() { return public_::M("rivi_fire").order("time").select(); }

  testing::TempRoot root_;
  std::int64_t task_ = 0;
};

TEST_F(RunStoreTest, TheSpoolKeepsEachOutcomeWholeInOrder) {
  EXPECT_TRUE(spool::files().empty());
  spool::RunOutcome failed;
  failed.fire = "f2";
  failed.kind = "error";
  failed.pid = task_;
  failed.time = kT + 60;
  failed.reason = "调度中心超时：slow";
  const auto first = spool::write(row_run("f1", task_, kT));
  const auto second = spool::write(failed);
  // Half-written files (a crash before the rename) are not runs.
  std::ofstream(spool::directory() / ".0000000000000001-1-1.tmp") << "{";
  EXPECT_EQ(spool::files(), (std::vector<std::filesystem::path>{first, second}));
  EXPECT_EQ(spool::waiting_fires(), (std::set<std::string>{"f1", "f2"}));

  const spool::RunOutcome back = spool::read(first);
  const spool::RunOutcome original = row_run("f1", task_, kT);
  EXPECT_EQ(back.row, original.row);
  ASSERT_EQ(back.nodes.size(), 2u);
  EXPECT_EQ(back.nodes[0].time, 12.5);
  EXPECT_TRUE(back.nodes[1].failing);
  EXPECT_EQ(back.nodes[1].code, "refused");
  EXPECT_EQ(back.nodes[1].label, original.nodes[1].label);
  EXPECT_EQ(spool::read(second).reason, "调度中心超时：slow");

  std::ofstream(spool::directory() / "0000000000000000-0-0.json") << "not a run";
  EXPECT_THROW(spool::read(spool::directory() / "0000000000000000-0-0.json"), std::runtime_error);
}

// A lock held past the wait: the run's row goes to the spool at once instead of being lost; the
// next run replays it before its own, with its own time, health and mark, and the spool is empty.
TEST_F(RunStoreTest, ALockHeldPastTheWaitLosesNoRow) {
  Connection holder(database_path());
  holder.exec_script("BEGIN IMMEDIATE");
  const auto kept = run_store::store(row_run("f1", task_, kT), short_wait());
  ASSERT_TRUE(kept);
  EXPECT_TRUE(std::filesystem::exists(*kept));
  holder.exec_script("COMMIT");
  EXPECT_TRUE(rows().empty());

  EXPECT_FALSE(run_store::store(row_run("f2", task_, kT + 60), short_wait()));
  const Record stored = rows();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0]["addtime"], kT);
  EXPECT_EQ(stored[1]["addtime"], kT + 60);
  EXPECT_EQ(stored[0]["data"], row_run("f1", task_, kT).row["data"]);
  EXPECT_TRUE(spool::files().empty());
  const Record hour = public_::M("rivi_hourly").where("pid=?", task_).find();
  EXPECT_EQ(hour["runs"], 2);
  EXPECT_EQ(public_::M("rivi_health").where("pid=?", task_).getField("last_run"), kT + 60);
  const Record m = marks();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0]["fire"], "f1");
  EXPECT_EQ(m[0]["kind"], "row");
}

// An outcome is written once: a replay of a file whose outcome is in already (a crash between the
// commit and the removal) writes nothing; a run started by hand is marked by its file's name.
TEST_F(RunStoreTest, AnOutcomeIsWrittenOnce) {
  const auto db = std::make_shared<Connection>(database_path());
  EXPECT_TRUE(run_store::write(db, row_run("f1", task_, kT)));
  EXPECT_FALSE(run_store::write(db, row_run("f1", task_, kT)));
  EXPECT_EQ(rows().size(), 1u);

  const auto by_hand = spool::write(row_run("", task_, kT + 60));
  const std::filesystem::path copy = by_hand.string() + ".copy";
  std::filesystem::copy_file(by_hand, copy);
  EXPECT_EQ(run_store::replay(db, milliseconds(100)), 1);
  std::filesystem::rename(copy, by_hand);
  EXPECT_EQ(run_store::replay(db, milliseconds(100)), 0) << "the file goes, its outcome is not written again";
  EXPECT_EQ(rows().size(), 2u);
  EXPECT_TRUE(spool::files().empty());

  std::ofstream(spool::directory() / "0000000000000000-0-0.json") << "not a run";
  EXPECT_EQ(run_store::replay(db, milliseconds(100)), 0);
  EXPECT_TRUE(std::filesystem::exists(spool::directory() / "0000000000000000-0-0.json.bad"));
}

// Replays in rounds (panel serve every few seconds) say a wait once for as long as it lasts, and
// a new wait after the spool was emptied again.
TEST_F(RunStoreTest, RoundsSayTheSpoolsWaitOnce) {
  const auto db = std::make_shared<Connection>(database_path());
  const auto waits_said = [](const std::string& err) {
    std::size_t n = 0;
    for (std::size_t at = err.find("the spool waits"); at != std::string::npos; at = err.find("the spool waits", at + 1)) ++n;
    return n;
  };
  bool said = false;
  spool::write(row_run("f1", task_, kT));
  Connection holder(database_path());
  holder.exec_script("BEGIN IMMEDIATE");
  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 3; ++round) EXPECT_EQ(run_store::replay(db, milliseconds(50), &said), 0);
  EXPECT_EQ(waits_said(::testing::internal::GetCapturedStderr()), 1u);
  EXPECT_TRUE(said);
  holder.exec_script("COMMIT");
  EXPECT_EQ(run_store::replay(db, milliseconds(50), &said), 1);
  EXPECT_FALSE(said) << "the spool is empty: the next wait is a new one";

  spool::write(row_run("f2", task_, kT + 60));
  holder.exec_script("BEGIN IMMEDIATE");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run_store::replay(db, milliseconds(50), &said), 0);
  EXPECT_EQ(run_store::replay(db, milliseconds(50)), 0) << "a single replay says it always";
  EXPECT_EQ(waits_said(::testing::internal::GetCapturedStderr()), 2u);
  holder.exec_script("COMMIT");
}

// A table missing is no moment's trouble: it is raised, not spooled. A database and a spool that
// both refuse: NotStored, saying why for both.
TEST_F(RunStoreTest, WhatTheSpoolIsNotFor) {
  Connection(database_path()).exec_script("DROP TABLE rivi_hourly");
  EXPECT_THROW(run_store::store(row_run("f1", task_, kT), short_wait()), std::runtime_error);
  EXPECT_TRUE(spool::files().empty());
  EXPECT_TRUE(rows().empty());

  Connection holder(database_path());
  holder.exec_script("BEGIN IMMEDIATE");
  std::ofstream(spool::directory()) << "a file where the spool should be";
  try {
    run_store::store(row_run("f2", task_, kT), short_wait());
    ADD_FAILURE() << "stored somewhere";
  } catch (const run_store::NotStored& e) {
    EXPECT_NE(std::string(e.what()).find("database locked"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("cannot keep the result in the spool"), std::string::npos) << e.what();
  }
  holder.exec_script("ROLLBACK");
}

TEST(RunRetry, TheWaitComesFromTheEnvironmentInTests) {
  ::unsetenv("RIVI_STORE_WAIT_MS");
  EXPECT_EQ(run_store::run_retry().busy_wait, std::chrono::seconds(30));
  EXPECT_EQ(run_store::run_retry().retry_for, std::chrono::seconds(5));
  ::setenv("RIVI_STORE_WAIT_MS", "250", 1);
  EXPECT_EQ(run_store::run_retry().busy_wait, milliseconds(250));
  EXPECT_EQ(run_store::run_retry().retry_for, milliseconds(250));
  ::unsetenv("RIVI_STORE_WAIT_MS");
}

}  // namespace
}  // namespace rivi
