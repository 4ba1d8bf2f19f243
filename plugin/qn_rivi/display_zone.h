// The display time zone: the IANA zone in which mails and the page show times, `display_timezone`
// in the plug-in's config.json ("" or absent: the server's own zone). Stored times stay Unix
// seconds, and the documented answers keep the host's own text of a time; only what people read
// is written in this zone, with its offset ("2026-12-08 20:15:03 (UTC+08:00)").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rivi::display {

// The configured zone's name; "" when none is set, or config.json cannot be read (a display
// setting never stops an alert).
std::string configured_zone();
// `text` without surrounding blanks when it names a zone of the system's database, or is empty
// (the server's own); else throws std::invalid_argument with a refusal in Chinese.
std::string checked_zone(std::string_view text);
// Sets the zone (checked as above; "" goes back to the server's own), keeping every other key of
// config.json.
void set_zone(std::string_view text);
// The name of the server's own zone (TZ, else the link /etc/localtime); "" when it has none.
std::string server_zone();
// The zone the page uses: the configured one, else the server's own ("" when that has no name).
std::string effective_zone();

// `t` as "YYYY-MM-DD HH:MM:SS (UTC+08:00)" in the configured zone.
std::string time_text(std::int64_t t);

}  // namespace rivi::display
