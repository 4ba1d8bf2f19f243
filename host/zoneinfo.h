// Time zones of the system's zone database (/usr/share/zoneinfo, Debian's tzdata) by IANA name,
// and times written with their offset, "2026-12-08 20:15:03 (UTC+08:00)".
//
// GCC 12's libstdc++ has no std::chrono::locate_zone, and the C library's zone is process-wide
// state (TZ and tzset), which threads that format for different zones cannot share. So a zone is
// read here from its compiled TZif file: the transitions of its 64-bit section, and for times past
// the last one the POSIX rule of its footer, which Boost.DateTime's posix_time_zone parses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rivi {

class ZoneInfo {
 public:
  // The zone named `name` ("Asia/Shanghai", "UTC"). Throws std::invalid_argument for a name that
  // is not a zone of the database (empty, absolute, with "..", unknown, or a file that is not TZif).
  static ZoneInfo load(const std::string& name, const std::string& database = "/usr/share/zoneinfo");
  // Whether `load` would take `name`.
  static bool known(const std::string& name, const std::string& database = "/usr/share/zoneinfo");

  const std::string& name() const { return name_; }
  // Seconds east of UTC at Unix time `t`.
  std::int64_t offset_at(std::int64_t t) const;

 private:
  struct Rule;
  std::string name_;
  std::vector<std::int64_t> transitions_;  // Unix times, ascending
  std::vector<std::int64_t> offsets_;      // the offset from each transition on
  std::int64_t before_ = 0;                // the offset before the first transition
  std::shared_ptr<const Rule> rule_;       // the footer's rule; null when the file has none
};

// "+08:00", "-03:30", "+00:00".
std::string offset_text(std::int64_t seconds_east);
// `t` as "YYYY-MM-DD HH:MM:SS (UTC+08:00)" in `zone`, or in the server's own zone when null.
std::string zone_time_text(std::int64_t t, const ZoneInfo* zone);

}  // namespace rivi
