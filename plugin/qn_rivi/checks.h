// Success rules of a task: what a probe must show beyond a status outside the failing set. Owns
// the table
//   rivi_check  one row per task that has rules: pid, expect_codes ("200-299,301"),
//               follow_redirects (0/1), keyword, keyword_mode (present|absent), slow_ms,
//               timeout_ms (0: the centre's own), dns_expect ("10.0.0.0/8,2001:db8::1"),
//               cert_warn_days, addtime;
// a task without a row has the defaults, and rules set back to the defaults remove the row. Also
// the reading of rules from a request's text fields (refusals in the Chinese words the page
// shows, naming the field), and the `checks` object the dispatch request carries for the rules a
// node applies itself (keyword, redirects, time-out). Judging a node's result against the rules
// is the health's (health.h).
#pragma once

#include "host/record.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

class Connection;

namespace checks {

inline constexpr std::int64_t kDefaultCertWarnDays = 14;
inline constexpr std::int64_t kMinTimeoutMs = 1000, kMaxTimeoutMs = 30000;
inline constexpr std::int64_t kMaxSlowMs = 60000;
inline constexpr std::int64_t kMaxCertWarnDays = 365;
inline constexpr std::size_t kMaxKeywordChars = 100;
inline constexpr std::size_t kMaxItems = 32;  // of expect_codes and of dns_expect

// Statuses low..high, both included, within 100..599.
struct CodeRange {
  int low = 0, high = 0;
  bool operator==(const CodeRange&) const = default;
};

// An IPv4 or IPv6 network: the address's bytes (4 or 16 used) and its prefix length.
struct AddressRange {
  bool v6 = false;
  std::array<unsigned char, 16> bytes{};
  int prefix = 32;
  bool operator==(const AddressRange&) const = default;
  // Whether `address` (an IPv4 or IPv6 text) lies in the range; false for any other text.
  bool contains(std::string_view address) const;
};

struct Rules {
  std::vector<CodeRange> expect_codes;   // empty: the default set (200, 301, 302, 401, 403)
  bool follow_redirects = false;         // up to 5 hops, on the node
  std::string keyword;                   // "" off; searched in the body's first 1 MiB, on the node
  std::string keyword_mode = "present";  // or "absent"
  std::int64_t slow_ms = 0;              // 0 off
  std::int64_t timeout_ms = 0;           // 0: the centre's own time-out
  std::vector<AddressRange> dns_expect;  // empty off
  std::int64_t cert_warn_days = kDefaultCertWarnDays;  // 0 off
  bool operator==(const Rules&) const = default;

  bool is_default() const { return *this == Rules{}; }
  // Whether `http_code` is an accepted status: in `expect_codes`, or in the default set when it
  // is empty. Numbers by value; text is never a status.
  bool accepts(const Record& http_code) const;
};

// The parts of a rule's text. Each throws std::invalid_argument with the page's Chinese words,
// naming the field, for text it refuses; "" is the empty list.
std::vector<CodeRange> parse_codes(std::string_view text);
std::vector<AddressRange> parse_ranges(std::string_view text);
std::string codes_text(const std::vector<CodeRange>& codes);     // "200-299,301"
std::string ranges_text(const std::vector<AddressRange>& ranges);  // "10.0.0.0/8,2001:db8::1"

// `base` with the rules given in `args` (text fields, as from a form) replaced; a field that is
// absent keeps its value, an empty one takes its default. Throws std::invalid_argument (Chinese,
// naming the field) at the first value it refuses.
Rules parse(const Record& args, Rules base = {});

// The rules as a page's record: expect_codes, follow_redirects, keyword, keyword_mode, slow_ms,
// timeout_ms, dns_expect, cert_warn_days (texts and whole numbers as `parse` reads them back).
Record to_record(const Rules& rules);

// The `checks` object of the dispatch request: the node-side rules that differ from the
// defaults (follow_redirects, keyword with keyword_mode, timeout_ms); nothing when none does.
std::optional<Record> node_checks(const Rules& rules);

// Task `pid`'s rules; the defaults when it has none (or the table is missing).
Rules load(Connection& db, std::int64_t pid);
// The tasks among `pids` that have rules.
std::vector<std::int64_t> with_rules(Connection& db, const std::vector<std::int64_t>& pids);
// Stores task `pid`'s rules; rules equal to the defaults remove its row.
void save(Connection& db, std::int64_t pid, const Rules& rules, std::int64_t now);
// Deletes task `pid`'s rules (through the store accessor, inside the transaction open on this
// thread).
void forget_task(std::int64_t pid);

const std::vector<std::string>& schema_names();
void create_tables(Connection& db);

}  // namespace checks
}  // namespace rivi
