// `panel install`, `panel call` and `panel serve` as a user runs them, on fresh roots, and the
// run script's checks before it starts anything.
#include "host/record.h"
#include "plugin/qn_rivi/methods.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

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
  EXPECT_EQ(tables.out,
            "rivi_task,rivi_list,rivi_health,rivi_incident,rivi_hourly,rivi_node_incident,rivi_node_state,rivi_maintenance,rivi_check,rivi_tag,rivi_counter\n1\n");
}

TEST(PanelCli, CallPrintsTextAsItIsOnOneLineOrIndented) {
  testing::TempRoot root;
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  const auto call = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {testing::bin("panel"), "call", "qn_rivi"});
    return testing::run(args, env);
  };
  auto r = call({"create", "name2=首页 ✓ \"quoted\" 😀", "url=http://127.0.0.1:1/", "cycle=5"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"status\": true, \"msg\": \"添加成功!\"}\n");

  r = call({"get_find", "id=1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(R"("name": "首页 ✓ \"quoted\" 😀")"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
  const Record task = decode(r.out);
  // The stored text keeps its escapes; only the printing changed.
  EXPECT_EQ(encode(task["name"]), R"("\u9996\u9875 \u2713 \"quoted\" \ud83d\ude00")");

  const auto pretty = call({"get_find", "--pretty", "id=1"});
  ASSERT_EQ(pretty.status, 0) << pretty.err;
  EXPECT_EQ(pretty.out.rfind("{\n  \"id\": 1,\n  \"name\": \"首页", 0), 0u) << pretty.out;
  EXPECT_EQ(decode(pretty.out), task);
}

// `panel call` alone with the database (no `panel serve`): what a call writes does not pile up in
// the write-ahead log that every later call reads through.
TEST(PanelCli, CallsThatWriteLeaveTheWriteAheadLogEmpty) {
  testing::TempRoot root;
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  const std::string wal = root.file("data/default.db-wal");
  for (int i = 0; i < 6; ++i) {
    const auto r = testing::run({testing::bin("panel"), "call", "qn_rivi", "create", "name2=t" + std::to_string(i),
                                 "url=http://127.0.0.1:1/", "cycle=5"}, env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::exists(wal) ? std::filesystem::file_size(wal) : 0, 0u) << "after create " << i;
  }
  const auto list = testing::run({testing::bin("panel"), "call", "qn_rivi", "get_list"}, env);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(decode(list.out)["page"]["count"], 6);
}

TEST(PanelCli, CallWithoutAMethodListsTheMethodsWithTheirArguments) {
  testing::TempRoot root;
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  const auto listed = testing::run({testing::bin("panel"), "call", "qn_rivi"}, env);
  EXPECT_EQ(listed.status, 0) << listed.err;
  const auto help = testing::run({testing::bin("panel"), "call", "--help"}, env);
  EXPECT_EQ(help.status, 0) << help.err;
  ASSERT_EQ(web_method_table().size(), web_methods().size());
  for (const WebMethodEntry& m : web_method_table()) {
    const std::string line = "  " + m.name + (m.args.empty() ? "" : " " + m.args) + "\n      " + m.about + "\n";
    EXPECT_NE(listed.out.find(line), std::string::npos) << listed.out;
    EXPECT_NE(help.out.find(line), std::string::npos) << help.out;
  }
  EXPECT_NE(listed.out.find("  create name2=NAME url=URL cycle=MINUTES\n"), std::string::npos);
  EXPECT_NE(listed.out.find("  get_task_log pid=TASK [p=PAGE]\n"), std::string::npos);
  EXPECT_EQ(listed.out.find("send_mail"), std::string::npos);

  const auto unknown = testing::run({testing::bin("panel"), "call", "qn_rivi", "nosuch"}, env);
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "error: unknown method: nosuch (`panel call qn_rivi` lists the methods)\n");
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

TEST(PanelCli, InstallKeepsSecretsToTheOwner) {
  namespace fs = std::filesystem;
  testing::TempRoot root(false);
  // A root laid out earlier, its files readable by everybody.
  const std::map<std::string, std::string> old_files = {{"data/stmp_mail.json", R"({"qq_mail": "a@b.invalid", "password": "p"})"},
                                                        {"data/serverid", "0123456789abcdef0123456789abcdef\n"},
                                                        {"data/dispatch_key", "shared-key\n"}};
  for (const auto& [name, text] : old_files) {
    root.write(name, text);
    fs::permissions(root.file(name), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                         fs::perms::others_read);
  }
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  const auto r = testing::run({testing::bin("panel"), "install"}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* name : {"data/default.db", "data/stmp_mail.json", "data/dingding.json", "data/serverid",
                           "data/dispatch_key", "data/admin_password.json"})
    EXPECT_EQ(fs::status(root.file(name)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write)
        << name;
  for (const auto& [name, text] : old_files) EXPECT_EQ(root.read(name), text) << name;
}

// Waits until the file holds `text`; false after ten seconds.
bool wait_for_text(const testing::TempRoot& root, const std::string& file, const std::string& text) {
  for (int i = 0; i < 500; ++i) {
    if (root.read(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(PanelServe, OnePerPortAndOnePerRoot) {
  testing::TempRoot other;
  testing::TempRoot root;
  const std::string port = std::to_string(testing::free_port());
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  testing::Child first({testing::bin("panel"), "serve", "--listen", "127.0.0.1:" + port}, env, root.file("serve.log"));
  ASSERT_TRUE(testing::wait_for_port(std::stoi(port))) << root.read("serve.log");

  // The same port for another root: refused, not shared, in one line on stderr; the dispatch
  // centre and the probe node say it in the same words.
  const std::string taken =
      "cannot listen on 127.0.0.1:" + port + ": the address is already in use (another program listens there)\n";
  auto r = testing::run({testing::bin("panel"), "serve", "--listen", "127.0.0.1:" + port},
                        {{"PANEL_ROOT", other.path().string()}}, 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: " + taken);
  for (const std::string program : {"rivi-dispatch", "rivi-node"}) {
    const auto p = testing::run({testing::bin(program), "--listen", "127.0.0.1:" + port}, {}, 20);
    EXPECT_EQ(p.status, 1) << program;
    EXPECT_EQ(p.err, program + ": " + taken);
  }

  // Another port for the same root: its scheduler is taken.
  r = testing::run({testing::bin("panel"), "serve", "--listen", "127.0.0.1:" + std::to_string(testing::free_port())},
                   env, 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("already running for the panel root " + root.path().string()), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(first.running());
}

TEST(PanelServe, RaisesALowDescriptorLimitForItsConnections) {
  testing::TempRoot root;
  const int port = testing::free_port();
  // As under a service manager whose soft limit is 1,024 descriptors.
  testing::Child serve({"bash", "-c", "ulimit -Sn 1024 && exec \"$0\" serve --listen 127.0.0.1:" + std::to_string(port),
                        testing::bin("panel")},
                       {{"PANEL_ROOT", root.path().string()}}, root.file("serve.log"));
  ASSERT_TRUE(testing::wait_for_port(port)) << root.read("serve.log");
  std::ifstream limits("/proc/" + std::to_string(serve.pid()) + "/limits");
  std::string line;
  while (std::getline(limits, line) && line.rfind("Max open files", 0) != 0) {
  }
  std::istringstream fields(line.substr(std::string("Max open files").size()));
  std::string soft, hard;
  fields >> soft >> hard;
  const long want = hard == "unlimited" ? 4096 : std::min(std::stol(hard), 4096L);
  EXPECT_EQ(soft, std::to_string(want)) << line;
}

TEST(PanelServe, SchedulerAloneIsOnePerRootToo) {
  testing::TempRoot root;
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  const std::string started = "scheduler running for the panel root " + root.path().string();
  {
    testing::Child first({testing::bin("panel"), "serve", "--no-web"}, env, root.file("first.log"));
    ASSERT_TRUE(wait_for_text(root, "first.log", started)) << root.read("first.log");
    const auto r = testing::run({testing::bin("panel"), "serve", "--no-web"}, env, 20);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already running for the panel root " + root.path().string()), std::string::npos) << r.err;
    EXPECT_EQ(first.stop(), 0);
  }
  // Once the first has ended, the lock it leaves behind stops nobody.
  testing::Child again({testing::bin("panel"), "serve", "--no-web"}, env, root.file("again.log"));
  EXPECT_TRUE(wait_for_text(root, "again.log", started)) << root.read("again.log");
  EXPECT_TRUE(again.running());
}

TEST(RunScript, APortInUseStopsItBeforeAnythingIsLaidOut) {
  testing::TempRoot scratch(false);
  testing::LoopbackSite taken;
  taken.server().Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("busy", "text/plain"); });
  taken.start();
  const std::string busy = "127.0.0.1:" + std::to_string(taken.port());
  const std::string free_a = "127.0.0.1:" + std::to_string(testing::free_port());
  struct Case {
    std::string listen, dispatch_listen, named;
  };
  for (const Case& c : {Case{busy, free_a, busy}, Case{free_a, busy, busy}, Case{free_a, free_a, "same port"}}) {
    const std::string root = scratch.file("panel");
    const auto r = testing::run({"bash", (testing::source_dir() / "scripts" / "run.sh").string()},
                                {{"PANEL_ROOT", root},
                                 {"RIVI_BUILD_DIR", testing::build_dir().string()},
                                 {"RIVI_LISTEN", c.listen},
                                 {"RIVI_DISPATCH_LISTEN", c.dispatch_listen}},
                                60);
    EXPECT_NE(r.status, 0) << c.listen << " " << c.dispatch_listen;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_EQ((r.out + r.err).find("password"), std::string::npos) << r.out << r.err;
    EXPECT_FALSE(std::filesystem::exists(root)) << "laid out despite the port in use";
  }
}

TEST(PanelCli, ErrorsGoToStandardErrorWithStatusOne) {
  testing::TempRoot root;
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  for (const std::vector<std::string>& argv : {
           std::vector<std::string>{"call", "qn_rivi", "send_mail"},     // internal helper
           std::vector<std::string>{"call", "qn_rivi", "_send_task"},    // internal helper
           std::vector<std::string>{"call", "qn_rivi", "nosuch"},
           std::vector<std::string>{"call", "other", "get_list"},
       }) {
    std::vector<std::string> full{testing::bin("panel")};
    full.insert(full.end(), argv.begin(), argv.end());
    const auto r = testing::run(full, env);
    EXPECT_EQ(r.status, 1) << argv[2];
    EXPECT_EQ(r.out, "") << argv[2];
    EXPECT_NE(r.err.find("error: "), std::string::npos) << argv[2];
  }
  // An argument that is no key=value pair is a wrong command line.
  const auto r = testing::run({testing::bin("panel"), "call", "qn_rivi", "get_find", "novalue"}, env);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "rivi-panel call: error: arguments are key=value pairs, got: novalue\nRun 'rivi-panel call --help' for more information.\n");
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
