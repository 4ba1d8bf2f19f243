// Sustained probe runs per minute, with every run's row accounted for: the job command as the
// scheduler runs it (`<python> <root>/plugin/qn_rivi/rivi <id>`, launcher included) and the bare
// worker, each kept at a fixed number of runs in flight for a fixed time, against the real
// `rivi-dispatch` (embedded default: three in-process nodes) and a loopback target that answers at
// once. Rows stored are counted afterwards: lost = runs that exited 0 minus rows stored, and every
// run that exited non-zero is counted as failed.
// Goals on 2 cores: job command >= 2,000 runs/min, bare worker >= 6,000 runs/min, 0 lost.
//
// Usage: throughput_bench [seconds per mode] [runs in flight] [tasks]   (defaults 30, 8, 200)
#include "host/public.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "bench/spawn_quiet.h"
#include "tests/support/testing.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using rivi::testing::bin;

// Runs `argv` with output thrown away; answers its exit status (or -1).
int run_quiet(const std::vector<std::string>& argv) {
  const pid_t pid = rivi::bench::spawn_quiet(argv);
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Figures {
  long fired = 0, ok = 0, failed = 0, stored = 0;
  double seconds = 0;
  double per_minute() const { return static_cast<double>(ok) * 60.0 / seconds; }
  long lost() const { return ok - stored; }
};

Figures sustain(const std::vector<std::string>& prefix, const std::vector<std::int64_t>& tasks, int seconds,
                int in_flight) {
  const auto rows_before = rivi::public_::M("rivi_list").count();
  std::atomic<long> next{0}, ok{0}, failed{0};
  const auto t0 = Clock::now();
  const auto end = t0 + std::chrono::seconds(seconds);
  std::vector<std::thread> lanes;
  for (int l = 0; l < in_flight; ++l) {
    lanes.emplace_back([&] {
      while (Clock::now() < end) {
        const auto task = tasks[static_cast<std::size_t>(next++) % tasks.size()];
        std::vector<std::string> argv = prefix;
        argv.push_back(std::to_string(task));
        (run_quiet(argv) == 0 ? ok : failed)++;
      }
    });
  }
  for (auto& t : lanes) t.join();
  Figures f;
  f.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  f.fired = next.load();
  f.ok = ok.load();
  f.failed = failed.load();
  f.stored = rivi::public_::M("rivi_list").count() - rows_before;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const int in_flight = argc > 2 ? std::max(1, std::atoi(argv[2])) : 8;
  const int task_count = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;

  rivi::testing::TempRoot root;
  rivi::testing::LoopbackSite target;
  target.server().new_task_queue = [] { return new httplib::ThreadPool(32); };
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("hello", "text/plain");
  });
  target.start();

  const int centre_port = rivi::testing::free_port();
  rivi::testing::Child centre({bin("rivi-dispatch"), "--listen", fmt::format("127.0.0.1:{}", centre_port)}, {},
                              root.file("centre.log"));
  if (!rivi::testing::wait_for_port(centre_port)) throw std::runtime_error("rivi-dispatch did not start");
  ::setenv("RIVI_DISPATCH_HOST", fmt::format("127.0.0.1:{}", centre_port).c_str(), 1);

  std::vector<std::int64_t> tasks;
  {
    rivi::qn_rivi_main plugin;
    for (int i = 0; i < task_count; ++i) {
      tasks.push_back(rivi::public_::M("rivi_task").insert(
          rivi::Record{{"name", fmt::format("t{}", i)}, {"url", target.url("/ok")}, {"status", 1}, {"cycle", 1}}));
    }
  }

  const Figures bare = sustain({root.file("plugin/qn_rivi/rivi_worker")}, tasks, seconds, in_flight);
  const Figures job =
      sustain({root.file("pyenv/bin/python"), root.file("plugin/qn_rivi/rivi")}, tasks, seconds, in_flight);

  fmt::print("sustained probe runs, {} s per mode, {} in flight, {} tasks, target answering at once\n", seconds,
             in_flight, task_count);
  double load = 0;
  if (std::ifstream("/proc/loadavg") >> load) {
    fmt::print("load average (1 min): {:.2f} on {} cores\n", load, std::thread::hardware_concurrency());
  }
  fmt::print("{:<28} {:>8} {:>8} {:>8} {:>8} {:>6} {:>10}\n", "mode", "fired", "ok", "failed", "stored", "lost",
             "runs/min");
  for (const auto& [name, f] : {std::pair{"bare worker", bare}, std::pair{"job command (python rivi)", job}}) {
    fmt::print("{:<28} {:>8} {:>8} {:>8} {:>8} {:>6} {:>10.0f}\n", name, f.fired, f.ok, f.failed, f.stored, f.lost(),
               f.per_minute());
  }
  fmt::print("ratio bare/job: {:.2f}\n", bare.per_minute() / job.per_minute());
  fmt::print("target: job command >= 2,000 runs/min with 0 lost: {}\n",
             job.per_minute() >= 2000 && job.lost() == 0 && job.failed == 0 ? "met" : "NOT met");
  fmt::print("target: bare worker >= 6,000 runs/min with 0 lost: {}\n",
             bare.per_minute() >= 6000 && bare.lost() == 0 && bare.failed == 0 ? "met" : "NOT met");
  return 0;
}
