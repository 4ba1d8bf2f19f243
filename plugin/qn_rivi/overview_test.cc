// The health queries on a real store: get_overview (rows, search, health filter, counts, pages,
// the monitor's own state), get_incidents and get_availability (uptime at hour and day boundaries
// under the host's fixed clock, hourly figures, refusals).
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace rivi {
namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kNowHour = 1765170000;      // the start of an hour
constexpr std::int64_t kNow = kNowHour + 59 * 60;  // late in that hour

Record node(const std::string& isp, const Record& code, double total, const std::string& error_code = "") {
  return Record{{"isp", isp}, {"http_code", code}, {"total_time", total}, {"error_code", error_code}};
}
const Record kUp = Record::array({node("电信", 200, 10), node("联通", 200, 30)});
const Record kDown = Record::array({node("电信", 0, 0.1, "refused"), node("电信", 0, 0.1, "refused"),
                                    node("联通", 0, 0.1, "refused")});
const Record kIspDown = Record::array({node("电信", 0, 5, "timeout"), node("联通", 200, 30), node("移动", 200, 50)});

class OverviewTest : public ::testing::Test {
 protected:
  OverviewTest() { ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1); }
  ~OverviewTest() override { ::unsetenv("PANEL_NOW"); }

  std::int64_t task(const std::string& name, const std::string& url = "http://site.test/", int status = 1, int cycle = 5,
                    std::int64_t addtime = kNow - 86400) {
    return public_::M("rivi_task").insert(
        Record{{"name", name}, {"url", url}, {"status", status}, {"cycle", cycle}, {"addtime", addtime}});
  }
  void run(std::int64_t pid, std::int64_t time, const Record& data) {
    transaction tx(db_);
    const auto nodes = health::judge_nodes(data);
    health::record_run(*db_, pid, time, nodes, health::assess(nodes, {}).failing > 2 ? 0 : 1);
    tx.commit();
  }
  void fail(std::int64_t pid, std::int64_t time, const std::string& reason) {
    transaction tx(db_);
    health::record_failed_run(*db_, pid, time, reason);
    tx.commit();
  }
  Record call(const std::string& method, Record args = Record::object()) { return call_web_method(method, args); }
  Record overview(Record args = Record::object()) { return call("get_overview", std::move(args)); }

  testing::TempRoot root_;
  qn_rivi_main plugin_;
  std::shared_ptr<Connection> db_ = std::make_shared<Connection>(database_path());
};

std::vector<std::string> names(const Record& answer) {
  std::vector<std::string> out;
  for (const Record& row : answer["data"]) out.push_back(text_of(row["name"]));
  return out;
}

TEST_F(OverviewTest, EachTaskWithItsHealthInTheDocumentedForm) {
  const auto never = task("从未拨测", "http://site.test/", 1, 5, kNow - 60);
  const auto paused = task("已暂停", "http://paused.test/", 0);
  const auto failed = task("调度失败");
  const auto isp = task("电信故障");
  const auto down = task("本机静态站点", "http://127.0.0.1:81/");
  const auto up = task("正常站点", "https://Example.COM/");
  run(up, kNow - 600, kUp);
  run(up, kNow - 300, kUp);
  run(down, kNow - 600, kUp);
  run(down, kNow - 300, kDown);
  run(isp, kNow - 300, kIspDown);
  fail(failed, kNow - 300, "调度中心无法连接：refused");
  run(paused, kNow - 300, kDown);
  (void)never;

  const Record answer = overview();
  std::vector<std::string> keys;
  for (auto it = answer.begin(); it != answer.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"data", "page", "counts", "monitor", "tags", "alerting", "timezone"}));
  EXPECT_EQ(names(answer), (std::vector<std::string>{"正常站点", "本机静态站点", "电信故障", "调度失败", "已暂停", "从未拨测"}));
  EXPECT_EQ(answer["page"], public_::get_page(6, 1, 12));
  EXPECT_EQ(answer["counts"], (Record{{"up", 1}, {"degraded", 1}, {"down", 1}, {"error", 1}, {"maintenance", 0},
                                      {"unknown", 1}, {"paused", 1}}));
  EXPECT_EQ(answer["monitor"], (Record{{"state", "ok"}, {"reason", ""}}));

  const Record& d = answer["data"][1];
  std::vector<std::string> row_keys;
  for (auto it = d.begin(); it != d.end(); ++it) row_keys.push_back(it.key());
  const std::vector<std::string> documented{"id", "name", "url", "cycle", "status", "health", "since", "last_run",
                                            "last_total_time", "failing", "nodes", "unanswered", "reason", "scope",
                                            "suspect_nodes", "uptime_24h", "uptime_7d", "trend"};
  ASSERT_GE(row_keys.size(), documented.size());
  EXPECT_EQ(std::vector<std::string>(row_keys.begin(), row_keys.begin() + documented.size()), documented);
  EXPECT_EQ(d["id"], down);
  EXPECT_EQ(d["health"], "down");
  EXPECT_EQ(d["since"], kNow - 300);
  EXPECT_EQ(d["last_run"], kNow - 300);
  EXPECT_EQ(d["last_total_time"], nullptr) << "no node reached the site: no time to chart";
  EXPECT_EQ(d["failing"], 3);
  EXPECT_EQ(d["nodes"], 3);
  EXPECT_EQ(d["unanswered"], 0);
  EXPECT_EQ(d["reason"], "3/3 节点失败：连接被拒绝");
  EXPECT_EQ(d["scope"], "site");
  EXPECT_EQ(d["suspect_nodes"], Record::array());
  EXPECT_EQ(d["uptime_24h"], 50.0);
  EXPECT_EQ(d["uptime_7d"], 50.0);
  EXPECT_EQ(d["trend"], Record::array({Record::array({kNow - 600, 20.0, 1}), Record::array({kNow - 300, nullptr, 0})}));

  const Record& i = answer["data"][2];
  EXPECT_EQ(i["health"], "degraded");
  EXPECT_EQ(i["scope"], "isp");
  EXPECT_EQ(i["reason"], "仅电信线路异常");
  EXPECT_EQ(i["last_total_time"], 40.0);

  const Record& e = answer["data"][3];
  EXPECT_EQ(e["health"], "error");
  EXPECT_EQ(e["scope"], "monitor");
  EXPECT_EQ(e["reason"], "调度中心无法连接：refused");
  EXPECT_EQ(e["last_run"], nullptr);
  EXPECT_EQ(e["uptime_24h"], nullptr) << "a monitor error says nothing about the site";

  const Record& p = answer["data"][4];
  EXPECT_EQ(p["health"], "paused");
  EXPECT_EQ(p["since"], nullptr);
  EXPECT_EQ(p["last_run"], kNow - 300);

  const Record& n = answer["data"][5];
  EXPECT_EQ(n["health"], "unknown");
  for (const char* key : {"since", "last_run", "last_total_time", "uptime_24h", "uptime_7d"}) EXPECT_EQ(n[key], nullptr) << key;
  EXPECT_EQ(n["trend"], Record::array());
  EXPECT_EQ(n["reason"], "");
}

TEST_F(OverviewTest, SearchAndHealthFilter) {
  const auto a = task("本机静态站点", "http://127.0.0.1/");
  const auto b = task("商城", "https://SHOP.example.com/");
  const auto c = task("博客", "http://blog.test/");
  task("停用", "http://shop.old/", 0);
  run(a, kNow - 60, kDown);
  run(b, kNow - 60, kUp);
  run(c, kNow - 60, kDown);

  EXPECT_EQ(names(overview(Record{{"search", "静态"}})), (std::vector<std::string>{"本机静态站点"}));
  const Record shop = overview(Record{{"search", "Shop"}});
  EXPECT_EQ(names(shop), (std::vector<std::string>{"停用", "商城"}));
  EXPECT_EQ(shop["counts"], (Record{{"up", 1}, {"degraded", 0}, {"down", 0}, {"error", 0}, {"maintenance", 0},
                                    {"unknown", 0}, {"paused", 1}}));
  EXPECT_TRUE(overview(Record{{"search", "%"}})["data"].empty()) << "no wildcard";
  EXPECT_EQ(overview(Record{{"search", ""}})["data"].size(), 4u);

  const Record down = overview(Record{{"health", "down"}});
  EXPECT_EQ(names(down), (std::vector<std::string>{"博客", "本机静态站点"}));
  EXPECT_EQ(down["page"], public_::get_page(2, 1, 12));
  EXPECT_EQ(down["counts"]["up"], 1) << "counts ignore the health filter";
  EXPECT_EQ(names(overview(Record{{"health", "down"}, {"search", "静态"}})), (std::vector<std::string>{"本机静态站点"}));
  EXPECT_TRUE(overview(Record{{"health", "nonsense"}})["data"].empty());
}

// The answer also carries what the page's first view would otherwise ask three more calls for;
// each must say what its own method says, and the counts over every task come only with a filter.
TEST_F(OverviewTest, CarriesTheTagsTheAlertReachAndTheZoneOfTheirOwnMethods) {
  const auto a = task("商城", "https://shop.example.com/");
  const auto b = task("博客", "http://blog.test/");
  task("停用", "http://old.test/", 0);
  run(a, kNow - 60, kDown);
  run(b, kNow - 60, kUp);
  call("set_tags", Record{{"pid", std::to_string(a)}, {"tags", "web,生产"}});
  call("set_tags", Record{{"pid", std::to_string(b)}, {"tags", "web"}});
  ASSERT_NE(call("set_alert_policy", Record{{"display_timezone", "Asia/Shanghai"}})["status"], false);

  const Record all = overview();
  EXPECT_EQ(all["tags"], call("get_tags")["data"]);
  EXPECT_EQ(all["tags"][0], (Record{{"tag", "web"}, {"count", 2}}));
  const Record undelivered = call("get_undelivered");
  for (const char* key : {"channels", "robots", "failing_tasks"}) EXPECT_EQ(all["alerting"][key], undelivered[key]) << key;
  EXPECT_EQ(all["alerting"]["failing_tasks"], 1);
  EXPECT_EQ(all["timezone"], "Asia/Shanghai");
  EXPECT_EQ(all["timezone"], call("get_alert_policy")["timezone"]);
  EXPECT_FALSE(all.contains("all_counts")) << "unfiltered, counts are already over every task";

  // Narrowed by tag or search, the page still needs every task's counts for its title.
  for (const Record& args : {Record{{"tag", "生产"}}, Record{{"search", "博客"}}}) {
    const Record narrowed = overview(args);
    EXPECT_EQ(narrowed["all_counts"], all["counts"]) << args.dump();
    EXPECT_NE(narrowed["counts"], all["counts"]) << args.dump();
  }
  EXPECT_FALSE(overview(Record{{"health", "down"}}).contains("all_counts")) << "the health filter leaves counts whole";
}

TEST_F(OverviewTest, TwelveTasksAPageNewestFirst) {
  for (int i = 1; i <= 13; ++i) task("t" + std::to_string(i));
  const Record first = overview();
  ASSERT_EQ(first["data"].size(), 12u);
  EXPECT_EQ(first["data"][0]["name"], "t13");
  const Record second = overview(Record{{"p", "2"}});
  EXPECT_EQ(names(second), (std::vector<std::string>{"t1"}));
  EXPECT_EQ(second["page"], public_::get_page(13, 2, 12));
  EXPECT_THROW(overview(Record{{"p", "x"}}), std::invalid_argument);
}

TEST_F(OverviewTest, MonitorSaysWhenNothingRunsOrEverythingFailsToDispatch) {
  EXPECT_EQ(overview()["monitor"]["state"], "ok") << "no task, nothing to watch";
  const auto a = task("a", "http://a.test/", 1, 5, kNow - 86400);
  const auto b = task("b", "http://b.test/", 1, 10, kNow - 86400);
  task("stopped", "http://c.test/", 0, 1, kNow - 86400);
  // Forty minutes without any run: more than two cycles of both tasks.
  run(a, kNow - 40 * 60, kUp);
  run(b, kNow - 40 * 60, kUp);
  EXPECT_EQ(overview()["monitor"], (Record{{"state", "stale"}, {"reason", "已有40分钟没有任务运行，监控可能已停止"}}));

  // b ran within two of its cycles, but its dispatch failed; a has not run for long.
  fail(b, kNow - 5 * 60, "调度中心超时：slow");
  EXPECT_EQ(overview()["monitor"], (Record{{"state", "error"}, {"reason", "调度中心超时：slow"}}));
  fail(a, kNow - 60, "调度中心无法连接：refused");
  EXPECT_EQ(overview()["monitor"], (Record{{"state", "error"}, {"reason", "调度中心无法连接：refused"}}));
  run(a, kNow - 30, kDown);
  EXPECT_EQ(overview()["monitor"]["state"], "ok") << "a stored run: monitoring works, the site is down";
}

// Each task is judged on its own cycle: one without an attempt for two of its cycles is an
// `error` "未按时拨测" (also one that never ran), and the monitor names it, even while other
// tasks, a long-cycle one among them, are probed on time.
TEST_F(OverviewTest, ATaskNotProbedForTwoOfItsCyclesIsAnErrorWhateverTheOthersDo) {
  const auto fresh = task("按时", "http://a.test/", 1, 5);
  const auto daily = task("每天一次", "http://b.test/", 1, 1440);
  const auto late = task("停了", "http://c.test/", 1, 5);
  const auto never = task("从未启动", "http://d.test/", 1, 5, kNow - 11 * 60);
  const auto paused = task("暂停", "http://e.test/", 0, 5);
  run(fresh, kNow - 4 * 60, kUp);
  run(daily, kNow - 3600, kUp);
  run(late, kNow - 11 * 60, kUp);
  run(paused, kNow - 3600, kUp);

  const Record answer = overview();
  EXPECT_EQ(answer["counts"], (Record{{"up", 2}, {"degraded", 0}, {"down", 0}, {"error", 2}, {"maintenance", 0}, {"unknown", 0}, {"paused", 1}}));
  EXPECT_EQ(answer["monitor"], (Record{{"state", "late"}, {"reason", "2个任务超过两个周期没有拨测：停了、从未启动"}}));
  std::map<std::int64_t, Record> rows;
  for (const Record& row : answer["data"]) rows[to_int(row["id"])] = row;
  EXPECT_EQ(rows[fresh]["health"], "up");
  EXPECT_EQ(rows[daily]["health"], "up");
  EXPECT_EQ(rows[paused]["health"], "paused");
  for (const auto id : {late, never}) {
    EXPECT_EQ(rows[id]["health"], "error") << id;
    EXPECT_EQ(rows[id]["reason"], "未按时拨测") << id;
    EXPECT_EQ(rows[id]["scope"], "monitor") << id;
    EXPECT_EQ(rows[id]["since"], kNow - 11 * 60) << id;
  }
  EXPECT_EQ(rows[late]["last_run"], kNow - 11 * 60);
  EXPECT_EQ(names(overview(Record{{"health", "error"}})), (std::vector<std::string>{"从未启动", "停了"}));

  // Probed again: it is what its run says.
  run(late, kNow - 30, kUp);
  run(never, kNow - 30, kUp);
  EXPECT_EQ(overview()["monitor"], (Record{{"state", "ok"}, {"reason", ""}}));
}

// Runs made before the clock was set back lie in hours past the current one: they still count.
TEST_F(OverviewTest, UptimeCountsHoursRecordedBeforeTheClockWasSetBack) {
  const auto t = task("t");
  run(t, kNow - 600, kUp);
  run(t, kNow + kHour, kDown);
  EXPECT_EQ(overview()["data"][0]["uptime_24h"], 50.0);
}

TEST_F(OverviewTest, IncidentsNewestFirstWithDurationAndMostFailingNodes) {
  const auto a = task("a");
  const auto b = task("b");
  run(a, kNow - 3000, kDown);
  run(a, kNow - 2700, Record::array({node("联通", 0, 1, "timeout"), node("电信", 500, 1, "http_status"),
                                     node("电信", 200, 1), node("移动", 500, 1, "http_status")}));
  run(a, kNow - 2400, kUp);
  fail(a, kNow - 600, "调度中心无法连接：refused");
  run(b, kNow - 500, kDown);

  const Record all = call("get_incidents");
  ASSERT_EQ(all["data"].size(), 3u);
  EXPECT_EQ(all["page"], public_::get_page(3, 1, 12));
  const Record mine = call("get_incidents", Record{{"pid", std::to_string(a)}});
  ASSERT_EQ(mine["data"].size(), 2u);
  EXPECT_EQ(mine["data"][0], (Record{{"id", 2}, {"pid", a}, {"kind", "error"}, {"start", kNow - 600}, {"end", nullptr},
                                     {"duration", 600}, {"failing_nodes", Record::array()},
                                     {"reason", "调度中心无法连接：refused"}, {"scope", "monitor"}, {"runs", 1}}));
  const Record& closed = mine["data"][1];
  EXPECT_EQ(closed["kind"], "down");
  EXPECT_EQ(closed["end"], kNow - 2400);
  EXPECT_EQ(closed["duration"], 600);
  EXPECT_EQ(closed["runs"], 2);
  EXPECT_EQ(closed["failing_nodes"], Record::array({"电信#1", "联通#1", "电信#2", "移动#1"}));
  EXPECT_EQ(closed["reason"], "3/3 节点失败：连接被拒绝");
  EXPECT_TRUE(call("get_incidents", Record{{"pid", "abc"}})["data"].empty());
}

TEST_F(OverviewTest, UptimeCountsWholeHoursBackFromTheCurrentOne) {
  const auto t = task("t");
  // Good and bad runs on both sides of the 24-hour, 7-day and 30-day limits.
  run(t, kNowHour, kUp);
  run(t, kNow, kUp);
  run(t, kNowHour - 23 * kHour, kDown);       // the first hour of the last 24
  run(t, kNowHour - 23 * kHour - 1, kDown);   // one second before it
  run(t, kNowHour - 167 * kHour, kUp);        // the first hour of the last 7 days
  run(t, kNowHour - 167 * kHour - 1, kDown);
  run(t, kNowHour - 719 * kHour, kUp);        // the first hour of the last 30 days
  run(t, kNowHour - 719 * kHour - 1, kDown);

  const Record a = call("get_availability", Record{{"pid", std::to_string(t)}, {"days", "1"}});
  EXPECT_EQ(a["uptime_24h"], 66.67);
  EXPECT_EQ(a["uptime_7d"], 60.0);
  EXPECT_EQ(a["uptime_30d"], 57.14);
  ASSERT_EQ(a["hours"].size(), 2u);
  EXPECT_EQ(a["hours"][0]["hour"], kNowHour - 23 * kHour);
  EXPECT_EQ(a["hours"][1], (Record{{"hour", kNowHour}, {"runs", 2}, {"good", 2}, {"mean", 20.0}, {"min", 10.0}, {"max", 30.0},
                                   {"errors", 0}, {"maintenance", 0}, {"isp", Record{{"电信", Record{{"runs", 2}, {"good", 2}, {"mean", 10.0}, {"min", 10.0}, {"max", 10.0}}},
                                                  {"联通", Record{{"runs", 2}, {"good", 2}, {"mean", 30.0}, {"min", 30.0}, {"max", 30.0}}}}}}));
  EXPECT_EQ(a["hours"][0]["mean"], nullptr);
  EXPECT_EQ(a["hours"][0]["isp"]["电信"]["good"], 0);

  EXPECT_EQ(call("get_availability", Record{{"pid", std::to_string(t)}})["hours"].size(), 4u);  // 7 days by default
  EXPECT_EQ(call("get_availability", Record{{"pid", std::to_string(t)}, {"days", "30"}})["hours"].size(), 6u);
  const Record o = overview();
  EXPECT_EQ(o["data"][0]["uptime_24h"], 66.67);
  EXPECT_EQ(o["data"][0]["uptime_7d"], 60.0);

  // An hour later the oldest hour of each span drops out.
  ::setenv("PANEL_NOW", std::to_string(kNow + kHour).c_str(), 1);
  const Record later = call("get_availability", Record{{"pid", std::to_string(t)}, {"days", "1"}});
  EXPECT_EQ(later["uptime_24h"], 100.0);
  EXPECT_EQ(later["uptime_7d"], 50.0);
}

TEST_F(OverviewTest, AvailabilityRefusals) {
  const auto t = task("t");
  EXPECT_EQ(call("get_availability"), public_::returnMsg(false, "错误的参数!"));
  for (const char* days : {"0", "31", "-1", "abc", "1.5", ""}) {
    EXPECT_EQ(call("get_availability", Record{{"pid", std::to_string(t)}, {"days", days}}),
              public_::returnMsg(false, "天数应在1到30之间！"))
        << days;
  }
  EXPECT_EQ(call("get_availability", Record{{"pid", std::to_string(t)}}),
            (Record{{"uptime_24h", nullptr}, {"uptime_7d", nullptr}, {"uptime_30d", nullptr}, {"hours", Record::array()}}));
  EXPECT_EQ(call("get_availability", Record{{"pid", "nope"}})["hours"], Record::array());
}

TEST_F(OverviewTest, TheCommandLineReachesTheNewMethods) {
  task("本机静态站点", "http://site.test/", 1, 5, kNow);
  const auto r = testing::run({testing::bin("panel"), "call", "qn_rivi", "get_overview", "search=静态"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Record answer = decode(r.out);
  ASSERT_EQ(answer["data"].size(), 1u);
  EXPECT_EQ(answer["data"][0]["health"], "unknown");
}

}  // namespace
}  // namespace rivi
