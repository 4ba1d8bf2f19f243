// The host table `crontab_fire`: one row for every run the scheduler fires, with its process,
// when it ended and how (exit status or signal, and the last lines of its log when it failed),
// or why it could not start. Kept two days (`kFireKeepSeconds`). The scheduler writes it through
// `FireLog`; whoever knows what a job is for reads it back (`read_fires`) to account for each
// run: the host itself knows nothing of what a run should have left behind.
//
// A run that started must be recorded even while the database is locked or its disk is full:
// `FireLog` queues what it is told and writes it when the database takes it, without ever
// holding up the scheduler for more than a moment.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace rivi {

class Connection;
struct EndedRun;

inline constexpr std::int64_t kFireKeepSeconds = 2 * 86400;

// Creates the table and its index when missing.
void create_fire_table(Connection& db);

// One fire as read back, with the `save` key of its job (empty when the job is gone).
struct Fire {
  std::int64_t id = 0;
  std::int64_t job_id = 0;
  std::string job_key;
  std::string fire;                 // the key the run found in `kFireVariable`
  std::int64_t time = 0;            // Unix seconds, when it was fired
  std::optional<std::int64_t> pid;  // none: it could not start
  std::optional<std::int64_t> end_time;
  std::optional<int> exit_status;
  std::optional<int> signal;
  std::string log_tail;             // or why it could not start
};

// The fires of row id above `after`, oldest first, at most `limit`. A database without the
// table has none.
std::vector<Fire> read_fires(Connection& db, std::int64_t after, std::int64_t limit);

// The fires told and not yet written. Writes go through the caller's connection, so that they do
// not count as another process's change of the database to a reader watching `data_version` on
// it; that connection should wait only a moment for the write lock.
class FireLog {
 public:

  // A run of job `job_id` fired at `time` (Unix seconds) started as process `pid`.
  void started(const std::string& fire, std::int64_t job_id, std::int64_t time, pid_t pid);
  // A run that could not start, and why.
  void not_started(const std::string& fire, std::int64_t job_id, std::int64_t time, const std::string& why);
  // A run that ended at `time` (Unix seconds); its exit status, or the signal that ended it,
  // unknown for a run of an earlier `panel serve`.
  void ended(const EndedRun& run, std::int64_t time);

  // Writes what is queued in one transaction, waiting at most a moment for the database; when
  // it cannot, everything stays queued for the next call and the failure is thrown as
  // std::runtime_error. The queue keeps the newest 100,000 changes; older ones are dropped, and
  // said so on standard error.
  void flush(Connection& db);
  // Deletes the fires fired before `before` (Unix seconds), a batch at a time. Throws
  // std::runtime_error from the store.
  static void purge(Connection& db, std::int64_t before);
  // Fires never seen to end whose keys do not start with `not_prefix` (runs of earlier
  // schedulers).
  static std::vector<Fire> unfinished(Connection& db, const std::string& not_prefix);
  std::size_t queued() const { return queue_.size(); }

 private:
  struct Change {
    bool insert = false;
    std::string fire;
    std::int64_t job_id = 0;
    std::int64_t time = 0;
    std::optional<std::int64_t> pid;
    std::optional<std::int64_t> end_time;
    std::optional<int> exit_status;
    std::optional<int> signal;
    std::string log_tail;
  };
  void queue(Change change);

  std::deque<Change> queue_;
  std::int64_t dropped_ = 0;
};

}  // namespace rivi
