// What one probe run costs the machine: one database connection, no checkpoint and no removed
// write-ahead log when it ends, and neither libcurl nor the TLS stack loaded by the worker at start.
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

namespace rivi {
namespace {

class WorkerRunTest : public ::testing::Test {
 protected:
  WorkerRunTest() {
    centre_.server().Post("/api/local/rivi", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"([{"isp": "n1", "primary_ip": "127.0.0.1", "http_code": 200, "total_time": 1.5}])",
                      "application/json");
    });
    centre_.start();
    ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(centre_.port())).c_str(), 1);
    // Set up on a thread of its own: its connection closes when it ends, so that no connection
    // of this process is open when a test begins.
    std::thread([this] {
      qn_rivi_main plugin;
      task_ = public_::M("rivi_task").insert(
          Record{{"name", "web"}, {"url", "http://site.test/"}, {"status", 1}, {"cycle", 1}});
    }).join();
  }
  ~WorkerRunTest() override { ::unsetenv("RIVI_DISPATCH_HOST"); }

  testing::TempRoot root_;
  testing::LoopbackSite centre_;
  std::int64_t task_ = 0;
};

TEST_F(WorkerRunTest, AWholeRunOpensTheDatabaseOnce) {
  Record answer;
  std::uint64_t opened = 0;
  std::thread([&] {
    qn_rivi_main plugin;
    Record args{{"id", task_}};
    answer = plugin.start(args);
    opened = Connection::opened_on_this_thread();
  }).join();
  ASSERT_TRUE(answer.is_array()) << answer.dump();
  EXPECT_EQ(opened, 1u);
  EXPECT_EQ(public_::M("rivi_list").where("pid=?", task_).count(), 1);
}

// The worker is the only process with the database open: closing its connection is closing the
// last one, which must leave the main file as it was and the log in place.
TEST_F(WorkerRunTest, AWorkerRunNeitherCheckpointsNorRemovesTheLog) {
  const std::string db = root_.file("data/default.db");
  const std::string file_before = root_.read("data/default.db");
  const testing::RunResult r = testing::run({root_.file("plugin/qn_rivi/rivi_worker"), std::to_string(task_)});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(std::filesystem::exists(db + "-wal"));
  EXPECT_TRUE(std::filesystem::exists(db + "-shm"));
  EXPECT_TRUE(root_.read("data/default.db") == file_before) << "the run's close wrote to the database file";
  EXPECT_EQ(public_::M("rivi_list").where("pid=?", task_).count(), 1);  // read from the log
}

// The TLS stack is loaded when a report goes out, not by every run.
TEST(WorkerProgram, DoesNotLoadLibcurlOrTheTlsStackAtStart) {
  // The loader lists the libraries the program starts with, and runs nothing.
  const testing::RunResult r = testing::run({testing::bin("rivi_worker")}, {{"LD_TRACE_LOADED_OBJECTS", "1"}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("libsqlite3"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("libcurl"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("libssl"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("libcrypto"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace rivi
