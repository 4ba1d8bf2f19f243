#include "host/cron/crontab.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/cron/scheduler.h"
#include "host/store/store.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace rivi {
namespace {

// A job record as the plug-in builds it, with `save` and `where1` filled in.
Record job_record(const std::string& save, const Record& where1 = 5) {
  Record job = Record::object();
  job["name"] = "拔测任务[web]";
  job["type"] = "minute-n";
  job["where1"] = where1;
  for (const char* empty : {"hour", "minute", "week"}) job[empty] = "";
  job["sType"] = "toShell";
  job["sName"] = "";
  job["backupTo"] = "localhost";
  job["save"] = save;
  job["sBody"] = "echo hi";
  job["urladdress"] = "undefined";
  return job;
}

class CrontabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_.file("data"));
    Connection db(database_path());
    create_crontab_table(db);
  }

  std::int64_t add(const std::string& save, const Record& where1 = 5) {
    const Record answer = cron_.AddCrontab(job_record(save, where1));
    EXPECT_EQ(answer["status"], true) << answer.dump();
    return answer["id"].get<std::int64_t>();
  }
  Record row(std::int64_t id) { return public_::M("crontab").where("id=?", id).find(); }
  Record all_rows() { return public_::M("crontab").order("id").select(); }

  testing::TempRoot root_{false};
  crontab cron_;
};

TEST_F(CrontabTest, AddStoresARunningJobWithTheRecordsFields) {
  const std::int64_t id = add("rivi_id_7", 5);
  const Record stored = row(id);
  EXPECT_EQ(stored["name"], "拔测任务[web]");
  EXPECT_EQ(stored["type"], "minute-n");
  EXPECT_EQ(stored["where1"], "5");
  EXPECT_EQ(stored["where_hour"], "");
  EXPECT_EQ(stored["where_minute"], "");
  EXPECT_EQ(stored["sType"], "toShell");
  EXPECT_EQ(stored["sBody"], "echo hi");
  EXPECT_EQ(stored["backupTo"], "localhost");
  EXPECT_EQ(stored["save"], "rivi_id_7");
  EXPECT_EQ(stored["urladdress"], "undefined");
  EXPECT_EQ(stored["status"], 1);
  EXPECT_EQ(public_::M("crontab").where("save=?", "rivi_id_7").getField("id"), id);
}

TEST_F(CrontabTest, AddRefusesJobsThatCouldNeverRun) {
  struct Case {
    const char* what;
    Record job;
  };
  Record no_body = job_record("k");
  no_body.erase("sBody");
  Record daily = job_record("k");
  daily["type"] = "day";
  const Case cases[] = {
      {"zero interval", job_record("k", 0)},
      {"fractional interval", job_record("k", "1.5")},
      {"text interval", job_record("k", "abc")},
      {"no command", no_body},
      {"another type", daily},
      {"not a record", Record::array({1})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cron_.AddCrontab(c.job)["status"], false) << c.what;
  }
  EXPECT_TRUE(all_rows().empty());
}

// The pair a modification sends, in either order, must leave the job running exactly when the
// carried status is 1 by value, whatever state the job was in.
TEST_F(CrontabTest, ModifyAndSwitchLandOnTheCarriedStatus) {
  struct Case {
    Record carried;
    int expected;
  };
  const Case cases[] = {{1, 1}, {0, 0}, {1.0, 1}, {"1", 0}, {"abc", 0}, {nullptr, 0}, {2, 0}};
  for (const Case& c : cases) {
    for (int initial : {0, 1}) {
      for (bool modify_first : {true, false}) {
        const std::int64_t id = add("rivi_id_1");
        public_::M("crontab").where("id=?", id).update(Record{{"status", initial}});
        Record job = job_record("rivi_id_1");
        job["id"] = id;
        job["status"] = c.carried;
        const Record target = Record{{"id", id}};
        if (modify_first) {
          EXPECT_EQ(cron_.modify_crond(job)["status"], true);
          EXPECT_EQ(cron_.set_cron_status(target)["status"], true);
        } else {
          EXPECT_EQ(cron_.set_cron_status(target)["status"], true);
          EXPECT_EQ(cron_.modify_crond(job)["status"], true);
        }
        EXPECT_EQ(row(id)["status"], c.expected)
            << "carried " << c.carried.dump() << ", initial " << initial << ", modify first " << modify_first;
      }
    }
  }
}

TEST_F(CrontabTest, SwitchAloneTogglesAndModifyWithoutStatusKeepsIt) {
  const std::int64_t id = add("rivi_id_1");
  cron_.set_cron_status({{"id", id}});
  EXPECT_EQ(row(id)["status"], 0);
  cron_.set_cron_status({{"id", std::to_string(id)}});
  EXPECT_EQ(row(id)["status"], 1);

  Record job = job_record("rivi_id_1", 9);
  job["id"] = id;
  job["name"] = "拔测任务[new]";
  EXPECT_EQ(cron_.modify_crond(job)["status"], true);
  EXPECT_EQ(row(id)["status"], 1);
  EXPECT_EQ(row(id)["name"], "拔测任务[new]");
  EXPECT_EQ(row(id)["where1"], "9");
  // Without a carried status nothing absorbs the next switch.
  cron_.set_cron_status({{"id", id}});
  EXPECT_EQ(row(id)["status"], 0);
}

TEST_F(CrontabTest, IdentifiersThatNameNoJobChangeNothing) {
  add("rivi_id_1");
  add("rivi_id_2");
  const Record before = all_rows();
  const Record bad_ids[] = {nullptr, "", 999, "abc", Record::array({1}), true};
  for (const Record& bad : bad_ids) {
    Record job = job_record("rivi_id_1");
    job["id"] = bad;
    job["status"] = 0;
    EXPECT_EQ(cron_.modify_crond(job), public_::returnMsg(false, "指定计划任务不存在!")) << bad.dump();
    EXPECT_EQ(cron_.set_cron_status({{"id", bad}})["status"], false) << bad.dump();
    EXPECT_EQ(cron_.DelCrontab({{"id", bad}})["status"], false) << bad.dump();
  }
  EXPECT_EQ(cron_.set_cron_status(Record::object())["status"], false);
  EXPECT_EQ(cron_.DelCrontab(Record::object())["status"], false);
  EXPECT_EQ(all_rows(), before);
}

TEST_F(CrontabTest, DeleteRemovesOnlyThatJobAndItsLog) {
  const std::int64_t gone = add("rivi_id_1");
  const std::int64_t kept = add("rivi_id_2");
  for (std::int64_t id : {gone, kept}) {
    std::filesystem::create_directories(job_log_path(id).parent_path());
    std::ofstream(job_log_path(id)) << "run\n";
    std::ofstream(backup_log_path(job_log_path(id))) << "older run\n";
  }
  EXPECT_EQ(cron_.DelCrontab({{"id", std::to_string(gone)}}), public_::returnMsg(true, "删除成功!"));
  EXPECT_TRUE(row(gone).is_null());
  EXPECT_FALSE(std::filesystem::exists(job_log_path(gone)));
  EXPECT_FALSE(std::filesystem::exists(backup_log_path(job_log_path(gone))));
  EXPECT_EQ(row(kept)["save"], "rivi_id_2");
  EXPECT_TRUE(std::filesystem::exists(job_log_path(kept)));
  EXPECT_TRUE(std::filesystem::exists(backup_log_path(job_log_path(kept))));
}

TEST_F(CrontabTest, CreatingTheTableAgainKeepsRowsAndAddsTheSwitchColumn) {
  Connection db(database_path());
  db.exec_script("DROP TABLE crontab; CREATE TABLE crontab (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, "
                 "type TEXT, where1 TEXT, where_hour TEXT, where_minute TEXT, week TEXT, sType TEXT, sName TEXT, "
                 "sBody TEXT, backupTo TEXT, save TEXT, urladdress TEXT, status INTEGER DEFAULT 1, addtime TEXT);"
                 "INSERT INTO crontab (name, save, status) VALUES ('old', 'rivi_id_3', 1);");
  create_crontab_table(db);
  create_crontab_table(db);
  const Record rows = all_rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["name"], "old");
  EXPECT_EQ(rows[0]["switched"], 0);
  cron_.set_cron_status({{"id", rows[0]["id"]}});
  EXPECT_EQ(row(rows[0]["id"].get<std::int64_t>())["status"], 0);
}

}  // namespace
}  // namespace rivi
