// What a stored run keeps of each ISP line beside its `rivi_list` row: the certificates
// (certificates.h) and the resolved addresses (resolution.h), written in the row's transaction;
// their removal with their task and their seven-day purge (with the certificate alerts' marks of
// certificates that were renewed, cert_alerts.h).
#pragma once

#include "host/record.h"

#include <cstdint>

namespace rivi {

class Connection;

namespace line_records {

// Records the lines of the `rivi_list` row `row` of task `pid` stored at `time`; a row whose
// `data` is no JSON list records nothing.
void record(Connection& db, std::int64_t pid, std::int64_t time, const Record& row);

void forget_task(Connection& db, std::int64_t pid);

// Deletes what was last seen before `cutoff`, at most `batch` rows a statement; answers the rows
// deleted.
std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch);

}  // namespace line_records
}  // namespace rivi
