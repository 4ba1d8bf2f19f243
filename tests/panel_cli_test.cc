// `panel install` and `panel call` as a user runs them, on fresh roots.
#include "host/record.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace rivi {
namespace {

TEST(PanelCli, InstallThenCallOnAFreshRoot) {
  testing::TempRoot root(false);
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  ASSERT_EQ(testing::run({testing::bin("panel"), "install"}, env).status, 0);
  ASSERT_EQ(testing::run({testing::bin("panel"), "install"}, env).status, 0);  // idempotent
  EXPECT_TRUE(std::filesystem::exists(root.file("plugin/qn_rivi/rivi")));
  EXPECT_TRUE(std::filesystem::exists(root.file("plugin/qn_rivi/rivi_worker")));
  EXPECT_TRUE(std::filesystem::exists(root.file("pyenv/bin/python")));

  const auto r = testing::run({testing::bin("panel"), "call", "qn_rivi", "return_mail_list"}, env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[]\n");
  const auto tables = testing::run({"sqlite3", root.file("data/default.db"),
                                    "SELECT group_concat(name) FROM sqlite_master WHERE type='table' AND name LIKE 'rivi_%';"
                                    "SELECT count(*) FROM nodes WHERE name='coll_rivi';"});
  EXPECT_EQ(tables.out, "rivi_task,rivi_list,rivi_health,rivi_incident,rivi_hourly\n1\n");
}

TEST(PanelCli, InstallKeepsData) {
  testing::TempRoot root;
  root.write("data/stmp_mail.json", R"({"qq_mail": "ops@example.com"})");
  root.write("data/mail_list.json", R"(["a@example.com"])");
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  ASSERT_EQ(testing::run({testing::bin("panel"), "call", "qn_rivi", "return_mail_list"}, env).status, 0);
  ASSERT_EQ(testing::run({testing::bin("panel"), "install"}, env).status, 0);
  EXPECT_EQ(root.read("data/stmp_mail.json"), R"({"qq_mail": "ops@example.com"})");
  EXPECT_EQ(root.read("data/mail_list.json"), R"(["a@example.com"])");
}

TEST(PanelCli, ErrorsGoToStandardErrorWithStatusOne) {
  testing::TempRoot root;
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  for (const std::vector<std::string>& argv : {
           std::vector<std::string>{"call", "qn_rivi", "send_mail"},     // internal helper
           std::vector<std::string>{"call", "qn_rivi", "_send_task"},    // internal helper
           std::vector<std::string>{"call", "qn_rivi", "nosuch"},
           std::vector<std::string>{"call", "other", "get_list"},
           std::vector<std::string>{"call", "qn_rivi", "get_find", "novalue"},
       }) {
    std::vector<std::string> full{testing::bin("panel")};
    full.insert(full.end(), argv.begin(), argv.end());
    const auto r = testing::run(full, env);
    EXPECT_EQ(r.status, 1) << argv[2];
    EXPECT_EQ(r.out, "") << argv[2];
    EXPECT_NE(r.err.find("error: "), std::string::npos) << argv[2];
  }
}

TEST(PanelCli, UnusableRootIsNamed) {
  const std::map<std::string, std::string> env{{"PANEL_ROOT", "/proc/rivi-cannot-exist"}};
  const auto r = testing::run({testing::bin("panel"), "install"}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/proc/rivi-cannot-exist"), std::string::npos) << r.err;
  const auto c = testing::run({testing::bin("panel"), "call", "qn_rivi", "return_mail_list"}, env);
  EXPECT_EQ(c.status, 1);
  EXPECT_NE(c.err.find("/proc/rivi-cannot-exist"), std::string::npos) << c.err;
}

}  // namespace
}  // namespace rivi
