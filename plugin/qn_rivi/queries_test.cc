// The probe log: per-row summary, paging, retention purge (also across daylight-saving changes)
// and removal of one result, on a real panel root and SQLite database.
#include "host/public.h"
#include "host/record.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace rivi {
namespace {

// Sets an environment variable for the life of the object and restores the old value (and the
// time-zone state when it is TZ) afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
    ::tzset();
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
    ::tzset();
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A fixed "now": Tuesday 2026-06-16 10:00:00 UTC, far from any daylight-saving change.
constexpr std::int64_t kNow = 1781604000;
constexpr std::int64_t kWeek = 7 * 86400;

std::int64_t add_result(const Record& pid, const std::string& data, std::int64_t addtime, int status = 1) {
  return public_::M("rivi_list").insert(Record{{"pid", pid}, {"data", data}, {"status", status}, {"addtime", addtime}});
}

std::vector<std::int64_t> ids_of(const Record& rows) {
  std::vector<std::int64_t> ids;
  for (const Record& row : rows) ids.push_back(row.at("id").get<std::int64_t>());
  return ids;
}

class TaskLogTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
  ScopedEnv clock_{"PANEL_NOW", std::to_string(kNow)};
  ScopedEnv zone_{"TZ", "UTC"};
  qn_rivi_main plugin_;
};

struct SummaryCase {
  const char* what;
  std::string data;      // the stored JSON text
  std::string expected;  // the answered row after `"id": N, "pid": 1, ` (empty: returned as read)
};

TEST_F(TaskLogTest, SummaryOfEachRow) {
  const std::vector<SummaryCase> cases = {
      {"three nodes",
       R"([{"isp": "a", "total_time": 10}, {"isp": "b", "total_time": 25}, {"isp": "c", "total_time": 20}])",
       R"("data": [{"isp": "b", "total_time": 25}, {"isp": "c", "total_time": 20}, {"isp": "a", "total_time": 10}], "status": 1, "addtime": 1781604000, "avgrage": 18.33, "max": 25.0, "max_isp": "b", "min": 10.0, "min_isp": "a")"},
      {"single node", R"([{"isp": "x", "total_time": 7.5}])",
       R"("data": [{"isp": "x", "total_time": 7.5}], "status": 1, "addtime": 1781604000, "avgrage": 7.5, "max": 7.5, "max_isp": "x", "min": 7.5, "min_isp": "x")"},
      {"ties keep stored order: first of the slowest, last of the fastest",
       R"([{"isp": "a", "total_time": 5}, {"isp": "b", "total_time": 9}, {"isp": "c", "total_time": 9.0}, {"isp": "d", "total_time": 5}])",
       R"("data": [{"isp": "b", "total_time": 9}, {"isp": "c", "total_time": 9.0}, {"isp": "a", "total_time": 5}, {"isp": "d", "total_time": 5}], "status": 1, "addtime": 1781604000, "avgrage": 7.0, "max": 9.0, "max_isp": "b", "min": 5.0, "min_isp": "d")"},
      {"a mean of exactly 0.125 rounds to 0.12",
       R"([{"isp": "a", "total_time": 0.25}, {"isp": "b", "total_time": 0}, {"isp": "c", "total_time": 0.125}])",
       R"("data": [{"isp": "a", "total_time": 0.25}, {"isp": "c", "total_time": 0.125}, {"isp": "b", "total_time": 0}], "status": 1, "addtime": 1781604000, "avgrage": 0.12, "max": 0.25, "max_isp": "a", "min": 0.0, "min_isp": "b")"},
      {"2.675 lies below its text and rounds to 2.67", R"([{"isp": "a", "total_time": 2.675}])",
       R"("data": [{"isp": "a", "total_time": 2.675}], "status": 1, "addtime": 1781604000, "avgrage": 2.67, "max": 2.67, "max_isp": "a", "min": 2.67, "min_isp": "a")"},
      {"slowest node without isp: partial summary",
       R"([{"isp": "a", "total_time": 1}, {"total_time": 3}])",
       R"("data": [{"total_time": 3}, {"isp": "a", "total_time": 1}], "status": 1, "addtime": 1781604000, "avgrage": 2.0, "max": 3.0)"},
      {"fastest node without isp: partial summary",
       R"([{"total_time": 1}, {"isp": "b", "total_time": 3}])",
       R"("data": [{"isp": "b", "total_time": 3}, {"total_time": 1}], "status": 1, "addtime": 1781604000, "avgrage": 2.0, "max": 3.0, "max_isp": "b", "min": 1.0)"},
      {"empty list", "[]", ""},
      {"not JSON", "{not json", ""},
      {"a node without total_time", R"([{"isp": "a", "total_time": 1}, {"isp": "b"}])", ""},
      {"total_time as text", R"([{"isp": "a", "total_time": "12"}])", ""},
      {"total_time as boolean", R"([{"isp": "a", "total_time": true}])", ""},
      {"a record, not a list", R"({"isp": "a", "total_time": 1})", ""},
      {"a list of numbers", "[1, 2]", ""},
  };
  std::vector<std::int64_t> ids;
  for (const SummaryCase& c : cases) ids.push_back(add_result(1, c.data, kNow));

  // One page per case so that every row passes through the summary; newest first, so the
  // first page holds the last twelve cases.
  std::vector<Record> rows;
  for (int p = 1; p <= 2; ++p) {
    Record args{{"pid", "1"}, {"p", std::to_string(p)}};
    const Record answer = plugin_.get_task_log(args);
    for (const Record& row : answer.at("data")) rows.push_back(row);
  }
  ASSERT_EQ(rows.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const SummaryCase& c = cases[i];
    const Record& row = rows[cases.size() - 1 - i];
    const std::string head = "{\"id\": " + std::to_string(ids[i]) + ", \"pid\": 1, ";
    const std::string expected = c.expected.empty()
        ? head + "\"data\": " + encode(c.data) + ", \"status\": 1, \"addtime\": 1781604000}"
        : head + c.expected + "}";
    EXPECT_EQ(encode(row), expected) << c.what;
  }
  // The summary is never stored.
  EXPECT_EQ(public_::M("rivi_list").where("id=?", Record::array({ids[0]})).getField("data"), cases[0].data);
}

TEST_F(TaskLogTest, PagesNewestFirstForOneTask) {
  std::vector<std::int64_t> mine;
  for (int i = 0; i < 13; ++i) {
    mine.push_back(add_result(1, "[]", kNow));
    add_result(2, "[]", kNow);
  }

  Record first{{"pid", "1"}};
  const Record page1 = plugin_.get_task_log(first);
  EXPECT_EQ(first.at("p"), 1);  // stored back as a whole number
  EXPECT_EQ(page1.at("page"), public_::get_page(13, 1, 12));
  EXPECT_EQ(ids_of(page1.at("data")), std::vector<std::int64_t>(mine.rbegin(), mine.rbegin() + 12));
  ASSERT_EQ(page1.begin().key(), "page");

  Record second{{"pid", 1}, {"p", " 2"}};
  const Record page2 = plugin_.get_task_log(second);
  EXPECT_EQ(second.at("p"), 2);
  EXPECT_EQ(ids_of(page2.at("data")), std::vector<std::int64_t>{mine.front()});

  Record beyond{{"pid", "1"}, {"p", "9"}};
  EXPECT_EQ(plugin_.get_task_log(beyond).at("data"), Record::array());

  Record none{{"pid", "3"}};
  const Record empty = plugin_.get_task_log(none);
  EXPECT_EQ(empty.at("data"), Record::array());
  EXPECT_EQ(empty.at("page"), public_::get_page(0, 1, 12));
}

TEST_F(TaskLogTest, PurgeDeletesStrictlyOlderRowsOfEveryTask) {
  const std::int64_t cutoff = kNow - kWeek;
  const std::int64_t kept_mine = add_result(1, "[]", cutoff);
  add_result(1, "[]", cutoff - 1);
  const std::int64_t kept_other = add_result(2, "[]", cutoff);
  add_result(2, "[]", cutoff - 1);

  Record args{{"pid", "1"}};
  EXPECT_EQ(ids_of(plugin_.get_task_log(args).at("data")), std::vector<std::int64_t>{kept_mine});
  EXPECT_EQ(ids_of(public_::M("rivi_list").where("pid=?", Record::array({2})).select()),
            std::vector<std::int64_t>{kept_other});
}

// The cut-off is the same wall-clock time seven calendar days earlier, so a week that crosses a
// daylight-saving change is 167 or 169 hours long.
TEST_F(TaskLogTest, PurgeCutOffFollowsTheLocalCalendarAcrossDaylightSaving) {
  struct Case {
    const char* what;
    std::int64_t now;
    std::int64_t cutoff;
  };
  const Case cases[] = {
      // 2026-04-02 12:00 CEST; seven days earlier 2026-03-26 12:00 CET = 11:00 UTC.
      {"spring forward", 1775124000, 1774522800},
      // 2026-10-28 12:00 CET; seven days earlier 2026-10-21 12:00 CEST = 10:00 UTC.
      {"fall back", 1793185200, 1792576800},
  };
  // Without the zone data the C library silently falls back to UTC.
  ASSERT_TRUE(std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin")) << "the tzdata package is missing";
  ScopedEnv berlin("TZ", "Europe/Berlin");
  for (const Case& c : cases) {
    ScopedEnv clock("PANEL_NOW", std::to_string(c.now));
    public_::M("rivi_list").where("").delete_();
    const std::int64_t stays = add_result(1, "[]", c.cutoff);
    add_result(1, "[]", c.cutoff - 1);
    Record args{{"pid", "1"}};
    EXPECT_EQ(ids_of(plugin_.get_task_log(args).at("data")), std::vector<std::int64_t>{stays}) << c.what;
  }
}

TEST_F(TaskLogTest, PurgeRunsBeforeTheArgumentsAreChecked) {
  add_result(1, "[]", kNow - kWeek - 1);
  Record no_pid = Record::object();
  EXPECT_EQ(plugin_.get_task_log(no_pid), public_::returnMsg(false, "错误的参数!"));
  EXPECT_EQ(public_::M("rivi_list").count(), 0);

  add_result(1, "[]", kNow - kWeek - 1);
  const std::int64_t kept = add_result(1, "[]", kNow);
  for (const char* bad : {"abc", "1.5", ""}) {
    Record args{{"pid", "1"}, {"p", bad}};
    EXPECT_THROW(plugin_.get_task_log(args), std::invalid_argument) << bad;
    EXPECT_EQ(args.at("p"), bad);
  }
  EXPECT_EQ(ids_of(public_::M("rivi_list").select()), std::vector<std::int64_t>{kept});
}

TEST_F(TaskLogTest, RemoveOneResult) {
  const std::int64_t gone = add_result(1, "[]", kNow);
  const std::int64_t kept = add_result(1, "[]", kNow);
  const Record ok = public_::returnMsg(true, "删除成功!");

  Record args{{"id", std::to_string(gone)}};
  EXPECT_EQ(plugin_.remove_task_log(args), ok);
  Record unknown{{"id", "999"}};
  EXPECT_EQ(plugin_.remove_task_log(unknown), ok);
  Record missing = Record::object();
  EXPECT_EQ(plugin_.remove_task_log(missing), public_::returnMsg(false, "错误的参数!"));

  EXPECT_EQ(ids_of(public_::M("rivi_list").select()), std::vector<std::int64_t>{kept});
  std::vector<std::string> lines;
  for (const Record& entry : public_::M("logs").order("id").select()) {
    EXPECT_EQ(entry.at("type"), "拔测监控");
    lines.push_back(entry.at("log").get<std::string>());
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"删除任务记录[" + std::to_string(gone) + "]", "删除任务记录[999]"}));
}

// An id is a whole number in any of its text forms; anything else names no row.
TEST_F(TaskLogTest, IdsAreWholeNumbersInAnyTextForm) {
  public_::M("rivi_task").insert(Record{{"name", "web"}, {"url", "http://x/"}, {"status", 1}, {"cycle", 5}, {"addtime", kNow}});
  const std::int64_t first = add_result(1, "[]", kNow);
  add_result(1, "[]", kNow);
  add_result(1, "[]", kNow);
  for (const Record& id : {Record("01"), Record("1.0"), Record(" 1 "), Record("+1"), Record(1.0), Record("1e0")}) {
    SCOPED_TRACE(id.dump());
    Record find{{"id", id}};
    EXPECT_EQ(plugin_.get_find(find)["name"], "web");
    Record log{{"pid", id}};
    EXPECT_EQ(plugin_.get_task_log(log)["data"].size(), 3u);
  }
  for (const Record& id : {Record("1.5"), Record("abc"), Record("0x1"), Record(true), Record(nullptr), Record("inf")}) {
    SCOPED_TRACE(id.dump());
    Record find{{"id", id}};
    EXPECT_EQ(plugin_.get_find(find), nullptr);
    Record log{{"pid", id}};
    const Record answer = plugin_.get_task_log(log);
    EXPECT_EQ(answer["data"], Record::array());
    EXPECT_EQ(answer["page"], public_::get_page(0, 1, 12));
    Record remove{{"id", id}};
    EXPECT_EQ(plugin_.remove_task_log(remove), public_::returnMsg(true, "删除成功!"));
  }
  EXPECT_EQ(public_::M("rivi_list").count(), 3);
  Record remove{{"id", std::to_string(first) + ".0"}};
  plugin_.remove_task_log(remove);
  EXPECT_EQ(public_::M("rivi_list").where("id=?", first).count(), 0);
  EXPECT_EQ(public_::M("rivi_list").count(), 2);
}

}  // namespace
}  // namespace rivi
