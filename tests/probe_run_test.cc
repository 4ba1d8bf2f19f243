// Probe runs end to end with the real programs: the launcher `rivi` started by a shell from another
// directory, rivi_worker, rivi-dispatch with in-process, remote (rivi-node) and dead nodes, a
// loopback target, and the host database.
#include "dispatch/signing.h"
#include "host/public.h"
#include "host/record.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace rivi {
namespace {

using testing::Child;
using testing::free_port;
using testing::LoopbackSite;
using testing::TempRoot;

std::string host_of(int port) { return "127.0.0.1:" + std::to_string(port); }

class ProbeRunTest : public ::testing::Test {
 protected:
  ProbeRunTest() {
    target_.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("hello", "text/plain");
    });
    target_.start();
    qn_rivi_main plugin;  // creates the plug-in's tables
    task_ = public_::M("rivi_task").insert(
        Record{{"name", "web"}, {"url", target_.url("/ok")}, {"status", 1}, {"cycle", 1}, {"addtime", 1}});
  }

  // Starts rivi-dispatch on a free port, with `config` (JSON text) or the embedded default.
  std::unique_ptr<Child> start_centre(const std::string& config = "") {
    centre_port_ = free_port();
    std::vector<std::string> argv{testing::bin("rivi-dispatch"), "--listen", host_of(centre_port_)};
    if (!config.empty()) {
      root_.write("centre.json", config);
      argv.insert(argv.end(), {"--config", root_.file("centre.json")});
    }
    auto child = std::make_unique<Child>(argv, std::map<std::string, std::string>{}, root_.file("centre.log"));
    EXPECT_TRUE(testing::wait_for_port(centre_port_)) << root_.read("centre.log");
    return child;
  }

  // The scheduled job's command: the panel's Python runs the launcher, from another directory, with
  // a PANEL_ROOT that points elsewhere (the worker finds its root from its own location).
  std::vector<std::string> job_command(const std::string& id) const {
    return {"/bin/sh", "-c",
            "cd / && exec " + root_.file("pyenv/bin/python") + " " + root_.file("plugin/qn_rivi/rivi") + " " + id};
  }
  std::map<std::string, std::string> job_env(int centre_port) const {
    return {{"PANEL_ROOT", "/nonexistent-panel-root"}, {"RIVI_DISPATCH_HOST", host_of(centre_port)}};
  }
  Record rows() { return public_::M("rivi_list").order("id").select(); }

  TempRoot root_;
  LoopbackSite target_;
  std::int64_t task_ = 0;
  int centre_port_ = 0;
};

TEST_F(ProbeRunTest, WorkerStoresOneRowThroughRealNodes) {
  const int node_port = free_port();
  Child node({testing::bin("rivi-node"), "--listen", host_of(node_port), "--allow-private", "--isp", "ignored"}, {},
             root_.file("node.log"));
  ASSERT_TRUE(testing::wait_for_port(node_port)) << root_.read("node.log");
  const Record config{{"deadline_ms", 3000},
                      {"nodes", Record::array({Record{{"isp", "本机"}, {"local", true}, {"allow_private", true}},
                                               Record{{"isp", "远程"}, {"address", host_of(node_port)}},
                                               Record{{"isp", "死节点"}, {"address", host_of(free_port())}}})}};
  auto centre = start_centre(encode(config));

  const testing::RunResult r = testing::run(job_command(std::to_string(task_)), job_env(centre_port_));
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  const Record answer = decode(r.out);
  ASSERT_EQ(answer.size(), 3u) << r.out;
  for (std::size_t i = 1; i < answer.size(); ++i) {
    EXPECT_GE(answer[i - 1]["total_time"].get<double>(), answer[i]["total_time"].get<double>());
  }

  const Record all = rows();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["pid"], task_);
  EXPECT_EQ(all[0]["status"], 1);
  const Record stored = decode(all[0]["data"].get<std::string>());
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0]["isp"], "本机");
  EXPECT_EQ(stored[0]["http_code"], 200);
  EXPECT_EQ(stored[0]["size_download"], 5);
  EXPECT_EQ(stored[1]["isp"], "远程");
  EXPECT_EQ(stored[1]["http_code"], 200);
  EXPECT_EQ(stored[2]["isp"], "节点未响应");
  EXPECT_EQ(stored[2]["node"], "死节点");
  // The stored text is the default form: every non-ASCII character escaped.
  EXPECT_NE(all[0]["data"].get<std::string>().find("\\u672c\\u673a"), std::string::npos);
}

TEST_F(ProbeRunTest, CentreDownOrAnsweringGarbageFailsTheRunAndStoresNothing) {
  LoopbackSite garbage;
  garbage.server().Post("/api/local/rivi", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<html>busy</html>", "text/html");
  });
  garbage.start();
  for (const int port : {free_port(), garbage.port()}) {
    SCOPED_TRACE(port);
    const testing::RunResult r = testing::run(job_command(std::to_string(task_)), job_env(port));
    // The documented answer and the printed error, and an exit status the job's log and any
    // supervisor see as a failed run.
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.err, "rivi_worker: task " + std::to_string(task_) + ": the run stored no result\n");
    const auto newline = r.out.find('\n');
    ASSERT_NE(newline, std::string::npos) << r.out;
    EXPECT_GT(newline, 0u) << "the error comes first";
    EXPECT_EQ(decode(r.out.substr(newline + 1)), public_::returnMsg(false, "连接调度中心失败!"));
  }
  EXPECT_EQ(rows().size(), 0u);
}

TEST_F(ProbeRunTest, RefusedUrlAndWorkerErrors) {
  auto centre = start_centre();
  // The centre refuses the URL with a status record: the worker prints it, stores nothing and
  // says so by its exit status.
  public_::M("rivi_task").insert(Record{{"id", 40}, {"name", "ftp"}, {"url", "ftp://example.test/"}, {"status", 1}});
  const testing::RunResult refused = testing::run(job_command("40"), job_env(centre_port_));
  EXPECT_EQ(refused.status, 3) << refused.err;
  EXPECT_EQ(decode(refused.out), Record({{"status", false}, {"msg", "只能拨测http://或https://地址"}}));
  EXPECT_EQ(rows().size(), 0u);

  EXPECT_EQ(testing::run({root_.file("plugin/qn_rivi/rivi_worker")}).status, 2);

  // A host database that cannot be opened: the error goes to standard error, exit status 1.
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(root_.file(std::string("data/default.db") + suffix));
  std::filesystem::create_directory(root_.file("data/default.db"));
  const testing::RunResult broken = testing::run(job_command(std::to_string(task_)), job_env(centre_port_));
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.out, "");
  EXPECT_NE(broken.err.find("default.db"), std::string::npos) << broken.err;
}

TEST_F(ProbeRunTest, PanelCallStartWithTheEmbeddedCentre) {
  auto centre = start_centre();
  const testing::RunResult r =
      testing::run({testing::bin("panel"), "call", "qn_rivi", "start", "id=" + std::to_string(task_)},
                   {{"RIVI_DISPATCH_HOST", host_of(centre_port_)}});
  ASSERT_EQ(r.status, 0) << r.err;
  const Record answer = decode(r.out);
  ASSERT_EQ(answer.size(), 3u) << r.out;
  const Record all = rows();
  ASSERT_EQ(all.size(), 1u);
  const Record stored = decode(all[0]["data"].get<std::string>());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(stored[i]["isp"], "本机节点" + std::to_string(i + 1));
    EXPECT_EQ(stored[i]["http_code"], 200);
  }
}

TEST_F(ProbeRunTest, FiftyWorkersAtOnceLoseNoRow) {
  auto centre = start_centre(R"({"nodes": [{"isp": "本机", "local": true, "allow_private": true}]})");
  std::vector<std::unique_ptr<Child>> workers;
  for (int i = 0; i < 50; ++i) {
    workers.push_back(std::make_unique<Child>(job_command(std::to_string(task_)), job_env(centre_port_),
                                              root_.file("worker" + std::to_string(i) + ".log")));
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (auto& w : workers) {
    while (w->running() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(workers[i]->stop(), 0) << root_.read("worker" + std::to_string(i) + ".log");
  }
  const Record all = rows();
  EXPECT_EQ(all.size(), 50u);
  for (const Record& row : all) EXPECT_EQ(row["status"], 1);
}

TEST(NodeProgram, TakesItsKeyFromAFileOrTheEnvironmentOnly) {
  TempRoot dir(false);
  LoopbackSite target;
  target.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) { res.set_content("hi", "text/plain"); });
  target.start();
  dir.write("node.key", "file-key\n");
  dir.write("empty.key", "\n");

  // The status of a probe request signed with `key` (unsigned when empty).
  const auto ask = [&](int port, const std::string& key) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    const std::string body = "url=" + httplib::detail::encode_query_param(target.url("/ok"));
    httplib::Headers headers;
    if (!key.empty()) {
      for (const auto& [name, value] : dispatch::signed_headers(key, "POST", "/probe", body)) headers.emplace(name, value);
    }
    const auto res = client.Post("/probe", headers, body, "application/x-www-form-urlencoded");
    return res ? res->status : -1;
  };
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::string key;
  };
  const Case cases[] = {
      {"file", {"--key-file", dir.file("node.key")}, {}, "file-key"},
      {"environment", {}, {{"RIVI_NODE_KEY", "env-key"}}, "env-key"},
      {"the file wins", {"--key-file", dir.file("node.key")}, {{"RIVI_NODE_KEY", "env-key"}}, "file-key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int port = free_port();
    std::vector<std::string> argv{testing::bin("rivi-node"), "--listen", host_of(port), "--allow-private"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Child node(argv, c.env, dir.file("node.log"));
    ASSERT_TRUE(testing::wait_for_port(port)) << dir.read("node.log");
    EXPECT_EQ(ask(port, c.key), 200);
    EXPECT_EQ(ask(port, c.key + "x"), 403);
    EXPECT_EQ(ask(port, ""), 403);
  }

  // No key on the command line, and a key file that gives no key stops the node at start.
  const std::string node = testing::bin("rivi-node");
  const std::string port = host_of(free_port());
  EXPECT_NE(testing::run({node, "--listen", port, "--key", "cli-key"}).status, 0);
  const testing::RunResult missing = testing::run({node, "--listen", port, "--key-file", dir.file("nope.key")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "rivi-node: cannot read the key file " + dir.file("nope.key") + ": No such file or directory\n");
  const testing::RunResult folder = testing::run({node, "--listen", port, "--key-file", dir.path().string()});
  EXPECT_EQ(folder.err, "rivi-node: cannot read the key file " + dir.path().string() + ": not a regular file\n");
  const testing::RunResult empty = testing::run({node, "--listen", port, "--key-file", dir.file("empty.key")});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "rivi-node: cannot read the key file " + dir.file("empty.key") + ": the file is empty\n");
}

}  // namespace
}  // namespace rivi
