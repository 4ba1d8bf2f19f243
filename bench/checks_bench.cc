// The probe node's CPU per probe with the task checks on against none, side by side in one run:
// loopback targets serving a 1 MiB page over HTTP and HTTPS (a certificate of a test authority,
// given as the probes' CA file), plain and behind one redirect. Each probe runs as the node runs
// it, `probe_async` on a multi handle (whose CA cache spares a reading of the system's authorities
// per connection) driven by this thread, and the CPU is this thread's (getrusage RUSAGE_THREAD):
// the targets serve on threads of their own and are not counted. The address of an IP literal needs no lookup thread. Also the
// cost of describing a certificate alone (PeerCertificate::describe).
//
//   build/bin/checks_bench [rounds] [probes per round]
#include "dispatch/probe.h"
#include "dispatch/tls.h"
#include "tests/support/test_authority.h"
#include "tests/support/testing.h"

#include <fmt/format.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

using namespace std::chrono_literals;

double thread_cpu_ms() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

struct Scenario {
  std::string name;
  std::string url;
  rivi::dispatch::ProbeOptions options;
  std::vector<double> per_probe_ms;  // one figure a round
};

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  const int probes = argc > 2 ? std::atoi(argv[2]) : 100;
  const auto dir = std::filesystem::temp_directory_path() / fmt::format("rivi-checks-bench-{}", getpid());
  std::filesystem::create_directories(dir);

  // A page of 1 MiB of text that does not hold the keyword: the whole window is searched.
  std::string page(1u << 20, ' ');
  std::mt19937 random(7);
  for (char& c : page) c = static_cast<char>('a' + random() % 26);
  rivi::testing::TestAuthority ca(dir, "bench-ca");
  const rivi::testing::CertificateFiles site_files = ca.issue("site", {"127.0.0.1"}, 24h * 30);
  rivi::testing::HttpsSite https(site_files, page);
  rivi::testing::LoopbackSite http;
  http.server().Get("/page", [&](const httplib::Request&, httplib::Response& res) { res.set_content(page, "text/plain"); });
  http.server().Get("/moved", [&](const httplib::Request&, httplib::Response& res) { res.set_redirect(https.url("/page"), 302); });
  http.start();

  rivi::dispatch::ProbeOptions none;
  none.allow_private = true;
  none.authority = rivi::dispatch::ProbeAuthority::load(ca.ca_file());
  rivi::dispatch::ProbeOptions keyword = none;
  keyword.checks.keyword = "keyword-not-there";
  rivi::dispatch::ProbeOptions all = keyword;
  all.checks.follow_redirects = true;
  all.checks.timeout_ms = 10000;
  std::vector<Scenario> scenarios = {
      {"http, no checks", http.url("/page"), none, {}},
      {"http, keyword", http.url("/page"), keyword, {}},
      {"https, no checks (cert read)", https.url("/page"), none, {}},
      {"https, keyword", https.url("/page"), keyword, {}},
      {"all: redirect+https+keyword", http.url("/moved"), all, {}},
  };
  int failures = 0;
  rivi::CurlMulti multi(rivi::CurlMulti::attached);
  for (int round = 0; round <= rounds; ++round) {  // round 0 warms up
    for (Scenario& s : scenarios) {
      const double start = thread_cpu_ms();
      for (int i = 0; i < probes; ++i) {
        bool done = false;
        rivi::dispatch::probe_async(multi, s.url, s.options, [&](rivi::dispatch::ProbeOutcome o) {
          done = true;
          if (o.result.is_null() || o.result["http_code"] != 200 || o.result["error_code"] != "") ++failures;
        });
        while (!done) multi.wait(100);
      }
      if (round > 0) s.per_probe_ms.push_back((thread_cpu_ms() - start) / probes);
    }
  }

  // Describing the certificate alone: the one the HTTPS target serves.
  double describe_us = 0;
  {
    const auto certs = rivi::dispatch::pem_certificates([&] {
      std::ifstream in(site_files.certificate);
      return std::string(std::istreambuf_iterator<char>(in), {});
    }());
    const int n = 20000;
    const double start = thread_cpu_ms();
    for (int i = 0; i < n; ++i) rivi::dispatch::describe_certificate(certs.front().get(), std::time(nullptr), "");
    describe_us = (thread_cpu_ms() - start) * 1e3 / n;
  }

  double load = 0;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = 0;
    std::fclose(f);
  }
  std::printf("node CPU per probe (this thread's user+system), %d rounds of %d probes, medians\n", rounds, probes);
  std::printf("load average (1 min): %.2f\n", load);
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  std::vector<double> m;
  for (const Scenario& s : scenarios) {
    m.push_back(median(s.per_probe_ms));
    std::printf("  %-32s %8.3f ms\n", s.name.c_str(), m.back());
  }
  std::printf("keyword search of 1 MiB, http:  %+.3f ms\n", m[1] - m[0]);
  std::printf("keyword search of 1 MiB, https: %+.3f ms\n", m[3] - m[2]);
  std::printf("describing the certificate alone: %.1f us\n", describe_us);
  std::printf("all checks against none (https): %+.3f ms\n", m[4] - m[2]);
  std::printf("probes that failed: %d\n", failures);
  const bool met = std::max(m[1] - m[0], m[3] - m[2]) + describe_us / 1e3 <= 0.3;
  std::printf("target: keyword search and certificate read add <= 0.3 ms CPU per probe: %s\n", met ? "met" : "missed");
  std::filesystem::remove_all(dir);
  return 0;
}
