// Task health: how a run's nodes are judged (failing, unanswered, site / ISP / node), the words of
// the error codes, and what runs leave in the health, incident and hourly tables of a real store.
#include "plugin/qn_rivi/health.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rivi::health {
namespace {

// A node result as our centre sends it.
Record node(const std::string& isp, const Record& code, double total, const std::string& error_code = "") {
  return Record{{"isp", isp},        {"primary_ip", "1.2.3.4"}, {"http_code", code},
                {"total_time", total}, {"error_code", error_code}};
}
Record silent(const std::string& label) {
  return Record{{"isp", "节点未响应"}, {"primary_ip", ""}, {"http_code", 0}, {"total_time", 0.0}, {"node", label},
                {"error_code", "no_answer"}};
}
Record ok(const std::string& isp, double total = 10) { return node(isp, 200, total); }
Record refused(const std::string& isp) { return node(isp, 0, 0.1, "refused"); }

Assessment judge(const Record& data, const Streaks& before = {}) { return assess(judge_nodes(data), before); }

std::vector<std::string> labels(const Record& data) {
  std::vector<std::string> out;
  for (const Node& n : judge_nodes(data)) out.push_back(n.label);
  return out;
}

TEST(JudgeNodes, LabelsByNodeKeyElseByPositionWithinTheIsp) {
  // An unanswered node keeps its place among the nodes of its ISP, so the others keep their labels.
  const Record data = Record::array({ok("电信"), silent("电信"), ok("电信"), ok("联通"),
                                     Record{{"isp", "移动"}, {"http_code", 200}, {"total_time", 1.0}, {"node", "gz-1"}}});
  EXPECT_EQ(labels(data), (std::vector<std::string>{"电信#1", "电信", "电信#3", "联通#1", "gz-1"}));
}

TEST(JudgeNodes, FailingAsTheVerdictCountsAndTimesOnlyFromGoodNodes) {
  const Record data = Record::array({node("a", 200.0, 5), node("b", 403, 7), node("c", "200", 9), node("d", nullptr, 1),
                                     Record::object(), nullptr, silent("e"), node("f", 404, 3)});
  const auto nodes = judge_nodes(data);
  ASSERT_EQ(nodes.size(), 6u);  // empty entries are skipped like the verdict skips them
  std::vector<bool> failing;
  for (const Node& n : nodes) failing.push_back(n.failing);
  EXPECT_EQ(failing, (std::vector<bool>{false, false, true, true, false, true}));
  EXPECT_FALSE(nodes[4].answered);
  const Assessment a = assess(nodes, {});
  EXPECT_EQ(a.failing, 3);
  EXPECT_EQ(a.unanswered, 1);
  EXPECT_EQ(a.nodes, 6);
  ASSERT_TRUE(a.mean_time);
  EXPECT_DOUBLE_EQ(*a.mean_time, 6.0);  // (5 + 7) / 2: a refused node's 0.1 ms is no site time
}

TEST(JudgeNodes, NodesWithoutACodeGetTheNearestOne) {
  const Record data = Record::array({Record{{"isp", "a"}, {"http_code", 502}, {"total_time", 1.0}},
                                     Record{{"isp", "b"}, {"http_code", 0}, {"total_time", 1.0}},
                                     Record{{"isp", "c"}, {"http_code", 200}, {"total_time", 1.0}}});
  const auto nodes = judge_nodes(data);
  EXPECT_EQ(nodes[0].code, "http_status");
  EXPECT_EQ(nodes[1].code, "connect");
  EXPECT_EQ(nodes[2].code, "");
}

TEST(ErrorWords, EveryCode) {
  const std::pair<std::string, std::string> cases[] = {
      {"refused", "连接被拒绝"},  {"timeout", "连接超时"},     {"dns", "域名解析失败"},
      {"tls", "证书错误"},        {"inner_address", "内部地址被拒绝"}, {"too_large", "响应过大"},
      {"connect", "连接失败"},    {"no_answer", "节点未响应"}, {"", ""},
      {"something_new", "未知错误"}, {"<b>请致电 400-000</b>", "未知错误"},
  };
  for (const auto& [code, words] : cases) EXPECT_EQ(error_words(code, 0), words) << code;
  EXPECT_EQ(error_words("http_status", 500), "状态码 500");
  EXPECT_EQ(error_words("http_status", "无法访问"), "状态码 无法访问");
}

// A time-out is the server's silence once its connection was made, else the connection's.
TEST(ErrorWords, ATimeOutAfterTheConnectionIsAResponseTimeOut) {
  EXPECT_EQ(error_words("timeout", 0, true), "响应超时");
  EXPECT_EQ(error_words("timeout", 0, false), "连接超时");
  EXPECT_EQ(error_words("refused", 0, true), "连接被拒绝");
  Record silent_server = node("电信", 0, 1000.4, "timeout");
  silent_server["connect_time"] = 0.08;
  Record unreachable = node("联通", 0, 1000.2, "timeout");
  unreachable["connect_time"] = 0.0;
  Record older = node("移动", 0, 1000.1, "timeout");  // a result from before `connect_time`
  const Assessment a = judge(Record::array({silent_server, unreachable, older}));
  EXPECT_EQ(a.reason, "3/3 节点失败：连接超时、响应超时");
}

TEST(Assess, HealthFollowsTheFailingCount) {
  EXPECT_EQ(judge(Record::array({ok("a"), ok("b"), silent("c")})).health, "up");
  EXPECT_EQ(judge(Record::array({ok("a"), refused("b"), ok("c")})).health, "degraded");
  EXPECT_EQ(judge(Record::array({refused("a"), refused("b"), ok("c")})).health, "degraded");
  EXPECT_EQ(judge(Record::array({refused("a"), refused("b"), refused("c"), ok("d")})).health, "down");
  const Assessment up = judge(Record::array({ok("a"), silent("x")}));
  EXPECT_EQ(up.reason, "");
  EXPECT_EQ(up.scope, "");
  EXPECT_EQ(up.unanswered_nodes, (std::vector<std::string>{"x"}));
}

// Health is judged on the nodes that answered: a silent node neither fails the site nor clears it.
// (The run's verdict keeps its own rule: health_run_test.)
TEST(Assess, TheRuleTableOfAnsweredUnansweredAndFailingNodes) {
  struct Case {
    int good, failing, silent;
    const char* health;
  };
  const Case cases[] = {
      {3, 0, 0, "up"},       {2, 0, 1, "up"},       {1, 0, 2, "up"},
      {2, 1, 0, "degraded"}, {1, 2, 0, "degraded"}, {1, 1, 1, "degraded"}, {3, 2, 4, "degraded"},
      {0, 3, 0, "down"},     {1, 3, 0, "down"},     {5, 3, 1, "down"},
      // Every node that answered failed: the site is down however few answered.
      {0, 2, 1, "down"},     {0, 1, 2, "down"},     {0, 1, 0, "down"},     {0, 2, 0, "down"},
      // Nobody answered: the monitor's trouble.
      {0, 0, 3, "error"},    {0, 0, 0, "error"},
  };
  for (const Case& c : cases) {
    Record data = Record::array();
    for (int i = 0; i < c.good; ++i) data.push_back(ok("电信"));
    for (int i = 0; i < c.failing; ++i) data.push_back(node("联通", 500, 3, "http_status"));
    for (int i = 0; i < c.silent; ++i) data.push_back(silent("移动"));
    const std::string which = fmt::format("{} good, {} failing, {} silent", c.good, c.failing, c.silent);
    const Assessment a = judge(data);
    EXPECT_EQ(a.health, c.health) << which;
    EXPECT_EQ(a.failing, c.failing) << which;
    EXPECT_EQ(a.unanswered, c.silent) << which;
  }
}

TEST(JudgeNodes, EveryNodeHasAKeyThatSurvivesItsSilence) {
  // Our centre names a silent node by its ISP; its key is its place among that ISP's nodes, the
  // label it has when it answers.
  const Record answering = Record::array({ok("电信"), ok("电信"), ok("联通")});
  const Record second_silent = Record::array({ok("电信"), silent("电信"), ok("联通")});
  std::vector<std::string> keys, silent_keys;
  for (const Node& n : judge_nodes(answering)) keys.push_back(n.key);
  for (const Node& n : judge_nodes(second_silent)) silent_keys.push_back(n.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"电信#1", "电信#2", "联通#1"}));
  EXPECT_EQ(silent_keys, keys);
  // A negative time from another centre is no time below zero.
  EXPECT_EQ(judge_nodes(Record::array({ok("电信", -5)}))[0].time, 0.0);
}

TEST(Assess, EveryAnsweringNodeFailingIsTheSite) {
  const Assessment a = judge(Record::array({refused("电信"), node("联通", 0, 20000, "timeout"), silent("移动"),
                                            refused("联通"), node("电信", 500, 3, "http_status")}));
  EXPECT_EQ(a.health, "down");
  EXPECT_EQ(a.scope, "site");
  EXPECT_EQ(a.reason, "4/4 节点失败：连接被拒绝、连接超时、状态码 500");
  EXPECT_EQ(a.unanswered, 1);
  EXPECT_EQ(a.failing_nodes, (std::vector<std::string>{"电信#1", "联通#1", "联通#2", "电信#2"}));
}

TEST(Assess, OneIspFailingWhileTheOthersAnswerIsTheIspsNetwork) {
  const Assessment one = judge(Record::array({node("电信", 0, 1, "timeout"), ok("联通"), node("电信", 0, 1, "timeout"), ok("移动")}));
  EXPECT_EQ(one.health, "degraded");
  EXPECT_EQ(one.scope, "isp");
  EXPECT_EQ(one.reason, "仅电信线路异常");

  const Assessment two = judge(Record::array({refused("电信"), refused("联通"), ok("移动"), refused("电信")}));
  EXPECT_EQ(two.health, "down");
  EXPECT_EQ(two.scope, "isp");
  EXPECT_EQ(two.reason, "仅电信、联通线路异常");
}

TEST(Assess, ANodeFailingAgainWhileItsIspAnswersBecomesSuspect) {
  const Record data = Record::array({ok("电信"), refused("电信"), ok("联通"), ok("联通")});
  Streaks streaks;
  for (int run = 1; run <= 2; ++run) {
    const Assessment a = judge(data, streaks);
    EXPECT_EQ(a.scope, "") << run;
    EXPECT_EQ(a.reason, "1/4 节点失败：连接被拒绝") << run;
    EXPECT_TRUE(a.suspect_nodes.empty()) << run;
    streaks = a.streaks;
  }
  // A run in which the node does not answer neither breaks nor extends its streak.
  const Assessment quiet = judge(Record::array({ok("电信"), silent("电信#2"), ok("联通"), ok("联通")}), streaks);
  EXPECT_EQ(quiet.health, "up");
  streaks = quiet.streaks;
  EXPECT_EQ(streaks.at("电信#2"), 2);

  const Assessment third = judge(data, streaks);
  EXPECT_EQ(third.health, "degraded");
  EXPECT_EQ(third.scope, "node");
  EXPECT_EQ(third.suspect_nodes, (std::vector<std::string>{"电信#2"}));
  EXPECT_EQ(third.reason, "疑似节点故障：电信#2（连续3次失败）");

  // One good answer ends the streak.
  const Assessment healed = judge(Record::array({ok("电信"), ok("电信"), ok("联通"), ok("联通")}), third.streaks);
  EXPECT_EQ(healed.streaks.count("电信#2"), 0u);
  EXPECT_TRUE(healed.suspect_nodes.empty());

  // A node the centre no longer lists loses its streak once every listed node answered.
  const Assessment fewer = judge(Record::array({ok("电信"), refused("联通")}), Streaks{{"电信#2", 5}, {"联通#1", 1}});
  EXPECT_EQ(fewer.streaks, (Streaks{{"联通#1", 2}}));
}

TEST(Assess, NoAnsweringNodeIsAMonitoringError) {
  const Assessment silent_run = judge(Record::array({silent("a"), silent("b")}));
  EXPECT_EQ(silent_run.health, "error");
  EXPECT_EQ(silent_run.scope, "monitor");
  EXPECT_EQ(silent_run.reason, "全部2个节点未响应");
  const Assessment empty = judge(Record::array());
  EXPECT_EQ(empty.health, "error");
  EXPECT_EQ(empty.reason, "调度中心未返回任何节点结果");
}

TEST(DispatchFailure, ReadableReasons) {
  EXPECT_EQ(dispatch_failure_reason("POST http://h/api failed: Operation timed out after 60001 milliseconds"),
            "调度中心超时：POST http://h/api failed: Operation timed out after 60001 milliseconds");
  EXPECT_EQ(dispatch_failure_reason("POST x failed: Failed to connect to 127.0.0.1 port 1: Connection refused"),
            "调度中心无法连接：POST x failed: Failed to connect to 127.0.0.1 port 1: Connection refused");
  EXPECT_EQ(dispatch_failure_reason("invalid JSON: syntax error"), "调度中心应答无效：invalid JSON: syntax error");
  EXPECT_EQ(dispatch_failure_reason("POST x failed: the answer is larger than 4194304 bytes"),
            "调度中心应答过大：POST x failed: the answer is larger than 4194304 bytes");
  // Broken UTF-8 from a garbage answer never reaches a reason; long details are cut.
  const std::string reason = dispatch_failure_reason("invalid JSON: \xe6\x9c" + std::string(500, 'x'));
  EXPECT_NO_THROW(encode(Record(reason)));
  EXPECT_LT(reason.size(), 260u);
  EXPECT_EQ(centre_refusal_reason(Record{{"status", false}, {"msg", "服务器未获授权"}}), "调度中心拒绝：服务器未获授权");
}

// A node result of one of our nodes that ran the task's rules.
Record probed(const std::string& isp, const Record& code, double total, Record extra = Record::object()) {
  Record r = node(isp, code, total);
  r["addresses"] = Record::array({"1.2.3.4"});
  r.update(extra);
  return r;
}
Record with_cert(double days_left, const std::string& verify_error = "") {
  return Record{{"cert", Record{{"not_after", 1}, {"days_left", days_left}, {"subject", "CN=a"}, {"issuer", "CN=b"},
                                {"names", Record::array({"a"})}, {"fingerprint_sha256", "00"},
                                {"verify_error", verify_error}}}};
}
// What a node sends for a certificate that failed the handshake.
Record tls_failure(double days_left, const std::string& verify_error) {
  Record r = with_cert(days_left, verify_error);
  r["error_code"] = "tls";
  return r;
}
Assessment judge(const Record& data, const checks::Rules& rules) { return assess(judge_nodes(data, rules), {}); }
checks::Rules rules(const Record& fields) { return checks::parse(fields); }

TEST(RuleJudgement, EachFailedRuleInItsOwnWords) {
  struct Row {
    Record fields;
    Record result;
    std::string words;
  };
  const Row rows[] = {
      {Record{{"expect_codes", "200-299"}}, probed("电信", 403, 5), "状态码不符（403）"},
      {Record{{"expect_codes", "200-299"}}, probed("电信", 500, 5, Record{{"error_code", "http_status"}}), "状态码不符（500）"},
      {Record{{"keyword", "欢迎"}}, probed("电信", 200, 5, Record{{"keyword_found", false}}), "缺少关键字「欢迎」"},
      {Record{{"keyword", "error"}, {"keyword_mode", "absent"}}, probed("电信", 200, 5, Record{{"keyword_found", true}}),
       "出现关键字「error」"},
      {Record{{"dns_expect", "10.0.0.0/8, 2001:db8::/32"}},
       probed("联通", 200, 5, Record{{"addresses", Record::array({"10.1.1.1", "2001:db8::9", "6.6.6.6"})}}),
       "解析地址不符：联通线路解析到 6.6.6.6（疑似劫持）"},
      {Record{{"dns_expect", "1.2.3.0/24"}}, Record{{"isp", "移动"}, {"primary_ip", "9.9.9.9"}, {"http_code", 200},
                                                   {"total_time", 3.0}, {"error_code", ""}},
       "解析地址不符：移动线路解析到 9.9.9.9（疑似劫持）"},
      {Record::object(), probed("电信", 0, 5, tls_failure(-2, "certificate has expired")), "证书已过期"},
      {Record::object(), probed("电信", 0, 5, tls_failure(200, "self-signed certificate")),
       "证书错误（self-signed certificate）"},
  };
  for (const Row& row : rows) {
    const auto nodes = judge_nodes(Record::array({row.result}), rules(row.fields));
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_TRUE(nodes[0].failing) << row.words;
    EXPECT_EQ(nodes[0].rule, row.words);
    EXPECT_EQ(judge(Record::array({row.result}), rules(row.fields)).reason, "1/1 节点失败：" + row.words);
  }
}

TEST(RuleJudgement, WarningsAloneAreDegradedNeverDown) {
  const checks::Rules slow = rules(Record{{"slow_ms", "1000"}});
  const Record all_slow = Record::array({probed("电信", 200, 2150), probed("联通", 200, 1000.4), probed("移动", 200, 1800)});
  Assessment a = judge(all_slow, slow);
  EXPECT_EQ(a.health, "degraded");
  EXPECT_EQ(a.failing, 0);
  EXPECT_EQ(a.reason, "2/3 节点告警：响应过慢（2,150 ms > 1,000 ms）、响应过慢（1,800 ms > 1,000 ms）");
  EXPECT_EQ(a.scope, "node");
  ASSERT_TRUE(a.mean_time);  // slow nodes answered: their times count
  EXPECT_DOUBLE_EQ(*a.mean_time, round2((2150 + 1000.4 + 1800) / 3));

  // A certificate inside the warning days, on every node: degraded, the site's; 0 turns it off.
  const Record soon = Record::array({probed("电信", 200, 5, with_cert(5)), probed("联通", 200, 5, with_cert(5))});
  a = judge(soon, checks::Rules{});
  EXPECT_EQ(a.health, "degraded");
  EXPECT_EQ(a.scope, "site");
  EXPECT_EQ(a.reason, "2/2 节点告警：证书将于 5 天后过期");
  EXPECT_EQ(judge(soon, rules(Record{{"cert_warn_days", "4"}})).health, "up");
  EXPECT_EQ(judge(soon, rules(Record{{"cert_warn_days", "0"}})).health, "up");

  // Beside a failing node, the warnings follow the reason.
  const Record mixed = Record::array({probed("电信", 200, 2150), refused("联通"), probed("移动", 200, 5)});
  a = judge(mixed, slow);
  EXPECT_EQ(a.health, "degraded");
  EXPECT_EQ(a.reason, "仅联通线路异常；1/3 节点告警：响应过慢（2,150 ms > 1,000 ms）");
}

TEST(RuleJudgement, ExpiredCertificatesAndRejectedStatusesFailLikeAnyFailure) {
  const Record expired = Record::array({probed("电信", 200, 5, with_cert(-1)), probed("联通", 200, 5, with_cert(-1))});
  Assessment a = judge(expired, checks::Rules{});
  EXPECT_EQ(a.health, "down");
  EXPECT_EQ(a.reason, "2/2 节点失败：证书已过期");
  EXPECT_FALSE(a.mean_time);

  const Record forbidden = Record::array({probed("a", 403, 5), probed("b", 403, 5), probed("c", 403, 5)});
  EXPECT_EQ(judge(forbidden).health, "up");  // without rules 403 is a good status
  a = judge(forbidden, rules(Record{{"expect_codes", "200-299"}}));
  EXPECT_EQ(a.health, "down");
  EXPECT_EQ(a.reason, "3/3 节点失败：状态码不符（403）");
  // A status the rules accept is no failure, whatever the default set says.
  const Record maintenance_page = Record::array({probed("a", 503, 5, Record{{"error_code", "http_status"}})});
  EXPECT_EQ(judge(maintenance_page, rules(Record{{"expect_codes", "503"}})).health, "up");
  // A connection that got no status keeps its own words.
  EXPECT_EQ(judge(Record::array({refused("a")}), rules(Record{{"expect_codes", "200"}})).reason, "1/1 节点失败：连接被拒绝");
}

TEST(RuleJudgement, ResultsWithoutTheKeysARuleReadsAreNotJudgedByIt) {
  // An older node sends no keyword_found, addresses or cert.
  const Record old = Record::array({Record{{"isp", "电信"}, {"primary_ip", "1.2.3.4"}, {"http_code", 200},
                                           {"total_time", 5.0}, {"error_code", ""}}});
  EXPECT_EQ(judge(old, rules(Record{{"keyword", "x"}, {"cert_warn_days", "30"}})).health, "up");
  // No rules: judged as before, slow or not.
  EXPECT_EQ(judge(Record::array({probed("a", 200, 90000)}), checks::Rules{}).health, "up");
}

// Recording against the store of a real panel root.
class HealthStore : public ::testing::Test {
 protected:
  HealthStore() {
    task_ = public_::M("rivi_task").insert(
        Record{{"name", "web"}, {"url", "http://example.test/"}, {"status", 1}, {"cycle", 5}, {"addtime", 1}});
  }

  void run(std::int64_t time, const Record& data) {
    transaction tx(db_);
    const auto nodes = judge_nodes(data);
    record_run(*db_, task_, time, nodes, assess(nodes, {}).failing > 2 ? 0 : 1);
    tx.commit();
  }
  void fail(std::int64_t time, const std::string& reason) {
    transaction tx(db_);
    record_failed_run(*db_, task_, time, reason);
    tx.commit();
  }
  Record health() { return public_::M("rivi_health").where("pid=?", task_).find(); }
  Record incidents() { return public_::M("rivi_incident").order("id").select(); }
  Record hours() { return public_::M("rivi_hourly").order("hour").select(); }

  testing::TempRoot root_;
  qn_rivi_main plugin_;
  std::shared_ptr<Connection> db_ = std::make_shared<Connection>(database_path());
  std::int64_t task_ = 0;
};

const Record kUp = Record::array({ok("a", 10), ok("b", 20), ok("c", 30)});
const Record kDegraded = Record::array({ok("a", 10), refused("b"), ok("c", 30)});
const Record kDown = Record::array({refused("a"), refused("b"), refused("c")});

TEST_F(HealthStore, TransitionsKeepSinceAndOneIncidentPerOutage) {
  const std::int64_t t0 = 1765170000;
  run(t0, kUp);
  EXPECT_EQ(health()["health"], "up");
  EXPECT_EQ(health()["since"], t0);
  EXPECT_EQ(health()["last_total_time"], 20.0);
  run(t0 + 300, kUp);
  EXPECT_EQ(health()["since"], t0) << "the same health keeps its start";
  run(t0 + 600, kDegraded);
  EXPECT_EQ(health()["health"], "degraded");
  EXPECT_EQ(health()["since"], t0 + 600);
  EXPECT_TRUE(incidents().empty()) << "a degraded run is no outage";

  run(t0 + 900, kDown);
  run(t0 + 1200, kDown);
  fail(t0 + 1500, "调度中心无法连接：x");
  run(t0 + 1800, kDown);
  Record all = incidents();
  ASSERT_EQ(all.size(), 1u) << all.dump();
  EXPECT_EQ(all[0]["kind"], "down");
  EXPECT_EQ(all[0]["start_time"], t0 + 900);
  EXPECT_EQ(all[0]["end_time"], nullptr);
  EXPECT_EQ(all[0]["runs"], 4);
  EXPECT_EQ(all[0]["scope"], "site");
  EXPECT_EQ(all[0]["reason"], "3/3 节点失败：连接被拒绝");
  EXPECT_EQ(decode(all[0]["node_fails"].get<std::string>()), (Record{{"a#1", 3}, {"b#1", 3}, {"c#1", 3}}));
  EXPECT_EQ(health()["incident"], all[0]["id"]);

  // A degraded run ends the outage as well as an up one.
  run(t0 + 2100, kDegraded);
  all = incidents();
  EXPECT_EQ(all[0]["end_time"], t0 + 2100);
  EXPECT_EQ(health()["incident"], nullptr);
  run(t0 + 2400, kDown);
  run(t0 + 2700, kUp);
  all = incidents();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1]["start_time"], t0 + 2400);
  EXPECT_EQ(all[1]["end_time"], t0 + 2700);
  EXPECT_EQ(health()["health"], "up");
  EXPECT_EQ(health()["since"], t0 + 2700);
}

// Three nodes, one of them stopped while the site answers 500 everywhere: the outage goes on as
// one incident, it neither closes while the node is away nor reopens when it is back.
TEST_F(HealthStore, ANodeThatStopsAnsweringNeitherEndsNorSplitsAnOutage) {
  const Record all_fail = Record::array({node("电信", 500, 3, "http_status"), node("联通", 500, 3, "http_status"),
                                         node("移动", 500, 3, "http_status")});
  const Record one_silent = Record::array({node("电信", 500, 3, "http_status"), silent("联通"),
                                           node("移动", 500, 3, "http_status")});
  const std::int64_t t0 = 1765170000;
  run(t0, all_fail);
  for (int i = 1; i <= 4; ++i) {
    run(t0 + 300 * i, one_silent);
    EXPECT_EQ(health()["health"], "down") << i;
    EXPECT_EQ(health()["scope"], "site") << i;
  }
  run(t0 + 1500, all_fail);
  run(t0 + 1800, kUp);
  const Record all = incidents();
  ASSERT_EQ(all.size(), 1u) << all.dump();
  EXPECT_EQ(all[0]["start_time"], t0);
  EXPECT_EQ(all[0]["end_time"], t0 + 1800);
  EXPECT_EQ(all[0]["runs"], 6);
  EXPECT_EQ(health()["since"], t0 + 1800);
}

// The clock can be stepped back between runs: nothing health keeps ends before it began.
TEST_F(HealthStore, AClockSteppedBackNeverGivesANegativeDuration) {
  const std::int64_t t0 = 1765170000;
  run(t0, kDown);
  run(t0 - 100, kDown);  // extends the outage, not back past its start
  EXPECT_EQ(health()["since"], t0 - 100) << "a health never starts after the run that shows it";
  run(t0 - 600, kUp);    // ends it ten minutes before it began
  Record all = incidents();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["last_time"], t0);
  EXPECT_EQ(all[0]["end_time"], t0) << "a zero-length incident, not a negative one";
  EXPECT_EQ(all[0]["reason"], std::string("3/3 节点失败：连接被拒绝") + kClockBackNote);
  EXPECT_EQ(health()["last_attempt"], t0) << "a run written late leaves the latest attempt in place";
  Record args = Record{{"pid", std::to_string(task_)}};
  EXPECT_EQ(plugin_.get_incidents(args)["data"][0]["duration"], 0);

  // An ordinary end keeps the reason as it was.
  run(t0 + 600, kDown);
  run(t0 + 900, kUp);
  all = incidents();
  EXPECT_EQ(all[1]["end_time"], t0 + 900);
  EXPECT_EQ(all[1]["reason"], "3/3 节点失败：连接被拒绝");
}

TEST_F(HealthStore, MonitorErrorsAreCountedApartInTheirHour) {
  const std::int64_t hour = 1765170000 - 1765170000 % 3600;
  run(hour, kUp);
  fail(hour + 60, "调度中心无法连接：x");
  run(hour + 120, Record::array({silent("a"), silent("b")}));  // stored, but no node answered
  run(hour + 180, kDown);
  const Record h = hours()[0];
  EXPECT_EQ(h["runs"], 4);
  EXPECT_EQ(h["good"], 1);
  EXPECT_EQ(h["errors"], 2);
  EXPECT_EQ(h["maintenance"], 0);
  Record args = Record{{"pid", std::to_string(task_)}, {"days", "1"}};
  ::setenv("PANEL_NOW", std::to_string(hour + 600).c_str(), 1);
  const Record availability = plugin_.get_availability(args);
  ::unsetenv("PANEL_NOW");
  EXPECT_EQ(availability["uptime_24h"], 50.0) << "one good run of the two that judged the site";
}

TEST_F(HealthStore, AFailedRunIsAnErrorThatKeepsTheLastStoredFigures) {
  const std::int64_t t0 = 1765170000;
  run(t0, kDegraded);
  fail(t0 + 60, "调度中心无法连接：refused");
  fail(t0 + 120, "调度中心超时：slow");
  Record h = health();
  EXPECT_EQ(h["health"], "error");
  EXPECT_EQ(h["since"], t0 + 60);
  EXPECT_EQ(h["scope"], "monitor");
  EXPECT_EQ(h["reason"], "调度中心超时：slow");
  EXPECT_EQ(h["error_streak"], 2);
  EXPECT_EQ(h["last_attempt"], t0 + 120);
  EXPECT_EQ(h["last_run"], t0);
  EXPECT_EQ(h["failing"], 1);
  EXPECT_EQ(decode(h["trend"].get<std::string>()).size(), 1u) << "only stored runs make the trend";
  const Record all = incidents();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["kind"], "error");
  EXPECT_EQ(all[0]["reason"], "调度中心无法连接：refused");
  EXPECT_EQ(all[0]["scope"], "monitor");
  EXPECT_EQ(all[0]["runs"], 2);
  run(t0 + 180, kUp);
  EXPECT_EQ(health()["error_streak"], 0);
  EXPECT_EQ(incidents()[0]["end_time"], t0 + 180);
}

TEST_F(HealthStore, TrendKeepsTheLastThirtyStoredRunsOldestFirst) {
  for (int i = 0; i < 35; ++i) run(1000 + i, i % 2 ? kUp : kDown);
  const Record trend = decode(health()["trend"].get<std::string>());
  ASSERT_EQ(trend.size(), 30u);
  EXPECT_EQ(trend[0], Record::array({1005, 20.0, 1}));
  EXPECT_EQ(trend[29], Record::array({1034, nullptr, 0}));  // a run without a good node has no time
}

TEST_F(HealthStore, HoursCountRunsGoodRunsAndPerIspFigures) {
  const std::int64_t hour = 1765170000 - 1765170000 % 3600;
  run(hour, Record::array({ok("电信", 10), ok("电信", 30), ok("联通", 50)}));
  run(hour + 3599, Record::array({ok("电信", 20), refused("电信"), refused("联通"), refused("联通")}));
  fail(hour + 3599, "调度中心无法连接：x");
  run(hour + 3600, kUp);
  const Record all = hours();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]["hour"], hour);
  EXPECT_EQ(all[0]["runs"], 3);
  EXPECT_EQ(all[0]["good"], 1);
  EXPECT_EQ(all[0]["time_count"], 4);
  EXPECT_EQ(all[0]["time_sum"], 110.0);
  EXPECT_EQ(all[0]["time_min"], 10.0);
  EXPECT_EQ(all[0]["time_max"], 50.0);
  const Record isp = decode(all[0]["isp"].get<std::string>());
  EXPECT_EQ(isp["电信"], (Record{{"sum", 60.0}, {"count", 3}, {"min", 10.0}, {"max", 30.0}, {"runs", 2}, {"good", 1}}));
  EXPECT_EQ(isp["联通"], (Record{{"sum", 50.0}, {"count", 1}, {"min", 50.0}, {"max", 50.0}, {"runs", 2}, {"good", 1}}));
  EXPECT_EQ(all[1]["hour"], hour + 3600);
  EXPECT_EQ(all[1]["runs"], 1);
}

TEST_F(HealthStore, SuspectNodeIsKeptFromRunToRun) {
  const Record data = Record::array({ok("电信"), refused("电信"), ok("联通")});
  for (int i = 0; i < 3; ++i) run(1000 + i, data);
  const Record h = health();
  EXPECT_EQ(h["scope"], "node");
  EXPECT_EQ(decode(h["suspect_nodes"].get<std::string>()), Record::array({"电信#2"}));
}

TEST_F(HealthStore, ARemovedTaskGetsNoHealthFromARunStillGoing) {
  public_::M("rivi_task").where("id=?", task_).delete_();
  run(1000, kDown);
  fail(1001, "x");
  EXPECT_TRUE(public_::M("rivi_health").select().empty());
  EXPECT_TRUE(incidents().empty());
  EXPECT_TRUE(hours().empty());
}

TEST_F(HealthStore, RemoveDeletesTheTasksHealthIncidentsAndHours) {
  std::int64_t other = public_::M("rivi_task").insert(Record{{"name", "b"}, {"url", "http://b.test/"}, {"status", 1}, {"cycle", 1}});
  run(1000, kDown);
  std::swap(task_, other);
  run(1000, kDown);
  std::swap(task_, other);
  Record args{{"id", std::to_string(task_)}};
  EXPECT_EQ(plugin_.remove(args), public_::returnMsg(true, "删除成功!"));
  for (const char* table : {"rivi_health", "rivi_incident", "rivi_hourly"}) {
    const Record left = public_::M(table).select();
    ASSERT_EQ(left.size(), 1u) << table;
    EXPECT_EQ(left[0]["pid"], other) << table;
  }
}

TEST_F(HealthStore, PurgeDropsClosedIncidentsAndHoursBeforeTheCutoff) {
  const std::int64_t cutoff = 1765170000;
  run(cutoff - 7200, kDown);
  run(cutoff - 3700, kUp);  // closes the first incident before the cut-off
  run(cutoff - 3600, kDown);  // still open at the cut-off: kept whatever its age
  run(cutoff, kDown);
  EXPECT_EQ(purge_before(*db_, cutoff, 1), 3);  // one incident and two hours, one row a statement
  const Record left = incidents();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["start_time"], cutoff - 3600);
  const Record kept = hours();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]["hour"], cutoff);
}

TEST(HealthSchema, ConstructionAddsTheTablesToAnOlderDatabase) {
  testing::TempRoot root;
  { qn_rivi_main first; }
  Connection db(database_path());
  db.exec_script("DROP TABLE rivi_hourly; DROP INDEX rivi_incident_end");
  qn_rivi_main second;
  for (const auto& name : schema_names()) {
    EXPECT_EQ(db.query("SELECT 1 FROM sqlite_master WHERE name = ?", Record::array({name})).size(), 1u) << name;
  }
}

TEST(HealthSchema, AnOlderHourTableGainsItsCountsApartAndKeepsItsRows) {
  testing::TempRoot root;
  { qn_rivi_main first; }
  Connection db(database_path());
  db.exec_script(
      "DROP TABLE rivi_hourly; DROP TABLE rivi_node_incident; DROP TABLE rivi_maintenance;"
      "CREATE TABLE rivi_hourly (pid INTEGER NOT NULL, hour INTEGER NOT NULL, runs INTEGER NOT NULL, "
      "good INTEGER NOT NULL, time_sum REAL NOT NULL DEFAULT 0, time_count INTEGER NOT NULL DEFAULT 0, time_min REAL, "
      "time_max REAL, isp TEXT NOT NULL DEFAULT '{}', PRIMARY KEY (pid, hour)) WITHOUT ROWID;"
      "INSERT INTO rivi_hourly (pid, hour, runs, good) VALUES (1, 3600, 4, 3);");
  qn_rivi_main second;
  EXPECT_EQ(db.query("SELECT runs, good, errors, maintenance FROM rivi_hourly")[0],
            (Record{{"runs", 4}, {"good", 3}, {"errors", 0}, {"maintenance", 0}}));
  for (const auto& name : schema_names()) {
    EXPECT_EQ(db.query("SELECT 1 FROM sqlite_master WHERE name = ?", Record::array({name})).size(), 1u) << name;
  }
  create_tables(db);  // again: nothing to add, nothing refused
}

}  // namespace
}  // namespace rivi::health
