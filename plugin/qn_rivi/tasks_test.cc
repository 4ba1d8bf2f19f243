// Task management on a real panel root: the stored task, its job record and command, the log
// line and the answer of create, modify and remove, and what a failure leaves behind.
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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

TEST_F(TasksTest, ASchedulerErrorUndoesTheWholeOperation) {
  create("web", "http://x", "1");
  public_::M("crontab").execute("DROP TABLE crontab");
  EXPECT_THROW(create("other", "http://y", "1"), std::runtime_error);
  EXPECT_TRUE(task(2).is_null());

  EXPECT_THROW(modify({{"id", 1}, {"name2", "new"}}), std::runtime_error);
  EXPECT_EQ(task(1)["name"], "web");
  EXPECT_THROW(remove({{"id", 1}}), std::runtime_error);
  EXPECT_EQ(task(1)["name"], "web");
  EXPECT_EQ(log_lines(), Record::array({"拔测监控 创建拔测任务[web]"}));
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

// A task, its job and its log line are written together: a failure in any of them (a full disk,
// a lock held past the busy time-out) leaves every table as it was.
TEST_F(TasksTest, AFailedStepLeavesNoPartOfTheOperation) {
  struct Case {
    const char* trigger;  // what fails, with RAISE(ABORT, 'disk full')
    std::function<Record()> operation;
  };
  const Case cases[] = {
      {"BEFORE INSERT ON crontab", [this] { return create("new", "http://n/", "1"); }},
      {"BEFORE INSERT ON logs", [this] { return create("new", "http://n/", "1"); }},
      {"BEFORE UPDATE ON crontab", [this] { return modify({{"id", 1}, {"name2", "x"}, {"status", "0"}}); }},
      {"BEFORE INSERT ON logs", [this] { return modify({{"id", 1}, {"status", "0"}}); }},
      {"BEFORE DELETE ON crontab", [this] { return remove({{"id", 1}}); }},
      {"BEFORE INSERT ON logs", [this] { return remove({{"id", "1"}}); }},
  };
  create("web", "http://x", "5");
  public_::M("rivi_list").insert({{"pid", 1}, {"data", "[]"}, {"status", 1}, {"addtime", kNow}});
  const auto snapshot = [this] {
    return Record::array({all("rivi_task"), all("rivi_list"), all("crontab"), all("logs"),
                          public_::M("sqlite_sequence").order("name").select()});
  };
  const Record before = snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trigger);
    public_::M("logs").execute(fmt::format("CREATE TRIGGER fail {} BEGIN SELECT RAISE(ABORT, 'disk full'); END", c.trigger));
    try {
      c.operation();
      ADD_FAILURE() << "the operation did not raise";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("disk full"), std::string::npos) << e.what();
    }
    public_::M("logs").execute("DROP TRIGGER fail");
    EXPECT_EQ(snapshot(), before);
  }
  // Nothing is left half-open: the next operation writes as usual.
  EXPECT_EQ(create("new", "http://n/", "1"), public_::returnMsg(true, "添加成功!"));
  EXPECT_EQ(job_of(2)["name"], "拔测任务[new]");
}

// Every form of a whole-number id names the stored task, and its job through the stored id.
TEST_F(TasksTest, IdsInAnyWholeNumberFormNameTheTaskAndItsJob) {
  const char* forms[] = {"01", "2.0", " 3", "+4"};
  for (int i = 1; i <= 4; ++i) {
    create("t" + std::to_string(i), "http://x", "5");
    public_::M("rivi_list").insert({{"pid", i}, {"data", "[]"}, {"status", 1}, {"addtime", kNow}});
  }
  for (int i = 1; i <= 4; ++i) {
    SCOPED_TRACE(forms[i - 1]);
    EXPECT_EQ(modify({{"id", forms[i - 1]}, {"name2", "renamed"}, {"status", "0"}}), public_::returnMsg(true, "修改成功!"));
    EXPECT_EQ(job_of(i)["name"], "拔测任务[renamed]");
    EXPECT_EQ(job_of(i)["status"], 0);
    EXPECT_EQ(job_of(i)["switched"], 0) << "the state switch missed the job";
  }
  for (int i = 1; i <= 4; ++i) {
    SCOPED_TRACE(forms[i - 1]);
    EXPECT_EQ(remove({{"id", forms[i - 1]}}), public_::returnMsg(true, "删除成功!"));
    EXPECT_TRUE(task(i).is_null());
    EXPECT_TRUE(job_of(i).is_null());
    EXPECT_EQ(public_::M("rivi_list").where("pid=?", i).count(), 0);
  }
  EXPECT_TRUE(all("crontab").empty());

  // Anything else names no task and touches nothing.
  create("kept", "http://x", "5");
  const Record tables = Record::array({all("rivi_task"), all("crontab"), all("logs")});
  for (const Record& bad : {Record("5.5"), Record("abc"), Record("0x5"), Record(""), Record("5 5"), Record(5.5),
                            Record(true), Record(nullptr), Record("99999999999999999999")}) {
    EXPECT_EQ(modify({{"id", bad}, {"status", 0}}), public_::returnMsg(false, "指定任务不存在!")) << bad.dump();
    EXPECT_EQ(remove({{"id", bad}}), public_::returnMsg(false, "指定任务不存在!")) << bad.dump();
  }
  EXPECT_EQ(Record::array({all("rivi_task"), all("crontab"), all("logs")}), tables);
}

// Concurrent pauses and resumes of one task: whatever order they land in, the job ends in the
// state that the task's stored status says.
TEST_F(TasksTest, RacingPausesAndResumesLeaveTheTaskAndItsJobAgreeing) {
  create("web", "http://x", "1");
  constexpr int kRounds = 10;
  constexpr int kRequests = 12;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> requests;
    std::vector<std::string> errors(kRequests);
    for (int i = 0; i < kRequests; ++i) {
      requests.emplace_back([&errors, i] {
        try {
          Record args{{"id", "1"}, {"status", i % 2 == 0 ? "0" : "1"}};
          qn_rivi_main().modify(args);
        } catch (const std::exception& e) {
          errors[i] = e.what();
        }
      });
    }
    for (std::thread& r : requests) r.join();
    for (const std::string& error : errors) EXPECT_EQ(error, "");
    const Record job = job_of(1);
    ASSERT_EQ(job["status"], task(1)["status"]) << "round " << round;
    ASSERT_EQ(job["switched"], 0) << "round " << round;
  }
}

// Names and URLs must be text the page can show; trimming knows every Unicode space.
TEST_F(TasksTest, NamesAndUrlsAreReadableTextTrimmedOfEverySpace) {
  const std::string bad_utf8[] = {"\xff", "a\xc3(", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80", "\xe4\xb8"};
  for (const std::string& bad : bad_utf8) {
    EXPECT_EQ(create("web" + bad, "http://x", "1"), public_::returnMsg(false, "任务名称不是有效的文本！"));
    EXPECT_EQ(create("web", "http://x/" + bad, "1"), public_::returnMsg(false, "URL不是有效的文本！"));
  }
  EXPECT_TRUE(all("rivi_task").empty());
  create("web", "http://x", "1");
  for (const std::string& bad : bad_utf8) {
    EXPECT_EQ(modify({{"id", 1}, {"name2", bad}}), public_::returnMsg(false, "任务名称不是有效的文本！"));
    EXPECT_EQ(modify({{"id", 1}, {"url", "http://" + bad}}), public_::returnMsg(false, "URL不是有效的文本！"));
  }
  EXPECT_EQ(task(1)["name"], "web");
  EXPECT_EQ(task(1)["url"], "http://x");
  Record page{{"p", "1"}};
  EXPECT_NO_THROW(encode(plugin_.get_list(page)));

  struct Case {
    std::string sent;
    std::string stored;
  };
  const Case urls[] = {
      {"\u3000http://a/\u3000", "http://a/"},                         // ideographic space
      {"\u00a0http://a/\u00a0\u00a0", "http://a/"},                  // no-break space
      {"\u0085\u1680\u2000\u200a http://a/\u2028\u2029\u202f\u205f", "http://a/"},
      {"\x1c\x1d\x1e\x1f\t\v\f\r\nhttp://a/\x1f", "http://a/"},
      {"\u3000http://a/\u3000b\u00a0", "http://a/\u3000b"},             // inner spaces stay
      {"\u200bhttp://a/\ufeff", "\u200bhttp://a/\ufeff"},             // zero-width and BOM are not spaces
      {"http://\u4e2d\u6587/", "http://\u4e2d\u6587/"},
  };
  for (const Case& c : urls) {
    EXPECT_EQ(modify({{"id", 1}, {"url", c.sent}}), public_::returnMsg(true, "修改成功!")) << c.sent;
    EXPECT_EQ(task(1)["url"], c.stored) << c.sent;
  }
  create("web", "\u3000https://b/\u00a0", "1");
  EXPECT_EQ(task(2)["url"], "https://b/");
}

}  // namespace
}  // namespace rivi
