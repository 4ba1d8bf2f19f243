#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

namespace rivi {
namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = std::make_shared<Connection>(root.file("data/default.db"));
    db->exec_script(
        "CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, name STRING (64), url STRING (128), n INTEGER, r REAL);");
  }
  Query M() { return Query("t", db); }

  testing::TempRoot root;
  std::shared_ptr<Connection> db;
};

TEST_F(StoreTest, InsertAnswersIdsAndSelectKeepsColumnOrder) {
  EXPECT_EQ(M().insert(Record{{"name", "a"}, {"url", "http://a/"}, {"n", 1}, {"r", 10.0}}), 1);
  EXPECT_EQ(M().insert(Record{{"url", "http://b/"}, {"name", "b"}}), 2);
  const Record rows = M().order("id desc").select();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(encode(rows[0]), R"({"id": 2, "name": "b", "url": "http://b/", "n": null, "r": null})");
  EXPECT_TRUE(rows[1]["r"].is_number_float());
}

TEST_F(StoreTest, IdsGivenAsTextMatchIntegerColumns) {
  M().insert(Record{{"name", "a"}, {"n", "5"}});
  EXPECT_EQ(M().where("id=?", "1").getField("name"), "a");
  EXPECT_EQ(M().where("n=?", "5").count(), 1);
  EXPECT_TRUE(M().where("id=?", "1").getField("n").is_number_integer());  // affinity converted "5"
}

TEST_F(StoreTest, TuplesBareValuesAndTheEmptyCondition) {
  for (int i = 0; i < 5; ++i) M().insert(Record{{"name", "n" + std::to_string(i)}, {"n", i}});
  EXPECT_EQ(M().where("n > ? AND n < ?", Record::array({0, 4})).count(), 3);
  EXPECT_EQ(M().where("n=?", 2).getField("name"), "n2");
  EXPECT_EQ(M().where("", Record::array()).count(), 5);
  EXPECT_EQ(M().count(), 5);
  EXPECT_EQ(M().order("id desc").limit("1,2").select().size(), 2u);
  EXPECT_EQ(M().order("id desc").limit("1,2").select()[0]["n"], 3);
  EXPECT_THROW(M().where("n=? AND id=?", 1).count(), std::invalid_argument);
}

TEST_F(StoreTest, SearchTextIsBoundNotSpliced) {
  M().insert(Record{{"name", "it's"}, {"url", "http://x/?q='1'"}});
  const std::string text = "'; DROP TABLE t; --";
  EXPECT_EQ(M().where("name=? OR url LIKE ?", Record::array({text, "%" + text + "%"})).count(), 0);
  EXPECT_EQ(M().where("name=? OR url LIKE ?", Record::array({"it's", "%'1'%"})).count(), 1);
  EXPECT_EQ(M().count(), 1);
}

TEST_F(StoreTest, NoMatchGivesNullAndATerminalCallResetsTheQuery) {
  EXPECT_TRUE(M().where("id=?", 42).find().is_null());
  EXPECT_TRUE(M().where("id=?", 42).getField("name").is_null());
  M().insert(Record{{"name", "a"}, {"n", 1}});
  M().insert(Record{{"name", "b"}, {"n", 2}});
  auto q = M();
  EXPECT_EQ(q.where("n=?", 2).getField("name"), "b");
  EXPECT_EQ(q.order("id desc").getField("name"), "b");
  EXPECT_EQ(q.getField("name"), "a");  // no condition or order left from earlier calls
}

TEST_F(StoreTest, UpdateAndDeleteTouchOnlyMatchingRows) {
  M().insert(Record{{"name", "a"}, {"n", 1}});
  M().insert(Record{{"name", "b"}, {"n", 2}});
  EXPECT_EQ(M().where("id=?", 1).update(Record{{"name", "c"}, {"n", 7}}), 1);
  EXPECT_EQ(M().where("id=?", 1).update(Record::object()), 0);
  EXPECT_EQ(M().where("id=?", 2).getField("name"), "b");
  EXPECT_EQ(M().where("id=?", 1).getField("n"), 7);
  EXPECT_EQ(M().where("id=?", 1).delete_(), 1);
  EXPECT_EQ(M().count(), 1);
}

TEST_F(StoreTest, StringColumnsTakeNumericAffinity) {
  // "STRING (64)" is neither TEXT nor a numeric type name: SQLite gives it numeric affinity.
  M().insert(Record{{"name", "12"}});
  EXPECT_TRUE(M().getField("name").is_number_integer());
}

TEST(Store, ClearErrors) {
  EXPECT_THROW(Query("t; DROP TABLE x"), std::invalid_argument);
  try {
    Connection db("/nonexistent-dir/x.db");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/x.db"), std::string::npos);
  }
}

// Accessors made while a transaction is open on the thread share its connection: their writes
// commit together, or vanish together when the transaction ends uncommitted.
TEST(Transaction, AccessorsOnTheThreadCommitOrRollBackTogether) {
  testing::TempRoot root;
  public_::M("t").execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)");
  {
    transaction tx;
    public_::M("t").insert(Record{{"name", "a"}});
    public_::M("t").insert(Record{{"name", "b"}});
    EXPECT_EQ(public_::M("t").count(), 2);  // seen inside the transaction
    EXPECT_EQ(Query("t", std::make_shared<Connection>(database_path())).count(), 0);  // not outside
  }
  EXPECT_EQ(public_::M("t").count(), 0);

  {
    transaction tx;
    public_::M("t").insert(Record{{"name", "a"}});
    // A statement that fails leaves the transaction to its owner, who decides.
    EXPECT_THROW(public_::M("t").execute("INSERT INTO t (id, name) VALUES (1, 'dup')"), std::runtime_error);
    public_::M("t").insert(Record{{"name", "b"}});
    tx.commit();
    EXPECT_THROW(tx.commit(), std::logic_error);
    // After the commit, accessors work on their own again.
    public_::M("t").insert(Record{{"name", "c"}});
  }
  EXPECT_EQ(public_::M("t").order("id").select(),
            Record::array({Record{{"id", 1}, {"name", "a"}}, Record{{"id", 2}, {"name", "b"}}, Record{{"id", 3}, {"name", "c"}}}));
}

TEST(Transaction, IsScopedToItsThreadAndDoesNotNest) {
  testing::TempRoot root;
  public_::M("t").execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)");
  transaction tx;
  EXPECT_THROW(transaction(), std::logic_error);
  public_::M("t").insert(Record{{"name", "inside"}});
  // Another thread has no transaction: it reads the last committed state and does not share.
  std::int64_t seen = -1;
  bool shared = true;
  std::thread([&] {
    shared = transaction::current() != nullptr;
    seen = public_::M("t").count();
  }).join();
  EXPECT_FALSE(shared);
  EXPECT_EQ(seen, 0);
  tx.commit();
  EXPECT_EQ(transaction::current(), nullptr);
  EXPECT_EQ(public_::M("t").count(), 1);
}

}  // namespace
}  // namespace rivi

namespace rivi {
namespace {

// Runs `body` on a thread of its own, which starts with no connection and closes its own at its end.
template <typename Body>
void on_new_thread(Body body) {
  std::thread(body).join();
}

TEST(SharedConnection, OneAThreadAndDatabaseAndANewOneForAReplacedFile) {
  testing::TempRoot root;
  on_new_thread([&] {
    Connection* first = &public_::M("logs").connection();
    EXPECT_EQ(&public_::M("nodes").connection(), first);
    {
      transaction tx;  // runs on the same connection
      EXPECT_EQ(transaction::current().get(), first);
      public_::WriteLog("t", "inside");
      tx.commit();
    }
    EXPECT_EQ(Connection::opened_on_this_thread(), 1u);
    Connection* other_thread = nullptr;
    on_new_thread([&] { other_thread = &public_::M("logs").connection(); });
    EXPECT_NE(other_thread, first);

    // A database removed and laid out anew at the same path is the new file, not the old one.
    const std::string path = database_path();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    EXPECT_EQ(public_::M("sqlite_master").count(), 0);
    EXPECT_EQ(Connection::opened_on_this_thread(), 2u);

    // Another root is another database.
    testing::TempRoot second;
    const std::uint64_t before = Connection::opened_on_this_thread();
    EXPECT_EQ(public_::M("logs").count(), 0);
    EXPECT_EQ(Connection::opened_on_this_thread(), before + 1);
  });
}

TEST(SharedConnection, ClosingTheLastConnectionKeepsTheLogAndDoesNotCheckpoint) {
  testing::TempRoot root;
  const std::string path = root.file("data/other.db");
  on_new_thread([&] { Connection(path).exec_script("CREATE TABLE t (v TEXT)"); });
  const std::string file_before = root.read("data/other.db");
  on_new_thread([&] { Connection(path).run("INSERT INTO t (v) VALUES ('kept')"); });
  EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
  EXPECT_TRUE(root.read("data/other.db") == file_before) << "closing wrote the log into the database file";
  on_new_thread([&] { EXPECT_EQ(Connection(path).query("SELECT v FROM t"), Record::array({Record{{"v", "kept"}}})); });
}

// Every writer alone with the database, as `panel call` is without `panel serve`: each opening
// rebuilds the log's index, so the log must be emptied by the commit that passes the threshold.
TEST(SharedConnection, TheLogStaysBoundedWhenEveryWriterIsAloneWithTheDatabase) {
  testing::TempRoot root;
  const std::string path = root.file("data/alone.db");
  on_new_thread([&] { Connection(path).exec_script("CREATE TABLE t (v BLOB)"); });
  constexpr int kWrites = 400;  // about five pages each: twice the threshold of 1,000 pages
  constexpr std::uintmax_t kBound = 32 + (1000 + 8) * (4096 + 24);  // header, threshold and one commit's frames
  std::uintmax_t largest = 0;
  for (int i = 0; i < kWrites; ++i) {
    on_new_thread([&] { Connection(path).run("INSERT INTO t (v) VALUES (randomblob(16384))"); });
    largest = std::max(largest, std::filesystem::file_size(path + "-wal"));
  }
  EXPECT_LE(largest, kBound);
  on_new_thread([&] { EXPECT_EQ(Connection(path).query("SELECT count(*) AS n FROM t")[0]["n"], kWrites); });
}

TEST(SharedConnection, ADatabaseNotInWalModeIsSwitchedAtItsFirstOpening) {
  testing::TempRoot root;
  const std::string path = root.file("data/rollback.db");
  on_new_thread([&] {
    Connection db(path);
    db.exec_script("PRAGMA journal_mode=DELETE; CREATE TABLE t (v TEXT)");
    EXPECT_EQ(db.query("PRAGMA journal_mode")[0]["journal_mode"], "delete");
  });
  on_new_thread([&] { EXPECT_EQ(Connection(path).query("PRAGMA journal_mode")[0]["journal_mode"], "wal"); });
}

}  // namespace
}  // namespace rivi
