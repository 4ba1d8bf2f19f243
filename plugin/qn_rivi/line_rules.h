// The two per-task rules the certificate and resolution records need, read from the rules table
// `rivi_check` (one row per task, keyed `pid`): `cert_warn_days` (days before expiry when
// warnings begin; 0 turns them off) and `dns_expect` (addresses and CIDR ranges the name may
// resolve to; empty: anything). A database without the table, a task without a row, or an empty
// value gives the default.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rivi {

class Connection;

namespace line_rules {

inline constexpr std::int64_t kCertWarnDays = 14;

std::int64_t cert_warn_days(Connection& db, std::int64_t pid);

// `dns_expect` of each task of `pids` that has one (tasks without are left out).
std::map<std::int64_t, std::string> dns_expect(Connection& db, const std::vector<std::int64_t>& pids);

}  // namespace line_rules
}  // namespace rivi
