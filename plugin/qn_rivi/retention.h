// The seven-day retention of probe results, kept off the read path. `panel serve` runs
// `keep_result_retention` on a thread of its own: shortly after start and then every hour it
// deletes the `rivi_list` rows of every task older than seven days, a small batch per
// transaction with a pause between batches, so that the workers' inserts and the page's reads
// never wait long behind it. `get_task_log` still purges on every call; it then finds next to
// nothing to delete. The same rounds delete what each line saw (certificates, addresses) last
// seen before the results' cut-off (line_records.h), and the closed incidents and the hourly
// availability older than ninety days (health.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>

namespace rivi {

class Connection;

inline constexpr int kResultRetentionDays = 7;

// The same local clock time `kResultRetentionDays` calendar days before `now`, both in Unix
// seconds: the cut-off below which results are purged. Throws std::runtime_error when the
// local time cannot be computed.
std::int64_t result_retention_cutoff(std::int64_t now);

// The same, `health::kKeepDays` calendar days before `now`: the cut-off of incidents and hours.
std::int64_t health_retention_cutoff(std::int64_t now);

struct PurgeOptions {
  std::int64_t batch = 500;             // rows deleted by one transaction
  std::chrono::milliseconds pause{20};  // rest between two batches
};

struct PurgeReport {
  std::int64_t rows = 0;     // rows deleted
  std::int64_t batches = 0;  // transactions that deleted rows
};

// Deletes every `rivi_list` row, of any task, whose `addtime` is below `cutoff`, at most
// `options.batch` rows per transaction, until none is left or `stop` is requested; a database
// without the table has nothing to purge. Throws
// std::runtime_error from the store; the batches committed before stay deleted.
PurgeReport purge_results_before(Connection& db, std::int64_t cutoff, const PurgeOptions& options,
                                 std::stop_token stop = {});

struct RetentionOptions {
  std::string database;                                        // the host database
  std::chrono::milliseconds first{std::chrono::seconds(1)};    // from the call to the first purge
  std::chrono::milliseconds every{std::chrono::hours(1)};      // between two purges
  PurgeOptions purge;

  // The host database of the panel root, and the defaults above.
  static RetentionOptions for_panel();
};

// Purges the results, incidents and hours older than their cut-offs by the host's clock
// (`public_::now`) after `options.first` and then every `options.every`, until `stop` is requested. A failed purge is
// reported on standard error and tried again at the next round.
void keep_result_retention(std::stop_token stop, const RetentionOptions& options);

}  // namespace rivi
