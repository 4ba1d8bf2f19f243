// Fan-out of the dispatch centre: a centre with 50 real probe nodes (each a NodeServer on loopback)
// probing a target that answers after 100 ms, against the same centre shape with a single node.
// Prints, for each, the median over the rounds of the answer time seen by the caller, the slowest
// node's own fetch time, and their ratio. Target: ratio at most 1.2 with 50 nodes.
//
// Usage: fanout_bench [rounds]   (default 10)
#include "host/server_socket.h"
#include "dispatch/centre.h"
#include "dispatch/node.h"
#include "tests/support/dispatch_servers.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

using rivi::Record;
using rivi::WideBacklog;
using namespace rivi::dispatch;
using rivi::testing::RunningCentre;
using rivi::testing::RunningNode;

// The options of every benchmark node: it may probe the loopback target.
NodeOptions bench_node() {
  NodeOptions o;
  o.probe.isp = "bench";
  o.probe.allow_private = true;
  return o;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Figures {
  double answer_ms;
  double slowest_ms;
  double ratio;
  int unanswered;
};

Figures measure(const std::vector<std::unique_ptr<RunningNode>>& nodes, std::size_t count, const std::string& url,
                int rounds) {
  CentreConfig c;
  c.deadline_ms = 10000;
  for (std::size_t i = 0; i < count; ++i) c.nodes.push_back({fmt::format("n{}", i), nodes[i]->address(), "", false});
  RunningCentre centre(c);
  httplib::Client client("127.0.0.1", centre.port());
  client.set_read_timeout(30, 0);
  std::vector<double> answers, slowest, ratios;
  int unanswered = 0;
  for (int r = 0; r < rounds + 1; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    auto res = client.Post("/api/local/rivi", httplib::Params{{"url", url}});
    const double answer = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (!res || res->status != 200) throw std::runtime_error("the centre did not answer");
    const Record list = rivi::decode(res->body);
    double max_node = 0;
    for (const Record& n : list) {
      if (n["isp"] == kNoAnswer) ++unanswered;
      max_node = std::max(max_node, n["total_time"].get<double>());
    }
    if (r == 0) continue;  // the first round opens connections and warms caches
    answers.push_back(answer);
    slowest.push_back(max_node);
    ratios.push_back(answer / max_node);
  }
  return {median(answers), median(slowest), median(ratios), unanswered};
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  rivi::testing::LoopbackSite target;
  // The library takes ownership of the pool it is handed; 64 workers let all nodes wait at once.
  target.server().new_task_queue = [] { return new httplib::ThreadPool(64); };
  target.server().Get("/delay", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    res.set_content("done", "text/plain");
  });
  WideBacklog backlog(target.server());
  target.start();
  backlog.widen();

  std::vector<std::unique_ptr<RunningNode>> nodes;
  for (int i = 0; i < 50; ++i) nodes.push_back(std::make_unique<RunningNode>(bench_node()));

  const std::string url = target.url("/delay");
  const Figures one = measure(nodes, 1, url, rounds);
  const Figures fifty = measure(nodes, 50, url, rounds);
  fmt::print("fan-out, target answering after 100 ms, {} rounds, medians\n", rounds);
  double load = 0;
  if (std::ifstream("/proc/loadavg") >> load) {
    fmt::print("load average (1 min): {:.2f} on {} cores\n", load, std::thread::hardware_concurrency());
  }
  fmt::print("{:>6} {:>12} {:>14} {:>8} {:>11}\n", "nodes", "answer ms", "slowest ms", "ratio", "unanswered");
  for (const auto& [n, f] : {std::pair{1, one}, std::pair{50, fifty}}) {
    fmt::print("{:>6} {:>12.1f} {:>14.1f} {:>8.3f} {:>11}\n", n, f.answer_ms, f.slowest_ms, f.ratio, f.unanswered);
  }
  fmt::print("target: ratio with 50 nodes <= 1.2: {}\n", fifty.ratio <= 1.2 ? "met" : "NOT met");
  return 0;
}
