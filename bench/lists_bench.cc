// Speed of the lists of many tasks: import_tasks of 1,000 URL lines (tasks, their jobs and log
// lines, through `create`), then get_overview at those 1,000 tasks with a tag filter and each
// sort (median and worst of repeated calls). Every task gets two tags (one of 10 groups, one of
// 2) and runs in three hours of the last day, so the uptime sort has hours to add up.
//
// Wall times depend on what else the machine runs: the load average is printed beside them.
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/tags.h"
#include "tests/support/testing.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using rivi::Record;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kNow = 1781604000;
constexpr int kTasks = 1000;
constexpr int kCalls = 30;

double cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string load_average() {
  double load[1] = {0};
  return getloadavg(load, 1) == 1 ? fmt::format("{:.2f}", load[0]) : "?";
}

}  // namespace

int main() {
  ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1);
  rivi::testing::TempRoot root;
  rivi::load_qn_rivi_module();
  fmt::print("load average (1 min) before: {}\n", load_average());

  std::string lines;
  for (int i = 0; i < kTasks; ++i) lines += fmt::format("https://site{}.example.test/health\n", i);
  Record args{{"data", lines}};
  const auto start = Clock::now();
  const double import_cpu = cpu_ms();
  const Record imported = rivi::call_web_method("import_tasks", args);
  const double import_ms = ms_since(start);
  const auto jobs = rivi::public_::M("crontab").count();
  fmt::print("import_tasks of {} lines: {:.0f} ms, {:.0f} ms CPU ({} created, {} jobs)\n", kTasks, import_ms, cpu_ms() - import_cpu,
             rivi::to_int(imported["counts"]["create"]), jobs);

  auto db = std::make_shared<rivi::Connection>(rivi::database_path());
  {
    rivi::transaction tx(db);
    const Record up = Record::array({Record{{"isp", "电信"}, {"http_code", 200}, {"total_time", 20.0}, {"error_code", ""}}});
    const Record down = Record::array({Record{{"isp", "电信"}, {"http_code", 0}, {"total_time", 0.1}, {"error_code", "refused"}},
                                       Record{{"isp", "联通"}, {"http_code", 0}, {"total_time", 0.1}, {"error_code", "refused"}},
                                       Record{{"isp", "移动"}, {"http_code", 0}, {"total_time", 0.1}, {"error_code", "refused"}}});
    for (int pid = 1; pid <= kTasks; ++pid) {
      rivi::tags::save(*db, pid, {fmt::format("group{}", pid % 10), pid % 2 ? "odd" : "even"});
      for (int h = 3; h >= 1; --h) {
        const Record& data = (pid + h) % 7 == 0 ? down : up;
        const auto nodes = rivi::health::judge_nodes(data);
        rivi::health::record_run(*db, pid, kNow - h * 3600 + 60, nodes, rivi::health::assess(nodes, {}).failing > 2 ? 0 : 1);
      }
    }
    tx.commit();
  }

  fmt::print("\nget_overview at {} tasks, tag filter (100 tasks) or none, {} calls each:\n", kTasks, kCalls);
  fmt::print("{:<34} {:>10} {:>10} {:>12}\n", "arguments", "median ms", "worst ms", "median CPU ms");
  for (const char* rows : {"12", "100"}) {
  for (const char* tag : {"group3", "odd", ""}) {
    for (const char* sort : {"", "health", "name", "last", "uptime"}) {
      std::vector<double> times, cpu;
      for (int i = 0; i < kCalls; ++i) {
        Record a{{"rows", rows}};
        if (*tag) a["tag"] = tag;
        if (*sort) a["sort"] = sort;
        const auto t = Clock::now();
        const double c = cpu_ms();
        const Record answer = rivi::call_web_method("get_overview", a);
        cpu.push_back(cpu_ms() - c);
        times.push_back(ms_since(t));
        if (!answer.contains("data")) throw std::runtime_error(rivi::encode(answer));
      }
      std::sort(times.begin(), times.end());
      std::sort(cpu.begin(), cpu.end());
      fmt::print("{:<34} {:>10.2f} {:>10.2f} {:>12.2f}\n", fmt::format("tag={} sort={} rows={}", *tag ? tag : "-", *sort ? sort : "-", rows),
                 times[times.size() / 2], times.back(), cpu[cpu.size() / 2]);
    }
  }
  }
  fmt::print("\nload average (1 min) after: {}\n", load_average());
  return 0;
}
