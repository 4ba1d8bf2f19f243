// Fan-out of the dispatch centre with real programs: `rivi-dispatch --config FILE` asking N
// `rivi-node` processes (each its own process on loopback, no key), which fetch a target that
// answers after 100 ms. N = 1 (the baseline), 50 and 200, one centre each. For each N it prints
// the median over the rounds of the answer time seen by the caller, the slowest node's own fetch
// time (`total_time`), their ratio, the centre's CPU time (utime + stime of its process from
// /proc, over the measured rounds) per request and per node per request, and the CPU time the
// asked nodes spent per request, summed over them (they share the machine's cores with the centre).
// Goals: ratio <= 1.1 with 50 nodes and <= 1.2 with 200; centre CPU <= 0.1 ms per node per request.
// With `tls`, each count is measured twice in the same run: plain HTTP, then nodes serving HTTPS
// (a second set of node processes, one self-signed certificate) that the centre asks with the
// certificate pinned; the first round, not counted, opens the connections (and their handshakes).
//
// Usage: fanout_bench [rounds] [node counts...] [tls]   (defaults 40, and 50 200)
#include "host/web/http_server.h"
#include "host/record.h"
#include "tests/support/testing.h"

#include <boost/asio.hpp>
#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;
using rivi::Record;
using rivi::testing::bin;
using rivi::testing::Child;

// A target on 127.0.0.1 that answers every request after `delay`, on one thread, however many
// wait at once.
class DelayedTarget {
 public:
  explicit DelayedTarget(std::chrono::milliseconds delay)
      : delay_(delay), server_([this](rivi::http::Request&, rivi::http::Reply reply) { later(std::move(reply)); }) {
    port_ = server_.bind("127.0.0.1", 0);
    server_.start();
    timers_thread_ = std::thread([this] { timers_.run(); });
  }
  ~DelayedTarget() {
    server_.stop();
    work_.reset();
    timers_.stop();
    timers_thread_.join();
  }
  std::string url() const { return fmt::format("http://127.0.0.1:{}/delay", port_); }

 private:
  void later(rivi::http::Reply reply) {
    auto timer = std::make_shared<net::steady_timer>(timers_, delay_);
    timer->async_wait([timer, reply](const boost::system::error_code&) {
      reply(rivi::http::Response::text(200, "done"));
    });
  }

  std::chrono::milliseconds delay_;
  net::io_context timers_;
  std::optional<net::executor_work_guard<net::io_context::executor_type>> work_{timers_.get_executor()};
  rivi::http::Server server_;
  std::thread timers_thread_;
  int port_ = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// CPU time (user + system) of process `pid` so far, in milliseconds.
double cpu_ms(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // after "pid (comm) "
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double load_average() {
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

struct Figures {
  std::size_t nodes = 0;
  bool tls = false;
  double answer_ms = 0, slowest_ms = 0, ratio = 0;
  int unanswered = 0;
  double cpu_per_request_ms = 0;
  double nodes_cpu_per_request_ms = 0;
};

double nodes_cpu_ms(const std::vector<int>& pids, std::size_t count) {
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += cpu_ms(pids[i]);
  return sum;
}

// N node processes, serving HTTPS with `certificate` when it is given.
struct NodeSet {
  std::vector<std::unique_ptr<Child>> children;
  std::vector<std::string> addresses;
  std::vector<int> pids;
  std::optional<rivi::testing::CertificateFiles> certificate;
};

NodeSet start_nodes(std::size_t count, const rivi::testing::TempRoot& dir, std::optional<rivi::testing::CertificateFiles> tls) {
  NodeSet set;
  set.certificate = std::move(tls);
  for (std::size_t i = 0; i < count; ++i) {
    const int port = rivi::testing::free_port();
    set.addresses.push_back(fmt::format("127.0.0.1:{}", port));
    std::vector<std::string> argv{bin("rivi-node"), "--listen", set.addresses.back(), "--allow-private", "--isp", "bench"};
    if (set.certificate) argv.insert(argv.end(), {"--tls-cert", set.certificate->certificate, "--tls-key", set.certificate->key});
    set.children.push_back(std::make_unique<Child>(argv, std::map<std::string, std::string>{},
                                                   dir.file(fmt::format("node{}{}.log", set.certificate ? "-tls" : "", i))));
    set.pids.push_back(set.children.back()->pid());
  }
  for (const auto& a : set.addresses) {
    if (!rivi::testing::wait_for_port(std::stoi(a.substr(a.rfind(':') + 1)))) throw std::runtime_error("a node did not start");
  }
  return set;
}

std::string fingerprint_of(const std::string& certificate) {
  const auto out = rivi::testing::run({"openssl", "x509", "-in", certificate, "-noout", "-fingerprint", "-sha256"});
  return out.out.substr(out.out.find('=') + 1, 95);
}

Figures measure(const NodeSet& set, std::size_t count, const std::string& url, int rounds,
                const rivi::testing::TempRoot& dir) {
  const auto& node_pids = set.pids;
  const std::string pin = set.certificate ? fingerprint_of(set.certificate->certificate) : "";
  Record nodes = Record::array();
  for (std::size_t i = 0; i < count; ++i) {
    nodes.push_back({{"isp", fmt::format("n{}", i)}, {"address", set.addresses[i]}});
    if (!pin.empty()) nodes.back()["pin_sha256"] = pin;
  }
  const int port = rivi::testing::free_port();
  const std::string config_file = fmt::format("centre{}{}.json", count, pin.empty() ? "" : "-tls");
  dir.write(config_file, rivi::encode(Record{
                             {"listen", fmt::format("127.0.0.1:{}", port)}, {"deadline_ms", 10000}, {"nodes", nodes}}));
  Child centre({bin("rivi-dispatch"), "--config", dir.file(config_file)}, {}, dir.file("centre.log"));
  if (!rivi::testing::wait_for_port(port)) throw std::runtime_error("rivi-dispatch did not start");

  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  std::vector<double> answers, slowest, ratios;
  Figures f;
  f.nodes = count;
  f.tls = !pin.empty();
  double cpu_before = 0, nodes_before = 0;
  for (int r = 0; r < rounds + 1; ++r) {
    if (r == 1) {
      cpu_before = cpu_ms(centre.pid());
      nodes_before = nodes_cpu_ms(node_pids, count);
    }
    const auto t0 = Clock::now();
    auto res = client.Post("/api/local/rivi", httplib::Params{{"url", url}});
    const double answer = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (!res || res->status != 200) throw std::runtime_error("the centre did not answer");
    const Record list = rivi::decode(res->body);
    double max_node = 0;
    for (const Record& n : list) {
      if (n["isp"] == "节点未响应") ++f.unanswered;
      max_node = std::max(max_node, n["total_time"].get<double>());
    }
    if (r == 0) continue;  // the first round opens the connections to the nodes
    answers.push_back(answer);
    slowest.push_back(max_node);
    ratios.push_back(answer / max_node);
  }
  const double cpu = cpu_ms(centre.pid()) - cpu_before;
  f.nodes_cpu_per_request_ms = (nodes_cpu_ms(node_pids, count) - nodes_before) / rounds;
  f.answer_ms = median(answers);
  f.slowest_ms = median(slowest);
  f.ratio = median(ratios);
  f.cpu_per_request_ms = cpu / rounds;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool tls = std::erase(args, std::string("tls")) > 0;
  const int rounds = !args.empty() ? std::max(1, std::atoi(args[0].c_str())) : 40;
  std::vector<std::size_t> counts{1};
  for (std::size_t i = 1; i < args.size(); ++i) counts.push_back(static_cast<std::size_t>(std::max(1, std::atoi(args[i].c_str()))));
  if (counts.size() == 1) counts.insert(counts.end(), {50, 200});
  const std::size_t most = *std::max_element(counts.begin(), counts.end());

  rivi::testing::TempRoot dir(false);
  DelayedTarget target(std::chrono::milliseconds(100));
  const NodeSet plain = start_nodes(most, dir, std::nullopt);
  std::optional<NodeSet> secure;
  if (tls) secure.emplace(start_nodes(most, dir, rivi::testing::make_certificate(dir.path(), "node")));

  const double load_before = load_average();
  std::vector<Figures> all;
  for (const std::size_t n : counts) {
    all.push_back(measure(plain, n, target.url(), rounds, dir));
    if (secure) all.push_back(measure(*secure, n, target.url(), rounds, dir));
  }
  fmt::print("fan-out to rivi-node processes, target answering after 100 ms, {} rounds, medians\n", rounds);
  fmt::print("load average (1 min): {:.2f} before, {:.2f} after, on {} cores\n", load_before, load_average(),
             std::thread::hardware_concurrency());
  fmt::print("{:>6} {:>5} {:>10} {:>11} {:>7} {:>11} {:>13} {:>16} {:>14}\n", "nodes", "tls", "answer ms", "slowest ms", "ratio",
             "unanswered", "centre cpu ms", "centre ms/node", "nodes cpu ms");
  for (const Figures& f : all) {
    fmt::print("{:>6} {:>5} {:>10.1f} {:>11.1f} {:>7.3f} {:>11} {:>13.2f} {:>16.4f} {:>14.2f}\n", f.nodes,
               f.tls ? "pin" : "-", f.answer_ms,
               f.slowest_ms, f.ratio, f.unanswered, f.cpu_per_request_ms,
               f.cpu_per_request_ms / static_cast<double>(f.nodes), f.nodes_cpu_per_request_ms);
  }
  fmt::print("(cpu figures per request, from /proc/<pid>/stat utime + stime)\n");
  for (const Figures& f : all) {
    if (f.nodes == 1) continue;
    const double goal = f.nodes <= 50 ? 1.1 : 1.2;
    fmt::print("target{}: ratio with {} nodes <= {}: {}; centre cpu per node per request <= 0.1 ms: {}\n",
               f.tls ? " (tls)" : "", f.nodes, goal,
               f.ratio <= goal ? "met" : "NOT met",
               f.cpu_per_request_ms / static_cast<double>(f.nodes) <= 0.1 ? "met" : "NOT met");
  }
  return 0;
}
