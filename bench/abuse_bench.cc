// Abusive clients against the three servers, each the real program on loopback (`panel serve`,
// `rivi-dispatch`, `rivi-node`):
//   flood:   4 connections sending endless 8 KiB header lines as fast as they can; the server's
//            peak resident memory is sampled every 100 ms. Goal: at most 64 MiB.
//   dribble: 64 connections each sending one header line every 5 s; meanwhile a normal request
//            on a fresh connection every 250 ms is timed. Goal: every one answered within 100 ms.
// The baseline, measured first in the same run, is the normal request on an idle server.
//
// Usage: abuse_bench [flood seconds] [dribble seconds]   (defaults 30 and 30)
#include "tests/support/testing.h"

#include <fmt/format.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rivi::testing::bin;

int connect_to(int port, int timeout_s) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{timeout_s, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& data) {
  return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

// Resident memory of `pid` in MiB, from /proc.
double rss_mib(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      double kib = 0;
      in >> kib;
      return kib / 1024.0;
    }
    std::getline(in, key);
  }
  return 0;
}

// One normal request on a fresh connection; answers the time to the end of the response head in
// milliseconds, or a negative number when no answer came within 5 s.
double normal_request(int port, const std::string& request) {
  const auto t0 = Clock::now();
  const int fd = connect_to(port, 5);
  if (fd < 0) return -1;
  std::string got;
  if (send_all(fd, request)) {
    char buf[4096];
    while (got.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (got.rfind("HTTP/1.1 ", 0) != 0) return -1;
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

struct Target {
  std::string name;
  int pid;
  int port;
  std::string request;
};

struct Figures {
  double baseline_p50 = 0;
  double flood_peak_rss = 0;
  double rss_before = 0;
  double dribble_p50 = 0, dribble_max = 0;
  int dribble_failed = 0;
  int dribble_connections = 0;
};

Figures attack(const Target& t, int flood_s, int dribble_s) {
  Figures f;
  std::vector<double> base;
  for (int i = 0; i < 20; ++i) base.push_back(normal_request(t.port, t.request));
  f.baseline_p50 = percentile(base, 0.5);
  f.rss_before = rss_mib(t.pid);

  // Flood: endless header lines on 4 connections, reconnecting when the server closes one.
  std::atomic<bool> stop{false};
  std::vector<std::thread> flooders;
  const std::string line = "X-Flood: " + std::string(8000, 'a') + "\r\n";
  for (int c = 0; c < 4; ++c) {
    flooders.emplace_back([&] {
      while (!stop) {
        const int fd = connect_to(t.port, 1);
        if (fd < 0) continue;
        if (send_all(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")) {
          while (!stop && send_all(fd, line)) {
          }
        }
        ::close(fd);
      }
    });
  }
  const auto flood_end = Clock::now() + std::chrono::seconds(flood_s);
  while (Clock::now() < flood_end) {
    f.flood_peak_rss = std::max(f.flood_peak_rss, rss_mib(t.pid));
    std::this_thread::sleep_for(100ms);
  }
  stop = true;
  for (auto& th : flooders) th.join();

  // Dribble: 64 connections each holding a head open with one line every 5 s.
  stop = false;
  std::vector<std::thread> dribblers;
  std::atomic<int> opened{0};
  for (int c = 0; c < 64; ++c) {
    dribblers.emplace_back([&, c] {
      while (!stop) {
        const int fd = connect_to(t.port, 1);
        if (fd < 0) {
          std::this_thread::sleep_for(100ms);
          continue;
        }
        ++opened;
        bool ok = send_all(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        for (int i = 0; ok && !stop; ++i) {
          for (int w = 0; w < 50 && !stop; ++w) std::this_thread::sleep_for(100ms);
          ok = send_all(fd, fmt::format("X-Drip-{}-{}: 1\r\n", c, i));
        }
        ::close(fd);
      }
    });
  }
  std::this_thread::sleep_for(1s);
  std::vector<double> during;
  const auto dribble_end = Clock::now() + std::chrono::seconds(dribble_s);
  while (Clock::now() < dribble_end) {
    const double ms = normal_request(t.port, t.request);
    if (ms < 0) {
      ++f.dribble_failed;
    } else {
      during.push_back(ms);
    }
    std::this_thread::sleep_for(250ms);
  }
  stop = true;
  for (auto& th : dribblers) th.join();
  f.dribble_p50 = percentile(during, 0.5);
  f.dribble_max = during.empty() ? -1 : *std::max_element(during.begin(), during.end());
  f.dribble_connections = opened.load();
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const int flood_s = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const int dribble_s = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;

  rivi::testing::TempRoot root(false);
  if (rivi::testing::run({bin("panel"), "install"}).status != 0) throw std::runtime_error("panel install failed");
  const int panel_port = rivi::testing::free_port();
  rivi::testing::Child panel({bin("panel"), "serve", "--listen", fmt::format("127.0.0.1:{}", panel_port)}, {},
                             root.file("panel.log"));
  const int centre_port = rivi::testing::free_port();
  rivi::testing::Child centre({bin("rivi-dispatch"), "--listen", fmt::format("127.0.0.1:{}", centre_port)}, {},
                              root.file("centre.log"));
  const int node_port = rivi::testing::free_port();
  rivi::testing::Child node({bin("rivi-node"), "--listen", fmt::format("127.0.0.1:{}", node_port)}, {},
                            root.file("node.log"));
  for (int port : {panel_port, centre_port, node_port}) {
    if (!rivi::testing::wait_for_port(port)) throw std::runtime_error("a server did not start");
  }

  const std::vector<Target> targets{
      {"panel serve", panel.pid(), panel_port, "GET /login HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"},
      {"rivi-dispatch", centre.pid(), centre_port,
       "POST /api/local/rivi HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: "
       "application/x-www-form-urlencoded\r\nContent-Length: 4\r\n\r\nurl="},
      {"rivi-node", node.pid(), node_port,
       "POST /probe HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: "
       "application/x-www-form-urlencoded\r\nContent-Length: 4\r\n\r\nurl="},
  };

  fmt::print("abusive clients: flood {} s (4 connections, endless 8 KiB header lines), dribble {} s (64 "
             "connections, one header line every 5 s)\n",
             flood_s, dribble_s);
  double load = 0;
  if (std::ifstream("/proc/loadavg") >> load) {
    fmt::print("load average (1 min): {:.2f} on {} cores\n", load, std::thread::hardware_concurrency());
  }
  fmt::print("{:<14} {:>12} {:>10} {:>12} {:>12} {:>12} {:>9} {:>7}\n", "server", "baseline ms", "RSS MiB",
             "flood peak", "dribble p50", "dribble max", "no answer", "conns");
  bool rss_met = true, latency_met = true;
  for (const auto& t : targets) {
    const Figures f = attack(t, flood_s, dribble_s);
    fmt::print("{:<14} {:>12.2f} {:>10.1f} {:>12.1f} {:>12.2f} {:>12.2f} {:>9} {:>7}\n", t.name, f.baseline_p50,
               f.rss_before, f.flood_peak_rss, f.dribble_p50, f.dribble_max, f.dribble_failed, f.dribble_connections);
    rss_met = rss_met && f.flood_peak_rss <= 64;
    latency_met = latency_met && f.dribble_failed == 0 && f.dribble_max >= 0 && f.dribble_max <= 100;
  }
  fmt::print("target: every server <= 64 MiB under the flood: {}\n", rss_met ? "met" : "NOT met");
  fmt::print("target: a normal request answers within 100 ms under the dribble: {}\n",
             latency_met ? "met" : "NOT met");
  return 0;
}
