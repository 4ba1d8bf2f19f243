// Node incidents on a real store, fed through the runs health records: a node that stops answering
// while others answer opens one incident across every task's runs and closes it when it answers.
#include "plugin/qn_rivi/node_incidents.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <string>

namespace rivi {
namespace {

constexpr std::int64_t kT0 = 1765170000;

Record ok(const std::string& isp) {
  return Record{{"isp", isp}, {"http_code", 200}, {"total_time", 10.0}, {"error_code", ""}};
}
// A node the centre lists as not answering: our centre names it by its ISP.
Record silent(const std::string& isp) {
  return Record{{"isp", "节点未响应"}, {"http_code", 0}, {"total_time", 0.0}, {"node", isp}, {"error_code", "no_answer"}};
}

const Record kAll = Record::array({ok("电信"), ok("电信"), ok("联通")});
const Record kSecondSilent = Record::array({ok("电信"), silent("电信"), ok("联通")});
const Record kNobody = Record::array({silent("电信"), silent("电信"), silent("联通")});

class NodeIncidents : public ::testing::Test {
 protected:
  std::int64_t task(const std::string& name) {
    return public_::M("rivi_task").insert(Record{{"name", name}, {"url", "http://x.test/"}, {"status", 1}, {"cycle", 1}});
  }
  void run(std::int64_t pid, std::int64_t time, const Record& data) {
    transaction tx(db_);
    health::record_run(*db_, pid, time, health::judge_nodes(data), 1);
    tx.commit();
  }
  Record incidents() { return db_->query("SELECT * FROM rivi_node_incident ORDER BY id"); }

  testing::TempRoot root_;
  qn_rivi_main plugin_;
  std::shared_ptr<Connection> db_ = std::make_shared<Connection>(database_path());
  std::int64_t a_ = task("a"), b_ = task("b");
};

TEST_F(NodeIncidents, ANodeSilentInRunsOfEveryTaskOpensOneIncidentThatItsAnswerCloses) {
  run(a_, kT0, kAll);
  run(a_, kT0 + 60, kSecondSilent);
  run(b_, kT0 + 70, kSecondSilent);
  EXPECT_TRUE(incidents().empty()) << "two misses are not yet a pattern";
  run(a_, kT0 + 120, kSecondSilent);
  run(b_, kT0 + 130, kSecondSilent);
  Record all = incidents();
  ASSERT_EQ(all.size(), 1u) << all.dump();
  EXPECT_EQ(all[0]["node"], "电信#2");
  EXPECT_EQ(all[0]["isp"], "电信");
  EXPECT_EQ(all[0]["start_time"], kT0 + 60) << "from the first run it missed";
  EXPECT_EQ(all[0]["end_time"], nullptr);
  EXPECT_EQ(all[0]["last_seen"], kT0);
  EXPECT_EQ(all[0]["reason"], "连续3次拨测未响应（其他节点正常应答）");

  // The site's health is not the node's: every node that answered was good.
  EXPECT_EQ(db_->query("SELECT health FROM rivi_health WHERE pid = ?", Record::array({a_}))[0]["health"], "up");

  run(b_, kT0 + 180, kAll);
  all = incidents();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["end_time"], kT0 + 180);
  EXPECT_EQ(all[0]["reason"], "连续3次拨测未响应（其他节点正常应答）");
}

TEST_F(NodeIncidents, AnAnswerBreaksTheStreakAndRunsNobodyAnsweredSayNothing) {
  run(a_, kT0, kSecondSilent);
  run(b_, kT0 + 10, kSecondSilent);
  run(a_, kT0 + 20, kNobody);  // the centre's trouble: neither a miss nor an answer
  run(b_, kT0 + 30, kAll);
  run(a_, kT0 + 40, kSecondSilent);
  run(b_, kT0 + 50, kSecondSilent);
  EXPECT_TRUE(incidents().empty());
  run(a_, kT0 + 60, kNobody);
  EXPECT_TRUE(incidents().empty());
  run(a_, kT0 + 70, kSecondSilent);
  ASSERT_EQ(incidents().size(), 1u);
  EXPECT_EQ(incidents()[0]["start_time"], kT0 + 40);
  EXPECT_EQ(incidents()[0]["last_seen"], kT0 + 30);
}

TEST_F(NodeIncidents, AClockSteppedBackClosesWithZeroLengthAndSaysSo) {
  for (int i = 0; i < 3; ++i) run(a_, kT0 + i, kSecondSilent);
  run(a_, kT0 - 500, kAll);
  const Record all = incidents();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["end_time"], all[0]["start_time"]);
  EXPECT_EQ(all[0]["reason"], std::string("连续3次拨测未响应（其他节点正常应答）") + health::kClockBackNote);
}

TEST_F(NodeIncidents, ANodeTheCentreNoLongerListsDoesNotStayOpen) {
  for (int i = 0; i < 3; ++i) run(a_, kT0 + i, kSecondSilent);
  run(a_, kT0 + 100, Record::array({ok("电信"), ok("联通")}));  // every node answered; 电信#2 is gone
  const Record all = incidents();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["end_time"], kT0 + 100);
  EXPECT_NE(all[0]["reason"].get<std::string>().find("节点已不在调度中心的节点列表中"), std::string::npos);
  EXPECT_TRUE(db_->query("SELECT 1 FROM rivi_node_state WHERE node = '电信#2'").empty());
}

TEST_F(NodeIncidents, ThePurgeDropsClosedIncidentsOnly) {
  for (int i = 0; i < 3; ++i) run(a_, kT0 + i, kSecondSilent);
  run(a_, kT0 + 10, kAll);
  for (int i = 0; i < 3; ++i) run(a_, kT0 + 20 + i, kSecondSilent);  // open again
  EXPECT_EQ(health::purge_before(*db_, kT0 + 1000, 1), 2);  // the closed node incident and the task's hour
  const Record left = incidents();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["end_time"], nullptr);
}

}  // namespace
}  // namespace rivi
