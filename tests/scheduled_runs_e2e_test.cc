// Scheduled runs against the faults a monitor meets in service, with the real programs: `panel
// serve` under a clock set back and forward (libfaketime), restarted while a run is going, a
// worker killed, a launcher missing, the database held by another connection past the busy
// time-out, and a full disk (a tmpfs, when the test runs as root). Minutes are a second long
// (PANEL_CRON_MINUTE) and the worker's wait for the database is shortened (RIVI_STORE_WAIT_MS).
#include "host/cron/crontab.h"
#include "host/cron/fire_log.h"
#include "host/cron/job_lock.h"
#include "host/cron/job_runner.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/spool.h"
#include "tests/support/hanging_target.h"
#include "tests/support/testing.h"

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

namespace rivi {
namespace {

namespace fs = std::filesystem;
using testing::bin;
using testing::read_file;
using testing::wait_until;
using Env = std::map<std::string, std::string>;

constexpr const char* kFaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

std::vector<Fire> fires() {
  Connection db(database_path());
  return read_fires(db, 0, 100'000);
}

std::int64_t fires_of(std::int64_t job) {
  std::int64_t n = 0;
  for (const Fire& f : fires()) n += f.job_id == job ? 1 : 0;
  return n;
}

// Marks of the runs of task `pid` by kind: row, error (stored nothing) or lost (recorded for it).
std::map<std::string, std::int64_t> marks_of(std::int64_t pid) {
  std::map<std::string, std::int64_t> kinds;
  Connection db(database_path());
  if (db.query("SELECT 1 FROM sqlite_master WHERE name = 'rivi_fire'").empty()) return kinds;
  for (const Record& r : db.query("SELECT kind, COUNT(*) AS n FROM rivi_fire WHERE pid = ? GROUP BY kind", Record::array({pid}))) {
    kinds[r["kind"].get<std::string>()] = r["n"].get<std::int64_t>();
  }
  return kinds;
}

std::int64_t job_of(std::int64_t task) {
  return to_int(public_::M("crontab").where("save=?", "rivi_id_" + std::to_string(task)).getField("id"));
}

// A panel root with a dispatch centre (three in-process nodes) and a site on loopback, and the
// environment `panel` and its jobs run with.
class Monitor : public ::testing::Test {
 protected:
  Monitor() {
    site_.server().Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
    site_.server().Get("/down", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content("down", "text/plain");
    });
    site_.start();
  }

  void start_centre() {
    const int port = testing::free_port();
    centre_ = std::make_unique<testing::Child>(
        std::vector<std::string>{bin("rivi-dispatch"), "--listen", "127.0.0.1:" + std::to_string(port)}, Env{},
        root_.file("centre.log"));
    ASSERT_TRUE(testing::wait_for_port(port)) << read_file(root_.file("centre.log"));
    env_["RIVI_DISPATCH_HOST"] = "127.0.0.1:" + std::to_string(port);
  }
  Record call(std::vector<std::string> args) {
    args.insert(args.begin(), {bin("panel"), "call", "qn_rivi"});
    const testing::RunResult result = testing::run(args, env_);
    EXPECT_EQ(result.status, testing::call_status(result.out)) << result.err;
    return result.status == 0 || result.status == 1 ? decode(result.out) : Record();
  }
  std::int64_t create(const std::string& name, const std::string& url) {
    EXPECT_EQ(call({"create", "name2=" + name, "url=" + url, "cycle=1"})["status"], true);
    return to_int(public_::M("rivi_task").where("name=?", name).getField("id"));
  }
  void pause(std::int64_t task) { EXPECT_EQ(call({"modify", "id=" + std::to_string(task), "status=0"})["status"], true); }
  std::unique_ptr<testing::Child> serve(const std::string& log = "serve.log") {
    return std::make_unique<testing::Child>(std::vector<std::string>{bin("panel"), "serve", "--no-web"}, env_, root_.file(log));
  }
  Record health(std::int64_t task) { return public_::M("rivi_health").where("pid=?", task).find(); }

  testing::TempRoot root_;
  testing::LoopbackSite site_;
  std::unique_ptr<testing::Child> centre_;
  Env env_{{"PANEL_CRON_MINUTE", "1"}};
};

// The wall clock set back an hour and then forward again under a running `panel serve`: its jobs
// keep firing at their boundaries of the new time (before, they stopped for the hour), and none
// fires in a burst.
TEST_F(Monitor, JobsKeepFiringWhenTheClockIsSetBackOrForward) {
  if (!fs::exists(kFaketime)) GTEST_SKIP() << "libfaketime is missing (Debian package faketime): cannot set the clock";
  crontab jobs;
  std::vector<std::int64_t> ids;
  for (const char* key : {"a", "b", "c"}) {
    ids.push_back(to_int(jobs.AddCrontab(Record{{"name", key}, {"type", "minute-n"}, {"where1", 2}, {"sBody", "true"}, {"save", key}})["id"]));
  }
  const std::string offset_file = root_.file("faketime");
  root_.write("faketime", "+0\n");
  env_.insert({{"LD_PRELOAD", kFaketime}, {"FAKETIME_TIMESTAMP_FILE", offset_file}, {"FAKETIME_NO_CACHE", "1"},
               {"FAKETIME_DONT_FAKE_MONOTONIC", "1"}});
  const auto panel = serve();
  const auto each_fired = [&](const std::map<std::int64_t, std::int64_t>& from, std::int64_t more) {
    return [&, more] {
      for (const std::int64_t id : ids) {
        if (fires_of(id) < (from.contains(id) ? from.at(id) : 0) + more) return false;
      }
      return true;
    };
  };
  const auto counts = [&] {
    std::map<std::int64_t, std::int64_t> n;
    for (const std::int64_t id : ids) n[id] = fires_of(id);
    return n;
  };
  ASSERT_TRUE(wait_until(each_fired({}, 2), 30)) << read_file(root_.file("serve.log"));

  for (const char* step : {"-3600", "+0"}) {
    root_.write("faketime", std::string(step) + "\n");
    const std::string said = std::string("the clock was set ") + (step[0] == '-' ? "back" : "forward");
    ASSERT_TRUE(wait_until([&] { return read_file(root_.file("serve.log")).find(said) != std::string::npos; }, 10));
    const auto before = counts();
    // Three more cycles of every job, and no job more than one run (its catch-up) beyond that.
    EXPECT_TRUE(wait_until(each_fired(before, 3), 30)) << step << "\n" << read_file(root_.file("serve.log"));
    for (const auto& [id, n] : counts()) EXPECT_LE(n - before.at(id), 5) << "job " << id << " after " << step;
  }
  EXPECT_EQ(panel->stop(), 0);
}

// `panel serve` stopped and started again while a run is going: the new one sees the run by its
// job's lock and skips the job until it has ended; runs never overlap.
TEST_F(Monitor, ARestartedPanelDoesNotStartARunThatIsStillGoing) {
  crontab jobs;
  const std::int64_t id = to_int(jobs.AddCrontab(Record{{"name", "slow"}, {"type", "minute-n"}, {"where1", 1},
                                                        {"sBody", "sh -c 'echo start; sleep 3; echo end'"}, {"save", "slow"}})["id"]);
  const fs::path log = job_log_path(id);
  {
    const auto first = serve("serve1.log");
    ASSERT_TRUE(wait_until([&] { return read_file(log).find("start\n") != std::string::npos; }, 20));
    EXPECT_EQ(first->stop(), 0);
  }
  const auto second = serve("serve2.log");
  // The first run ends, and the second panel starts the job again after it.
  ASSERT_TRUE(wait_until([&] {
    const std::string text = read_file(log);
    return text.find("start\n", text.find("end\n")) != std::string::npos;
  }, 30)) << read_file(log);
  EXPECT_EQ(second->stop(), 0);

  const std::string text = read_file(log);
  EXPECT_NE(text.find("skipped: previous run still going (pid "), std::string::npos) << text;
  bool open = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line == "start") {
      EXPECT_FALSE(open) << "two runs at once:\n" << text;
      open = true;
    } else if (line == "end") {
      open = false;
    }
  }
  // The run of the first panel is recorded as ended by the second, its exit status unknown.
  const std::vector<Fire> all = fires();
  ASSERT_GE(all.size(), 2u);
  EXPECT_TRUE(all[0].end_time);
  EXPECT_FALSE(all[0].exit_status);
  // Runs still going finish before the root goes away.
  EXPECT_TRUE(wait_until([&] { return job_lock_holder(id) == 0; }, 10));
}

// A worker killed in the middle of its run, and runs whose launcher is missing: each such fire
// becomes one `error` run of its task with the reason (before, the task stayed `up`, or "未拨测"
// for ever), and no fire is left unaccounted for.
TEST_F(Monitor, AKilledWorkerAndAMissingLauncherEachBecomeOneErrorRun) {
  start_centre();
  testing::HangingTarget hanging;
  const std::int64_t slow = create("挂起的站点", hanging.url());
  const auto panel = serve();
  const std::int64_t slow_job = job_of(slow);
  std::optional<Fire> going;
  ASSERT_TRUE(wait_until([&] {
    for (const Fire& f : fires()) {
      if (f.job_id == slow_job && f.pid && !f.end_time) going = f;
    }
    return going.has_value() && hanging.open() > 0;
  }, 30)) << read_file(root_.file("serve.log"));
  pause(slow);  // no run after this one
  ASSERT_EQ(::kill(static_cast<pid_t>(*going->pid), SIGKILL), 0);
  ASSERT_TRUE(wait_until([&] { return marks_of(slow)["lost"] == 1; }, 30)) << read_file(root_.file("serve.log"));
  EXPECT_EQ(health(slow)["health"], "error");
  EXPECT_EQ(health(slow)["reason"], "拨测进程被信号 9（SIGKILL）终止");

  // Without its launcher no run can start: every fire becomes an error run, once.
  fs::remove(root_.file("plugin/qn_rivi/rivi"));
  const std::int64_t orphan = create("没有启动器", site_.url("/"));
  ASSERT_TRUE(wait_until([&] { return marks_of(orphan)["lost"] >= 2; }, 30)) << read_file(root_.file("serve.log"));
  EXPECT_EQ(call({"get_overview", "search=没有启动器"})["data"][0]["health"], "error");
  pause(orphan);
  const std::int64_t orphan_job = job_of(orphan);
  ASSERT_TRUE(wait_until([&] {
    std::int64_t ended = 0, all = 0;
    for (const Fire& f : fires()) {
      if (f.job_id != orphan_job) continue;
      ++all;
      ended += f.end_time ? 1 : 0;
    }
    return ended == all && marks_of(orphan)["lost"] == all;
  }, 30));
  EXPECT_EQ(marks_of(orphan).size(), 1u) << "nothing else was recorded";
  EXPECT_EQ(marks_of(slow)["lost"], 1) << "the killed run is still recorded once";
  const std::string reason = health(orphan)["reason"].get<std::string>();
  EXPECT_EQ(reason.rfind("拨测无法启动：", 0), 0u) << reason;
  EXPECT_NE(reason.find("can't open file"), std::string::npos) << reason;
  EXPECT_EQ(panel->stop(), 0);
}

// The database held by another connection past the busy time-out: the run does not wait for
// it (before, it waited a minute and lost its row) but keeps its result in the spool, and `panel
// serve` replays it: the row with its own time, and its health.
// A site failing on every node has a report to queue before its row, which must not cost the row.
class LockedMonitor : public Monitor, public ::testing::WithParamInterface<const char*> {};

TEST_P(LockedMonitor, ALockHeldPastTheBusyTimeOutLosesNoRow) {
  start_centre();
  const std::int64_t task = create("web", site_.url(GetParam()));
  env_["RIVI_STORE_WAIT_MS"] = "300";
  Connection holder(database_path());
  holder.exec_script("BEGIN IMMEDIATE");
  const testing::RunResult run =
      testing::run({root_.file("pyenv/bin/python"), root_.file("plugin/qn_rivi/rivi"), std::to_string(task)}, env_, 20);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("it waits in " + spool::directory().string()), std::string::npos) << run.err;
  const std::vector<fs::path> kept = spool::files();
  ASSERT_EQ(kept.size(), 1u);
  const spool::RunOutcome waiting = spool::read(kept[0]);
  EXPECT_EQ(public_::M("rivi_list").count(), 0);
  holder.exec_script("COMMIT");

  // No scheduled run of its own meanwhile: a fire at the next minute would replay the spool and
  // add its own row, and only the replay is watched here.
  pause(task);
  const auto panel = serve();
  ASSERT_TRUE(wait_until([] { return public_::M("rivi_list").count() == 1; }, 20))
      << read_file(root_.file("serve.log")) << "rows: " << public_::M("rivi_list").count();
  const Record row = public_::M("rivi_list").find();
  EXPECT_EQ(row["addtime"], waiting.time);
  EXPECT_EQ(row["data"], waiting.row["data"]);
  EXPECT_EQ(health(task)["last_run"], waiting.time);
  EXPECT_EQ(to_int(public_::M("rivi_hourly").where("pid=?", task).getField("runs")), 1);
  EXPECT_TRUE(spool::files().empty());
  EXPECT_EQ(panel->stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sites, LockedMonitor, ::testing::Values("/", "/down"),
                         [](const auto& info) { return info.index == 0 ? std::string("Up") : std::string("Down"); });

// The disk under the database and the spool full (a tmpfs filled up): a run exits 4 saying why,
// and once there is room again each such fire is recorded as one error run with that reason;
// every fire of the task is then accounted for.
TEST_F(Monitor, AFullDiskIsRecordedOnceThereIsRoomAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "a full disk is a tmpfs mounted for the test, which needs root";
  const fs::path data = root_.file("data");
  const fs::path saved = root_.file("data.saved");
  fs::rename(data, saved);
  fs::create_directory(data);
  if (::mount("tmpfs", data.c_str(), "tmpfs", 0, "size=8m,mode=0755") != 0) {
    const int error = errno;
    fs::remove(data);
    fs::rename(saved, data);
    GTEST_SKIP() << "cannot mount a tmpfs for a full disk: " << std::strerror(error);
  }
  struct Unmount {
    fs::path dir;
    ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
  } unmount{data};
  for (const auto& entry : fs::directory_iterator(saved)) fs::copy(entry.path(), data / entry.path().filename());

  start_centre();
  env_["PANEL_CRON_MINUTE"] = "2";
  const std::int64_t task = create("web", site_.url("/"));
  const std::int64_t job = job_of(task);
  auto panel = serve();
  ASSERT_TRUE(wait_until([] { return public_::M("rivi_list").count() >= 1; }, 30)) << read_file(root_.file("serve.log"));

  {
    std::ofstream filler(data / "filler", std::ios::binary);
    const std::string block(64 * 1024, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
    }
  }
  const testing::RunResult run =
      testing::run({root_.file("pyenv/bin/python"), root_.file("plugin/qn_rivi/rivi"), std::to_string(task)}, env_, 60);
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
  const fs::path log = job_log_path(job);
  ASSERT_TRUE(wait_until([&] { return read_file(log).find("could not be stored") != std::string::npos; }, 30)) << read_file(log);

  fs::remove(data / "filler");
  pause(task);
  ASSERT_TRUE(wait_until([&] {
    std::int64_t all = 0, ended = 0;
    for (const Fire& f : fires()) {
      if (f.job_id != job) continue;
      ++all;
      ended += f.end_time ? 1 : 0;
    }
    std::int64_t marked = 0;
    for (const auto& [kind, n] : marks_of(task)) marked += n;
    return all > 0 && ended == all && marked == all;
  }, 60)) << read_file(root_.file("serve.log"));
  const auto marks = marks_of(task);
  std::string kinds;
  for (const auto& [kind, n] : marks) kinds += kind + "=" + std::to_string(n) + " ";
  EXPECT_TRUE(marks.contains("lost") && marks.contains("row")) << kinds << read_file(root_.file("serve.log"));
  std::int64_t marked = 0;
  for (const auto& [kind, n] : marks) marked += n;
  Connection db(database_path());
  EXPECT_EQ(to_int(db.query("SELECT SUM(runs) AS n FROM rivi_hourly WHERE pid = ?", Record::array({task}))[0]["n"]), marked)
      << "one record a fire";
  for (const Record& r : db.query("SELECT f.exit_status, i.reason FROM rivi_fire m JOIN crontab_fire f ON f.fire_key = m.fire "
                                  "LEFT JOIN rivi_incident i ON i.pid = m.pid WHERE m.kind = 'lost'")) {
    EXPECT_EQ(r["exit_status"], 4);
  }
  const std::string reason = db.query("SELECT reason FROM rivi_incident WHERE pid = ? ORDER BY id LIMIT 1", Record::array({task}))[0]["reason"].get<std::string>();
  EXPECT_EQ(reason.rfind("磁盘空间不足，结果未能保存：", 0), 0u) << reason;
  EXPECT_EQ(panel->stop(), 0);
}

}  // namespace
}  // namespace rivi
