#include "host/store/store_retry.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <thread>

namespace rivi {
namespace {

bool locked(Connection& db) {
  const int code = sqlite3_errcode(db.handle()) & 0xff;
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

void set_busy_wait(Connection& db, std::chrono::steady_clock::duration d) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  sqlite3_busy_timeout(db.handle(), static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(ms, 0, 86'400'000)));
}

// Puts the connection's busy wait back to `busy_wait` however the attempts end.
struct BusyWaitRestorer {
  Connection& db;
  std::chrono::milliseconds busy_wait;
  ~BusyWaitRestorer() { set_busy_wait(db, busy_wait); }
};

}  // namespace

void retry_while_locked(Connection& db, const StoreRetry& retry, const std::function<void()>& write) {
  using clock = std::chrono::steady_clock;
  const BusyWaitRestorer restore{db, retry.busy_wait};
  std::chrono::milliseconds pause = retry.first_pause;
  std::optional<clock::time_point> give_up;  // set at the first locked failure
  for (int attempt = 1;; ++attempt) {
    set_busy_wait(db, give_up ? std::min<clock::duration>(retry.busy_wait, *give_up - clock::now()) : retry.busy_wait);
    try {
      write();
      return;
    } catch (const std::runtime_error& e) {
      if (!locked(db)) throw;
      if (!give_up) give_up = clock::now() + retry.retry_for;
      const auto left = *give_up - clock::now();
      if (left <= clock::duration::zero()) {
        throw std::runtime_error(fmt::format("{}; gave up after {} attempts", e.what(), attempt));
      }
      std::this_thread::sleep_for(std::min<clock::duration>(pause, left));
      pause = std::min(pause * 2, retry.longest_pause);
    }
  }
}

}  // namespace rivi
