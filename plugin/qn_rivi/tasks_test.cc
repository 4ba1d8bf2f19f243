// Task management on a real panel root: the stored task, its job record and command, the log
// line and the answer of create, modify and remove, and what a failure leaves behind.
#include "host/public.h"
#include "host/record.h"
#include "host/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace rivi {
namespace {

constexpr std::int64_t kNow = 1781604000;

class TasksTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("PANEL_NOW", std::to_string(kNow).c_str(), 1); }
  void TearDown() override { ::unsetenv("PANEL_NOW"); }

  Record create(const std::string& name, const std::string& url, const std::string& cycle) {
    Record args{{"name2", name}, {"url", url}, {"cycle", cycle}};
    return plugin_.create(args);
  }
  Record modify(Record args) { return plugin_.modify(args); }
  Record remove(Record args) { return plugin_.remove(args); }

  Record task(std::int64_t id) { return public_::M("rivi_task").where("id=?", id).find(); }
  Record job_of(std::int64_t task_id) {
    return public_::M("crontab").where("save=?", "rivi_id_" + std::to_string(task_id)).find();
  }
  Record all(const std::string& table) { return public_::M(table).order("id").select(); }
  Record log_lines() {
    Record lines = Record::array();
    for (const Record& row : all("logs")) lines.push_back(row["type"].get<std::string>() + " " + row["log"].get<std::string>());
    return lines;
  }
  std::string command_for(std::int64_t id) {
    return root_.file("pyenv/bin/python") + " " + root_.file("plugin/qn_rivi/rivi") + " " + std::to_string(id);
  }

  testing::TempRoot root_;
  qn_rivi_main plugin_;
};

TEST_F(TasksTest, CreateStoresTheTaskRegistersItsJobAndLogs) {
  EXPECT_EQ(create("web", "  https://example.com/a \t", "5"), public_::returnMsg(true, "添加成功!"));
  const Record stored = task(1);
  EXPECT_EQ(stored, (Record{{"id", 1}, {"name", "web"}, {"url", "https://example.com/a"}, {"status", 1},
                            {"cycle", 5}, {"addtime", kNow}}));

  Record job = job_of(1);
  ASSERT_FALSE(job.is_null());
  for (const char* volatile_column : {"id", "addtime"}) job.erase(volatile_column);
  EXPECT_EQ(job, (Record{{"name", "拔测任务[web]"}, {"type", "minute-n"}, {"where1", "5"}, {"where_hour", ""},
                         {"where_minute", ""}, {"week", ""}, {"sType", "toShell"}, {"sName", ""},
                         {"sBody", command_for(1)}, {"backupTo", "localhost"}, {"save", "rivi_id_1"},
                         {"urladdress", "undefined"}, {"status", 1}, {"switched", 0}}));
  EXPECT_EQ(log_lines(), Record::array({"拔测监控 创建拔测任务[web]"}));
}

TEST_F(TasksTest, TheWorkerCommandIsChosenAnewByTestingForTheInterpreter) {
  create("a", "http://a/", "1");
  std::filesystem::remove(root_.file("pyenv/bin/python"));
  create("b", "http://b/", "1");
  EXPECT_EQ(job_of(1)["sBody"], command_for(1));
  EXPECT_EQ(job_of(2)["sBody"], "python " + root_.file("plugin/qn_rivi/rivi") + " 2");
  // A rewrite picks the form that fits now.
  modify({{"id", "1"}});
  EXPECT_EQ(job_of(1)["sBody"], "python " + root_.file("plugin/qn_rivi/rivi") + " 1");
  root_.write("pyenv/bin/python", "");
  modify({{"id", 2}});
  EXPECT_EQ(job_of(2)["sBody"], command_for(2));
}

TEST_F(TasksTest, CreateAcceptsAndRefusesAsDocumented) {
  struct Case {
    const char* url;
    const char* cycle;
    const char* refusal;  // nullptr: accepted
  };
  const Case cases[] = {
      {"https://example.com", "1", nullptr},
      {"ftp://x/?next=http://y", "100000", nullptr},
      {"http://x", " 7 ", nullptr},
      {"example.com", "5", "URL地址必需包含http://或https://"},
      {"HTTP://EXAMPLE.COM", "5", "URL地址必需包含http://或https://"},
      {"  ", "5", "URL地址必需包含http://或https://"},
      {"http://x", "0", "拔测周期最短不能少于1分钟"},
      {"http://x", "-5", "拔测周期最短不能少于1分钟"},
      {"example.com", "0", "URL地址必需包含http://或https://"},
  };
  std::int64_t accepted = 0;
  for (const Case& c : cases) {
    const Record answer = create("t", c.url, c.cycle);
    if (c.refusal) {
      EXPECT_EQ(answer, public_::returnMsg(false, c.refusal)) << c.url << " / " << c.cycle;
    } else {
      EXPECT_EQ(answer["status"], true) << c.url << " / " << c.cycle;
      ++accepted;
    }
  }
  EXPECT_EQ(all("rivi_task").size(), static_cast<std::size_t>(accepted));
  EXPECT_EQ(all("crontab").size(), static_cast<std::size_t>(accepted));
  EXPECT_EQ(task(3)["cycle"], 7);
}

TEST_F(TasksTest, MissingFieldsAndNonWholeCyclesRaiseBeforeAnythingIsStored) {
  const Record bad[] = {
      {{"url", "http://x"}, {"cycle", "1"}},
      {{"name2", "a"}, {"cycle", "1"}},
      {{"name2", "a"}, {"url", "http://x"}},
      {{"name2", "a"}, {"url", "http://x"}, {"cycle", "1.5"}},
      {{"name2", "a"}, {"url", "http://x"}, {"cycle", "abc"}},
      {{"name2", "a"}, {"url", "http://x"}, {"cycle", ""}},
  };
  for (Record args : bad) {
    EXPECT_ANY_THROW(plugin_.create(args)) << args.dump();
  }
  EXPECT_TRUE(all("rivi_task").empty());
  EXPECT_TRUE(all("crontab").empty());
  EXPECT_TRUE(all("logs").empty());
}

TEST_F(TasksTest, ANameIsKeptAsGivenAndNeverReachesTheCommand) {
  const std::string name = " a'b\"c; rm -rf / $(touch x) `id` [x] ";
  create(name, "http://x", "1");
  EXPECT_EQ(task(1)["name"], name);
  EXPECT_EQ(job_of(1)["name"], "拔测任务[" + name + "]");
  EXPECT_EQ(job_of(1)["sBody"], command_for(1));
  create("", "http://x", "1");
  EXPECT_EQ(job_of(2)["name"], "拔测任务[]");
}

TEST_F(TasksTest, ASchedulerErrorLeavesTheRowAndWritesNoLogLine) {
  public_::M("crontab").execute("DROP TABLE crontab");
  EXPECT_THROW(create("web", "http://x", "1"), std::runtime_error);
  EXPECT_EQ(task(1)["name"], "web");
  EXPECT_TRUE(all("logs").empty());

  public_::M("logs").execute("DELETE FROM logs");
  EXPECT_THROW(modify({{"id", 1}, {"name2", "new"}}), std::runtime_error);
  EXPECT_EQ(task(1)["name"], "new");
  EXPECT_THROW(remove({{"id", 1}}), std::runtime_error);
  EXPECT_TRUE(task(1).is_null());
  EXPECT_TRUE(all("logs").empty());
}

TEST_F(TasksTest, ModifyWithOnlyAnIdRewritesTheJobFromTheStoredRow) {
  create("web", "http://x", "5");
  const Record before = task(1);
  public_::M("crontab").where("save=?", "rivi_id_1").update({{"name", "stale"}, {"sBody", "stale"}, {"where1", 9}});
  EXPECT_EQ(modify({{"id", "1"}}), public_::returnMsg(true, "修改成功!"));
  EXPECT_EQ(task(1), before);
  EXPECT_EQ(job_of(1)["name"], "拔测任务[web]");
  EXPECT_EQ(job_of(1)["where1"], "5");
  EXPECT_EQ(job_of(1)["sBody"], command_for(1));
  EXPECT_EQ(job_of(1)["status"], 1);
  EXPECT_EQ(log_lines(), Record::array({"拔测监控 创建拔测任务[web]", "拔测监控 修改拔测任务[web]"}));
}

TEST_F(TasksTest, ModifyChangesOnlyWhatTheRequestCarries) {
  create("web", "http://x", "5");
  const Record job = job_of(1);

  modify({{"id", 1}, {"name2", "renamed"}});
  EXPECT_EQ(task(1)["name"], "renamed");
  EXPECT_EQ(job_of(1)["name"], "拔测任务[renamed]");
  EXPECT_EQ(log_lines().back(), "拔测监控 修改拔测任务[renamed]");

  modify({{"id", 1}, {"cycle", " 3"}});
  EXPECT_EQ(task(1)["cycle"], 3);
  EXPECT_EQ(job_of(1)["where1"], "3");

  modify({{"id", 1}, {"url", " https://y/ "}});
  EXPECT_EQ(task(1)["url"], "https://y/");

  EXPECT_EQ(job_of(1)["id"], job["id"]);
  EXPECT_EQ(job_of(1)["save"], "rivi_id_1");
  EXPECT_EQ(job_of(1)["sBody"], job["sBody"]);
  EXPECT_EQ(task(1)["status"], 1);
}

TEST_F(TasksTest, ModifyRefusalsChangeNothing) {
  create("web", "http://x", "5");
  const Record tasks = all("rivi_task");
  const Record jobs = all("crontab");
  struct Case {
    Record args;
    Record answer;
  };
  const Case cases[] = {
      {{{"name2", "x"}}, public_::returnMsg(false, "错误的参数!")},
      {{{"id", 1}, {"name2", "x"}, {"url", "x.com"}}, public_::returnMsg(false, "URL地址必需包含http://或https://")},
      {{{"id", 1}, {"name2", "x"}, {"cycle", "0"}}, public_::returnMsg(false, "拔测周期最短不能少于1分钟")},
      {{{"id", 1}, {"url", "x.com"}, {"cycle", "0"}}, public_::returnMsg(false, "URL地址必需包含http://或https://")},
      {{{"id", 99}, {"name2", "x"}, {"status", 0}}, public_::returnMsg(false, "指定任务不存在!")},
      {{{"id", "abc"}, {"status", 0}}, public_::returnMsg(false, "指定任务不存在!")},
  };
  for (const Case& c : cases) EXPECT_EQ(modify(c.args), c.answer) << c.args.dump();
  Record raising{{"id", 1}, {"cycle", "1.5"}};
  EXPECT_ANY_THROW(plugin_.modify(raising));
  EXPECT_EQ(all("rivi_task"), tasks);
  EXPECT_EQ(all("crontab"), jobs);
  EXPECT_EQ(log_lines().size(), 1u);
}

// After a request carrying `status`, the job runs exactly when the stored status is 1, the state
// switch being asked for even when the value is unchanged.
TEST_F(TasksTest, StatusChangesLandOnTheStoredStatus) {
  create("web", "http://x", "5");
  struct Step {
    Record status;
    Record stored;
    int job_status;
  };
  const Step steps[] = {
      {1, 1, 1},   {"1", 1, 1}, {"0", 0, 0}, {0, 0, 0}, {"1", 1, 1},
      {"abc", "abc", 0}, {" 1", 1, 1}, {2, 2, 0}, {true, 1, 1},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(modify({{"id", "1"}, {"status", step.status}}), public_::returnMsg(true, "修改成功!"));
    EXPECT_EQ(task(1)["status"], step.stored) << step.status.dump();
    EXPECT_EQ(job_of(1)["status"], step.job_status) << step.status.dump();
    EXPECT_EQ(job_of(1)["switched"], 0) << "the state switch was not asked for";
  }
  // A later modification without `status` keeps the job's state.
  modify({{"id", 1}, {"status", 0}});
  modify({{"id", 1}, {"name2", "x"}});
  EXPECT_EQ(job_of(1)["status"], 0);
}

TEST_F(TasksTest, ATaskWhoseJobIsMissingIsStillModifiedAndRemoved) {
  create("a", "http://x", "5");
  create("b", "http://x", "5");
  public_::M("crontab").where("save=?", "rivi_id_1").delete_();
  const Record other_job = job_of(2);
  EXPECT_EQ(modify({{"id", 1}, {"status", 0}}), public_::returnMsg(true, "修改成功!"));
  EXPECT_EQ(task(1)["status"], 0);
  EXPECT_EQ(remove({{"id", 1}}), public_::returnMsg(true, "删除成功!"));
  EXPECT_EQ(all("crontab"), Record::array({other_job}));
}

TEST_F(TasksTest, RemoveTakesTheTaskItsResultsAndItsJobOnly) {
  create("gone", "http://x", "5");
  create("kept", "http://y", "5");
  auto add_result = [](std::int64_t pid) {
    public_::M("rivi_list").insert({{"pid", pid}, {"data", "[]"}, {"status", 1}, {"addtime", kNow}});
  };
  add_result(1);
  add_result(2);
  add_result(1);
  const Record kept_task = task(2);
  const Record kept_job = job_of(2);

  EXPECT_EQ(remove({{"id", "1"}}), public_::returnMsg(true, "删除成功!"));
  EXPECT_TRUE(task(1).is_null());
  EXPECT_TRUE(job_of(1).is_null());
  EXPECT_EQ(all("rivi_task"), Record::array({kept_task}));
  EXPECT_EQ(all("crontab"), Record::array({kept_job}));
  const Record results = all("rivi_list");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]["pid"], 2);
  EXPECT_EQ(log_lines().back(), "拔测监控 删除拔测任务[gone]");

  // A task that never ran, an id that names nothing, and no id at all.
  create("fresh", "http://z", "1");
  EXPECT_EQ(remove({{"id", 3}}), public_::returnMsg(true, "删除成功!"));
  const std::size_t lines = log_lines().size();
  EXPECT_EQ(remove({{"id", 1}}), public_::returnMsg(false, "指定任务不存在!"));
  EXPECT_EQ(remove({{"id", nullptr}}), public_::returnMsg(false, "指定任务不存在!"));
  EXPECT_EQ(remove(Record::object()), public_::returnMsg(false, "错误的参数!"));
  EXPECT_EQ(log_lines().size(), lines);
  EXPECT_EQ(all("rivi_task"), Record::array({kept_task}));
  EXPECT_EQ(all("crontab"), Record::array({kept_job}));
  EXPECT_EQ(all("rivi_list").size(), 1u);
}

}  // namespace
}  // namespace rivi
