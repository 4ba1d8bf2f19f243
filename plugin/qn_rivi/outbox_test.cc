// The outbox's claims on a real SQLite database: back-off and giving up, leases, held rows, the
// pace of digests and the rate limit, and concurrent claimers.
#include "plugin/qn_rivi/outbox.h"

#include "host/paths.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <map>

#include <algorithm>
#include <thread>

namespace rivi {
namespace {

constexpr std::int64_t kT = 1700000000;

class OutboxClaims : public ::testing::Test {
 protected:
  OutboxClaims() : db_(Connection::for_thread(database_path())) {
    load_qn_rivi_module();
    qn_rivi_main first;  // the plug-in's tables
  }
  ~OutboxClaims() override { std::filesystem::current_path(testing::build_dir()); }

  std::vector<std::int64_t> put(const std::string& title, bool digest, const std::string& channel = "mail",
                                bool held = false, std::int64_t time = kT) {
    const outbox::Alert alert{1, digest ? "fault" : "report", "", {title, "<p>" + title + "</p>", title}, digest};
    return outbox::queue(*db_, alert, {{{channel, channel == "mail" ? "ops@example.test" : "robot"}}}, held, time);
  }
  std::optional<outbox::Batch> claim(std::int64_t now) { return outbox::claim(db_, now, {}, {}); }
  Record row(std::int64_t id) { return db_->query("SELECT * FROM rivi_outbox WHERE id = ?", Record::array({id}))[0]; }

  testing::TempRoot root_;
  std::shared_ptr<Connection> db_;
};

TEST_F(OutboxClaims, AFailingMessageIsTriedOnItsBackOffForADayThenGivenUp) {
  const std::int64_t id = put("报告", false).at(0);
  std::int64_t now = kT;
  std::vector<std::int64_t> waits;
  ::testing::internal::CaptureStderr();
  for (;;) {
    auto batch = claim(now);
    ASSERT_TRUE(batch);
    EXPECT_FALSE(claim(now)) << "claimed twice";
    outbox::settle(db_, *batch, false, "451 try again later", now);
    if (row(id)["state"] != "pending") break;
    const std::int64_t next = to_int(row(id)["next_try"]);
    EXPECT_FALSE(claim(next - 1));
    waits.push_back(next - now);
    now = next;
  }
  ASSERT_GE(waits.size(), 7u);
  EXPECT_EQ(std::vector<std::int64_t>(waits.begin(), waits.begin() + 7),
            (std::vector<std::int64_t>{60, 120, 300, 600, 1800, 3600, 3600}));
  // The log has the first failure and the giving up, not every retry.
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing::count_lines(log, "alert delivery: message " + std::to_string(id) + " \"报告\" to mail"), 2) << log;
  EXPECT_EQ(testing::count_lines(log, "not delivered, retried for 24 h: 451 try again later"), 1) << log;
  EXPECT_EQ(testing::count_lines(log, "given up after " + std::to_string(to_int(row(id)["attempts"])) + " attempt(s)"), 1) << log;
  EXPECT_EQ(row(id)["state"], "failed");
  EXPECT_GE(now - kT, outbox::kGiveUpSeconds);
  EXPECT_LT(now - kT, outbox::kGiveUpSeconds + 3600);
  EXPECT_EQ(row(id)["answer"], "451 try again later");
  // Every attempt is in the record of deliveries.
  EXPECT_EQ(db_->query("SELECT COUNT(*) AS n FROM rivi_delivery WHERE success = 0")[0]["n"], row(id)["attempts"]);
}

TEST_F(OutboxClaims, AClaimThatIsNeverSettledIsTakenAgainOnlyAfterItsLease) {
  put("报告", false);
  auto first = claim(kT);
  ASSERT_TRUE(first);
  EXPECT_FALSE(claim(kT + outbox::kLeaseSeconds));
  auto again = claim(kT + outbox::kLeaseSeconds + 1);
  ASSERT_TRUE(again);
  // The first sender, late, settles nothing that is no longer its own; the second one does.
  outbox::settle(db_, *first, false, "late", kT + outbox::kLeaseSeconds + 2);
  EXPECT_EQ(row(again->rows[0].id)["state"], "sending");
  outbox::settle(db_, *again, true, "250 OK", kT + outbox::kLeaseSeconds + 2);
  EXPECT_EQ(row(again->rows[0].id)["state"], "delivered");
}

TEST_F(OutboxClaims, HeldMessagesAreNeverSentAndStayListed) {
  EXPECT_TRUE(put("维护中", false, "mail", true).empty());
  EXPECT_FALSE(claim(kT + 86400 * 2));
  const Record listed = outbox::undelivered(*db_, 50);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["state"], "held");
  EXPECT_EQ(outbox::counts(*db_)["held"], 1);
}

TEST_F(OutboxClaims, ChangeAlertsArePacedAndMergedReportsAreNot) {
  put("甲", true);
  auto one = claim(kT);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->message.title, "甲");
  outbox::settle(db_, *one, true, "250", kT);
  put("乙", true, "mail", false, kT + 5);
  put("报告", false, "mail", false, kT + 6);
  put("丙", true, "mail", false, kT + 7);
  auto report = claim(kT + 10);  // the report does not wait for the pace
  ASSERT_TRUE(report);
  EXPECT_EQ(report->message.title, "报告");
  EXPECT_FALSE(claim(kT + 59));
  auto digest = claim(kT + 60);
  ASSERT_TRUE(digest);
  EXPECT_EQ(digest->rows.size(), 2u);
  EXPECT_EQ(digest->message.title, "[汇总] 2 条通知");
  EXPECT_NE(digest->message.html.find("<p>丙</p>"), std::string::npos);
}

TEST_F(OutboxClaims, TheLastRequestOfTheRobotsMinuteCarriesEverythingDue) {
  for (int i = 0; i < 23; ++i) put("报告" + std::to_string(i), false, "dingding");
  std::vector<std::size_t> sizes;
  while (auto batch = claim(kT)) sizes.push_back(batch->rows.size());
  ASSERT_EQ(sizes.size(), 20u);
  EXPECT_EQ(sizes.back(), 4u);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 1u), 19);
  EXPECT_FALSE(claim(kT + 59));
}

// Senders in threads of their own, each with its own connection, as concurrent runs are: every
// row is claimed by exactly one of them, also while the others still hold their claims unsettled.
TEST_F(OutboxClaims, ConcurrentClaimersNeverTakeOneRowTwice) {
  for (int i = 0; i < 60; ++i) put("报告" + std::to_string(i), false);
  std::vector<std::vector<std::int64_t>> taken(4);
  std::vector<std::thread> claimers;
  for (auto& mine : taken) {
    claimers.emplace_back([&mine] {
      const auto db = Connection::for_thread(database_path());
      std::vector<outbox::Batch> held;
      for (int i = 0; i < 100; ++i) {
        auto batch = outbox::claim(db, kT, {}, {});
        if (!batch) break;
        for (const auto& r : batch->rows) mine.push_back(r.id);
        held.push_back(std::move(*batch));
      }
      for (const auto& batch : held) outbox::settle(db, batch, true, "250", kT);
    });
  }
  for (auto& t : claimers) t.join();
  std::vector<std::int64_t> all;
  for (const auto& mine : taken) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all.size(), 60u);
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

// Several robots of one kind: each has its own 20 (WeCom, Feishu) or 60 (webhook) requests a
// minute, what exceeds it merged into its last request, and one robot's flood never holds another.
TEST_F(OutboxClaims, EachRobotHasARateLimitOfItsOwn) {
  const auto queue_to = [&](const std::string& channel, const std::string& recipient, int n) {
    for (int i = 0; i < n; ++i) {
      const outbox::Alert alert{1, "report", "", {"报告" + std::to_string(i), "<p></p>", "x"}, false};
      outbox::queue(*db_, alert, {{{channel, recipient}}}, false, kT);
    }
  };
  queue_to("wecom", "#1 robot.example", 23);
  queue_to("wecom", "#2 robot.example", 3);
  queue_to("feishu", "#3 robot.example", 21);
  queue_to("webhook", "#4 hooks.example", 62);
  std::map<std::string, std::vector<std::size_t>> sizes;
  while (auto batch = claim(kT)) sizes[batch->recipient].push_back(batch->rows.size());
  ASSERT_EQ(sizes["#1 robot.example"].size(), 20u);
  EXPECT_EQ(sizes["#1 robot.example"].back(), 4u);
  EXPECT_EQ(sizes["#2 robot.example"], (std::vector<std::size_t>{1, 1, 1}));
  ASSERT_EQ(sizes["#3 robot.example"].size(), 20u);
  EXPECT_EQ(sizes["#3 robot.example"].back(), 2u);
  ASSERT_EQ(sizes["#4 hooks.example"].size(), 60u);
  EXPECT_EQ(sizes["#4 hooks.example"].back(), 3u);
  EXPECT_FALSE(claim(kT + 59));
}

}  // namespace
}  // namespace rivi
