// Writes while a second real connection holds the database's write lock: the write waits the lock
// out, gives up with a plain message when it lasts too long, and a read-only database is not retried.
#include "host/store/store_retry.h"

#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace rivi {
namespace {

using std::chrono::milliseconds;

class StoreRetryTest : public ::testing::Test {
 protected:
  StoreRetryTest() { db_->exec_script("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)"); }

  // Inserts one row through `retry_while_locked`, counting the attempts.
  void insert(const StoreRetry& retry) {
    retry_while_locked(*db_, retry, [&] {
      ++attempts_;
      Query("t", db_).insert(Record{{"v", "kept"}});
    });
  }

  testing::TempRoot root_{false};
  std::shared_ptr<Connection> db_ = std::make_shared<Connection>(root_.file("data.db"));
  Connection foreign_{root_.file("data.db")};  // another process's connection, as far as SQLite knows
  std::atomic<int> attempts_{0};
};

TEST_F(StoreRetryTest, LockHeldPastTheBusyWaitDelaysTheRowWithoutLosingIt) {
  foreign_.exec_script("BEGIN IMMEDIATE");
  foreign_.exec_script("INSERT INTO t (v) VALUES ('foreign')");
  // The lock is let go only once the write has failed at least twice.
  std::jthread holder([&] {
    for (int i = 0; i < 1000 && attempts_ < 3; ++i) std::this_thread::sleep_for(milliseconds(10));
    foreign_.exec_script("COMMIT");
  });
  insert(StoreRetry{milliseconds(20), milliseconds(60000), milliseconds(5), milliseconds(50)});
  holder.join();
  EXPECT_GE(attempts_, 3);
  EXPECT_EQ(Connection(root_.file("data.db")).query("SELECT v FROM t ORDER BY id"),
            Record::array({Record{{"v", "foreign"}}, Record{{"v", "kept"}}}));
}

TEST_F(StoreRetryTest, GivesUpInPlainWordsWhenTheLockOutlastsTheRetries) {
  foreign_.exec_script("BEGIN IMMEDIATE");
  try {
    insert(StoreRetry{milliseconds(10), milliseconds(200), milliseconds(5), milliseconds(20)});
    ADD_FAILURE() << "stored under a foreign lock";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("database locked: ", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find(root_.file("data.db")), std::string::npos) << e.what();
  }
  EXPECT_GT(attempts_, 1);
  foreign_.exec_script("ROLLBACK");
}

TEST_F(StoreRetryTest, ReadOnlyDatabaseIsNamedAndNotRetried) {
  db_->exec_script("PRAGMA query_only=1");
  try {
    insert(StoreRetry{milliseconds(10), milliseconds(5000), milliseconds(5), milliseconds(20)});
    ADD_FAILURE() << "stored into a read-only database";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("database read-only: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(attempts_, 1);
}

}  // namespace
}  // namespace rivi
