// One worker run against a local target, side by side with curl fetching the same target directly:
// the worker's added wall time (median and 90th percentile of interleaved runs), its CPU time and
// the peak memory of each process. The worker goes through a centre with one in-process node, so it
// makes the same single fetch.
// Targets: added wall time of rivi_worker at most 5 ms at the 90th percentile, at most 10 ms of
// CPU a run, peak memory at most 16 MiB.
//
// Usage: worker_bench [runs]   (default 30; needs RIVI_BUILD_DIR when not run from build/)
#include "dispatch/centre.h"
#include "host/paths.h"
#include "host/public.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <fstream>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

struct Run {
  double wall_ms = 0;
  double cpu_ms = 0;
  long max_rss_kib = 0;
};

// Measure mode: forks and runs `argv` with its output thrown away, then prints "<wall ms> <peak
// RSS KiB>". It runs as a fresh small process because a child's peak RSS starts from the memory of
// the process it was forked from: measured straight from the benchmark (which holds a centre, a
// site and a database) every figure would read as the benchmark's own size.
int measure_mode(char** argv) {
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return 3;
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execvp(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return 3;
  const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 4;
  const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  fmt::print("{:.3f} {:.3f} {}\n", wall, ms(usage.ru_utime) + ms(usage.ru_stime), usage.ru_maxrss);
  return 0;
}

Run measure(const std::string& self, const std::vector<std::string>& argv) {
  std::vector<std::string> command{self, "--measure"};
  command.insert(command.end(), argv.begin(), argv.end());
  const rivi::testing::RunResult r = rivi::testing::run(command);
  if (r.status != 0) throw std::runtime_error(fmt::format("{} failed (status {})", argv[0], r.status));
  Run run;
  if (std::sscanf(r.out.c_str(), "%lf %lf %ld", &run.wall_ms, &run.cpu_ms, &run.max_rss_kib) != 3) {
    throw std::runtime_error("unreadable measurement: " + r.out);
  }
  return run;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The 90th percentile, nearest rank.
double p90(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(0.9 * static_cast<double>(v.size())));
  return v[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--measure") return measure_mode(argv + 2);
  const std::string self = rivi::executable_dir() / "worker_bench";
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  rivi::testing::TempRoot root;
  rivi::testing::LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello", "text/plain");
  });
  target.start();

  rivi::dispatch::CentreConfig config;
  config.nodes = {{"本机", "", "", true}};
  rivi::dispatch::Centre centre(config);
  const int port = centre.bind(rivi::testing::free_port());
  std::jthread serving([&] { centre.run(); });
  rivi::testing::wait_for_port(port);
  ::setenv("RIVI_DISPATCH_HOST", fmt::format("127.0.0.1:{}", port).c_str(), 1);

  std::int64_t task = 0;
  {
    rivi::qn_rivi_main plugin;
    task = rivi::public_::M("rivi_task")
               .insert(rivi::Record{{"name", "bench"}, {"url", target.url("/ok")}, {"status", 1}, {"cycle", 1}});
  }
  const std::string id = std::to_string(task);
  struct Subject {
    std::string name;
    std::vector<std::string> argv;
    std::vector<double> wall = {};
    std::vector<double> cpu = {};
    long peak_kib = 0;
  };
  std::vector<Subject> subjects{
      {"curl (direct fetch)", {"curl", "-s", "-o", "/dev/null", target.url("/ok")}},
      {"rivi_worker", {root.file("plugin/qn_rivi/rivi_worker"), id}},
      {"job command (python rivi)", {root.file("pyenv/bin/python"), root.file("plugin/qn_rivi/rivi"), id}},
      {"true (process floor)", {"true"}},
  };
  for (int r = 0; r < runs + 1; ++r) {
    for (Subject& s : subjects) {
      const Run run = measure(self, s.argv);
      if (r == 0) continue;  // warm-up: page cache, first connection
      s.wall.push_back(run.wall_ms);
      s.cpu.push_back(run.cpu_ms);
      s.peak_kib = std::max(s.peak_kib, run.max_rss_kib);
    }
  }
  centre.stop();

  const double base = median(subjects[0].wall);
  const double base_p90 = p90(subjects[0].wall);
  const double base_cpu = median(subjects[0].cpu);
  fmt::print("worker run vs curl, one node, local target, {} interleaved runs; median and 90th percentile\n", runs);
  double load = 0;
  if (std::ifstream("/proc/loadavg") >> load) {
    fmt::print("load average (1 min): {:.2f} on {} cores\n", load, std::thread::hardware_concurrency());
  }
  fmt::print("{:<28} {:>9} {:>9} {:>10} {:>10} {:>9} {:>10} {:>13}\n", "process", "wall ms", "p90 ms", "added ms",
             "added p90", "cpu ms", "added cpu", "peak RSS MiB");
  for (const Subject& s : subjects) {
    fmt::print("{:<28} {:>9.2f} {:>9.2f} {:>10.2f} {:>10.2f} {:>9.2f} {:>10.2f} {:>13.2f}\n", s.name, median(s.wall),
               p90(s.wall), median(s.wall) - base, p90(s.wall) - base_p90, median(s.cpu), median(s.cpu) - base_cpu,
               s.peak_kib / 1024.0);
  }
  const Subject& worker = subjects[1];
  const double added_p90 = p90(worker.wall) - base_p90;
  fmt::print("target: rivi_worker added wall time <= 5 ms (p90): {} ({:.2f} ms)\n", added_p90 <= 5 ? "met" : "NOT met",
             added_p90);
  fmt::print("target: rivi_worker CPU <= 10 ms a run (median): {} ({:.2f} ms)\n", median(worker.cpu) <= 10 ? "met" : "NOT met",
             median(worker.cpu));
  fmt::print("target: rivi_worker peak memory <= 16 MiB: {} ({:.2f} MiB)\n",
             worker.peak_kib <= 16 * 1024 ? "met" : "NOT met", worker.peak_kib / 1024.0);
  return 0;
}
