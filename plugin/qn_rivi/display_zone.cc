#include "plugin/qn_rivi/display_zone.h"

#include "host/public.h"
#include "host/utf8.h"
#include "host/zoneinfo.h"
#include "plugin/qn_rivi/alert_policy.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>

namespace rivi::display {
namespace {

constexpr const char* kKey = "display_timezone";

std::optional<ZoneInfo> configured() {
  const std::string name = configured_zone();
  if (name.empty()) return std::nullopt;
  try {
    return ZoneInfo::load(name);
  } catch (const std::invalid_argument&) {
    return std::nullopt;  // removed from the database since: the server's own zone
  }
}

}  // namespace

std::string configured_zone() {
  try {
    const Record config = alerts::read_config();
    if (config.contains(kKey) && config[kKey].is_string()) return config[kKey].get<std::string>();
  } catch (const std::runtime_error&) {
  }
  return "";
}

std::string checked_zone(std::string_view text) {
  const std::string name = trimmed_blanks(text);
  if (!is_utf8(name) || (!name.empty() && !ZoneInfo::known(name)))
    throw std::invalid_argument("显示时区（display_timezone）“" + readable_text(name, 64) +
                                "”不是系统时区数据库中的时区名称，例如 Asia/Shanghai");
  return name;
}

void set_zone(std::string_view text) {
  const std::string name = checked_zone(text);
  Record config = alerts::read_config();
  if (name.empty()) config.erase(kKey);
  else config[kKey] = name;
  public_::writeFile(alerts::config_path(), config.dump(2) + "\n");
}

std::string server_zone() {
  if (const char* tz = std::getenv("TZ"); tz && *tz) {
    const std::string name = tz[0] == ':' ? tz + 1 : tz;
    return ZoneInfo::known(name) ? name : "";
  }
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink("/etc/localtime", ec);
  if (ec) return "";
  const std::string text = target.string();
  const std::string marker = "zoneinfo/";
  const auto at = text.find(marker);
  if (at == std::string::npos) return "";
  const std::string name = text.substr(at + marker.size());
  return ZoneInfo::known(name) ? name : "";
}

std::string effective_zone() {
  if (const std::optional<ZoneInfo> zone = configured()) return zone->name();
  return server_zone();
}

std::string time_text(std::int64_t t) {
  const std::optional<ZoneInfo> zone = configured();
  return zone_time_text(t, zone ? &*zone : nullptr);
}

}  // namespace rivi::display
