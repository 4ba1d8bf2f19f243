// How a probe run's outcome reaches the database: its `rivi_list` row with the task's health and
// what each line saw (line_records.h), or
// the health of a run that stored nothing, and the mark of the scheduler's fire it answers, all in
// one transaction. The marks (table `rivi_fire`: fire, task, time, kind) are what tells, later,
// that a fire left its trace (run_accounting.h); a fire is marked once, so an outcome written
// twice (a replay after a crash between its commit and the removal of its file) is written once.
//
// A database that cannot be written within the wait (locked past it, full, failing or read-only)
// does not lose the outcome: it goes to the spool (spool.h), and the next run, or `panel serve`,
// replays the spool, oldest first, writing each outcome exactly as the run would have (the row
// with its own `addtime`).
#pragma once

#include "host/store/store_retry.h"
#include "plugin/qn_rivi/spool.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace rivi {

class Connection;

namespace run_store {

inline constexpr std::int64_t kMarkKeepSeconds = 3 * 86400;  // past the fires' two days

// An outcome neither the database nor the spool would take (a full disk). The message says why
// for both.
class NotStored : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The waits of a run's writes: 30 s within SQLite, then 5 s more of attempts, before the spool.
// The environment variable RIVI_STORE_WAIT_MS (tests only) sets both, in milliseconds.
StoreRetry run_retry();

// Creates `rivi_fire` when missing.
void create_tables(Connection& db);

// Whether the fire `fire` has left its trace.
bool marked(Connection& db, const std::string& fire);

// Writes `run` in one transaction on `db` (a transaction of its own: none may be open on the
// thread) and answers true; a run whose fire is marked already is skipped (false). Throws
// std::runtime_error from the store, having written nothing.
bool write(const std::shared_ptr<Connection>& db, const spool::RunOutcome& run);

// Stores `run` in the database of the panel root, waiting out a lock as `retry` says, else, when
// the database could not be written, in the spool (said on standard error); answers the spool
// file, or nothing when the database took it. Throws NotStored when neither takes it, and any
// other failure of the store (a missing table) as it is. Outcomes already waiting in the spool are replayed
// first, so that they come before this one.
std::optional<std::filesystem::path> store(const spool::RunOutcome& run, const StoreRetry& retry = run_retry());

// Replays the spool into `db`, oldest first, each outcome in a transaction of its own, its file
// removed once it is in; stops at the first one the database does not take, waiting at most
// `wait` for a lock (the connection keeps that wait). A file that is not a run is set aside as `<name>.bad` and said on standard
// error. Does nothing while another process replays. Answers the outcomes written (a file whose
// outcome was in already is removed without counting). That the spool waits is said as a warning;
// a caller that replays in rounds passes `waiting_said`, so that a wait is said once, not every
// round: it is set when the wait is said and cleared once the spool has been emptied.
std::int64_t replay(const std::shared_ptr<Connection>& db, std::chrono::milliseconds wait, bool* waiting_said = nullptr);

// Deletes the marks older than `before`.
void purge_marks(Connection& db, std::int64_t before);

}  // namespace run_store
}  // namespace rivi
