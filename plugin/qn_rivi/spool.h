// The spool: probe-run outcomes that could not reach the database in time (a lock held for long,
// a disk that refused the write), each kept durably in a file of its own in <root>/data/spool/
// until it is replayed into the database (run_store.h). A file is complete or absent: it is
// written under a temporary name, synced, renamed, and the directory synced. Names sort in the
// order the runs were kept.
#pragma once

#include "host/record.h"
#include "plugin/qn_rivi/health.h"

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace rivi::spool {

// What one probe run leaves in the database.
struct RunOutcome {
  std::string fire;           // the scheduler's fire it answers; "" for a run started otherwise
  std::string kind;           // "row": it stored a result; "error": it stored none; "lost": it
                              // never reported (recorded for it afterwards)
  std::int64_t pid = 0;       // the task
  std::int64_t time = 0;      // the row's `addtime`, or when the failure was seen
  Record row;                 // "row": the `rivi_list` row (status, data, pid, addtime)
  std::vector<health::Node> nodes;  // "row": the nodes as judged before any report rewrote them
  std::string reason;         // "error" and "lost": why
};

// <root>/data/spool
std::filesystem::path directory();

// Keeps `run` in a new file of the spool and answers its path. Throws std::runtime_error naming
// the directory and the system's reason ("No space left on device", ...) when it cannot, leaving
// no file behind.
std::filesystem::path write(const RunOutcome& run);

// The spool's files, oldest first.
std::vector<std::filesystem::path> files();

// The run kept in `file`. Throws std::runtime_error naming the file when it cannot be read or
// does not hold a run.
RunOutcome read(const std::filesystem::path& file);

// The fires of the runs waiting in the spool (files that cannot be read are skipped).
std::set<std::string> waiting_fires();

// The right to replay the spool, held by one process at a time (a flock on <spool>/.lock).
class ReplayLock {
 public:
  // Takes it without waiting; `held()` tells whether it was got.
  ReplayLock();
  ~ReplayLock();
  ReplayLock(const ReplayLock&) = delete;
  ReplayLock& operator=(const ReplayLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace rivi::spool
