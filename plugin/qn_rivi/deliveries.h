// The record of notification deliveries: one row in `rivi_delivery` per attempt to send one
// message over one channel to one recipient, with the server's answer or the error, kept 30 days.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <optional>
#include <string>

namespace rivi {

class Connection;

namespace deliveries {

inline constexpr int kKeepDays = 30;
inline constexpr std::int64_t kLatest = 50;

struct Attempt {
  std::int64_t pid = 0;      // the task; 0 for a test message
  std::string channel;       // mail or dingding
  std::string recipient;     // an address, or the webhook's host
  std::string kind;          // the alert's kind (outbox.h), or test
  bool success = false;
  std::string answer;        // the server's answer, or why there was none
};

void create_tables(Connection& db);
// Stores one attempt at `time` in the panel's database, waiting out a locked database.
void record(const Attempt& attempt, std::int64_t time);
// The same on `db`, inside the caller's transaction when one is open.
void record(Connection& db, const Attempt& attempt, std::int64_t time);
// The latest `kLatest` attempts, newest first, of task `pid` or of all tasks.
Record latest(std::optional<std::int64_t> pid);
// Deletes attempts made before `cutoff`, at most `batch` a statement; answers the rows deleted.
std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch);

}  // namespace deliveries
}  // namespace rivi
