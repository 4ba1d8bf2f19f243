// The three programs as scripts and systemd use them: exit statuses, --version, usage errors in
// one line with a hint; `rivi-panel call` failing on a refusal; and rivi-dispatch's log as the
// journal reads it: priorities only when its standard error is the journal, a node going down and
// coming back logged once each however many requests fail, a failed reload logged as an error
// while the centre keeps serving.
#include "host/record.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

namespace rivi {
namespace {

struct Program {
  std::string binary;  // in build/bin
  std::string name;    // as installed, and in its help and messages
};
const std::vector<Program> kPrograms{{"panel", "rivi-panel"}, {"rivi-dispatch", "rivi-dispatch"}, {"rivi-node", "rivi-node"}};

// What a program says carries no C++ type names.
void expect_no_type_names(const std::string& text) {
  for (const char* part : {"std::", "St13", "St9", "nlohmann", "json_abi", "what():", "terminate called"}) {
    EXPECT_EQ(text.find(part), std::string::npos) << text;
  }
}

testing::RunResult run(const Program& p, const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
  std::vector<std::string> argv{testing::bin(p.binary)};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing::run(argv, env, 30);
}

TEST(CommandLines, VersionAndHelpNameTheProgramAsInstalled) {
  for (const Program& p : kPrograms) {
    const auto version = run(p, {"--version"});
    EXPECT_EQ(version.status, 0) << p.name;
    EXPECT_EQ(version.out, p.name + " " + RIVI_VERSION + "\n");
    EXPECT_EQ(version.err, "");
    const auto help = run(p, {"--help"});
    EXPECT_EQ(help.status, 0) << p.name;
    EXPECT_NE(help.out.find("Usage: " + p.name + " "), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
  }
  const auto call_help = run(kPrograms[0], {"call", "--help"});
  EXPECT_NE(call_help.out.find("Usage: rivi-panel call "), std::string::npos) << call_help.out;
  EXPECT_NE(call_help.out.find("(rivi-panel call qn_rivi METHOD"), std::string::npos) << call_help.out;
}

TEST(CommandLines, UsageErrorsExitTwoWithOneLineAndAHint) {
  testing::TempRoot dir(false);
  dir.write("cert.pem", "not used");
  struct Case {
    const Program& program;
    std::vector<std::string> args;
    std::string command;  // the one the hint names
    std::string says;
  };
  const Program &panel = kPrograms[0], &centre = kPrograms[1], &node = kPrograms[2];
  const std::vector<Case> cases{
      {panel, {"--bogus"}, "rivi-panel", "--bogus"},                               // unknown option
      {panel, {"frobnicate"}, "rivi-panel", "frobnicate"},                         // unknown subcommand
      {panel, {}, "rivi-panel", "subcommand"},                                     // missing subcommand
      {panel, {"call"}, "rivi-panel call", "plugin"},                              // missing argument
      {panel, {"serve", "--listen"}, "rivi-panel serve", "--listen"},              // missing value
      {panel, {"call", "qn_rivi", "get_find", "novalue"}, "rivi-panel call", "key=value pairs, got: novalue"},  // bad value
      {panel, {"passwd", "--nope"}, "rivi-panel passwd", "--nope"},
      {centre, {"--bogus"}, "rivi-dispatch", "--bogus"},
      {centre, {"--listen"}, "rivi-dispatch", "--listen"},
      {centre, {"--listen", "no-port-here"}, "rivi-dispatch", "no-port-here"},
      {centre, {"--config", dir.file("missing.json")}, "rivi-dispatch", "missing.json"},
      {centre, {"stray"}, "rivi-dispatch", "stray"},
      {node, {"--bogus"}, "rivi-node", "--bogus"},
      {node, {"--timeout-ms", "0"}, "rivi-node", "--timeout-ms"},
      {node, {"--timeout-ms", "soon"}, "rivi-node", "soon"},
      {node, {"--listen", "127.0.0.1:notaport"}, "rivi-node", "notaport"},
      {node, {"--tls-cert", dir.file("cert.pem")}, "rivi-node", "--tls-key"},
  };
  for (const Case& c : cases) {
    std::string shown = c.program.name;
    for (const auto& a : c.args) shown += " " + a;
    const auto r = run(c.program, c.args, {{"PANEL_ROOT", dir.file("root")}});
    EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
    EXPECT_EQ(r.out, "") << shown;
    std::istringstream lines(r.err);
    std::string first, hint, more;
    std::getline(lines, first);
    std::getline(lines, hint);
    EXPECT_EQ(first.rfind(c.command + ": error: ", 0), 0u) << shown << "\n" << r.err;
    EXPECT_NE(first.find(c.says), std::string::npos) << shown << "\n" << r.err;
    EXPECT_EQ(hint, "Run '" + c.command + " --help' for more information.") << shown;
    EXPECT_FALSE(std::getline(lines, more)) << shown << "\n" << r.err;
    expect_no_type_names(r.err);
  }
  // Errors that are not of the command line keep status 1 and say what failed in words.
  for (const Program& p : {centre, node}) {
    const auto taken = run(p, {"--listen", "256.0.0.1:80"});
    EXPECT_EQ(taken.status, 1) << p.name << " " << taken.err;
    EXPECT_EQ(taken.err.rfind(p.name + ": ", 0), 0u) << taken.err;
    expect_no_type_names(taken.err);
  }
}

TEST(PanelCall, ARefusalExitsOneWithItsAnswerOnStandardOutput) {
  testing::TempRoot root;
  const std::map<std::string, std::string> env{{"PANEL_ROOT", root.path().string()}};
  const Program& panel = kPrograms[0];
  auto made = run(panel, {"call", "qn_rivi", "create", "name2=站点", "url=http://127.0.0.1:1/", "cycle=5"}, env);
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(decode(made.out)["status"], true);

  const auto refused = run(panel, {"call", "qn_rivi", "create", "name2=站点", "url=not a url", "cycle=5"}, env);
  EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
  EXPECT_EQ(decode(refused.out)["status"], false) << refused.out;
  EXPECT_EQ(refused.err, "");

  const auto listed = run(panel, {"call", "qn_rivi", "get_list"}, env);  // an answer without `status`
  EXPECT_EQ(listed.status, 0) << listed.err;
  const auto found = run(panel, {"call", "qn_rivi", "get_find", "id=1"}, env);
  EXPECT_EQ(found.status, 0) << found.err;

  const auto failed = run(panel, {"call", "qn_rivi", "get_list", "p=abc"}, env);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err.rfind("error: ", 0), 0u) << failed.err;
  expect_no_type_names(failed.err);
  // A centre that cannot be reached: the plug-in prints the host's error description, then refuses.
  auto unreachable_env = env;
  unreachable_env["RIVI_DISPATCH_HOST"] = "127.0.0.1:" + std::to_string(testing::free_port());
  const auto unreachable = run(panel, {"call", "qn_rivi", "get_nodes"}, unreachable_env);
  EXPECT_EQ(unreachable.status, 1) << unreachable.out << unreachable.err;
  EXPECT_EQ(testing::call_status(unreachable.out), 1) << unreachable.out;
  expect_no_type_names(unreachable.out + unreachable.err);
}

// Whether every line of `log` starts with a priority.
bool all_prefixed(const std::string& log) {
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (!std::regex_search(line, std::regex("^<[3-7]>"))) return false;
  }
  return true;
}

TEST(DispatchJournal, ANodeDownAndBackIsLoggedOnceEachAndAFailedReloadKeepsTheCentre) {
  testing::LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  target.start();
  testing::TempRoot dir(false);
  const int node_port = testing::free_port();
  const int port = testing::free_port();
  const std::string config = dir.file("centre.json");
  std::ofstream(config) << R"({"listen": "127.0.0.1:)" << port << R"(", "deadline_ms": 4000, "nodes": [{"isp": "远方", "address": "127.0.0.1:)"
                        << node_port << R"("}]})";
  // The file journald would hand the service as its standard error, and the variable naming it.
  dir.write("centre.log", "");
  const std::string stream = testing::journal_stream_of(dir.file("centre.log"));

  const auto start_node = [&] {
    auto node = std::make_unique<testing::Child>(std::vector<std::string>{testing::bin("rivi-node"), "--listen",
                                                                           "127.0.0.1:" + std::to_string(node_port),
                                                                           "--allow-private"},
                                                  std::map<std::string, std::string>{}, dir.file("node.log"));
    EXPECT_TRUE(testing::wait_for_port(node_port)) << dir.read("node.log");
    return node;
  };
  auto node = start_node();
  testing::Child centre({testing::bin("rivi-dispatch"), "--config", config}, {{"JOURNAL_STREAM", stream}},
                        dir.file("centre.log"));
  ASSERT_TRUE(testing::wait_for_port(port)) << dir.read("centre.log");
  const auto ask = [&] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(20, 0);
    auto res = client.Post("/api/local/rivi", httplib::Params{{"url", target.url("/ok")}});
    return res && res->status == 200 ? decode(res->body)[0].value("http_code", -1) : -2;
  };
  EXPECT_EQ(ask(), 200);
  EXPECT_EQ(ask(), 200);
  node->stop();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ask(), 0) << "listed as not answering";
  node = start_node();
  int code = 0;
  for (int i = 0; i < 3; ++i) code = ask();
  EXPECT_EQ(code, 200);

  std::ofstream(config) << R"({"listen": "127.0.0.1:)" << port << R"(", "nodes": [)";  // cut short
  ::kill(centre.pid(), SIGHUP);
  ASSERT_TRUE(testing::wait_until([&] { return dir.read("centre.log").find("reload failed") != std::string::npos; }, 10))
      << dir.read("centre.log");
  EXPECT_EQ(ask(), 200) << "the previous configuration serves";

  const std::string log = dir.read("centre.log");
  const std::string node_words = "node 127.0.0.1:" + std::to_string(node_port) + " (远方)";
  EXPECT_EQ(testing::count_lines(log, node_words + " is down: "), 1) << log;
  EXPECT_EQ(testing::count_lines(log, "<3>rivi-dispatch: " + node_words + " is down: "), 1) << log;
  EXPECT_EQ(testing::count_lines(log, node_words + " answers again after "), 1) << log;
  EXPECT_EQ(testing::count_lines(log, "<5>rivi-dispatch: " + node_words + " answers again after "), 1) << log;
  EXPECT_EQ(testing::count_lines(log, "<3>rivi-dispatch: reload failed, the previous configuration stays: "), 1) << log;
  EXPECT_EQ(testing::count_lines(log, "<6>rivi-dispatch: listening on 127.0.0.1:"), 1) << log;
  EXPECT_TRUE(all_prefixed(log)) << log;

  // The same variable with another standard error (a child of the service writing to a file of
  // its own, or a terminal): plain lines.
  const auto plain = testing::run({testing::bin("rivi-dispatch"), "--config", config}, {{"JOURNAL_STREAM", stream}}, 30);
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.err.rfind("rivi-dispatch: ", 0), 0u) << plain.err;
}

}  // namespace
}  // namespace rivi
