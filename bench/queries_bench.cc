// Latency of the result queries against the size of the results table: get_task_log and get_list
// at a small and a large number of result rows (median and worst of repeated calls, ratios side
// by side), and the time of the purge that removes one day of results.
//
// Each scale gets its own temporary panel root. The results imitate 100 tasks probed every minute
// for a week: rows spread evenly over the seven days before the pinned clock, tasks interleaved,
// each row the JSON of 4 to 8 node results (1-2 KB); one more task has never been probed.
//
// Wall times depend on what else the machine runs, so each figure comes with the CPU time the
// call itself used, and the load average is printed.
#include "host/install.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using rivi::Record;

constexpr std::int64_t kNow = 1781604000;  // 2026-06-16 10:00:00 UTC
constexpr std::int64_t kWeek = 7 * 86400;
constexpr std::int64_t kDay = 86400;

struct Options {
  std::int64_t small_rows = 1000;
  std::int64_t large_rows = 1000000;
  std::int64_t tasks = 100;
  int calls = 20;
  bool unindexed = false;
  int page_size = 0;  // 0: SQLite's default
};

struct StatementCloser {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

struct DatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(fmt::format("{}: {}", what, sqlite3_errmsg(db)));
}

// Creates the database at `path` with pages of `bytes`; this only works before WAL mode is on.
void set_page_size(const std::string& path, int bytes) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open(path.c_str(), &raw);
  std::unique_ptr<sqlite3, DatabaseCloser> db(raw);
  check(rc, raw, "open");
  const std::string sql = fmt::format("PRAGMA page_size={}; PRAGMA journal_mode=WAL", bytes);
  check(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), raw, "page size");
}

// A few hundred distinct probe results of 4 to 8 nodes, as the probe run stores them.
std::vector<std::string> sample_results() {
  const char* isps[] = {"电信", "联通", "移动", "教育网", "鹏博士", "广电"};
  const char* places[] = {"北京", "上海", "广州", "成都", "武汉", "西安", "沈阳", "杭州"};
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> ms(20.0, 3000.0);
  std::vector<std::string> results;
  for (int i = 0; i < 512; ++i) {
    Record nodes = Record::array();
    const int count = 4 + static_cast<int>(rng() % 5);
    for (int n = 0; n < count; ++n) {
      const double total = std::round(ms(rng) * 1000) / 1000;
      nodes.push_back(Record{
          {"isp", fmt::format("{}{}", places[rng() % 8], isps[rng() % 6])},
          {"primary_ip", fmt::format("203.0.{}.{}", rng() % 256, rng() % 256)},
          {"http_code", rng() % 20 == 0 ? 502 : 200},
          {"total_time", total},
          {"namelookup_time", std::round(total * 0.1 * 1000) / 1000},
          {"starttransfer_time", std::round(total * 0.8 * 1000) / 1000},
          {"size_download", static_cast<double>(20000 + rng() % 80000)},
          {"speed_download", static_cast<double>(100000 + rng() % 900000)},
      });
    }
    results.push_back(rivi::encode(nodes));
  }
  return results;
}

// Fills an empty store with `tasks` + 1 tasks and `rows` results in one transaction.
void fill(std::int64_t tasks, std::int64_t rows, const std::vector<std::string>& results) {
  rivi::Connection conn(rivi::database_path());
  sqlite3* db = conn.handle();
  conn.exec_script("PRAGMA synchronous=OFF; BEGIN");
  // One task more than the results name: the newest task, never probed, is on the first page of
  // get_list, where its latest-run look-up finds nothing.
  for (std::int64_t t = 1; t <= tasks + 1; ++t) {
    conn.run("INSERT INTO rivi_task (name, url, status, cycle, addtime) VALUES (?, ?, 1, 1, ?)",
             Record::array({fmt::format("site{}", t), fmt::format("https://www{}.example.com/", t), kNow - 30 * kDay}));
  }
  sqlite3_stmt* raw = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO rivi_list (pid, data, status, addtime) VALUES (?, ?, ?, ?)", -1, &raw,
                           nullptr),
        db, "prepare");
  Statement insert(raw);
  for (std::int64_t i = 0; i < rows; ++i) {
    const std::string& data = results[static_cast<std::size_t>(i) % results.size()];
    sqlite3_bind_int64(insert.get(), 1, i % tasks + 1);
    sqlite3_bind_text(insert.get(), 2, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    sqlite3_bind_int(insert.get(), 3, 1);
    sqlite3_bind_int64(insert.get(), 4, kNow - kWeek + i * kWeek / rows);
    check(sqlite3_step(insert.get()), db, "insert");
    sqlite3_reset(insert.get());
  }
  conn.exec_script("COMMIT; PRAGMA wal_checkpoint(TRUNCATE)");
}

struct Timing {
  double median_ms = 0;
  double worst_ms = 0;
  double median_cpu_ms = 0;
};

struct Sample {
  double wall_ms = 0;
  double cpu_ms = 0;  // user + system time of this thread
};

double thread_cpu_ms() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

Sample sample(const std::function<void()>& f) {
  const double cpu = thread_cpu_ms();
  const auto start = std::chrono::steady_clock::now();
  f();
  const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return {wall, thread_cpu_ms() - cpu};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Median and worst wall time, and median CPU time, of `calls` calls of `f(i)`.
Timing measure(int calls, const std::function<void(int)>& f) {
  std::vector<double> wall, cpu;
  for (int i = 0; i < calls; ++i) {
    const Sample s = sample([&] { f(i); });
    wall.push_back(s.wall_ms);
    cpu.push_back(s.cpu_ms);
  }
  return {median(wall), *std::max_element(wall.begin(), wall.end()), median(cpu)};
}

double load_average() {
  double load[1] = {0};
  return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

void set_clock(std::int64_t now) { ::setenv("PANEL_NOW", std::to_string(now).c_str(), 1); }

struct Scale {
  std::int64_t rows = 0;
  double fill_s = 0;
  std::uintmax_t db_bytes = 0;
  std::int64_t page_size = 0;
  Timing log_first;  // get_task_log, page 1 of a different task each call
  Timing log_last;   // get_task_log, the last page of a task
  Timing list;       // get_list, page 1
  Timing search;     // get_list with a search text
  Timing log_unindexed;
  Timing list_unindexed;
  Sample purge;
  std::int64_t purged = 0;
  // The next two days purged by a bare DELETE on a fresh connection: the packaged SQLite's
  // secure_delete (every freed page zeroed), then FAST (what get_task_log uses).
  Sample purge_secure;
  std::int64_t purged_secure = 0;
  Sample purge_fast;
  std::int64_t purged_fast = 0;
};

Scale run_scale(const Options& o, std::int64_t rows, const std::vector<std::string>& results) {
  rivi::testing::TempRoot root(false);
  std::filesystem::create_directories(root.file("data"));
  {
    if (o.page_size > 0) set_page_size(rivi::database_path(), o.page_size);
    rivi::Connection host(rivi::database_path());
    rivi::create_host_tables(host);
  }
  set_clock(kNow);
  rivi::qn_rivi_main plugin;  // creates the tables and their indexes

  Scale s;
  s.rows = rows;
  s.fill_s = sample([&] { fill(o.tasks, rows, results); }).wall_ms / 1000;
  // The OS writes the filled database back in the background; let that finish first.
  ::sync();
  s.db_bytes = std::filesystem::file_size(rivi::database_path());
  s.page_size = rivi::Connection(rivi::database_path()).query("PRAGMA page_size")[0]["page_size"].get<std::int64_t>();

  const std::int64_t per_task = rows / o.tasks;
  const std::int64_t last_page = std::max<std::int64_t>(1, (per_task + 11) / 12);
  auto log_call = [&](int i, std::int64_t p) {
    Record args{{"pid", std::to_string(1 + i % o.tasks)}, {"p", std::to_string(p)}};
    const Record answer = plugin.get_task_log(args);
    if (answer.at("data").empty()) throw std::runtime_error("get_task_log answered an empty page");
  };
  auto list_call = [&](const Record& base) {
    Record args = base;
    const Record answer = plugin.get_list(args);
    if (answer.at("data").empty()) throw std::runtime_error("get_list answered an empty page");
  };

  s.log_first = measure(o.calls, [&](int i) { log_call(i, 1); });
  s.log_last = measure(o.calls, [&](int i) { log_call(i, last_page); });
  s.list = measure(o.calls, [&](int) { list_call(Record::object()); });
  s.search = measure(o.calls, [&](int) { list_call(Record{{"search", "example"}}); });

  if (o.unindexed) {
    auto q = rivi::public_::M("rivi_list");
    q.execute("DROP INDEX rivi_list_pid_id");
    q.execute("DROP INDEX rivi_list_addtime");
    const int few = std::min(o.calls, 3);
    s.log_unindexed = measure(few, [&](int i) { log_call(i, 1); });
    s.list_unindexed = measure(few, [&](int) { list_call(Record::object()); });
    q.execute("CREATE INDEX rivi_list_pid_id ON rivi_list (pid, id)");
    q.execute("CREATE INDEX rivi_list_addtime ON rivi_list (addtime)");
  }

  // One day later the first day of results falls out of the window; this call purges it.
  const std::int64_t before = rivi::public_::M("rivi_list").count();
  set_clock(kNow + kDay);
  s.purge = sample([&] { log_call(0, 1); });
  s.purged = before - rivi::public_::M("rivi_list").count();
  set_clock(kNow);

  auto bare_purge = [&](std::int64_t days, const char* secure_delete, std::int64_t& deleted) {
    return sample([&] {
      rivi::Connection conn(rivi::database_path());  // closing it checkpoints, as the call's accessor does
      conn.exec_script(fmt::format("PRAGMA secure_delete={}", secure_delete));
      deleted = conn.run("DELETE FROM rivi_list WHERE addtime < ?", Record::array({kNow - kWeek + days * kDay}));
    });
  };
  s.purge_secure = bare_purge(2, "ON", s.purged_secure);
  s.purge_fast = bare_purge(3, "FAST", s.purged_fast);
  return s;
}

std::string ms_text(double ms) { return ms < 10 ? fmt::format("{:.2f}", ms) : fmt::format("{:.0f}", ms); }

constexpr const char* kRowFormat = "{:<26} {:>7} {:>7} {:>7}   {:>7} {:>7} {:>7}   {:>6} {:>6} {:>6}\n";

void print_row(const char* what, const Timing& a, const Timing& b) {
  fmt::print(kRowFormat, what, ms_text(a.median_ms), ms_text(a.worst_ms), ms_text(a.median_cpu_ms),
             ms_text(b.median_ms), ms_text(b.worst_ms), ms_text(b.median_cpu_ms),
             fmt::format("{:.1f}", b.median_ms / a.median_ms), fmt::format("{:.1f}", b.worst_ms / a.worst_ms),
             fmt::format("{:.1f}", b.median_cpu_ms / a.median_cpu_ms));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Latency of the result queries at a small and a large results table"};
  app.add_option("--small", o.small_rows, "result rows of the small table");
  app.add_option("--large", o.large_rows, "result rows of the large table");
  app.add_option("--tasks", o.tasks, "tasks the results belong to");
  app.add_option("--calls", o.calls, "calls measured per query");
  app.add_option("--page-size", o.page_size, "page size of the new databases (default: SQLite's)");
  app.add_flag("--unindexed", o.unindexed, "also time 3 calls at each scale with the indexes dropped");
  CLI11_PARSE(app, argc, argv);
  if (o.tasks < 1 || o.calls < 1 || o.small_rows < o.tasks || o.large_rows < o.tasks) {
    fmt::print(stderr, "need at least one call, one task and one result row per task\n");
    return 2;
  }

  ::setenv("TZ", "UTC", 1);  // one day of the purge is exactly 86400 s
  ::tzset();
  try {
    const double load_before = load_average();
    const std::vector<std::string> results = sample_results();
    const Scale small = run_scale(o, o.small_rows, results);
    const Scale large = run_scale(o, o.large_rows, results);

    std::size_t bytes = 0;
    for (const std::string& r : results) bytes += r.size();
    fmt::print("{} tasks, results of {:.0f} bytes on average, {} calls per query; times in ms (wall, and CPU of the call)\n",
               o.tasks, static_cast<double>(bytes) / static_cast<double>(results.size()), o.calls);
    fmt::print(kRowFormat, "", fmt::format("{} rows", small.rows), "", "", fmt::format("{} rows", large.rows), "", "",
               "ratio", "", "");
    fmt::print(kRowFormat, "call", "median", "worst", "cpu", "median", "worst", "cpu", "median", "worst", "cpu");
    print_row("get_task_log, page 1", small.log_first, large.log_first);
    print_row("get_task_log, last page", small.log_last, large.log_last);
    print_row("get_list, page 1", small.list, large.list);
    print_row("get_list, search", small.search, large.search);
    if (o.unindexed) {
      print_row("get_task_log, no indexes", small.log_unindexed, large.log_unindexed);
      print_row("get_list, no indexes", small.list_unindexed, large.list_unindexed);
    }
    fmt::print("purge of one day, one get_task_log call: {} rows in {} ms (cpu {}); {} rows in {} ms (cpu {})\n",
               small.purged, ms_text(small.purge.wall_ms), ms_text(small.purge.cpu_ms), large.purged,
               ms_text(large.purge.wall_ms), ms_text(large.purge.cpu_ms));
    for (const Scale* sc : {&small, &large}) {
      fmt::print("bare DELETE of one more day at {} rows: secure_delete ON {} rows in {} ms (cpu {}), "
                 "FAST {} rows in {} ms (cpu {})\n",
                 sc->rows, sc->purged_secure, ms_text(sc->purge_secure.wall_ms), ms_text(sc->purge_secure.cpu_ms),
                 sc->purged_fast, ms_text(sc->purge_fast.wall_ms), ms_text(sc->purge_fast.cpu_ms));
    }
    fmt::print("databases: page size {}, {:.1f} MB filled in {:.2f} s, {:.1f} MB filled in {:.1f} s; load average {:.2f} before, {:.2f} after\n",
               large.page_size, static_cast<double>(small.db_bytes) / 1e6, small.fill_s, static_cast<double>(large.db_bytes) / 1e6,
               large.fill_s, load_before, load_average());
  } catch (const std::exception& e) {
    fmt::print(stderr, "queries_bench: {}\n", e.what());
    return 1;
  }
  return 0;
}
