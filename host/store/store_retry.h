// Writing to the host database while other processes may hold its write lock. A probe run has
// measured its nodes, and may have mailed a report, by the time it stores its row: a lock held
// longer than SQLite's own busy wait must delay that row, not lose it.
#pragma once

#include "host/store/store.h"

#include <chrono>
#include <functional>

namespace rivi {

// How long a write keeps trying while the database is locked. The defaults are for real runs;
// tests shorten them.
struct StoreRetry {
  std::chrono::milliseconds busy_wait{30000};    // SQLite's own wait within one attempt
  std::chrono::milliseconds retry_for{30000};    // further attempts, after the first one failed
  std::chrono::milliseconds first_pause{100};    // pause before the second attempt; doubles...
  std::chrono::milliseconds longest_pause{2000};  // ...up to this
};

// Runs `write`, which writes through `db`. While it fails because the database is locked
// (SQLITE_BUSY or SQLITE_LOCKED), it is run again after a growing pause, until `retry.retry_for`
// has passed since the first failure; each attempt waits inside SQLite for at most `busy_wait`
// (never past that limit), and `db` keeps `busy_wait` afterwards. Any other failure is thrown
// unchanged; the last locked one as std::runtime_error with the store's text, which starts with
// "database locked", and the number of attempts. `write` must leave nothing half done when it
// throws (a single statement, or a transaction that rolls back).
void retry_while_locked(Connection& db, const StoreRetry& retry, const std::function<void()>& write);

}  // namespace rivi
