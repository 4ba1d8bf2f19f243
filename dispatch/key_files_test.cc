// Key files every user may read: the centre (its nodes' key files, its metrics token file, its
// configuration when that holds a key) and the node (--key-file, --tls-key) warn about each on
// stderr at start and again on SIGHUP, and say nothing about files kept to their owner and group.
#include "dispatch/signing.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <string>
#include <thread>

namespace rivi::dispatch {
namespace {

namespace fs = std::filesystem;
using rivi::testing::TempRoot;

void set_mode(const std::string& path, fs::perms mode) { fs::permissions(path, mode, fs::perm_options::replace); }

constexpr fs::perms k0640 = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
constexpr fs::perms k0644 = k0640 | fs::perms::others_read;

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// What the log at `path` holds once `text` shows in it `times` times (or after 5 s).
std::string wait_for(const TempRoot& dir, const std::string& file, const std::string& text, std::size_t times) {
  for (int i = 0; i < 500 && count(dir.read(file), text) < times; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return dir.read(file);
}

TEST(KeyFiles, TheCentreWarnsAboutKeyFilesEveryUserReadsAtStartAndOnReload) {
  TempRoot dir(false);
  dir.write("open.key", "node-key\n");
  dir.write("closed.key", "other-key\n");
  dir.write("metrics.token", "scrape\n");
  set_mode(dir.file("open.key"), k0644);
  set_mode(dir.file("closed.key"), k0640);
  set_mode(dir.file("metrics.token"), k0640 | fs::perms::others_write);
  const int port = rivi::testing::free_port();
  const std::string config = dir.file("centre.json");
  dir.write("centre.json", R"({"listen": "127.0.0.1:)" + std::to_string(port) +
                               R"(", "access_key": "ck", "metrics_token_file": ")" + dir.file("metrics.token") +
                               R"(", "nodes": [{"isp": "甲", "address": "127.0.0.1:1", "key_file": ")" +
                               dir.file("open.key") + R"("}, {"isp": "乙", "address": "127.0.0.1:2", "key_file": ")" +
                               dir.file("closed.key") + R"("}]})");
  set_mode(config, k0640);
  rivi::testing::Child centre({rivi::testing::bin("rivi-dispatch"), "--config", config}, {}, dir.file("centre.log"));
  ASSERT_TRUE(rivi::testing::wait_for_port(port)) << dir.read("centre.log");

  const std::string open = "rivi-dispatch: warning: the key file " + dir.file("open.key") +
                           " is readable by every user (mode 0644): chmod o-rwx " + dir.file("open.key") + "\n";
  std::string log = dir.read("centre.log");
  EXPECT_EQ(count(log, open), 1u) << log;
  EXPECT_EQ(count(log, "the key file " + dir.file("metrics.token") + " is writable by every user (mode 0642)"), 1u)
      << log;
  EXPECT_EQ(count(log, "warning: the key file"), 2u) << log;

  // The configuration holds the callers' key itself: opened to everyone, it is warned about too.
  set_mode(config, k0644);
  ::kill(centre.pid(), SIGHUP);
  log = wait_for(dir, "centre.log", "reloaded", 1);
  EXPECT_EQ(count(log, open), 2u) << log;
  EXPECT_EQ(count(log, "the key file " + config + " is readable by every user"), 1u) << log;
  EXPECT_EQ(count(log, dir.file("closed.key")), 0u) << log;
}

TEST(KeyFiles, TheNodeWarnsAboutItsKeyAndTlsKeyFilesEveryUserReads) {
  TempRoot dir(false);
  const auto files = rivi::testing::make_certificate(dir.path(), "node");
  dir.write("shared.key", "node-key\n");
  set_mode(dir.file("shared.key"), k0644);
  set_mode(files.key, k0644);
  const int port = rivi::testing::free_port();
  rivi::testing::Child node({rivi::testing::bin("rivi-node"), "--listen", "127.0.0.1:" + std::to_string(port),
                             "--key-file", dir.file("shared.key"), "--tls-cert", files.certificate, "--tls-key", files.key},
                            {}, dir.file("node.log"));
  ASSERT_TRUE(rivi::testing::wait_for_port(port)) << dir.read("node.log");
  const std::string key_warning = "rivi-node: warning: the key file " + dir.file("shared.key") + " is readable by every user";
  const std::string tls_warning = "rivi-node: warning: the key file " + files.key + " is readable by every user";
  std::string log = dir.read("node.log");
  EXPECT_EQ(count(log, key_warning), 1u) << log;
  EXPECT_EQ(count(log, tls_warning), 1u) << log;

  // Narrowed, the key file is no longer warned about when the certificate is read again.
  set_mode(dir.file("shared.key"), k0640);
  ::kill(node.pid(), SIGHUP);
  log = wait_for(dir, "node.log", "reloaded the certificate", 1);
  EXPECT_EQ(count(log, key_warning), 1u) << log;
  EXPECT_EQ(count(log, tls_warning), 2u) << log;
}

}  // namespace
}  // namespace rivi::dispatch
