// The bulk method on a real store: per-id outcomes through the single operations (a missing id, a
// refused cycle, pauses and resumes reaching the jobs, deletes removing tasks, tags and jobs, tag
// edits), and the refusals of the request as a whole.
#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/methods.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/tags.h"
#include "tests/support/testing.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>

namespace rivi {
namespace {

class BulkTest : public ::testing::Test {
 protected:
  std::int64_t task(const std::string& name) {
    Record args{{"name2", name}, {"url", "http://" + name + ".test/"}, {"cycle", "5"}};
    EXPECT_EQ(call("create", args)["status"], true);
    return to_int(public_::M("rivi_task").where("name=?", name).getField("id"));
  }
  Record call(const std::string& method, Record args) { return call_web_method(method, args); }
  Record bulk(const std::string& action, const std::string& ids, const std::string& value = "") {
    Record args{{"action", action}, {"ids", ids}};
    if (!value.empty()) args["value"] = value;
    return call("bulk", args);
  }
  Record job(std::int64_t id) { return public_::M("crontab").where("save=?", "rivi_id_" + std::to_string(id)).find(); }
  std::int64_t logs() { return public_::M("logs").count(); }

  testing::TempRoot root_;
  qn_rivi_main plugin_;
};

TEST_F(BulkTest, PauseResumeAndCycleReachTasksAndJobsWithAnOutcomePerId) {
  const auto a = task("a"), b = task("b");
  const std::string ids = fmt::format("{},{}，999", a, b);
  const std::int64_t before = logs();
  Record answer = bulk("pause", ids);
  EXPECT_EQ(answer["data"], Record::array({Record{{"id", a}, {"status", true}, {"msg", "修改成功!"}},
                                           Record{{"id", b}, {"status", true}, {"msg", "修改成功!"}},
                                           Record{{"id", 999}, {"status", false}, {"msg", "指定任务不存在!"}}}));
  EXPECT_EQ(logs(), before + 2) << "one log line per changed task, as the single operation writes";
  EXPECT_EQ(to_int(job(a)["status"]), 0);
  EXPECT_EQ(to_int(job(b)["status"]), 0);
  bulk("resume", std::to_string(b));
  EXPECT_EQ(to_int(job(b)["status"]), 1);
  EXPECT_EQ(to_int(public_::M("rivi_task").where("id=?", b).getField("status")), 1);

  answer = bulk("cycle", std::to_string(a), "15");
  EXPECT_EQ(answer["data"][0]["status"], true);
  EXPECT_EQ(to_int(job(a)["where1"]), 15);
  // A cycle the single operation refuses is refused per task, with its own words.
  answer = bulk("cycle", fmt::format("{},{}", a, b), "0");
  EXPECT_EQ(answer["status"], false);
  EXPECT_EQ(answer["data"][1], (Record{{"id", b}, {"status", false}, {"msg", "拔测周期最短不能少于1分钟"}}));
  EXPECT_EQ(to_int(job(a)["where1"]), 15);
  EXPECT_EQ(bulk("cycle", std::to_string(a), "abc")["msg"], "拨测周期应为整数（分钟）！");
}

TEST_F(BulkTest, DeleteRemovesTasksTheirTagsAndJobs) {
  const auto a = task("a"), b = task("b"), c = task("c");
  call("set_tags", Record{{"pid", std::to_string(a)}, {"tags", "web"}});
  const Record answer = bulk("delete", fmt::format("{},{},{}", a, b, a));
  EXPECT_EQ(answer["data"].size(), 2u) << "an id given twice is done once";
  EXPECT_TRUE(job(a).is_null());
  EXPECT_TRUE(job(b).is_null());
  EXPECT_FALSE(job(c).is_null());
  EXPECT_EQ(public_::M("rivi_task").count(), 1);
  EXPECT_EQ(public_::M("rivi_tag").count(), 0);
  EXPECT_EQ(bulk("delete", std::to_string(a))["data"][0]["msg"], "指定任务不存在!");
}

TEST_F(BulkTest, TagEditsAndProbeOfAMissingTask) {
  const auto a = task("a"), b = task("b");
  call("set_tags", Record{{"pid", std::to_string(b)}, {"tags", "db"}});
  bulk("tag_add", fmt::format("{},{}", a, b), " 生产 ");
  EXPECT_EQ(tags::of_task(*Connection::for_thread(database_path()), b), (std::vector<std::string>{"db", "生产"}));
  bulk("tag_remove", fmt::format("{},{}", a, b), "db");
  Connection& db = *Connection::for_thread(database_path());
  EXPECT_EQ(tags::of_task(db, a), std::vector<std::string>{"生产"});
  EXPECT_EQ(tags::of_task(db, b), std::vector<std::string>{"生产"});
  EXPECT_EQ(bulk("tag_add", std::to_string(a), "a,b")["status"], false);
  EXPECT_EQ(bulk("probe", "999")["data"][0], (Record{{"id", 999}, {"status", false}, {"msg", "指定任务不存在!"}}));
}

TEST_F(BulkTest, RefusesTheRequestAsAWhole) {
  std::string ids;
  for (int i = 1; i <= 501; ++i) ids += std::to_string(i) + ",";
  EXPECT_EQ(bulk("pause", ids)["msg"], "一次最多操作500个任务！");
  EXPECT_EQ(bulk("explode", "1")["status"], false);
  EXPECT_EQ(bulk("pause", " , ")["status"], false);
  EXPECT_EQ(call("bulk", Record{{"ids", "1"}})["msg"], "错误的参数!");
}

}  // namespace
}  // namespace rivi
