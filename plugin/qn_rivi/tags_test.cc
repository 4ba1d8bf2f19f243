// Tags on a real store: reading tag lists (limits and refusals), set_tags and get_tags, tags gone
// with their task, and the overview's tag filter, sort orders, page size and each row's tags.
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/tags.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace rivi {
namespace {

constexpr std::int64_t kNow = 1765170000 + 59 * 60;

TEST(TagText, TrimsSplitsOnBothCommasAndKeepsEachOnce) {
  EXPECT_EQ(tags::parse(" 生产 ,web，生产,, 华东\u3000"), (std::vector<std::string>{"生产", "web", "华东"}));
  EXPECT_TRUE(tags::parse(" , ，").empty());
  EXPECT_EQ(tags::tag_of(std::string(32, 'a')), std::string(32, 'a'));
  EXPECT_EQ(tags::tag_of("一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一二"), "一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十一二");
}

TEST(TagText, RefusesWhatCannotBeATag) {
  EXPECT_THROW(tags::tag_of(std::string(33, 'a')), std::invalid_argument);
  EXPECT_THROW(tags::tag_of("   "), std::invalid_argument);
  EXPECT_THROW(tags::tag_of("a,b"), std::invalid_argument);
  EXPECT_THROW(tags::tag_of("a，b"), std::invalid_argument);
  EXPECT_THROW(tags::tag_of("a\x01" "b"), std::invalid_argument);
  EXPECT_THROW(tags::tag_of("\xff"), std::invalid_argument);
  std::string many;
  for (int i = 0; i < 21; ++i) many += "t" + std::to_string(i) + ",";
  try {
    tags::parse(many);
    FAIL() << "21 tags were accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "每个任务最多20个标签！");
  }
}

class TagStoreTest : public ::testing::Test {
 protected:
  TagStoreTest() { ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1); }
  ~TagStoreTest() override { ::unsetenv("PANEL_NOW"); }

  std::int64_t task(const std::string& name, int status = 1) {
    return public_::M("rivi_task").insert(Record{{"name", name}, {"url", "http://" + name + ".test/"}, {"status", status},
                                                 {"cycle", 5}, {"addtime", kNow - 60}});
  }
  void run(std::int64_t pid, std::int64_t time, int good_nodes, int bad_nodes) {
    Record data = Record::array();
    for (int i = 0; i < good_nodes; ++i) data.push_back(Record{{"isp", "电信"}, {"http_code", 200}, {"total_time", 10.0}, {"error_code", ""}});
    for (int i = 0; i < bad_nodes; ++i) data.push_back(Record{{"isp", "联通"}, {"http_code", 0}, {"total_time", 0.1}, {"error_code", "refused"}});
    run_nodes(pid, time, data);
  }
  void run_nodes(std::int64_t pid, std::int64_t time, const Record& data) {
    transaction tx(db_);
    const auto nodes = health::judge_nodes(data);
    health::record_run(*db_, pid, time, nodes, health::assess(nodes, {}).failing > 2 ? 0 : 1);
    tx.commit();
  }
  Record call(const std::string& method, Record args = Record::object()) { return call_web_method(method, args); }
  std::vector<std::string> names(Record args) {
    std::vector<std::string> out;
    const Record answer = call("get_overview", std::move(args));
    for (const Record& row : answer["data"]) out.push_back(text_of(row["name"]));
    return out;
  }

  testing::TempRoot root_;
  qn_rivi_main plugin_;
  std::shared_ptr<Connection> db_ = std::make_shared<Connection>(database_path());
};

TEST_F(TagStoreTest, SetTagsReplacesCountsAndGoesWithItsTask) {
  const auto a = task("a"), b = task("b");
  EXPECT_EQ(call("set_tags", Record{{"pid", std::to_string(a)}, {"tags", "web，生产"}})["data"], Record::array({"web", "生产"}));
  call("set_tags", Record{{"pid", std::to_string(b)}, {"tags", "web"}});
  EXPECT_EQ(call("get_tags")["data"],
            Record::array({Record{{"tag", "web"}, {"count", 2}}, Record{{"tag", "生产"}, {"count", 1}}}));
  // Replacing, not adding; an empty list clears.
  call("set_tags", Record{{"pid", std::to_string(a)}, {"tags", "db"}});
  EXPECT_EQ(tags::of_task(*db_, a), std::vector<std::string>{"db"});
  call("set_tags", Record{{"pid", std::to_string(b)}, {"tags", ""}});
  EXPECT_TRUE(tags::of_task(*db_, b).empty());

  // A refusal changes nothing and says why; a missing task is named.
  const Record refused = call("set_tags", Record{{"pid", std::to_string(a)}, {"tags", "ok," + std::string(40, 'x')}});
  EXPECT_EQ(refused["status"], false);
  EXPECT_NE(text_of(refused["msg"]).find("标签长度应为1到32个字符"), std::string::npos);
  EXPECT_EQ(tags::of_task(*db_, a), std::vector<std::string>{"db"});
  EXPECT_EQ(call("set_tags", Record{{"pid", "999"}, {"tags", "x"}})["msg"], "指定任务不存在!");

  call("remove", Record{{"id", std::to_string(a)}});
  EXPECT_TRUE(call("get_tags")["data"].empty());
  EXPECT_EQ(db_->query("SELECT COUNT(*) AS n FROM rivi_tag")[0]["n"], 0);
}

TEST_F(TagStoreTest, OverviewFiltersByTagAndSortsEachWay) {
  const auto down = task("Down");
  const auto up = task("up");
  const auto degraded = task("degraded");
  const auto paused = task("paused", 0);
  const auto never = task("never");
  run(up, kNow - 3000, 3, 0);
  run(up, kNow - 500, 3, 0);            // 100 %
  run_nodes(degraded, kNow - 400,        // one line fails: degraded
            Record::array({Record{{"isp", "电信"}, {"http_code", 0}, {"total_time", 5.0}, {"error_code", "timeout"}},
                           Record{{"isp", "联通"}, {"http_code", 200}, {"total_time", 30.0}, {"error_code", ""}},
                           Record{{"isp", "移动"}, {"http_code", 200}, {"total_time", 50.0}, {"error_code", ""}}}));
  run(down, kNow - 1200, 3, 0);
  run(down, kNow - 200, 0, 3);          // 50 %, newest attempt
  for (auto id : {down, up, degraded, paused, never}) call("set_tags", Record{{"pid", std::to_string(id)}, {"tags", "all"}});
  call("set_tags", Record{{"pid", std::to_string(up)}, {"tags", "all,web"}});
  call("set_tags", Record{{"pid", std::to_string(down)}, {"tags", "all,web"}});

  EXPECT_EQ(names(Record{{"sort", "health"}}), (std::vector<std::string>{"Down", "degraded", "never", "up", "paused"}));
  EXPECT_EQ(names(Record{{"sort", "health"}, {"order", "desc"}}),
            (std::vector<std::string>{"paused", "up", "never", "degraded", "Down"}));
  EXPECT_EQ(names(Record{{"sort", "name"}}), (std::vector<std::string>{"degraded", "Down", "never", "paused", "up"}));
  EXPECT_EQ(names(Record{{"sort", "last"}}), (std::vector<std::string>{"Down", "degraded", "up", "never", "paused"}));
  EXPECT_EQ(names(Record{{"sort", "last"}, {"order", "asc"}}), (std::vector<std::string>{"never", "paused", "up", "degraded", "Down"}));
  EXPECT_EQ(names(Record{{"sort", "uptime"}}), (std::vector<std::string>{"never", "paused", "Down", "degraded", "up"}));
  EXPECT_EQ(names(Record{{"sort", "uptime"}, {"order", "desc"}, {"tag", "web"}}), (std::vector<std::string>{"up", "Down"}));
  EXPECT_EQ(names(Record::object()), (std::vector<std::string>{"never", "paused", "degraded", "up", "Down"}));

  // The filter narrows the counts and the pager too; each row carries its tags.
  const Record web = call("get_overview", Record{{"tag", "web"}, {"health", "down"}});
  EXPECT_EQ(web["page"]["count"], 1);
  EXPECT_EQ(web["counts"]["up"], 1);
  EXPECT_EQ(web["counts"]["paused"], 0);
  EXPECT_EQ(web["data"][0]["tags"], Record::array({"all", "web"}));
  EXPECT_TRUE(call("get_overview", Record{{"tag", "none"}})["data"].empty());
  EXPECT_EQ(call("get_overview", Record{{"tag", " "}})["data"].size(), 5u);
}

TEST_F(TagStoreTest, OverviewPageSizeAndRefusals) {
  for (int i = 0; i < 30; ++i) task("t" + std::to_string(i));
  EXPECT_EQ(call("get_overview")["data"].size(), 12u);
  EXPECT_EQ(call("get_overview", Record{{"rows", "25"}})["data"].size(), 25u);
  EXPECT_EQ(call("get_overview", Record{{"rows", "25"}, {"p", "2"}})["data"].size(), 5u);
  for (const char* bad : {"11", "101", "x"}) {
    const Record answer = call("get_overview", Record{{"rows", bad}});
    EXPECT_EQ(answer["status"], false) << bad;
    EXPECT_EQ(answer["msg"], "每页行数应在12到100之间！");
  }
  EXPECT_EQ(call("get_overview", Record{{"sort", "url"}})["status"], false);
  EXPECT_EQ(call("get_overview", Record{{"sort", "name"}, {"order", "up"}})["status"], false);
}

}  // namespace
}  // namespace rivi
