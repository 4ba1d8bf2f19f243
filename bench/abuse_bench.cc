// Abusive clients against the three servers, each the real program on loopback (`panel serve`,
// `rivi-dispatch`, `rivi-node`):
//   flood:   4 connections sending endless 8 KiB header lines as fast as they can; the server's
//            peak resident memory is sampled every 100 ms. Goal: at most 64 MiB.
//   dribble: 64 connections each sending one header line every 5 s; meanwhile a normal request
//            on a fresh connection every 250 ms is timed. Goal: every one answered within 100 ms.
// The baseline, measured first in the same run, is the normal request on an idle server.
// Then floods from one address (127.0.0.1), each while a normal request from another
// (127.0.0.2) is timed every 250 ms and the server's peak resident memory sampled every 100 ms.
// Goals: at most 64 MiB, every normal request answered within 100 ms.
//   extension:   4 connections each POSTing a chunked body whose first chunk line's extension
//                never ends (8 KiB writes);
//   trailers:    4 connections each POSTing a chunked body that ends in 8 KiB trailer lines
//                without end;
//   connections: 5,000 connections kept open (those the server closed opened again every second),
//                none sending a byte; against an HTTPS node (`rivi-node --tls-cert`, as a fourth
//                server) each sends half a TLS ClientHello, so the node holds a handshake begun.
//
// Usage: abuse_bench [flood seconds] [dribble seconds] [one-address flood seconds]
//        (defaults 30, 30 and 20)
#include "host/net/curl_handles.h"
#include "tests/support/testing.h"

#include <fmt/format.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rivi::testing::bin;

// A connection to 127.0.0.1:`port`, from the loopback address `source` when given.
int connect_to(int port, int timeout_s, const char* source = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{timeout_s, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (source) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }
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

// One normal request on a fresh connection (from `source` when given); answers the time to the
// end of the response head in milliseconds, or a negative number when no answer came within 5 s.
double normal_request(int port, const std::string& request, const char* source = nullptr) {
  const auto t0 = Clock::now();
  const int fd = connect_to(port, 5, source);
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

// A normal request made every 250 ms for `seconds`: the times of those answered (ms) and the count
// of those that were not.
struct Timed {
  std::vector<double> times;
  int failed = 0;
};
Timed every_250ms(int seconds, const std::function<double()>& request) {
  Timed out;
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    const double ms = request();
    if (ms < 0) {
      ++out.failed;
    } else {
      out.times.push_back(ms);
    }
    std::this_thread::sleep_for(250ms);
  }
  return out;
}

struct Target {
  std::string name;
  int pid;
  int port;
  std::string request;  // a normal request; empty for the HTTPS node (asked through libcurl)
};

// One normal POST /probe over HTTPS from 127.0.0.2 on a fresh connection; answers the time to its
// whole answer in milliseconds, or a negative number when none came within 5 s.
double normal_https_request(int port) {
  rivi::EasyHandle h = rivi::new_easy();
  const std::string url = fmt::format("https://127.0.0.1:{}/probe", port);
  curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(h.get(), CURLOPT_INTERFACE, "127.0.0.2");
  curl_easy_setopt(h.get(), CURLOPT_PROXY, "");
  curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, "url=");
  curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYPEER, 0L);  // the node's own self-signed certificate
  curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, 5L);
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t n, void*) { return size * n; });
  const auto t0 = Clock::now();
  long code = 0;
  if (curl_easy_perform(h.get()) == CURLE_OK) curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
  if (code == 0) return -1;
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double other_address_request(const Target& t) {
  return t.request.empty() ? normal_https_request(t.port) : normal_request(t.port, t.request, "127.0.0.2");
}

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
  const Timed timed = every_250ms(dribble_s, [&] { return normal_request(t.port, t.request); });
  const std::vector<double>& during = timed.times;
  f.dribble_failed = timed.failed;
  stop = true;
  for (auto& th : dribblers) th.join();
  f.dribble_p50 = percentile(during, 0.5);
  f.dribble_max = during.empty() ? -1 : *std::max_element(during.begin(), during.end());
  f.dribble_connections = opened.load();
  return f;
}

// What one flood from one address came to.
struct OneAddress {
  double peak_rss = 0;
  double p50 = -1, max = -1;
  int failed = 0;
  int answered = 0;
  long closed = 0;  // connections of the flood the server closed
};

// Runs `flood` (which returns once `stop` is set) for `seconds` while timing a normal request from
// 127.0.0.2 every 250 ms and sampling the server's resident memory every 100 ms.
OneAddress under(const Target& t, int seconds, const std::function<void(std::atomic<bool>&, std::atomic<long>&)>& flood) {
  OneAddress f;
  std::atomic<bool> stop{false};
  std::atomic<long> closed{0};
  std::thread flooding([&] { flood(stop, closed); });
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) {
      f.peak_rss = std::max(f.peak_rss, rss_mib(t.pid));
      std::this_thread::sleep_for(100ms);
    }
  });
  std::this_thread::sleep_for(1s);
  const Timed timed = every_250ms(seconds, [&] { return other_address_request(t); });
  const std::vector<double>& times = timed.times;
  f.failed = timed.failed;
  stop = true;
  flooding.join();
  sampling = false;
  sampler.join();
  f.p50 = percentile(times, 0.5);
  f.max = times.empty() ? -1 : *std::max_element(times.begin(), times.end());
  f.answered = static_cast<int>(times.size());
  f.closed = closed.load();
  return f;
}

// `connections` threads each opening a connection, sending `start` and then `block` until the
// server closes it, over and over.
std::function<void(std::atomic<bool>&, std::atomic<long>&)> endless(const Target& t, std::string start, std::string block,
                                                                     int connections = 4) {
  return [&t, start, block, connections](std::atomic<bool>& stop, std::atomic<long>& closed) {
    std::vector<std::thread> senders;
    for (int c = 0; c < connections; ++c) {
      senders.emplace_back([&] {
        while (!stop) {
          const int fd = connect_to(t.port, 1);
          if (fd < 0) continue;
          if (send_all(fd, start)) {
            while (!stop && send_all(fd, block)) {
            }
          }
          if (!stop) ++closed;
          ::close(fd);
        }
      });
    }
    for (auto& s : senders) s.join();
  };
}

// 5,000 connections from 127.0.0.1 kept open, each sending `hello` (maybe nothing) and then
// nothing more; those the server closed are opened again every second.
std::function<void(std::atomic<bool>&, std::atomic<long>&)> held_open(const Target& t, std::string hello) {
  return [&t, hello](std::atomic<bool>& stop, std::atomic<long>& closed) {
    constexpr std::size_t kHeld = 5000;
    std::vector<pollfd> held;
    auto next_round = Clock::now();
    while (!stop) {
      if (Clock::now() >= next_round) {
        next_round = Clock::now() + 1s;
        while (held.size() < kHeld && !stop) {
          const int fd = connect_to(t.port, 1);
          if (fd < 0) break;
          if (!hello.empty()) send_all(fd, hello);
          held.push_back({fd, POLLIN, 0});
        }
      }
      ::poll(held.data(), held.size(), 100);
      for (std::size_t i = 0; i < held.size();) {
        char byte;
        if (held[i].revents != 0 && ::recv(held[i].fd, &byte, 1, MSG_DONTWAIT) <= 0) {
          ::close(held[i].fd);
          held[i] = held.back();
          held.pop_back();
          ++closed;
        } else {
          held[i].revents = 0;
          ++i;
        }
      }
    }
    for (const auto& p : held) ::close(p.fd);
  };
}

// Half a TLS ClientHello: a handshake record's header and the start of its message.
const std::string kHalfClientHello = std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + std::string(32, '\x2a');

}  // namespace

int main(int argc, char** argv) {
  const int flood_s = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const int dribble_s = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
  const int one_address_s = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20;

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
  const auto certificate = rivi::testing::make_certificate(root.path(), "node");
  const int tls_port = rivi::testing::free_port();
  rivi::testing::Child tls_node({bin("rivi-node"), "--listen", fmt::format("127.0.0.1:{}", tls_port), "--tls-cert",
                                 certificate.certificate, "--tls-key", certificate.key},
                                {}, root.file("tls-node.log"));
  for (int port : {panel_port, centre_port, node_port, tls_port}) {
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

  fmt::print("\nfloods from 127.0.0.1, {} s each; a normal request from 127.0.0.2 every 250 ms\n", one_address_s);
  fmt::print("{:<20} {:<12} {:>10} {:>9} {:>9} {:>9} {:>9} {:>8}\n", "server", "flood", "peak MiB", "p50 ms", "max ms",
             "answered", "no answer", "closed");
  std::string over_rss, over_latency;  // the floods that missed a goal
  const auto report = [&](const std::string& server, const std::string& flood, const OneAddress& f) {
    fmt::print("{:<20} {:<12} {:>10.1f} {:>9.2f} {:>9.2f} {:>9} {:>9} {:>8}\n", server, flood, f.peak_rss, f.p50, f.max,
               f.answered, f.failed, f.closed);
    if (f.peak_rss > 64) over_rss += fmt::format(" {} {} ({:.1f} MiB);", server, flood, f.peak_rss);
    if (f.failed != 0 || f.max < 0 || f.max > 100) over_latency += fmt::format(" {} {};", server, flood);
  };
  const std::string ext_start = "POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n1;";
  const std::string trailer_start =
      "POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n";
  for (const auto& t : targets) {
    report(t.name, "extension", under(t, one_address_s, endless(t, ext_start, std::string(8192, 'a'))));
    report(t.name, "trailers", under(t, one_address_s, endless(t, trailer_start, "X-T: " + std::string(8000, 'a') + "\r\n")));
    report(t.name, "connections", under(t, one_address_s, held_open(t, "")));
  }
  const Target https{"rivi-node (HTTPS)", tls_node.pid(), tls_port, ""};
  report(https.name, "connections", under(https, one_address_s, held_open(https, kHalfClientHello)));
  fmt::print("target: every server <= 64 MiB under the one-address floods: {}\n",
             over_rss.empty() ? "met" : "NOT met for" + over_rss);
  fmt::print("target: a request from another address answers within 100 ms under them: {}\n",
             over_latency.empty() ? "met" : "NOT met for" + over_latency);
  return 0;
}
