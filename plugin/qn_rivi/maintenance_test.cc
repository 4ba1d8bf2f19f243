// Maintenance windows: which times a one-off or weekly window covers on the server's clock (across
// midnight and the week's end), the refusals of set_maintenance, windows of one task against
// windows of every task, and what runs in a window leave in health, hours, incidents and the
// overview, on a real store.
#include "plugin/qn_rivi/maintenance.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace rivi {
namespace {

// The server's clock in these tests: UTC+8 without summer time, named without the zone files.
constexpr std::int64_t kOffset = 8 * 3600;

// Unix seconds of a wall-clock time on that clock, computed apart from the code under test.
std::int64_t wall(int year, int month, int day, int hour, int minute, int second = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return static_cast<std::int64_t>(timegm(&tm)) - kOffset;
}

class ServerClock {
 public:
  ServerClock() {
    if (const char* tz = std::getenv("TZ")) old_ = tz;
    ::setenv("TZ", "CST-8", 1);
    ::tzset();
  }
  ~ServerClock() {
    if (old_) ::setenv("TZ", old_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

maintenance::Window weekly(std::vector<int> days, int hour, int minute, std::int64_t duration) {
  maintenance::Window w;
  w.kind = "weekly";
  w.weekdays = std::move(days);
  w.start_minute = hour * 60 + minute;
  w.duration = duration;
  return w;
}

TEST(Covers, AOneOffWindowFromItsStartToBeforeItsEnd) {
  maintenance::Window w;
  w.kind = "once";
  w.start = 1000;
  w.end = 2000;
  EXPECT_FALSE(maintenance::covers(w, 999));
  EXPECT_TRUE(maintenance::covers(w, 1000));
  EXPECT_TRUE(maintenance::covers(w, 1999));
  EXPECT_FALSE(maintenance::covers(w, 2000));
}

TEST(Covers, AWeeklyWindowAcrossMidnightAndTheWeeksEnd) {
  ServerClock clock;
  // 2025-03-02 is a Sunday, 2025-03-05 a Wednesday.
  const auto sunday_night = weekly({7}, 23, 0, 120);  // Sunday 23:00 to Monday 01:00
  EXPECT_FALSE(maintenance::covers(sunday_night, wall(2025, 3, 2, 22, 59, 59)));
  EXPECT_TRUE(maintenance::covers(sunday_night, wall(2025, 3, 2, 23, 0)));
  EXPECT_TRUE(maintenance::covers(sunday_night, wall(2025, 3, 3, 0, 30)));
  EXPECT_TRUE(maintenance::covers(sunday_night, wall(2025, 3, 3, 0, 59, 59)));
  EXPECT_FALSE(maintenance::covers(sunday_night, wall(2025, 3, 3, 1, 0)));
  EXPECT_FALSE(maintenance::covers(sunday_night, wall(2025, 3, 5, 23, 30))) << "only on its weekday";
  EXPECT_TRUE(maintenance::covers(sunday_night, wall(2025, 3, 9, 23, 30))) << "every week";

  const auto nights = weekly({1, 3}, 22, 30, 180);  // Monday and Wednesday 22:30 to 01:30
  EXPECT_TRUE(maintenance::covers(nights, wall(2025, 3, 4, 1, 0)));    // Tuesday morning
  EXPECT_TRUE(maintenance::covers(nights, wall(2025, 3, 6, 1, 29)));   // Thursday morning
  EXPECT_FALSE(maintenance::covers(nights, wall(2025, 3, 5, 1, 0)));   // Wednesday morning
  EXPECT_FALSE(maintenance::covers(nights, wall(2025, 3, 6, 1, 30)));

  const auto all_week = weekly({1}, 0, 0, maintenance::kWeekMinutes);
  for (int day = 1; day <= 7; ++day) EXPECT_TRUE(maintenance::covers(all_week, wall(2025, 3, day, 12, 0))) << day;
}

TEST(Parse, AcceptsLocalTimesAndRefusesWhatNamesNoWindow) {
  ServerClock clock;
  const maintenance::Window once = maintenance::parse(
      Record{{"kind", "once"}, {"start", "2025-03-02 23:00"}, {"end", "2025-03-03T01:30:00"}, {"note", " 升级 "}});
  EXPECT_EQ(once.start, wall(2025, 3, 2, 23, 0));
  EXPECT_EQ(once.end, wall(2025, 3, 3, 1, 30));
  EXPECT_EQ(once.note, "升级");
  EXPECT_EQ(maintenance::parse(Record{{"kind", "once"}, {"start", "100"}, {"end", "200"}}).end, 200);
  const maintenance::Window week =
      maintenance::parse(Record{{"kind", "weekly"}, {"weekdays", "7, 1,7"}, {"at", "23:05"}, {"duration", "120"}});
  EXPECT_EQ(week.weekdays, (std::vector<int>{1, 7}));
  EXPECT_EQ(week.start_minute, 23 * 60 + 5);

  const std::pair<Record, std::string> refused[] = {
      {Record::object(), "维护类型应为once或weekly!"},
      {Record{{"kind", "daily"}}, "维护类型应为once或weekly!"},
      {Record{{"kind", "once"}, {"start", "2025-02-30 10:00"}, {"end", "2025-03-01 10:00"}}, "开始时间格式应为YYYY-MM-DD HH:MM!"},
      {Record{{"kind", "once"}, {"start", "2025-03-01 10:00"}}, "结束时间格式应为YYYY-MM-DD HH:MM!"},
      {Record{{"kind", "once"}, {"start", "2025-03-01 10:00"}, {"end", "2025-03-01 10:00"}}, "结束时间应晚于开始时间！"},
      {Record{{"kind", "weekly"}, {"weekdays", "0,1"}, {"at", "02:00"}, {"duration", "60"}},
       "星期应为1到7之间的数字（1为周一），以逗号分隔！"},
      {Record{{"kind", "weekly"}, {"weekdays", ""}, {"at", "02:00"}, {"duration", "60"}},
       "星期应为1到7之间的数字（1为周一），以逗号分隔！"},
      {Record{{"kind", "weekly"}, {"weekdays", "1"}, {"at", "24:00"}, {"duration", "60"}}, "开始时刻格式应为HH:MM!"},
      {Record{{"kind", "weekly"}, {"weekdays", "1"}, {"at", "02:00"}, {"duration", "0"}}, "持续时间应为1到10080之间的整数分钟！"},
      {Record{{"kind", "weekly"}, {"weekdays", "1"}, {"at", "02:00"}, {"duration", "10081"}},
       "持续时间应为1到10080之间的整数分钟！"},
      {Record{{"kind", "weekly"}, {"weekdays", "1"}, {"at", "02:00"}, {"duration", "1.5"}},
       "持续时间应为1到10080之间的整数分钟！"},
      {Record{{"kind", "once"}, {"start", "1"}, {"end", "2"}, {"note", std::string(101, 'x')}}, "备注不能超过100个字符！"},
      {Record{{"kind", "once"}, {"start", "1"}, {"end", "2"}, {"note", "\xff"}}, "备注不是有效的文本！"},
  };
  for (const auto& [args, words] : refused) {
    try {
      maintenance::parse(args);
      ADD_FAILURE() << args.dump() << " was taken";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), words) << args.dump();
    }
  }
}

// Windows through the web methods and the runs they hold, on a real store.
class MaintenanceStore : public ::testing::Test {
 protected:
  MaintenanceStore() { ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1); }
  ~MaintenanceStore() override { ::unsetenv("PANEL_NOW"); }

  static constexpr std::int64_t kNow = 1765170000 + 1800;  // the middle of an hour

  std::int64_t task(const std::string& name) {
    return public_::M("rivi_task").insert(
        Record{{"name", name}, {"url", "http://x.test/"}, {"status", 1}, {"cycle", 5}, {"addtime", kNow - 86400}});
  }
  Record call(const std::string& method, Record args = Record::object()) { return call_web_method(method, args); }
  std::int64_t window(Record args) {
    const Record answer = call("set_maintenance", std::move(args));
    EXPECT_EQ(answer["status"], true) << answer.dump();
    return answer.value("id", std::int64_t{0});
  }
  void run(std::int64_t pid, std::int64_t time, const Record& data) {
    transaction tx(db_);
    const auto nodes = health::judge_nodes(data);
    health::record_run(*db_, pid, time, nodes, 1);
    tx.commit();
  }
  Record health(std::int64_t pid) { return public_::M("rivi_health").where("pid=?", pid).find(); }

  ServerClock clock_;
  testing::TempRoot root_;
  qn_rivi_main plugin_;
  std::shared_ptr<Connection> db_ = std::make_shared<Connection>(database_path());
};

const Record kDown = Record::array({Record{{"isp", "a"}, {"http_code", 500}, {"total_time", 1.0}},
                                    Record{{"isp", "b"}, {"http_code", 500}, {"total_time", 1.0}}});
const Record kUp = Record::array({Record{{"isp", "a"}, {"http_code", 200}, {"total_time", 1.0}},
                                  Record{{"isp", "b"}, {"http_code", 200}, {"total_time", 3.0}}});

TEST_F(MaintenanceStore, WindowsOfOneTaskAndOfEveryTask) {
  const auto a = task("a"), b = task("b");
  const auto mine = window(Record{{"pid", std::to_string(a)}, {"kind", "once"}, {"start", std::to_string(kNow - 60)},
                                  {"end", std::to_string(kNow + 60)}, {"note", "换机房"}});
  const auto every = window(Record{{"kind", "weekly"}, {"weekdays", "3"}, {"at", "02:00"}, {"duration", "30"}});
  EXPECT_TRUE(maintenance::active(*db_, a, kNow));
  EXPECT_FALSE(maintenance::active(*db_, b, kNow));
  EXPECT_FALSE(maintenance::active(*db_, a, kNow + 60));

  const Record of_a = call("get_maintenance", Record{{"pid", std::to_string(a)}});
  ASSERT_EQ(of_a["data"].size(), 2u);
  EXPECT_EQ(of_a["active"], true);
  EXPECT_EQ(of_a["timezone"], "UTC+08:00");
  const Record& first = of_a["data"][0];
  EXPECT_EQ(first["id"], mine);
  EXPECT_EQ(first["task"], "a");
  EXPECT_EQ(first["active"], true);
  EXPECT_EQ(first["start_text"], maintenance::local_minute_text(kNow - 60));
  const Record& second = of_a["data"][1];
  EXPECT_EQ(second["id"], every);
  EXPECT_EQ(second["pid"], 0);
  EXPECT_EQ(second["task"], "全部任务");
  EXPECT_EQ(second["weekdays"], Record::array({3}));
  EXPECT_EQ(second["at"], "02:00");
  EXPECT_EQ(second["text"], "每周三 02:00 起 30 分钟");
  const Record of_b = call("get_maintenance", Record{{"pid", std::to_string(b)}});
  ASSERT_EQ(of_b["data"].size(), 1u);
  EXPECT_EQ(of_b["active"], false);
  EXPECT_EQ(call("get_maintenance")["data"].size(), 2u);

  // Changing one in place, and the operation log.
  window(Record{{"id", std::to_string(every)}, {"kind", "once"}, {"start", std::to_string(kNow - 1)},
                {"end", std::to_string(kNow + 1)}});
  EXPECT_TRUE(maintenance::active(*db_, b, kNow)) << "a window of every task covers b too";
  const Record logs = public_::M("logs").order("id").select();
  EXPECT_EQ(logs.back()["log"].get<std::string>().rfind("修改维护窗口[全部任务: ", 0), 0u) << logs.dump();

  EXPECT_EQ(call("remove_maintenance", Record{{"id", std::to_string(every)}}), public_::returnMsg(true, "删除成功!"));
  EXPECT_EQ(call("remove_maintenance", Record{{"id", std::to_string(every)}}), public_::returnMsg(false, "指定维护窗口不存在！"));
  EXPECT_EQ(call("remove_maintenance"), public_::returnMsg(false, "错误的参数!"));
  // Removing the task removes its windows.
  EXPECT_EQ(call("remove", Record{{"id", std::to_string(a)}})["status"], true);
  EXPECT_TRUE(call("get_maintenance")["data"].empty());
}

TEST_F(MaintenanceStore, RefusalsComeInTheEnvelope) {
  const auto a = task("a");
  const Record good{{"kind", "weekly"}, {"weekdays", "1"}, {"at", "02:00"}, {"duration", "60"}};
  Record unknown_task = good;
  unknown_task["pid"] = "999";
  EXPECT_EQ(call("set_maintenance", unknown_task), public_::returnMsg(false, "指定任务不存在!"));
  unknown_task["pid"] = "abc";
  EXPECT_EQ(call("set_maintenance", unknown_task), public_::returnMsg(false, "指定任务不存在!"));
  Record unknown_window = good;
  unknown_window["id"] = "77";
  EXPECT_EQ(call("set_maintenance", unknown_window), public_::returnMsg(false, "指定维护窗口不存在！"));
  EXPECT_EQ(call("set_maintenance", Record{{"pid", std::to_string(a)}, {"kind", "weekly"}}),
            public_::returnMsg(false, "星期应为1到7之间的数字（1为周一），以逗号分隔！"));
  EXPECT_TRUE(call("get_maintenance")["data"].empty()) << "nothing refused is stored";
}

TEST_F(MaintenanceStore, RunsInAWindowAreStoredApartFromAvailabilityAndIncidents) {
  const auto a = task("a"), b = task("b");
  const std::int64_t hour = health::hour_of(kNow);
  run(a, hour + 60, kUp);
  run(b, hour + 60, kUp);
  window(Record{{"kind", "once"}, {"start", std::to_string(hour + 100)}, {"end", std::to_string(hour + 1000)},
                {"note", "升级数据库"}});
  run(a, hour + 200, kDown);
  run(b, hour + 300, kDown);
  for (const auto pid : {a, b}) {
    const Record h = health(pid);
    EXPECT_EQ(h["health"], "maintenance");
    EXPECT_EQ(h["reason"], "维护中: 升级数据库");
    EXPECT_EQ(h["failing"], 2) << "the run's own figures are kept";
    EXPECT_EQ(h["incident"], nullptr);
  }
  EXPECT_EQ(public_::M("rivi_incident").count(), 0) << "an outage in a window is no incident";
  const Record hours = public_::M("rivi_hourly").where("pid=?", a).select();
  EXPECT_EQ(hours[0]["runs"], 2);
  EXPECT_EQ(hours[0]["maintenance"], 1);
  const Record availability = call("get_availability", Record{{"pid", std::to_string(a)}, {"days", "1"}});
  EXPECT_EQ(availability["uptime_24h"], 100.0);
  EXPECT_EQ(availability["hours"][0]["maintenance"], 1);

  // After the window the site's outage counts again.
  run(a, hour + 1100, kDown);
  EXPECT_EQ(health(a)["health"], "down");
  EXPECT_EQ(public_::M("rivi_incident").count(), 1);
}

TEST_F(MaintenanceStore, TheOverviewShowsAWindowAsSoonAsItCoversTheTask) {
  const auto a = task("a"), b = task("b");
  task("paused");
  public_::M("rivi_task").where("name=?", "paused").update(Record{{"status", 0}});
  run(a, kNow - 600, kDown);
  run(b, kNow - 600, kUp);
  window(Record{{"pid", std::to_string(a)}, {"kind", "once"}, {"start", std::to_string(kNow - 60)},
                {"end", std::to_string(kNow + 3600)}, {"note", "迁移"}});
  const Record overview = call("get_overview");
  EXPECT_EQ(overview["counts"]["maintenance"], 1);
  EXPECT_EQ(overview["counts"]["down"], 0);
  EXPECT_EQ(overview["counts"]["paused"], 1) << "a stopped task stays paused";
  const Record& row = overview["data"][2];
  ASSERT_EQ(row["id"], a);
  EXPECT_EQ(row["health"], "maintenance");
  EXPECT_EQ(row["reason"], "维护中: 迁移");
  EXPECT_EQ(row["since"], nullptr);
  const Record filtered = call("get_overview", Record{{"health", "maintenance"}});
  ASSERT_EQ(filtered["data"].size(), 1u);
  EXPECT_EQ(filtered["data"][0]["id"], a);

  window(Record{{"kind", "weekly"}, {"weekdays", "1,2,3,4,5,6,7"}, {"at", "00:00"}, {"duration", "10080"}});
  EXPECT_EQ(call("get_overview")["counts"]["maintenance"], 2) << "a window of every task covers every running task";
}

}  // namespace
}  // namespace rivi
