#include "host/zoneinfo.h"

#include <boost/date_time/local_time/posix_time_zone.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace rivi {

struct ZoneInfo::Rule {
  boost::local_time::posix_time_zone zone;
  std::int64_t standard = 0;  // seconds east of UTC outside daylight-saving time
  std::int64_t daylight = 0;  // inside it

  // `text` in Boost's form (see `boost_form`), with the offsets the rule names: Boost takes only
  // the change times from it, as it loses a daylight-saving offset below the standard one.
  Rule(const std::string& text, std::int64_t standard_offset, std::int64_t daylight_offset)
      : zone(text), standard(standard_offset), daylight(daylight_offset) {}

  static std::int64_t unix_time(const boost::posix_time::ptime& t) {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    return (t - epoch).total_seconds();
  }

  std::int64_t offset_at(std::int64_t t) const {
    if (!zone.has_dst()) return standard;
    std::time_t local = static_cast<std::time_t>(t + standard);
    std::tm tm{};
    gmtime_r(&local, &tm);
    const auto year = static_cast<unsigned short>(tm.tm_year + 1900);
    // The start is given in standard time, the end in daylight-saving time.
    const std::int64_t start = unix_time(zone.dst_local_start_time(year)) - standard;
    const std::int64_t end = unix_time(zone.dst_local_end_time(year)) - daylight;
    const bool inside = start < end ? (t >= start && t < end) : (t >= start || t < end);  // southern summers span the new year
    return inside ? daylight : standard;
  }
};

namespace {

bool safe_name(const std::string& name) {
  if (name.empty() || name.size() > 255 || name.front() == '/' || name.find('\0') != std::string::npos) return false;
  std::string_view rest = name;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '_' || c == '-' || c == '+';
  });
}

std::int64_t big_endian(const std::string& data, std::size_t at, std::size_t bytes) {
  if (at + bytes > data.size()) throw std::invalid_argument("truncated");
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < bytes; ++i) v = (v << 8) | static_cast<unsigned char>(data[at + i]);
  if (bytes == 4) return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  return static_cast<std::int64_t>(v);
}

// The counts of a TZif header at `at`: isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt.
struct Header {
  std::int64_t isut, isstd, leap, time, type, chars;
  char version;
};

Header header_at(const std::string& data, std::size_t at) {
  if (data.size() < at + 44 || data.compare(at, 4, "TZif") != 0) throw std::invalid_argument("not a TZif file");
  Header h{};
  h.version = data[at + 4];
  h.isut = big_endian(data, at + 20, 4);
  h.isstd = big_endian(data, at + 24, 4);
  h.leap = big_endian(data, at + 28, 4);
  h.time = big_endian(data, at + 32, 4);
  h.type = big_endian(data, at + 36, 4);
  h.chars = big_endian(data, at + 40, 4);
  if (h.isut < 0 || h.isstd < 0 || h.leap < 0 || h.time < 0 || h.type < 1 || h.chars < 0 || h.type > 256)
    throw std::invalid_argument("bad TZif counts");
  return h;
}

std::size_t body_size(const Header& h, std::size_t time_bytes) {
  return h.time * time_bytes + h.time + h.type * 6 + h.chars + h.leap * (time_bytes + 4) + h.isstd + h.isut;
}

// The footer's POSIX rule as Boost's posix_time_zone reads it: quoted names ("<+0330>") become
// plain ones, and the offsets change sign (POSIX counts west of UTC as positive, Boost east).
// "CET-1CEST,M3.5.0,M10.5.0/3" -> "CET+1CEST,M3.5.0,M10.5.0/3".
struct BoostForm {
  std::string text;
  std::int64_t standard = 0, daylight = 0;  // seconds east of UTC
};

BoostForm boost_form(const std::string& rule) {
  BoostForm form;
  std::string& out = form.text;
  std::size_t i = 0;
  const auto name = [&] {
    if (i < rule.size() && rule[i] == '<') {
      const std::size_t close = rule.find('>', i);
      if (close == std::string::npos) throw std::invalid_argument("bad zone rule");
      i = close + 1;
    } else {
      while (i < rule.size() && std::isalpha(static_cast<unsigned char>(rule[i]))) ++i;
    }
    out += "ZZZ";
  };
  // Answers the offset east of UTC in seconds.
  const auto offset = [&]() -> std::int64_t {
    char sign = '-';
    if (i < rule.size() && (rule[i] == '+' || rule[i] == '-')) sign = rule[i++] == '-' ? '+' : '-';
    const std::size_t from = i;
    std::int64_t seconds = 0, part = 0, unit = 3600;
    for (; i < rule.size() && (std::isdigit(static_cast<unsigned char>(rule[i])) || rule[i] == ':'); ++i) {
      if (rule[i] == ':') {
        seconds += part * unit;
        part = 0;
        unit /= 60;
      } else {
        part = part * 10 + (rule[i] - '0');
      }
    }
    if (i == from || unit == 0) throw std::invalid_argument("bad zone rule");
    seconds += part * unit;
    out += sign + rule.substr(from, i - from);
    return sign == '+' ? seconds : -seconds;
  };
  name();
  form.standard = offset();
  form.daylight = form.standard + 3600;
  if (i < rule.size() && rule[i] != ',') {
    name();
    if (i < rule.size() && rule[i] != ',') form.daylight = offset();
  }
  out += rule.substr(i);
  return form;
}

}  // namespace

ZoneInfo ZoneInfo::load(const std::string& name, const std::string& database) {
  if (!safe_name(name)) throw std::invalid_argument("not a time zone name: " + name);
  const std::string path = database + "/" + name;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) throw std::invalid_argument("no such time zone: " + name);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument("no such time zone: " + name);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() > (1 << 20)) throw std::invalid_argument("not a time zone file: " + name);
  ZoneInfo zone;
  zone.name_ = name;
  try {
    Header h = header_at(data, 0);
    std::size_t at = 44;
    std::size_t time_bytes = 4;
    if (h.version >= '2') {  // skip the 32-bit section for the 64-bit one
      at = 44 + body_size(h, 4);
      h = header_at(data, at);
      at += 44;
      time_bytes = 8;
    }
    if (data.size() < at + body_size(h, time_bytes)) throw std::invalid_argument("truncated");
    std::vector<std::int64_t> type_offsets;
    const std::size_t types_at = at + h.time * time_bytes + h.time;
    for (std::int64_t i = 0; i < h.type; ++i) type_offsets.push_back(big_endian(data, types_at + i * 6, 4));
    for (std::int64_t i = 0; i < h.time; ++i) {
      zone.transitions_.push_back(big_endian(data, at + i * time_bytes, time_bytes));
      const auto type = static_cast<unsigned char>(data[at + h.time * time_bytes + i]);
      if (type >= type_offsets.size()) throw std::invalid_argument("bad type index");
      zone.offsets_.push_back(type_offsets[type]);
    }
    zone.before_ = type_offsets[0];
    if (h.version >= '2') {
      const std::size_t footer = at + body_size(h, time_bytes);
      if (footer < data.size() && data[footer] == '\n') {
        const std::size_t end = data.find('\n', footer + 1);
        const std::string rule = data.substr(footer + 1, end == std::string::npos ? std::string::npos : end - footer - 1);
        // A rule Boost cannot read (hours past 24 or below 0 in its change times) leaves the
        // last transition's offset in force; the database's files list transitions to 2037.
        if (!rule.empty()) {
          try {
            const BoostForm form = boost_form(rule);
            zone.rule_ = std::make_shared<const Rule>(form.text, form.standard, form.daylight);
          } catch (const std::exception&) {
            zone.rule_.reset();
          }
        }
      }
    }
  } catch (const std::exception& e) {
    throw std::invalid_argument("not a time zone file: " + name + " (" + e.what() + ")");
  }
  return zone;
}

bool ZoneInfo::known(const std::string& name, const std::string& database) {
  try {
    load(name, database);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

std::int64_t ZoneInfo::offset_at(std::int64_t t) const {
  if (rule_ && (transitions_.empty() || t >= transitions_.back())) return rule_->offset_at(t);
  const auto after = std::upper_bound(transitions_.begin(), transitions_.end(), t);
  if (after == transitions_.begin()) return before_;
  return offsets_[static_cast<std::size_t>(after - transitions_.begin()) - 1];
}

std::string offset_text(std::int64_t seconds_east) {
  const std::int64_t minutes = (seconds_east < 0 ? -seconds_east : seconds_east) / 60;
  return fmt::format("{}{:02}:{:02}", seconds_east < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

std::string zone_time_text(std::int64_t t, const ZoneInfo* zone) {
  std::tm tm{};
  std::int64_t offset = 0;
  if (zone) {
    offset = zone->offset_at(t);
    const std::time_t shifted = static_cast<std::time_t>(t + offset);
    gmtime_r(&shifted, &tm);
  } else {
    const std::time_t tt = static_cast<std::time_t>(t);
    localtime_r(&tt, &tm);
    offset = tm.tm_gmtoff;
  }
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return fmt::format("{} (UTC{})", buf, offset_text(offset));
}

}  // namespace rivi
