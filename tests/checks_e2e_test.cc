// Task rules through the real chain. What the plug-in sends: a stand-in centre records the form of
// a task without rules and of one with them. What health makes of the answers: the real centre and
// in-process nodes probe loopback sites (one answering 403 to everyone, one slow), and the rules
// judge the stored results while the verdict keeps its own. And the methods as callers reach them:
// `panel call` and the web route, where a bad value changes nothing.
#include "host/public.h"
#include "host/web/admin_auth.h"
#include "host/web/web_server.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "dispatch/probe_tls.h"
#include "tests/support/dispatch_servers.h"
#include "tests/support/test_authority.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

namespace rivi {
namespace {

std::int64_t add_task(const std::string& name, const std::string& url) {
  return public_::M("rivi_task").insert(
      Record{{"name", name}, {"url", url}, {"status", 1}, {"cycle", 5}, {"addtime", public_::now()}});
}

Record call(const std::string& method, Record args) { return call_web_method(method, args); }

// The overview's row of task `id`.
Record overview_of(std::int64_t id) {
  const Record overview = call("get_overview", Record::object());
  for (const Record& task : overview["data"])
    if (task["id"] == id) return task;
  ADD_FAILURE() << "task " << id << " is not in the overview: " << encode(overview);
  return Record::object();
}

class RulesEndToEnd : public ::testing::Test {
 protected:
  ~RulesEndToEnd() override {
    ::unsetenv("RIVI_DISPATCH_HOST");
    std::filesystem::current_path(testing::build_dir());
  }
  void point_at(int port) { ::setenv("RIVI_DISPATCH_HOST", ("127.0.0.1:" + std::to_string(port)).c_str(), 1); }

  testing::TempRoot root_;
};

TEST_F(RulesEndToEnd, OnlyATaskWithNodeRulesSendsChecksAndTheRestOfTheRequestStaysAsItWas) {
  std::mutex mu;
  std::vector<httplib::Request> seen;
  testing::LoopbackSite centre;
  centre.server().Post("/api/local/rivi", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lock(mu);
      seen.push_back(req);
    }
    res.set_content(R"([{"isp": "电信", "primary_ip": "127.0.0.1", "http_code": 200, "total_time": 5.0}])",
                    "application/json");
  });
  centre.start();
  point_at(centre.port());
  load_qn_rivi_module();
  qn_rivi_main plugin;
  const std::int64_t plain = add_task("plain", "http://plain.test/");
  const std::int64_t judged_here = add_task("codes", "http://plain.test/");
  const std::int64_t ruled = add_task("ruled", "http://plain.test/");
  ASSERT_EQ(call("set_checks", Record{{"pid", std::to_string(judged_here)}, {"expect_codes", "200-299"},
                                      {"slow_ms", "900"}, {"dns_expect", "127.0.0.0/8"}})["status"], true);
  ASSERT_EQ(call("set_checks", Record{{"pid", std::to_string(ruled)}, {"keyword", "欢迎 & ok"},
                                      {"follow_redirects", "1"}, {"timeout_ms", "4000"}})["status"], true);
  for (std::int64_t id : {plain, judged_here, ruled}) {
    Record args{{"id", id}};
    ASSERT_TRUE(plugin.start(args).is_array());
  }
  ASSERT_EQ(seen.size(), 3u);
  // Without node rules: the identity and the URL, as ever.
  std::vector<std::string> keys;
  for (const auto& [key, value] : seen[0].params) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"address", "serverid", "url"}));
  EXPECT_EQ(seen[1].body, seen[0].body);  // rules judged in the plug-in send nothing
  // With them: the same fields, then `checks`.
  const std::string& body = seen[2].body;
  ASSERT_EQ(body.rfind(seen[0].body + "&checks=", 0), 0u) << body;
  EXPECT_EQ(decode(seen[2].get_param_value("checks")),
            (Record{{"follow_redirects", true}, {"keyword", "欢迎 & ok"}, {"keyword_mode", "present"}, {"timeout_ms", 4000}}));
}

TEST_F(RulesEndToEnd, ForbiddenEverywhereIsDownByTheRulesWhileTheVerdictStaysAndSlowIsDegraded) {
  testing::LoopbackSite site;
  site.server().Get("/forbidden", [](const httplib::Request&, httplib::Response& res) {
    res.status = 403;
    res.set_content("no", "text/plain");
  });
  site.server().Get("/slow", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    res.set_content("late", "text/plain");
  });
  site.start();
  testing::RunningCentre centre(testing::three_local_nodes());
  point_at(centre.port());
  load_qn_rivi_module();
  qn_rivi_main plugin;
  const std::int64_t forbidden = add_task("forbidden", site.url("/forbidden"));
  const std::int64_t forbidden_plain = add_task("forbidden, no rules", site.url("/forbidden"));
  const std::int64_t slow = add_task("slow", site.url("/slow"));
  ASSERT_EQ(call("set_checks", Record{{"pid", std::to_string(forbidden)}, {"expect_codes", "200-299"}})["status"], true);
  ASSERT_EQ(call("set_checks", Record{{"pid", std::to_string(slow)}, {"slow_ms", "100"}})["status"], true);
  for (std::int64_t id : {forbidden, forbidden_plain, slow}) {
    Record args{{"id", id}};
    ASSERT_TRUE(plugin.start(args).is_array());
  }

  const Record down = overview_of(forbidden);
  EXPECT_EQ(down["health"], "down");
  EXPECT_EQ(down["reason"], "3/3 节点失败：状态码不符（403）");
  EXPECT_EQ(down["has_checks"], true);
  EXPECT_EQ(overview_of(forbidden_plain)["health"], "up");
  EXPECT_EQ(overview_of(forbidden_plain)["has_checks"], false);
  // The verdict and the stored row keep their own rule: three 403s are no anomaly.
  for (std::int64_t id : {forbidden, forbidden_plain}) {
    const Record row = public_::M("rivi_list").where("pid=?", id).find();
    ASSERT_TRUE(row.is_object()) << "no stored run of task " << id;
    EXPECT_EQ(row["status"], 1);
    const Record nodes = decode(row["data"].get<std::string>());
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0]["http_code"], 403);
  }
  // An outage opened, as for any down run.
  EXPECT_EQ(call("get_incidents", Record{{"pid", std::to_string(forbidden)}})["data"].size(), 1u);

  const Record degraded = overview_of(slow);
  EXPECT_EQ(degraded["health"], "degraded");
  EXPECT_EQ(degraded["scope"], "site");
  EXPECT_NE(degraded["reason"].get<std::string>().find("3/3 节点告警：响应过慢（"), std::string::npos) << degraded["reason"];
  EXPECT_NE(degraded["reason"].get<std::string>().find(" ms > 100 ms）"), std::string::npos);
  EXPECT_TRUE(call("get_incidents", Record{{"pid", std::to_string(slow)}})["data"].empty());

  // Removing a task removes its rules.
  ASSERT_EQ(call("remove", Record{{"id", std::to_string(forbidden)}})["status"], true);
  EXPECT_TRUE(public_::M("rivi_check").where("pid=?", forbidden).select().empty());
}

// The whole chain with real nodes: the keyword rule goes to the nodes and comes back as
// `keyword_found`, judged into health; an HTTPS site signed by the probes' private authority and
// expiring in three days is described by every node, judged a warning, and listed by the
// certificates view with each line.
TEST_F(RulesEndToEnd, NodesApplyTheTasksChecksAndTheirCertificatesReachHealthAndTheViews) {
  using namespace std::chrono_literals;
  testing::LoopbackSite site;
  site.server().Get("/page", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<p>数据库连接失败</p>", "text/html; charset=utf-8");
  });
  site.start();
  std::filesystem::create_directories(root_.file("ca"));
  const testing::TestAuthority ca(root_.file("ca"), "intranet");
  const testing::HttpsSite soon(ca.issue("soon", {"127.0.0.1"}, 3 * 24h + 1h), "<p>欢迎</p>");
  const testing::HttpsSite old(ca.issue("old", {"127.0.0.1"}, -(24h + 1h)));
  dispatch::CentreConfig config = testing::three_local_nodes();
  config.probe_authority = dispatch::ProbeAuthority::load(ca.ca_file());
  testing::RunningCentre centre(std::move(config));
  point_at(centre.port());
  load_qn_rivi_module();
  qn_rivi_main plugin;
  const std::int64_t missing = add_task("keyword missing", site.url("/page"));
  const std::int64_t absent = add_task("keyword absent", site.url("/page"));
  const std::int64_t secure = add_task("expiring", soon.url("/"));
  const std::int64_t expired = add_task("expired", old.url("/"));
  ASSERT_EQ(call("set_checks", Record{{"pid", std::to_string(missing)}, {"keyword", "欢迎"}})["status"], true);
  ASSERT_EQ(call("set_checks", Record{{"pid", std::to_string(absent)}, {"keyword", "连接失败"}, {"keyword_mode", "absent"}})["status"], true);
  for (std::int64_t id : {missing, absent, secure, expired}) {
    Record args{{"id", id}};
    ASSERT_TRUE(plugin.start(args).is_array());
  }

  EXPECT_EQ(overview_of(expired)["health"], "down");
  EXPECT_NE(overview_of(expired)["reason"].get<std::string>().find("证书已过期"), std::string::npos) << overview_of(expired)["reason"];
  EXPECT_EQ(old.requests(), 0) << "no request goes to a site whose certificate failed";
  EXPECT_EQ(overview_of(missing)["health"], "down");
  EXPECT_EQ(overview_of(missing)["reason"], "3/3 节点失败：缺少关键字「欢迎」");
  EXPECT_EQ(overview_of(absent)["reason"], "3/3 节点失败：出现关键字「连接失败」");
  const Record stored = decode(public_::M("rivi_list").where("pid=?", missing).getField("data").get<std::string>());
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0]["keyword_found"], false);
  EXPECT_EQ(stored[0]["addresses"], Record::array({"127.0.0.1"}));

  const Record warned = overview_of(secure);
  EXPECT_EQ(warned["health"], "degraded");
  EXPECT_NE(warned["reason"].get<std::string>().find("证书将于 3 天后过期"), std::string::npos) << warned["reason"];
  const Record certs = call("get_certificates", Record::object());
  ASSERT_EQ(certs["data"].size(), 2u) << encode(certs);
  EXPECT_EQ(certs["data"][0]["pid"], expired) << "soonest expiry first";
  const Record& cert = certs["data"][1];
  EXPECT_EQ(cert["pid"], secure);
  EXPECT_EQ(cert["days_left"], 3);
  ASSERT_EQ(cert["lines"].size(), 2u) << "电信 and 联通";
  for (const Record& line : cert["lines"]) {
    EXPECT_EQ(line["verify_error"], "");
    EXPECT_EQ(line["fingerprint_sha256"].get<std::string>().size(), 95u);
  }
}

TEST_F(RulesEndToEnd, PanelCallSetsAndReadsRulesAndABadValueChangesNothing) {
  load_qn_rivi_module();
  qn_rivi_main plugin;
  const std::int64_t id = add_task("site", "http://site.test/");
  const std::string pid = "pid=" + std::to_string(id);
  const auto panel = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {testing::bin("panel"), "call", "qn_rivi"});
    const testing::RunResult r = testing::run(args);
    EXPECT_EQ(r.status, testing::call_status(r.out)) << r.err;
    return decode(r.out);
  };
  Record set = panel({"set_checks", pid, "expect_codes=200-299, 302", "keyword=ok", "cert_warn_days=30"});
  EXPECT_EQ(set["status"], true) << set;
  EXPECT_EQ(set["data"]["expect_codes"], "200-299,302");
  const Record before = panel({"get_checks", pid});
  EXPECT_EQ(before["data"]["has_rules"], true);
  EXPECT_EQ(before["data"]["cert_warn_days"], 30);

  // One bad value among good ones: refused, naming the field, and nothing moves.
  const Record refused = panel({"set_checks", pid, "keyword=changed", "timeout_ms=500"});
  EXPECT_EQ(refused["status"], false);
  EXPECT_NE(refused["msg"].get<std::string>().find("timeout_ms"), std::string::npos) << refused;
  EXPECT_EQ(panel({"get_checks", pid}), before);
  EXPECT_EQ(panel({"get_checks", "pid=999"}), (Record{{"status", false}, {"msg", "指定任务不存在!"}}));
  EXPECT_EQ(panel({"set_checks", "pid=999", "slow_ms=5"})["status"], false);
}

TEST_F(RulesEndToEnd, TheWebRouteSetsAndReadsRulesAndABadValueChangesNothing) {
  set_admin_password("rules-password-1", 1000);
  load_qn_rivi_module();
  qn_rivi_main plugin;
  const std::int64_t id = add_task("site", "http://site.test/");
  WebOptions options;
  options.plugin = {[](const std::string& m) { return web_methods().contains(m); }, call_web_method};
  options.port = 0;
  WebServer server(options);
  server.start();
  httplib::Client client("127.0.0.1", server.port());
  client.set_read_timeout(30);

  auto page = client.Get("/login");
  ASSERT_TRUE(page);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(page->body, m, std::regex("name=\"csrf_token\" value=\"([0-9a-f]+)\"")));
  const std::string login_cookie = page->get_header_value("Set-Cookie").substr(0, page->get_header_value("Set-Cookie").find(';'));
  auto logged = client.Post("/login", {{"Cookie", login_cookie}}, "password=rules-password-1&csrf_token=" + m[1].str(),
                            "application/x-www-form-urlencoded");
  ASSERT_EQ(logged->status, 303);
  std::string cookie;
  for (auto [it, end] = logged->headers.equal_range("Set-Cookie"); it != end; ++it)
    if (it->second.rfind("rivi_session=", 0) == 0) cookie = it->second.substr(0, it->second.find(';'));
  const std::string csrf = Record::parse(client.Get("/api/session", {{"Cookie", cookie}})->body)["csrf"].get<std::string>();
  const auto post = [&](const std::string& method, const std::string& body) {
    auto res = client.Post("/plugin?action=a&name=qn_rivi&s=" + method, {{"Cookie", cookie}, {"X-CSRF-Token", csrf}},
                           body, "application/x-www-form-urlencoded");
    EXPECT_EQ(res->status, 200) << res->body;
    return Record::parse(res->body);
  };
  const std::string pid = "pid=" + std::to_string(id);
  EXPECT_EQ(post("set_checks", pid + "&dns_expect=10.0.0.0%2F8%2C2001%3Adb8%3A%3A%2F32&keyword_mode=absent&keyword=error")["status"], true);
  const Record before = post("get_checks", pid);
  EXPECT_EQ(before["data"]["dns_expect"], "10.0.0.0/8,2001:db8::/32");
  EXPECT_EQ(before["data"]["keyword_mode"], "absent");
  const Record refused = post("set_checks", pid + "&dns_expect=10.0.0.0%2F33&slow_ms=5");
  EXPECT_EQ(refused["status"], false);
  EXPECT_NE(refused["msg"].get<std::string>().find("dns_expect"), std::string::npos);
  EXPECT_EQ(post("get_checks", pid), before);
  server.stop();
}

}  // namespace
}  // namespace rivi
