// Speed of the certificates view: get_certificates (page 1 and the last page of 12) at 1,000
// HTTPS tasks, each with three ISP lines (one task in ten served different certificates by its
// lines), beside get_overview's first page on the same database, and the time a run's line
// records (certificates and addresses) add to storing its row. Median and worst of repeated
// calls, with the CPU time the calls used; the load average is printed, since wall times depend
// on what else the machine runs.
#include "host/install.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/line_records.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using rivi::Record;

constexpr std::int64_t kNow = 1781604000;
constexpr std::int64_t kDay = 86400;

struct Timing {
  double median_ms = 0, worst_ms = 0, cpu_ms = 0;
};

double cpu_now_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

Timing measure(int calls, const std::function<void(int)>& call) {
  std::vector<double> wall;
  const double cpu0 = cpu_now_ms();
  for (int i = 0; i < calls; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    call(i);
    wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  Timing t;
  t.cpu_ms = (cpu_now_ms() - cpu0) / calls;
  std::sort(wall.begin(), wall.end());
  t.median_ms = wall[wall.size() / 2];
  t.worst_ms = wall.back();
  return t;
}

// The node results of task `i`'s run: three lines, with certificates and addresses.
Record run_data(std::int64_t i) {
  Record nodes = Record::array();
  int n = 0;
  for (const char* isp : {"电信", "联通", "移动"}) {
    const bool apart = i % 10 == 0 && n == 2;
    nodes.push_back(Record{
        {"isp", isp}, {"primary_ip", "192.0.2.1"}, {"http_code", 200}, {"total_time", 10.0}, {"error_code", ""},
        {"addresses", Record::array({"192.0.2.1", fmt::format("198.51.100.{}", i % 250)})},
        {"cert", Record{{"not_after", kNow + (i % 365) * kDay}, {"days_left", i % 365}, {"subject", "CN=site.test"},
                        {"issuer", apart ? "Other CA" : "Test CA"}, {"names", Record::array({"site.test", "www.site.test"})},
                        {"fingerprint_sha256", fmt::format("{:064x}", apart ? i + 1000000 : i)}, {"verify_error", ""}}}});
    ++n;
  }
  return nodes;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("get_certificates at 1,000 HTTPS tasks");
  int tasks = 1000, calls = 50;
  app.add_option("--tasks", tasks, "HTTPS tasks");
  app.add_option("--calls", calls, "calls measured of each kind");
  CLI11_PARSE(app, argc, argv);
  try {
    rivi::testing::TempRoot root(false);
    std::filesystem::create_directories(root.file("data"));
    {
      rivi::Connection host(rivi::database_path());
      rivi::create_host_tables(host);
    }
    ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1);
    rivi::qn_rivi_main plugin;
    rivi::Query list = rivi::public_::M("rivi_task");
    rivi::Connection& db = list.connection();
    {
      rivi::transaction tx;
      for (int i = 0; i < tasks; ++i) {
        const std::int64_t pid = rivi::public_::M("rivi_task").insert(
            Record{{"name", fmt::format("site {}", i)}, {"url", fmt::format("https://s{}.test/", i)}, {"status", 1},
                   {"cycle", 5}, {"addtime", kNow - kDay}});
        rivi::line_records::record(db, pid, kNow - 60, Record{{"data", rivi::encode(run_data(i))}});
      }
      tx.commit();
    }
    const std::int64_t last_page = (tasks + 11) / 12;
    const Timing first = measure(calls, [&](int) {
      Record args = Record::object();
      if (plugin.get_certificates(args)["data"].size() != 12) throw std::runtime_error("page 1 is not full");
    });
    const Timing last = measure(calls, [&](int) {
      Record args{{"p", std::to_string(last_page)}};
      if (plugin.get_certificates(args)["data"].empty()) throw std::runtime_error("the last page is empty");
    });
    const Timing overview = measure(calls, [&](int) {
      Record args = Record::object();
      plugin.get_overview(args);
    });
    // A run's line records on their own, in a transaction as a run's row has.
    const Timing records = measure(calls, [&](int i) {
      rivi::transaction tx;
      rivi::line_records::record(db, 1 + i % tasks, kNow + i, Record{{"data", rivi::encode(run_data(i))}});
      tx.commit();
    });
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) < 0) load[0] = -1;
    fmt::print("{} HTTPS tasks, 3 lines each, {} calls of each kind; load average {:.2f}\n", tasks, calls, load[0]);
    fmt::print("{:<38}{:>10}{:>10}{:>10}{:>14}\n", "", "median ms", "worst ms", "cpu ms", "x overview");
    for (const auto& [name, t] : {std::pair{std::string("get_certificates, page 1"), first},
                                  std::pair{fmt::format("get_certificates, page {}", last_page), last},
                                  std::pair{std::string("get_overview, page 1"), overview},
                                  std::pair{std::string("a run's line records (3 lines)"), records}})
      fmt::print("{:<38}{:>10.2f}{:>10.2f}{:>10.2f}{:>14.2f}\n", name, t.median_ms, t.worst_ms, t.cpu_ms,
                 t.median_ms / overview.median_ms);
  } catch (const std::exception& e) {
    fmt::print(stderr, "certs_bench: {}\n", e.what());
    return 1;
  }
  return 0;
}
