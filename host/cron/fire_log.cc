#include "host/cron/fire_log.h"

#include "host/cron/job_runner.h"
#include "host/journal.h"
#include "host/record.h"
#include "host/store/store.h"

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace rivi {

namespace {

constexpr std::size_t kMostQueued = 100'000;
constexpr std::int64_t kPurgeBatch = 1000;

Record optional_value(const std::optional<std::int64_t>& v) { return v ? Record(*v) : Record(nullptr); }
Record optional_value(const std::optional<int>& v) { return v ? Record(*v) : Record(nullptr); }

template <typename T>
std::optional<T> optional_of(const Record& v) {
  if (v.is_null()) return std::nullopt;
  return static_cast<T>(v.get<std::int64_t>());
}

Fire fire_of(const Record& row) {
  Fire fire;
  fire.id = row["id"].get<std::int64_t>();
  fire.job_id = row["job_id"].get<std::int64_t>();
  fire.job_key = row["save"].is_string() ? row["save"].get<std::string>() : "";
  fire.fire = row["fire_key"].get<std::string>();
  fire.time = row["fire_time"].get<std::int64_t>();
  fire.pid = optional_of<std::int64_t>(row["pid"]);
  fire.end_time = optional_of<std::int64_t>(row["end_time"]);
  fire.exit_status = optional_of<int>(row["exit_status"]);
  fire.signal = optional_of<int>(row["signal"]);
  fire.log_tail = row["log_tail"].is_string() ? row["log_tail"].get<std::string>() : "";
  return fire;
}

constexpr const char* kFireColumns =
    "SELECT f.id, f.job_id, c.save, f.fire_key, f.fire_time, f.pid, f.end_time, f.exit_status, f.signal, f.log_tail "
    "FROM crontab_fire f LEFT JOIN crontab c ON c.id = f.job_id ";

}  // namespace

void create_fire_table(Connection& db) {
  db.exec_script(R"sql(
CREATE TABLE IF NOT EXISTS crontab_fire (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id INTEGER NOT NULL, fire_key TEXT NOT NULL UNIQUE, fire_time INTEGER NOT NULL,
  pid INTEGER, end_time INTEGER, exit_status INTEGER, signal INTEGER, log_tail TEXT NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS crontab_fire_time ON crontab_fire (fire_time);)sql");
}

std::vector<Fire> read_fires(Connection& db, std::int64_t after, std::int64_t limit) {
  std::vector<Fire> fires;
  if (!db.has_table("crontab_fire")) return fires;
  for (const Record& row : db.query(std::string(kFireColumns) + "WHERE f.id > ? ORDER BY f.id LIMIT ?",
                                    Record::array({after, limit}))) {
    fires.push_back(fire_of(row));
  }
  return fires;
}

void FireLog::queue(Change change) {
  queue_.push_back(std::move(change));
  if (queue_.size() > kMostQueued) {
    queue_.pop_front();
    if (dropped_++ % 10'000 == 0) {
      journal::log_line(journal::Priority::err, fmt::format("scheduler: the database has taken no fire record for a long time; {} dropped", dropped_));
    }
  }
}

void FireLog::started(const std::string& fire, std::int64_t job_id, std::int64_t time, pid_t pid) {
  Change change;
  change.insert = true;
  change.fire = fire;
  change.job_id = job_id;
  change.time = time;
  change.pid = pid;
  queue(std::move(change));
}

void FireLog::not_started(const std::string& fire, std::int64_t job_id, std::int64_t time, const std::string& why) {
  Change change;
  change.insert = true;
  change.fire = fire;
  change.job_id = job_id;
  change.time = time;
  change.end_time = time;
  change.log_tail = why;
  queue(std::move(change));
}

void FireLog::ended(const EndedRun& run, std::int64_t time) {
  Change change;
  change.fire = run.fire;
  change.end_time = time;
  change.exit_status = run.exit_status;
  change.signal = run.signal;
  change.log_tail = run.log_tail;
  queue(std::move(change));
}

void FireLog::flush(Connection& connection) {
  if (queue_.empty()) return;
  try {
    connection.exec_script("BEGIN IMMEDIATE");
    try {
      for (const Change& c : queue_) {
        if (c.insert) {
          connection.run(
              "INSERT OR IGNORE INTO crontab_fire (job_id, fire_key, fire_time, pid, end_time, exit_status, signal, log_tail) "
              "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
              Record::array({c.job_id, c.fire, c.time, optional_value(c.pid), optional_value(c.end_time),
                             optional_value(c.exit_status), optional_value(c.signal), c.log_tail}));
        } else {
          connection.run("UPDATE crontab_fire SET end_time = ?, exit_status = ?, signal = ?, log_tail = ? WHERE fire_key = ?",
                         Record::array({optional_value(c.end_time), optional_value(c.exit_status),
                                        optional_value(c.signal), c.log_tail, c.fire}));
        }
      }
      connection.exec_script("COMMIT");
    } catch (...) {
      try {
        connection.exec_script("ROLLBACK");
      } catch (const std::exception&) {
        // SQLite may have rolled back already (a full disk does that); nothing is left open.
      }
      throw;
    }
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(fmt::format("cannot record {} fires and ends (kept for later): {}", queue_.size(), error.what()));
  }
  queue_.clear();
}

void FireLog::purge(Connection& connection, std::int64_t before) {
  for (;;) {
    const std::int64_t deleted = connection.run(
        "DELETE FROM crontab_fire WHERE id IN (SELECT id FROM crontab_fire WHERE fire_time < ? LIMIT ?)",
        Record::array({before, kPurgeBatch}));
    if (deleted < kPurgeBatch) break;
  }
}

std::vector<Fire> FireLog::unfinished(Connection& db, const std::string& not_prefix) {
  std::vector<Fire> fires;
  for (const Record& row :
       db.query(std::string(kFireColumns) + "WHERE f.end_time IS NULL AND substr(f.fire_key, 1, ?) <> ? ORDER BY f.id",
                  Record::array({static_cast<std::int64_t>(not_prefix.size()), not_prefix}))) {
    fires.push_back(fire_of(row));
  }
  return fires;
}

}  // namespace rivi
