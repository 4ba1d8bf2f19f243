// What each ISP line of a task resolved its name to: table `rivi_resolve`, one row per task, line
// and address with when the line first and last saw it, kept seven days like the results (a row
// not seen since is purged with them). The addresses are a node result's `addresses` (every
// address resolved) or, from nodes that send none, its `primary_ip`; texts that are no IP address
// are left out. A run writes it in the transaction of its `rivi_list` row (line_records.h).
//
// A line's latest answer is the addresses it saw at its latest time; the answer is outside
// `dns_expect` (line_rules.h) when one of them is in none of its ranges.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <set>
#include <vector>

namespace rivi {

class Connection;

namespace resolution {

void create_tables(Connection& db);

// Records the addresses of the node results `data` of task `pid`'s run at `time`.
void record(Connection& db, std::int64_t pid, std::int64_t time, const Record& data);

// Task `pid`'s lines seen since `since`, by ISP: [{isp, last_seen, mismatch, addresses:
// [{address, first_seen, last_seen, latest, expected}]}], the addresses newest first; `expected`
// is null when the task expects nothing, and `mismatch` tells whether the latest answer left it.
Record history(Connection& db, std::int64_t pid, std::int64_t since);

// Those of `pids` whose latest answer on some line, seen since `since`, is outside `dns_expect`.
std::set<std::int64_t> mismatched(Connection& db, const std::vector<std::int64_t>& pids, std::int64_t since);

}  // namespace resolution
}  // namespace rivi
