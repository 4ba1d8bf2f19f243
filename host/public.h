// The host services module the plug-in calls (the panel's `public` module; `public` is a C++
// keyword, hence `public_`): store accessor, files, operation log, response envelope, HTTP POST,
// pager, size and date text, error text, and the clock.
#pragma once

#include "host/record.h"
#include "host/store/store.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rivi::public_ {

// The store accessor on `table` of the host database.
Query M(std::string table);

// The file's whole text, or std::nullopt when the file is missing or cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

// Replaces the file's content atomically (temporary file in the same directory, then rename),
// creating missing parent directories. A new file gets mode 0600; an existing one keeps its
// mode. Throws std::runtime_error naming the path on failure.
void writeFile(const std::string& path, std::string_view text);

// Adds an operation-log entry to the host table `logs` (type, log, addtime as local date text).
void WriteLog(const std::string& type, const std::string& msg);

// The response envelope {"status": status, "msg": msg}.
Record returnMsg(bool status, const std::string& msg);

// The largest answer `httpPost` reads.
inline constexpr std::size_t kMaxPostAnswer = 4u << 20;

// POSTs `data` form-encoded (each value in its plain text form) to `url` and answers the body,
// whatever the HTTP status. Throws std::runtime_error on a transport failure, a time-out (the
// whole exchange within `timeout_seconds`), or an answer longer than kMaxPostAnswer bytes
// (reading stops as soon as the answer passes it). A plain http URL goes out through the host's
// own client (host/http_client.h); https, and http that a proxy named in the environment
// (`http_proxy`, `all_proxy`, `ALL_PROXY`) serves, through libcurl, loaded then. This machine's
// own addresses (localhost, 127.0.0.1, ::1) are never reached through a proxy. Failures name the
// URL without its user information and query, where secrets may be.
std::string httpPost(const std::string& url, const Record& data, long timeout_seconds);

// Pager for `count` rows, page `p`, `rows` a page: {"count", "p", "pages", "row", "shift"}.
// `p` below 1 counts as 1; a page beyond the last gives a `shift` past the end (an empty page).
Record get_page(std::int64_t count, std::int64_t p, std::int64_t rows);

// A byte count as readable text: "512 B", "1.50 KB", "3.25 MB", ... Throws
// std::invalid_argument when `n` is not a number.
std::string to_size(const Record& n);

// The current local date and time, "YYYY-MM-DD HH:MM:SS".
std::string format_date();
// The same for `t`, seconds since the Unix epoch.
std::string format_date(std::int64_t t);

// The text of the exception being handled: its message, never the C++ type, which says nothing
// to whoever reads the output; call only inside a catch.
std::string get_error_info();

// The current Unix time in whole seconds. The environment variable PANEL_NOW, when set to a
// whole number, fixes it (used by tests to pin the clock across processes).
std::int64_t now();

}  // namespace rivi::public_
