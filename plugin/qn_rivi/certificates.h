// What each ISP line of a task was served over HTTPS: table `rivi_cert`, one row per task and ISP
// line holding the certificate of that line's latest answer (the `cert` of a node result: expiry,
// subject, issuer, names, SHA-256 fingerprint, the verification error) and when it was first and
// last seen so. Of several nodes of one ISP in a run, the first that carried a certificate speaks
// for the line. A run writes it in the transaction of its `rivi_list` row (line_records.h). Lines
// not seen for seven days are purged with the results.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rivi {

class Connection;

namespace certificates {

inline constexpr std::int64_t kRowsPerPage = 12;
inline constexpr const char* kNoAnswer = "节点未响应";

// One line's certificate.
struct Line {
  std::string isp;
  std::int64_t not_after = 0;
  std::string fingerprint, subject, issuer, verify_error;
  Record names = Record::array();
  std::int64_t last_seen = 0;
};

// Whole days from `now` to `not_after`, rounded down (-1 on the day after expiry).
std::int64_t days_left(std::int64_t not_after, std::int64_t now);

void create_tables(Connection& db);

// Records the certificates of the node results `data` of task `pid`'s run at `time`. Node results
// without a usable `cert` (no fingerprint, no expiry) and unanswered nodes leave their line as it
// was; texts from the node are cut to a bounded length.
void record(Connection& db, std::int64_t pid, std::int64_t time, const Record& data);

// The lines of `pid` seen by its latest run that carried certificates.
std::vector<Line> latest_run(Connection& db, std::int64_t pid);

// Page `p` of the HTTPS tasks, soonest expiry first (tasks without a certificate seen since
// `since` last): {data: [{pid, name, url, not_after, days_left, issuer, names, lines: [{isp,
// not_after, days_left, fingerprint_sha256, verify_error, subject, issuer, names, last_seen}]}],
// page}. The task's own figures are those of its soonest-expiring line.
Record page(Connection& db, std::int64_t p, std::int64_t now, std::int64_t since);

// {pid, isp, not_after} of every line of an existing task seen since `since`, by task and ISP.
Record expiries(Connection& db, std::int64_t since);

}  // namespace certificates
}  // namespace rivi
