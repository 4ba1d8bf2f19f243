// The background purge of results older than seven days: batches, what stays, the cut-off
// across daylight-saving changes, and `panel serve` running it on its own.
#include "plugin/qn_rivi/retention.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/deliveries.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace rivi {
namespace {

using Ids = std::vector<std::int64_t>;

constexpr std::int64_t kCutoff = 1'780'000'000;
constexpr std::int64_t kDay = 86'400;

std::int64_t add_result(std::int64_t pid, std::int64_t addtime) {
  return public_::M("rivi_list").insert(Record{{"pid", pid}, {"data", "[]"}, {"status", 1}, {"addtime", addtime}});
}

Ids remaining_ids() {
  Ids ids;
  for (const Record& row : public_::M("rivi_list").order("id").select()) ids.push_back(row.at("id").get<std::int64_t>());
  return ids;
}

class RetentionTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
  qn_rivi_main plugin_;  // creates the plug-in's tables
};

TEST_F(RetentionTest, OldRowsOfEveryTaskGoInBatchesAndRecentRowsStay) {
  Ids kept;
  for (std::int64_t pid = 1; pid <= 3; ++pid) {
    for (std::int64_t age = 1; age <= (pid == 3 ? 2 : 4); ++age) add_result(pid, kCutoff - age * kDay);
    kept.push_back(add_result(pid, kCutoff));
    kept.push_back(add_result(pid, kCutoff + 100));
  }
  add_result(2, kCutoff - 1);  // the last second before the cut-off goes too

  Connection db(database_path());
  const PurgeOptions three_a_batch{3, std::chrono::milliseconds(0)};
  {
    std::stop_source stopped;
    stopped.request_stop();
    const PurgeReport report = purge_results_before(db, kCutoff, three_a_batch, stopped.get_token());
    EXPECT_EQ(report.rows, 0);
    EXPECT_EQ(remaining_ids().size(), kept.size() + 11);
  }
  const PurgeReport report = purge_results_before(db, kCutoff, three_a_batch);
  EXPECT_EQ(report.rows, 11);
  EXPECT_EQ(report.batches, 4);  // 3 + 3 + 3 + 2
  EXPECT_EQ(remaining_ids(), kept);

  const PurgeReport again = purge_results_before(db, kCutoff, three_a_batch);
  EXPECT_EQ(again.rows, 0);
  EXPECT_EQ(again.batches, 0);
  EXPECT_THROW(purge_results_before(db, kCutoff, PurgeOptions{0, std::chrono::milliseconds(0)}), std::invalid_argument);
}

TEST_F(RetentionTest, ADatabaseWithoutResultsHasNothingToPurge) {
  Connection empty(root_.file("data/empty.db"));
  const PurgeReport report = purge_results_before(empty, kCutoff, PurgeOptions{});
  EXPECT_EQ(report.rows, 0);
  EXPECT_EQ(report.batches, 0);
}

TEST(RetentionCutoffTest, SevenCalendarDaysOfLocalTime) {
  ASSERT_TRUE(std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin")) << "the tzdata package is missing";
  const char* old = std::getenv("TZ");
  const std::string old_zone = old ? old : "";
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  struct Case {
    const char* what;
    std::int64_t now;
    std::int64_t cutoff;
  };
  const Case cases[] = {
      {"no change in between", 1781604000, 1781604000 - 7 * kDay},
      // 2026-04-02 12:00 CEST; seven days earlier 2026-03-26 12:00 CET = 11:00 UTC.
      {"spring forward", 1775124000, 1774522800},
      // 2026-10-28 12:00 CET; seven days earlier 2026-10-21 12:00 CEST = 10:00 UTC.
      {"fall back", 1793185200, 1792576800},
  };
  for (const Case& c : cases) EXPECT_EQ(result_retention_cutoff(c.now), c.cutoff) << c.what;
  if (old) ::setenv("TZ", old_zone.c_str(), 1);
  else ::unsetenv("TZ");
  ::tzset();
}

// The same rounds drop the closed incidents and the hours older than ninety days.
TEST_F(RetentionTest, TheRoundsAlsoPurgeOldIncidentsAndHours) {
  const std::int64_t now = public_::now();
  const std::int64_t old = now - 91 * kDay;
  Connection db(database_path());
  db.run("INSERT INTO rivi_incident (pid, kind, start_time, end_time, last_time) VALUES (1, 'down', ?, ?, ?)",
         Record::array({old - 60, old, old}));
  db.run("INSERT INTO rivi_incident (pid, kind, start_time, end_time, last_time) VALUES (1, 'down', ?, NULL, ?)",
         Record::array({old, now}));  // still open: stays
  db.run("INSERT INTO rivi_hourly (pid, hour, runs, good) VALUES (1, ?, 1, 1), (1, ?, 1, 0)",
         Record::array({old - old % 3600, now - now % 3600}));

  RetentionOptions options = RetentionOptions::for_panel();
  options.first = std::chrono::milliseconds(0);
  {
    std::jthread purge([&](std::stop_token stop) { keep_result_retention(stop, options); });
    for (int i = 0; i < 300 && public_::M("rivi_hourly").count() != 1; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  const Record incidents = public_::M("rivi_incident").select();
  ASSERT_EQ(incidents.size(), 1u);
  EXPECT_TRUE(incidents[0]["end_time"].is_null());
  const Record hours = public_::M("rivi_hourly").select();
  ASSERT_EQ(hours.size(), 1u);
  EXPECT_EQ(hours[0]["hour"], now - now % 3600);
}

TEST_F(RetentionTest, DeliveriesAreKeptThirtyDays) {
  const std::int64_t now = public_::now();
  deliveries::Attempt attempt{1, "mail", "ops@mail.invalid", "report", true, "250 OK"};
  deliveries::record(attempt, now - 31 * kDay);
  deliveries::record(attempt, now - 29 * kDay);
  deliveries::record(attempt, now);
  Connection db(database_path());
  EXPECT_EQ(deliveries::purge_before(db, now - deliveries::kKeepDays * kDay, 500), 1);
  const Record kept = deliveries::latest(std::int64_t{1});
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1]["time"], now - 29 * kDay);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// `panel serve` purges on its own shortly after it starts: nobody opens a log here.
TEST_F(RetentionTest, PanelServePurgesWithoutAnyPageView) {
  ASSERT_TRUE(std::filesystem::exists(testing::bin("panel"))) << "build the target panel first";
  const std::int64_t now = public_::now();
  for (std::int64_t pid = 1; pid <= 2; ++pid) {
    for (int i = 0; i < 5; ++i) add_result(pid, now - 8 * kDay - i);
  }
  const Ids kept = {add_result(1, now - 6 * kDay), add_result(2, now)};

  testing::Child serve({testing::bin("panel"), "serve", "--no-web"}, {}, root_.file("serve.log"));
  bool purged = false;
  for (int i = 0; i < 300 && !purged; ++i) {  // at most 30 s
    purged = public_::M("rivi_list").count() == static_cast<std::int64_t>(kept.size());
    if (!purged) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(purged) << read_file(root_.file("serve.log"));
  EXPECT_EQ(remaining_ids(), kept);
  EXPECT_EQ(serve.stop(), 0) << read_file(root_.file("serve.log"));
}

}  // namespace
}  // namespace rivi
