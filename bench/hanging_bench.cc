// Runs against a target that never answers: every run must still store its row, because the
// centre answers each request by its deadline (the silent nodes listed as unanswered) and the
// worker waits longer than that deadline. The target is a listening socket that never accepts, so
// each probe waits for its time-out, and every node result stored must say so ("timeout"): one
// with error_code "connect" or "refused" (`http_code` 0) is a false connect failure (the probe got
// no socket, and the target is blamed for it). A node that could not probe is listed as not
// answered ("no_answer"), which is counted apart.
// Baseline in the same run: one run alone against the same target. Then N runs (default 500)
// started at once through the bare worker against the real `rivi-dispatch` (embedded default:
// three in-process nodes, so 3 N probes in flight), started as a service manager starts it: at a
// soft limit of 1,024 descriptors (the hard limit stays this machine's).
// Goals: N rows, and no false connect failure among their node results.
//
// Usage: hanging_bench [runs] [centre program]   (default 500, build/bin/rivi-dispatch)
#include "host/public.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "bench/spawn_quiet.h"
#include "tests/support/testing.h"

#include <fmt/format.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using rivi::testing::bin;

struct Wave {
  int ok = 0, failed = 0;
  long stored = 0;
  double seconds = 0;
  // Over the node results of the rows stored.
  long results = 0, timeouts = 0, false_connect = 0, no_answer = 0;
};

Wave wave(const std::string& worker, std::int64_t task, int runs) {
  const auto before = rivi::public_::M("rivi_list").count();
  const rivi::Record last = rivi::public_::M("rivi_list").order("id desc").getField("id");
  const std::int64_t last_id = last.is_number() ? last.get<std::int64_t>() : 0;
  const auto t0 = Clock::now();
  std::vector<pid_t> pids;
  for (int i = 0; i < runs; ++i) pids.push_back(rivi::bench::spawn_quiet({worker, std::to_string(task)}));
  Wave w;
  for (pid_t pid : pids) {
    int status = 0;
    const bool good = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    (good ? w.ok : w.failed)++;
  }
  w.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  w.stored = rivi::public_::M("rivi_list").count() - before;
  for (const auto& row : rivi::public_::M("rivi_list").where("id>?", last_id).select()) {
    for (const auto& result : rivi::decode(row["data"].get<std::string>())) {
      const std::string code = result.value("error_code", "");
      w.results++;
      if (code == "timeout") w.timeouts++;
      if (code == "no_answer") w.no_answer++;
      // The target takes every connection into its queue: refused or failed connections are the probe's.
      if (code == "connect" || code == "refused") w.false_connect++;
    }
  }
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  const std::string centre_program = argc > 2 ? argv[2] : bin("rivi-dispatch");
  rivi::testing::TempRoot root;

  // A target that takes connections into its queue and never answers.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(silent, 4096) != 0) {
    throw std::runtime_error("cannot listen for the silent target");
  }
  socklen_t len = sizeof addr;
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string url = fmt::format("http://127.0.0.1:{}/never", ntohs(addr.sin_port));

  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const std::string hard = limit.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(limit.rlim_max);
  const int centre_port = rivi::testing::free_port();
  rivi::testing::Child centre({"prlimit", "--nofile=1024:" + hard, "--", centre_program, "--listen",
                               fmt::format("127.0.0.1:{}", centre_port)},
                              {}, root.file("centre.log"));
  if (!rivi::testing::wait_for_port(centre_port)) throw std::runtime_error("rivi-dispatch did not start");
  ::setenv("RIVI_DISPATCH_HOST", fmt::format("127.0.0.1:{}", centre_port).c_str(), 1);

  std::int64_t task = 0;
  {
    rivi::qn_rivi_main plugin;
    task = rivi::public_::M("rivi_task")
               .insert(rivi::Record{{"name", "hanging"}, {"url", url}, {"status", 1}, {"cycle", 1}});
  }
  const std::string worker = root.file("plugin/qn_rivi/rivi_worker");
  const Wave one = wave(worker, task, 1);
  const Wave many = wave(worker, task, runs);

  fmt::print("runs against a target that never answers, bare worker, {} (embedded default: 3 nodes),\n"
             "started at descriptor limits 1024:{}\n",
             centre_program, hard);
  double load = 0;
  if (std::ifstream("/proc/loadavg") >> load) {
    fmt::print("load average (1 min): {:.2f} on {} cores\n", load, std::thread::hardware_concurrency());
  }
  fmt::print("{:>6} {:>7} {:>8} {:>8} {:>8} {:>10} {:>8} {:>8} {:>13} {:>9}\n", "runs", "probes", "exit 0", "failed",
             "rows", "seconds", "results", "timeout", "false connect", "no answer");
  for (const Wave* w : {&one, &many}) {
    const int n = w->ok + w->failed;
    fmt::print("{:>6} {:>7} {:>8} {:>8} {:>8} {:>10.1f} {:>8} {:>8} {:>13} {:>9}\n", n, 3 * n, w->ok, w->failed,
               w->stored, w->seconds, w->results, w->timeouts, w->false_connect, w->no_answer);
  }
  fmt::print("target: {} rows for {} concurrent runs: {}\n", runs, runs, many.stored == runs ? "met" : "NOT met");
  fmt::print("target: no false connect failure with {} probes in flight: {}\n", 3 * runs,
             many.false_connect == 0 ? "met" : "NOT met");
  ::close(silent);
  return 0;
}
