// Speed of the health layer: get_overview (a page of 12 of 1,000 tasks), get_incidents and
// get_availability at a small and a large results table (median and worst of repeated calls,
// ratios side by side), and the time a probe run's health update adds to storing its row.
//
// Each scale gets its own temporary panel root: 1,000 tasks, results spread evenly over the seven
// days before the pinned clock, tasks interleaved, each row the JSON of 5 node results (some
// failing, some whole outages). The health tables are filled as runs fill them: the last 30 runs
// of every task go through the recording function itself (health, trend, incidents, their hours);
// the hours of the older runs are added by one aggregate statement over `rivi_list`. Every tenth
// task has a weekly maintenance window (Sundays 02:00 for an hour, not covering the measured runs)
// and one window of every task lies in the past, so that every page and every run looks them up.
//
// Wall times depend on what else the machine runs, so each figure comes with the CPU time the
// call itself used, and the load average is printed.
#include "host/install.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
constexpr std::int64_t kTrend = rivi::health::kTrendRuns;

struct Options {
  std::int64_t small_rows = 1000;
  std::int64_t large_rows = 1000000;
  std::int64_t tasks = 1000;
  int calls = 20;
  int runs = 200;  // probe runs stored for the update's cost
};

struct StatementCloser {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(fmt::format("{}: {}", what, sqlite3_errmsg(db)));
}

// Distinct probe results of 5 nodes as the centre answers them: mostly good, a node failing now
// and then, and one result in 16 a whole outage.
std::vector<std::string> sample_results() {
  const char* isps[] = {"电信", "电信", "联通", "联通", "移动"};
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> ms(20.0, 900.0);
  std::vector<std::string> results;
  for (int i = 0; i < 512; ++i) {
    const bool outage = i % 16 == 0;
    Record nodes = Record::array();
    for (const char* isp : isps) {
      const bool fails = outage || rng() % 25 == 0;
      const double total = fails ? 0.1 : std::round(ms(rng) * 1000) / 1000;
      nodes.push_back(Record{{"isp", isp},
                             {"primary_ip", "203.0.113.7"},
                             {"http_code", fails ? 0 : 200},
                             {"total_time", total},
                             {"namelookup_time", std::round(total * 100) / 1000},
                             {"starttransfer_time", std::round(total * 800) / 1000},
                             {"size_download", fails ? 0 : 20000 + static_cast<int>(rng() % 80000)},
                             {"speed_download", fails ? 0 : 100000 + static_cast<int>(rng() % 900000)},
                             {"error_code", fails ? "refused" : ""}});
    }
    results.push_back(rivi::encode(nodes));
  }
  return results;
}

std::int64_t verdict_of(const std::vector<rivi::health::Node>& nodes) {
  return rivi::health::assess(nodes, {}).failing > 2 ? 0 : 1;
}

// Fills an empty store: `tasks` tasks (one in ten stopped), `rows` results, maintenance windows
// and the health tables.
void fill(std::int64_t tasks, std::int64_t rows, const std::vector<std::string>& results) {
  rivi::Connection conn(rivi::database_path());
  sqlite3* db = conn.handle();
  conn.exec_script("PRAGMA synchronous=OFF; BEGIN");
  for (std::int64_t t = 10; t <= tasks; t += 10) {
    conn.run("INSERT INTO rivi_maintenance (pid, kind, weekdays, start_minute, duration) VALUES (?, 'weekly', '7', 120, 60)",
             Record::array({t}));
  }
  conn.run("INSERT INTO rivi_maintenance (pid, kind, start_time, end_time) VALUES (0, 'once', ?, ?)",
           Record::array({kNow - 2 * kWeek, kNow - 2 * kWeek + 3600}));
  for (std::int64_t t = 1; t <= tasks; ++t) {
    conn.run("INSERT INTO rivi_task (name, url, status, cycle, addtime) VALUES (?, ?, ?, 10, ?)",
             Record::array({fmt::format("站点{}", t), fmt::format("https://www{}.example.com/", t), t % 10 == 0 ? 0 : 1,
                            kNow - 30 * 86400}));
  }
  sqlite3_stmt* raw = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO rivi_list (pid, data, status, addtime) VALUES (?, ?, ?, ?)", -1, &raw, nullptr),
        db, "prepare");
  Statement insert(raw);
  std::vector<int> verdicts;
  for (const std::string& r : results) verdicts.push_back(static_cast<int>(verdict_of(rivi::health::judge_nodes(rivi::decode(r)))));
  for (std::int64_t i = 0; i < rows; ++i) {
    const std::size_t k = static_cast<std::size_t>(i * 7 + i / 512) % results.size();
    sqlite3_bind_int64(insert.get(), 1, i % tasks + 1);
    sqlite3_bind_text(insert.get(), 2, results[k].data(), static_cast<int>(results[k].size()), SQLITE_STATIC);
    sqlite3_bind_int(insert.get(), 3, verdicts[k]);
    sqlite3_bind_int64(insert.get(), 4, kNow - kWeek + i * kWeek / rows);
    check(sqlite3_step(insert.get()), db, "insert");
    sqlite3_reset(insert.get());
  }
  // The hours of every run but each task's last 30, in one statement; good runs are the ones no
  // more than two nodes failed in, which the stored verdict says.
  conn.run(
      "WITH ranked AS (SELECT pid, addtime, status, ROW_NUMBER() OVER (PARTITION BY pid ORDER BY id DESC) AS rn "
      "FROM rivi_list) "
      "INSERT INTO rivi_hourly (pid, hour, runs, good, time_sum, time_count, time_min, time_max, isp) "
      "SELECT pid, addtime - addtime % 3600, COUNT(*), SUM(status), 400.0 * 4 * COUNT(*), 4 * COUNT(*), 25.0, 880.0, "
      "'{\"\\u7535\\u4fe1\": {\"sum\": 800.0, \"count\": 2, \"min\": 25.0, \"max\": 700.0, \"runs\": 1, \"good\": 1}}' "
      "FROM ranked WHERE rn > ? GROUP BY 1, 2",
      Record::array({kTrend}));
  // The last 30 runs of each task, oldest first, through the recording function.
  const Record last = conn.query(
      "SELECT pid, data, status, addtime FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY pid ORDER BY id DESC) AS rn "
      "FROM rivi_list) WHERE rn <= ? ORDER BY id",
      Record::array({kTrend}));
  for (const Record& row : last) {
    rivi::health::record_run(conn, row["pid"].get<std::int64_t>(), row["addtime"].get<std::int64_t>(),
                             rivi::health::judge_nodes(rivi::decode(row["data"].get<std::string>())),
                             row["status"].get<std::int64_t>());
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

Timing summarise(const std::vector<Sample>& samples) {
  std::vector<double> wall, cpu;
  for (const Sample& s : samples) {
    wall.push_back(s.wall_ms);
    cpu.push_back(s.cpu_ms);
  }
  return {median(wall), *std::max_element(wall.begin(), wall.end()), median(cpu)};
}

Timing measure(int calls, const std::function<void(int)>& f) {
  std::vector<Sample> samples;
  for (int i = 0; i < calls; ++i) samples.push_back(sample([&] { f(i); }));
  return summarise(samples);
}

double load_average() {
  double load[1] = {0};
  return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

struct Scale {
  std::int64_t rows = 0;
  double fill_s = 0;
  std::int64_t incidents = 0;
  Timing overview;     // get_overview, page 1
  Timing page_far;     // get_overview, page 50
  Timing search;       // get_overview with a search text
  Timing filtered;     // get_overview with a health filter
  Timing incidents_of; // get_incidents of one task
  Timing availability; // get_availability, 7 days
  Timing bare_run;     // a transaction storing one result row
  Timing health_run;   // the same with the run's health update
};

Scale run_scale(const Options& o, std::int64_t rows, const std::vector<std::string>& results) {
  rivi::testing::TempRoot root(false);
  std::filesystem::create_directories(root.file("data"));
  {
    rivi::Connection host(rivi::database_path());
    rivi::create_host_tables(host);
  }
  ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1);
  rivi::qn_rivi_main plugin;  // creates the tables

  Scale s;
  s.rows = rows;
  s.fill_s = sample([&] { fill(o.tasks, rows, results); }).wall_ms / 1000;
  ::sync();
  s.incidents = rivi::public_::M("rivi_incident").count();

  auto overview = [&](Record args) {
    const Record answer = plugin.get_overview(args);
    if (answer.at("data").empty()) throw std::runtime_error("get_overview answered an empty page");
  };
  s.overview = measure(o.calls, [&](int) { overview(Record::object()); });
  s.page_far = measure(o.calls, [&](int) { overview(Record{{"p", "50"}}); });
  s.search = measure(o.calls, [&](int) { overview(Record{{"search", "example"}}); });
  s.filtered = measure(o.calls, [&](int) { overview(Record{{"health", "up"}}); });
  s.incidents_of = measure(o.calls, [&](int i) {
    Record args{{"pid", std::to_string(1 + i * 37 % o.tasks)}};
    plugin.get_incidents(args);
  });
  s.availability = measure(o.calls, [&](int i) {
    Record args{{"pid", std::to_string(1 + i * 37 % o.tasks)}, {"days", "7"}};
    plugin.get_availability(args);
  });

  // A probe run's store, as `start` makes it: one transaction on its own connection with the row
  // alone, then with the row and its health. Runs alternate between the two kinds, on different
  // tasks, a minute apart.
  const auto db = std::make_shared<rivi::Connection>(rivi::database_path());
  std::vector<Sample> bare, with_health;
  for (int i = 0; i < 2 * o.runs; ++i) {
    const std::int64_t pid = 1 + (i * 13) % o.tasks;
    const std::int64_t time = kNow + 60 * (i + 1);
    const std::string& data = results[static_cast<std::size_t>(i) % results.size()];
    const Record row{{"status", 1}, {"data", data}, {"pid", pid}, {"addtime", time}};
    const bool health = i % 2 == 1;
    // Judged before the clock starts, as `start` judges before the report and the store.
    const auto nodes = rivi::health::judge_nodes(rivi::decode(data));
    const Sample one = sample([&] {
      rivi::transaction tx(db);
      rivi::Query("rivi_list", db).insert(row);
      if (health) rivi::health::record_run(*db, pid, time, nodes, 1);
      tx.commit();
    });
    (health ? with_health : bare).push_back(one);
  }
  s.bare_run = summarise(bare);
  s.health_run = summarise(with_health);
  return s;
}

std::string ms_text(double ms) { return ms < 10 ? fmt::format("{:.2f}", ms) : fmt::format("{:.0f}", ms); }

constexpr const char* kRowFormat = "{:<30} {:>7} {:>7} {:>7}   {:>7} {:>7} {:>7}   {:>6} {:>6} {:>6}\n";

void print_row(const char* what, const Timing& a, const Timing& b) {
  fmt::print(kRowFormat, what, ms_text(a.median_ms), ms_text(a.worst_ms), ms_text(a.median_cpu_ms),
             ms_text(b.median_ms), ms_text(b.worst_ms), ms_text(b.median_cpu_ms),
             fmt::format("{:.1f}", b.median_ms / a.median_ms), fmt::format("{:.1f}", b.worst_ms / a.worst_ms),
             fmt::format("{:.1f}", b.median_cpu_ms / a.median_cpu_ms));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Speed of the task health queries and of a run's health update"};
  app.add_option("--small", o.small_rows, "result rows of the small table");
  app.add_option("--large", o.large_rows, "result rows of the large table");
  app.add_option("--tasks", o.tasks, "tasks");
  app.add_option("--calls", o.calls, "calls measured per query");
  app.add_option("--runs", o.runs, "runs stored of each kind for the update's cost");
  CLI11_PARSE(app, argc, argv);
  if (o.tasks < 12 * 50 || o.calls < 1 || o.runs < 1 || o.small_rows < o.tasks || o.large_rows < o.tasks) {
    fmt::print(stderr, "need at least 600 tasks, one call, one run and one result row per task\n");
    return 2;
  }
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  try {
    const double load_before = load_average();
    const std::vector<std::string> results = sample_results();
    const Scale small = run_scale(o, o.small_rows, results);
    const Scale large = run_scale(o, o.large_rows, results);

    fmt::print("{} tasks, 12 a page, {} calls per query; times in ms (wall, and CPU of the call)\n", o.tasks, o.calls);
    fmt::print(kRowFormat, "", fmt::format("{} rows", small.rows), "", "", fmt::format("{} rows", large.rows), "", "",
               "ratio", "", "");
    fmt::print(kRowFormat, "call", "median", "worst", "cpu", "median", "worst", "cpu", "median", "worst", "cpu");
    print_row("get_overview, page 1", small.overview, large.overview);
    print_row("get_overview, page 50", small.page_far, large.page_far);
    print_row("get_overview, search", small.search, large.search);
    print_row("get_overview, health filter", small.filtered, large.filtered);
    print_row("get_incidents", small.incidents_of, large.incidents_of);
    print_row("get_availability, 7 days", small.availability, large.availability);
    print_row("store a run: row alone", small.bare_run, large.bare_run);
    print_row("store a run: row and health", small.health_run, large.health_run);
    for (const auto* sc : {&small, &large}) {
      fmt::print("health update added at {} rows: median {} ms wall, {} ms cpu ({} runs of each kind)\n", sc->rows,
                 ms_text(sc->health_run.median_ms - sc->bare_run.median_ms),
                 ms_text(sc->health_run.median_cpu_ms - sc->bare_run.median_cpu_ms), o.runs);
    }
    fmt::print("filled: {} rows in {:.1f} s ({} incidents), {} rows in {:.1f} s ({} incidents); load average {:.2f} before, {:.2f} after\n",
               small.rows, small.fill_s, small.incidents, large.rows, large.fill_s, large.incidents, load_before,
               load_average());
  } catch (const std::exception& e) {
    fmt::print(stderr, "overview_bench: {}\n", e.what());
    return 1;
  }
  return 0;
}
