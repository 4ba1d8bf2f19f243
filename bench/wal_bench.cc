// The write-ahead log under `panel call` alone (no `panel serve` holding the database): N creates,
// each a process of its own, with the log's size after each; then the cost of a read (`panel call
// get_list`) on that root beside the same read on a copy whose log was grown to 20 MiB (the size
// 1,230 creates left before the log was emptied after writes: grown here with checkpoints off),
// interleaved, medians.
// Targets: the log never holds more than the 1,000 pages of the automatic checkpoint (about
// 4 MiB), and is empty after each create.
//
// Usage: wal_bench [creates] [reads]   (default 1230 and 21; needs RIVI_BUILD_DIR when not run
// from build/)
#include "bench/spawn_quiet.h"
#include "tests/support/testing.h"

#include <fmt/format.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Runs `panel call qn_rivi ...` for the root `root`; answers its wall time in milliseconds.
double panel_call(const fs::path& root, const std::vector<std::string>& args) {
  ::setenv("PANEL_ROOT", root.c_str(), 1);
  std::vector<std::string> argv{rivi::testing::bin("panel"), "call", "qn_rivi"};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = rivi::bench::spawn_quiet(argv);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("panel call " + args.at(0) + " failed");
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

std::uintmax_t log_size(const fs::path& root) {
  std::error_code ec;
  const auto size = fs::file_size(root / "data/default.db-wal", ec);
  return ec ? 0 : size;
}

// Appends `bytes` to the root's write-ahead log, with SQLite's own connection and every
// checkpoint off, as the log grew before it was emptied after writes.
void grow_log(const fs::path& root, std::uintmax_t bytes) {
  sqlite3* raw = nullptr;
  const std::string path = (root / "data/default.db").string();
  if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) throw std::runtime_error("cannot open " + path);
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
  sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_exec(raw, "PRAGMA wal_autocheckpoint=0; CREATE TABLE IF NOT EXISTS bench_pad (v BLOB)", nullptr, nullptr, nullptr);
  while (log_size(root) < bytes)
    if (sqlite3_exec(raw, "INSERT INTO bench_pad (v) VALUES (randomblob(16000))", nullptr, nullptr, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(raw));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int creates = argc > 1 ? std::atoi(argv[1]) : 1230;
  const int reads = argc > 2 ? std::atoi(argv[2]) : 21;
  constexpr std::uintmax_t kThresholdBytes = 32 + 1000 * (4096 + 24);

  rivi::testing::TempRoot root;
  std::uintmax_t largest = 0, nonempty = 0;
  std::vector<double> create_ms;
  for (int i = 0; i < creates; ++i) {
    create_ms.push_back(panel_call(root.path(), {"create", fmt::format("name2=t{}", i), "url=http://127.0.0.1:1/", "cycle=5"}));
    const auto size = log_size(root.path());
    largest = std::max(largest, size);
    if (size > 0) ++nonempty;
  }

  // The same data beside a log of 20 MiB.
  rivi::testing::TempRoot grown(false);
  fs::copy(root.path() / "data", grown.path() / "data", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  fs::copy(root.path() / "plugin", grown.path() / "plugin", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  grow_log(grown.path(), 20u << 20);
  std::vector<double> empty_ms, grown_ms;
  panel_call(root.path(), {"get_list"});  // warm-up of both
  panel_call(grown.path(), {"get_list"});
  for (int i = 0; i < reads; ++i) {
    empty_ms.push_back(panel_call(root.path(), {"get_list"}));
    grown_ms.push_back(panel_call(grown.path(), {"get_list"}));
  }

  fmt::print("write-ahead log under `panel call` alone: {} creates, then {} interleaved reads, medians\n", creates, reads);
  if (double load = 0; std::ifstream("/proc/loadavg") >> load)
    fmt::print("load average (1 min): {:.2f} on {} cores\n", load, std::thread::hardware_concurrency());
  fmt::print("create: median {:.1f} ms; log after a create: largest {} bytes, non-empty after {} of {}\n",
             median(create_ms), largest, nonempty, creates);
  fmt::print("{:<34}{:>12}{:>12}\n", "read (get_list)", "log bytes", "median ms");
  fmt::print("{:<34}{:>12}{:>12.1f}\n", "log emptied after writes", log_size(root.path()), median(empty_ms));
  fmt::print("{:<34}{:>12}{:>12.1f}\n", "log grown to 20 MiB", log_size(grown.path()), median(grown_ms));
  fmt::print("ratio (grown / emptied): {:.2f}\n", median(grown_ms) / median(empty_ms));
  fmt::print("target: log never past the checkpoint threshold ({} bytes): {}\n", kThresholdBytes,
             largest <= kThresholdBytes ? "met" : "missed");
  fmt::print("target: log empty after every create: {}\n", nonempty == 0 ? "met" : "missed");
  return 0;
}
