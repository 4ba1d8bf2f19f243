// A probe run whose anomaly report goes to an SMTP server that stalls its answer to each message:
// how long after the worker starts its row is stored, and how long the worker runs, beside the
// same run with no channel configured. The worker is started as a scheduled job starts it (the
// launcher `rivi`), against a centre with three in-process nodes probing a loopback site that
// answers 500; the report goes to two recipients.
// Targets: the row is stored no later with the stalling server than without a channel (within
// 250 ms at the median); the worker ends within the run's delivery budget (20 s) after its row.
//
// Usage: alert_bench [runs] [stall seconds]   (default 3 runs, 35 s; needs RIVI_BUILD_DIR when not
// run from build/)
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/smtp_sink.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace rivi;
using Clock = std::chrono::steady_clock;

struct Timing {
  double row_ms = 0;   // from the start to the row being visible
  double exit_ms = 0;  // from the start to the worker's exit
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double load_average() {
  double load = 0;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = 0;
    std::fclose(f);
  }
  return load;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  const int stall = argc > 2 ? std::atoi(argv[2]) : 35;
  testing::TempRoot root;
  testing::SwitchableSite site(true);
  testing::RunningCentre centre(testing::three_local_nodes());
  testing::SmtpSinkOptions options;
  options.stall_seconds = stall;
  testing::SmtpSink sink(options);
  load_qn_rivi_module();
  { qn_rivi_main first; }
  const std::int64_t pid =
      public_::M("rivi_task").insert(Record{{"name", "bench"}, {"url", site.url("/")}, {"status", 1}, {"cycle", 1}, {"addtime", 1}});
  root.write("data/mail_list.json", R"(["a@example.test", "b@example.test"])");
  const auto db = Connection::for_thread(database_path());

  const auto one_run = [&] {
    const std::int64_t before = to_int(db->query("SELECT COUNT(*) AS n FROM rivi_list")[0]["n"]);
    const auto t0 = Clock::now();
    testing::Child worker({root.file("pyenv/bin/python"), root.file("plugin/qn_rivi/rivi"), std::to_string(pid)},
                          {{"RIVI_DISPATCH_HOST", "127.0.0.1:" + std::to_string(centre.port())}}, "/dev/null");
    Timing t;
    while (worker.running()) {
      if (t.row_ms == 0 && to_int(db->query("SELECT COUNT(*) AS n FROM rivi_list")[0]["n"]) > before)
        t.row_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    t.exit_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (t.row_ms == 0) t.row_ms = t.exit_ms;
    return t;
  };

  fmt::print("a run's report to a stalling SMTP server ({} s a message, 2 recipients), {} runs, medians\n", stall, runs);
  fmt::print("load average (1 min): {:.2f}\n", load_average());
  fmt::print("{:<34}{:>12}{:>14}\n", "channel", "row ms", "worker ms");
  std::vector<double> base_row, stall_row, stall_exit;
  for (const bool mail : {false, true}) {
    root.write("data/stmp_mail.json",
               mail ? Record{{"qq_mail", "monitor@example.test"}, {"host", "127.0.0.1"}, {"port", sink.port()},
                             {"security", "none"}, {"timeout", 60}}.dump()
                    : std::string("{}"));
    std::vector<double> row, exit;
    for (int i = 0; i < runs; ++i) {
      const Timing t = one_run();
      row.push_back(t.row_ms);
      exit.push_back(t.exit_ms);
    }
    fmt::print("{:<34}{:>12.1f}{:>14.1f}\n", mail ? "SMTP server stalling" : "none configured", median(row), median(exit));
    (mail ? stall_row : base_row) = row;
    if (mail) stall_exit = exit;
  }
  const double late = median(stall_row) - median(base_row);
  fmt::print("target: row no later with the stalling server (within 250 ms): {} ({:+.1f} ms)\n",
             late <= 250 ? "met" : "missed", late);
  const double after = median(stall_exit) - median(stall_row);
  fmt::print("target: worker ends within 20 s of its row: {} ({:.1f} s)\n", after <= 20500 ? "met" : "missed", after / 1000);
  std::filesystem::current_path("/");
  return 0;
}
