// A soak of the whole monitor through the faults it must ride out: N tasks (default 200) on a
// shortened minute (PANEL_CRON_MINUTE), probed by the real `panel serve` and its workers through
// `rivi-dispatch` and three `rivi-node` processes against a loopback site, while one node is killed
// and started again, the dispatch centre is stopped for a while, and the wall clock of `panel
// serve` (and of the workers it starts) is set back an hour with libfaketime. Alerts go by mail to
// a loopback SMTP sink. Afterwards every fire of a task's job must be accounted for: fires = rows +
// error records (the runs' own, and those recorded for runs that left nothing). Prints the figures.
// The alert policy reports the monitor after two runs in a row without a result (`error_after`).
//
// Usage: soak_bench [--tasks N] [--minute-seconds S] [--phase-seconds P]
//   Phases of P seconds (default 30): steady; a node killed (half-way, ten running workers killed
//   too); the node back; the centre stopped (half-way, the clock set back an hour, so that the
//   outages it opened end "before" they began); the centre back, steady for two phases. Then
//   every task is paused and the runs are drained.
#include "host/cron/fire_log.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/smtp_sink.h"
#include "tests/support/testing.h"

#include <signal.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using rivi::Record;
using rivi::testing::bin;
using rivi::testing::Child;
using Clock = std::chrono::steady_clock;

constexpr const char* kFaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

double load_average() {
  double load[1] = {-1};
  return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::int64_t scalar(rivi::Connection& db, const std::string& sql) {
  const Record rows = db.query(sql);
  return rows.empty() || rows[0].begin()->is_null() ? 0 : rivi::to_int(*rows[0].begin());
}

struct Node {
  std::string address;
  std::unique_ptr<Child> child;
};

void start_node(Node& node, const rivi::testing::TempRoot& root, const std::string& isp) {
  node.child = std::make_unique<Child>(
      std::vector<std::string>{bin("rivi-node"), "--listen", node.address, "--allow-private", "--isp", isp}, std::map<std::string, std::string>{},
      root.file("node-" + isp + ".log"));
  if (!rivi::testing::wait_for_port(std::stoi(node.address.substr(node.address.rfind(':') + 1)))) {
    throw std::runtime_error("rivi-node did not start");
  }
}

std::unique_ptr<Child> start_centre(const rivi::testing::TempRoot& root, const std::string& listen) {
  auto centre = std::make_unique<Child>(std::vector<std::string>{bin("rivi-dispatch"), "--config", root.file("centre.json")},
                                        std::map<std::string, std::string>{}, root.file("centre.log"));
  if (!rivi::testing::wait_for_port(std::stoi(listen.substr(listen.rfind(':') + 1)))) {
    throw std::runtime_error("rivi-dispatch did not start");
  }
  return centre;
}

// Kills, with SIGKILL, up to `most` workers of this soak while they run (processes whose command
// line names this soak's launcher or worker), looking for ten seconds at most; answers how many.
int kill_workers(const std::string& root, int most) {
  const std::string mine = root + "/plugin/qn_rivi/rivi";
  int killed = 0;
  for (int look = 0; look < 1000 && killed < most; ++look) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (killed == most || name.find_first_not_of("0123456789") != std::string::npos) continue;
      if (read_file(entry.path() / "cmdline").find(mine) == std::string::npos) continue;
      if (::kill(static_cast<pid_t>(std::stol(name)), SIGKILL) == 0) ++killed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return killed;
}

void say(const Clock::time_point t0, const std::string& what) {
  fmt::print("  t={:>4.0f} s  {}\n", std::chrono::duration<double>(Clock::now() - t0).count(), what);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int tasks = 200;
  int minute_seconds = 15;
  int phase_seconds = 30;
  CLI::App app{"The monitor through a killed node, a stopped centre and a clock set back"};
  app.add_option("--tasks", tasks)->capture_default_str();
  app.add_option("--minute-seconds", minute_seconds)->capture_default_str();
  app.add_option("--phase-seconds", phase_seconds)->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (!fs::exists(kFaketime)) {
    fmt::print(stderr, "libfaketime is missing (Debian package faketime): the clock cannot be set back\n");
    return 2;
  }

  rivi::testing::TempRoot root;
  rivi::testing::LoopbackSite site;
  site.server().Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  site.start();
  rivi::testing::SmtpSink sink;
  root.write("data/stmp_mail.json", rivi::encode(Record{{"qq_mail", "monitor@example.test"}, {"password", ""}, {"host", "127.0.0.1"},
                                                       {"port", sink.port()}, {"security", "none"}}));
  root.write("data/mail_list.json", "[\"ops@example.test\"]");
  // A centre stopped for one phase leaves each task two runs in a row without a result: enough
  // for the monitoring alert.
  root.write("plugin/qn_rivi/config.json", "{\"alert\": {\"error_after\": 2}}");

  std::vector<Node> nodes(3);
  const std::vector<std::string> isps{"电信", "联通", "移动"};
  Record node_config = Record::array();
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    nodes[i].address = fmt::format("127.0.0.1:{}", rivi::testing::free_port());
    start_node(nodes[i], root, isps[i]);
    node_config.push_back(Record{{"isp", isps[i]}, {"address", nodes[i].address}});
  }
  const std::string centre_address = fmt::format("127.0.0.1:{}", rivi::testing::free_port());
  root.write("centre.json", rivi::encode(Record{{"listen", centre_address}, {"deadline_ms", 10000},
                                                {"probe_timeout_ms", 5000}, {"nodes", node_config}}));
  auto centre = start_centre(root, centre_address);

  {
    rivi::load_qn_rivi_module();
    for (int i = 1; i <= tasks; ++i) {
      Record args{{"name2", fmt::format("站点{}", i)}, {"url", site.url("/")}, {"cycle", "1"}};
      rivi::call_web_method("create", args);
    }
  }
  root.write("faketime", "+0\n");
  const std::map<std::string, std::string> env{
      {"PANEL_CRON_MINUTE", std::to_string(minute_seconds)}, {"RIVI_DISPATCH_HOST", centre_address},
      {"LD_PRELOAD", kFaketime}, {"FAKETIME_TIMESTAMP_FILE", root.file("faketime")}, {"FAKETIME_NO_CACHE", "1"},
      {"FAKETIME_DONT_FAKE_MONOTONIC", "1"}};

  fmt::print("soak: {} tasks, a minute of {} s, phases of {} s\n", tasks, minute_seconds, phase_seconds);
  const double load_before = load_average();
  const auto t0 = Clock::now();
  auto panel = std::make_unique<Child>(std::vector<std::string>{bin("panel"), "serve", "--no-web"}, env, root.file("serve.log"));
  const auto phase = [&](int n) { std::this_thread::sleep_until(t0 + std::chrono::seconds(n * phase_seconds)); };
  say(t0, "panel serve started");
  phase(1);
  ::kill(nodes[0].child->pid(), SIGKILL);
  nodes[0].child.reset();
  say(t0, "node 电信 killed");
  std::this_thread::sleep_until(t0 + std::chrono::milliseconds(1500 * phase_seconds));
  say(t0, fmt::format("{} running workers killed", kill_workers(root.path().string(), 10)));
  phase(2);
  start_node(nodes[0], root, isps[0]);
  say(t0, "node 电信 started again");
  phase(3);
  centre.reset();
  say(t0, "dispatch centre stopped");
  std::this_thread::sleep_until(t0 + std::chrono::milliseconds(3500 * phase_seconds));
  std::int64_t fires_before_step = 0;
  {
    rivi::Connection db(rivi::database_path());
    fires_before_step = scalar(db, "SELECT COUNT(*) FROM crontab_fire");
  }
  root.write("faketime", "-3600\n");
  say(t0, "clock of panel serve and its workers set back an hour");
  phase(4);
  centre = start_centre(root, centre_address);
  say(t0, "dispatch centre started again");
  std::this_thread::sleep_until(t0 + std::chrono::milliseconds(5500 * phase_seconds));
  std::int64_t fires_after_step = 0;
  {
    rivi::Connection db(rivi::database_path());
    fires_after_step = scalar(db, "SELECT COUNT(*) FROM crontab_fire") - fires_before_step;
    db.exec_script("BEGIN IMMEDIATE; UPDATE crontab SET status = 0; UPDATE rivi_task SET status = 0; COMMIT;");
  }
  say(t0, "every task paused; draining");

  // Drained: every fire has ended and is accounted for (or two minutes passed).
  std::int64_t fires = 0, marked = 0, open = 0;
  const auto drain_until = Clock::now() + std::chrono::minutes(2);
  while (Clock::now() < drain_until) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    rivi::Connection db(rivi::database_path());
    fires = scalar(db, "SELECT COUNT(*) FROM crontab_fire f JOIN crontab c ON c.id = f.job_id WHERE c.save LIKE 'rivi_id_%'");
    open = scalar(db, "SELECT COUNT(*) FROM crontab_fire WHERE end_time IS NULL");
    marked = scalar(db, "SELECT COUNT(*) FROM rivi_fire");
    if (open == 0 && marked >= fires) break;
  }
  say(t0, "drained");
  const std::string serve_log = read_file(root.file("serve.log"));
  panel->stop();
  const double load_after = load_average();

  rivi::Connection db(rivi::database_path());
  const auto kind = [&](const char* k) { return scalar(db, fmt::format("SELECT COUNT(*) FROM rivi_fire WHERE kind = '{}'", k)); };
  const std::int64_t rows = scalar(db, "SELECT COUNT(*) FROM rivi_list");
  const std::int64_t marked_rows = kind("row"), errors = kind("error"), lost = kind("lost");
  const std::int64_t unaccounted = scalar(
      db, "SELECT COUNT(*) FROM crontab_fire f JOIN crontab c ON c.id = f.job_id WHERE c.save LIKE 'rivi_id_%' "
          "AND NOT EXISTS (SELECT 1 FROM rivi_fire m WHERE m.fire = f.fire_key)");
  const std::int64_t hourly_runs = scalar(db, "SELECT SUM(runs) FROM rivi_hourly");
  const std::int64_t negative = scalar(db, "SELECT COUNT(*) FROM rivi_incident WHERE end_time < start_time");
  const std::int64_t clamped = scalar(db, "SELECT COUNT(*) FROM rivi_incident WHERE reason LIKE '%系统时钟被回拨%'");
  const std::int64_t incidents = scalar(db, "SELECT COUNT(*) FROM rivi_incident");
  const std::int64_t killed = scalar(db, "SELECT COUNT(*) FROM crontab_fire WHERE signal IS NOT NULL");
  const std::size_t skips = count_of(serve_log, "skipped: previous run still going");
  const std::size_t mails = sink.messages().size();
  std::map<std::string, std::size_t> subjects;
  for (const auto& m : sink.messages()) {
    const std::string subject = m.value("subject", "");
    subjects[subject.substr(0, subject.find(']') + 1)]++;
  }

  fmt::print("load average (1 min): {:.2f} before, {:.2f} after, on 2 cores\n", load_before, load_after);
  fmt::print("fires of the tasks' jobs          {:>7}\n", fires);
  fmt::print("  rows stored (marked)            {:>7}   rivi_list rows {}\n", marked_rows, rows);
  fmt::print("  error records of the runs       {:>7}\n", errors);
  fmt::print("  runs recorded lost              {:>7}   (fires ended by a signal: {})\n", lost, killed);
  fmt::print("  unaccounted                     {:>7}\n", unaccounted);
  fmt::print("fires = rows + error records:     {}\n", fires == marked_rows + errors + lost && unaccounted == 0 ? "yes" : "NO");
  fmt::print("hourly runs recorded              {:>7}\n", hourly_runs);
  fmt::print("skips (previous run still going)  {:>7}\n", skips);
  fmt::print("fires in the {} s after the step   {:>7}   ({:.2f} a task a cycle)\n", 2 * phase_seconds, fires_after_step,
             static_cast<double>(fires_after_step) / tasks / (2.0 * phase_seconds / minute_seconds));
  fmt::print("clock steps seen by the scheduler {:>7}\n", count_of(serve_log, "the clock was set"));
  fmt::print("incidents {} (negative length {}, closed across the step {})\n", incidents, negative, clamped);
  fmt::print("mails delivered to the SMTP sink  {:>7}\n", mails);
  for (const auto& [subject, n] : subjects) fmt::print("  {:<28} {:>7}\n", subject, n);
  std::fflush(stdout);
  // The deliveries the plug-in recorded, as far as this tree's table tells (alert delivery may
  // keep another form of it: the sink's count above is what arrived either way).
  try {
    for (const Record& r : db.query("SELECT channel, kind, success, COUNT(*) AS n FROM rivi_delivery GROUP BY 1, 2, 3")) {
      fmt::print("  recorded delivery {} {} {}: {}\n", rivi::text_of(r["channel"]), rivi::text_of(r["kind"]),
                 rivi::truthy(r["success"]) ? "success" : "failure", rivi::text_of(r["n"]));
    }
  } catch (const std::exception& e) {
    fmt::print("  recorded deliveries not read: {}\n", e.what());
  }
  return fires == marked_rows + errors + lost && unaccounted == 0 && negative == 0 ? 0 : 1;
}
