// Zones read from the system's zone database against the C library's own reading of the same
// files, across history, today and the years past the files' last transition (the footer rules),
// and the names that are refused.
#include "host/zoneinfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace rivi {
namespace {

// The C library's offset of `zone` at `t` (TZ is process-wide: this test alone sets it).
long libc_offset(const std::string& zone, std::int64_t t) {
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  return tm.tm_gmtoff;
}

TEST(ZoneInfo, AgreesWithTheCLibraryAcrossHistoryAndFutureRules) {
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  // Northern and southern daylight-saving time, half and quarter hours, quoted footer names,
  // a zone that dropped daylight-saving time, and plain offsets.
  for (const std::string name : {"Asia/Shanghai", "Europe/Berlin", "America/New_York", "Australia/Sydney",
                                 "America/Sao_Paulo", "Asia/Kolkata", "Asia/Kathmandu", "Asia/Tehran",
                                 "Pacific/Chatham", "Europe/Dublin", "UTC"}) {
    const ZoneInfo zone = ZoneInfo::load(name);
    EXPECT_EQ(zone.name(), name);
    int checked = 0;
    // Every 9 days and 7 hours from 1960 to 2070: both sides of each change are met in most years.
    for (std::int64_t t = -315619200; t < 3155760000; t += 9 * 86400 + 7 * 3600, ++checked) {
      ASSERT_EQ(zone.offset_at(t), libc_offset(name, t)) << name << " at " << t;
    }
    EXPECT_GT(checked, 4000);
  }
  if (saved) ::setenv("TZ", before.c_str(), 1);
  else ::unsetenv("TZ");
  ::tzset();
}

TEST(ZoneInfo, WritesTimesWithTheirOffset) {
  const ZoneInfo shanghai = ZoneInfo::load("Asia/Shanghai");
  EXPECT_EQ(zone_time_text(1796732103, &shanghai), "2026-12-08 20:15:03 (UTC+08:00)");
  const ZoneInfo berlin = ZoneInfo::load("Europe/Berlin");
  EXPECT_EQ(zone_time_text(1796732103, &berlin), "2026-12-08 13:15:03 (UTC+01:00)");
  EXPECT_EQ(zone_time_text(2415000000, &berlin), "2046-07-12 11:20:00 (UTC+02:00)");  // the footer's summer
  const ZoneInfo sao_paulo = ZoneInfo::load("America/Sao_Paulo");
  EXPECT_EQ(zone_time_text(1796732103, &sao_paulo), "2026-12-08 09:15:03 (UTC-03:00)");
  EXPECT_EQ(offset_text(5 * 3600 + 45 * 60), "+05:45");
  EXPECT_EQ(offset_text(-(3 * 3600 + 30 * 60)), "-03:30");
  EXPECT_EQ(offset_text(0), "+00:00");
}

TEST(ZoneInfo, RefusesWhatIsNotAZoneOfTheDatabase) {
  for (const std::string bad : {"", "Nowhere/City", "../../../etc/passwd", "/etc/localtime", "Asia/../Asia/Shanghai",
                                "Asia//Shanghai", "zone.tab", "Asia", "Asia/Shanghai\n", "asia shanghai"}) {
    EXPECT_FALSE(ZoneInfo::known(bad)) << bad;
    EXPECT_THROW(ZoneInfo::load(bad), std::invalid_argument) << bad;
  }
  EXPECT_TRUE(ZoneInfo::known("Etc/GMT+5"));
  EXPECT_EQ(ZoneInfo::load("Etc/GMT+5").offset_at(0), -5 * 3600);
}

}  // namespace
}  // namespace rivi
