#include "plugin/qn_rivi/run_store.h"

#include "host/journal.h"
#include "host/paths.h"
#include "host/record.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/line_records.h"

#include <fmt/format.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string_view>

namespace rivi::run_store {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_fire (fire TEXT PRIMARY KEY, pid INTEGER NOT NULL, time INTEGER NOT NULL, "
    "kind TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS rivi_fire_time ON rivi_fire (time);";

// A replay takes what the database takes at once: the run replaying waits for its own row.
StoreRetry replay_retry(std::chrono::milliseconds wait) {
  StoreRetry retry;
  retry.busy_wait = wait;
  retry.retry_for = std::chrono::milliseconds(0);
  return retry;
}

// Whether a failed write says that the database could not be written at the time (held by
// another process past the wait, full, failing to read or write, read-only, not there to open):
// what the spool is for. Any other failure (a table missing, a statement refused) is not a
// moment's trouble and is raised as it is.
bool unwritable(std::string_view message) {
  for (std::string_view sign : {"database locked", "database read-only", "database or disk is full", "disk I/O error",
                                "unable to open database file", "cannot open database"}) {
    if (message.find(sign) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

StoreRetry run_retry() {
  StoreRetry retry;
  retry.retry_for = std::chrono::seconds(5);
  if (const char* text = std::getenv("RIVI_STORE_WAIT_MS"); text != nullptr && *text != '\0') {
    const std::int64_t ms = to_int(Record(text));
    retry.busy_wait = retry.retry_for = std::chrono::milliseconds(ms);
    retry.first_pause = std::min(retry.first_pause, retry.busy_wait);
  }
  return retry;
}

void create_tables(Connection& db) { db.exec_script(kSchema); }

bool marked(Connection& db, const std::string& fire) {
  return !db.query("SELECT 1 FROM rivi_fire WHERE fire = ?", Record::array({fire})).empty();
}

bool write(const std::shared_ptr<Connection>& shared, const spool::RunOutcome& run) {
  Connection& db = *shared;
  transaction tx(shared);
  if (!run.fire.empty()) {
    create_tables(db);
    if (marked(db, run.fire)) return false;  // written before; the transaction rolls back empty
  }
  if (run.kind == "row") {
    Query("rivi_list", shared).insert(run.row);
    health::record_run(db, run.pid, run.time, run.nodes, to_int(run.row.at("status")));
    line_records::record(db, run.pid, run.time, run.row);
  } else {
    health::record_failed_run(db, run.pid, run.time, run.reason);
  }
  if (!run.fire.empty()) {
    db.run("INSERT INTO rivi_fire (fire, pid, time, kind) VALUES (?, ?, ?, ?)",
           Record::array({run.fire, run.pid, run.time, run.kind}));
  }
  tx.commit();
  return true;
}

std::optional<std::filesystem::path> store(const spool::RunOutcome& run, const StoreRetry& retry) {
  std::string refused;
  try {
    const auto db = Connection::for_thread(database_path());
    replay(db, std::min(retry.busy_wait, std::chrono::milliseconds(1000)));
    retry_while_locked(*db, retry, [&] { write(db, run); });
    return std::nullopt;
  } catch (const std::runtime_error& error) {
    if (!unwritable(error.what())) throw;
    refused = error.what();
  }
  std::filesystem::path kept;
  try {
    kept = spool::write(run);
  } catch (const std::runtime_error& error) {
    throw NotStored(fmt::format("the result of task {} could not be stored: {}; nor kept: {}", run.pid, refused, error.what()));
  }
  journal::log_line(journal::Priority::warning, fmt::format("rivi: task {}: the database did not take the result ({}); it waits in {}",
                                                                run.pid, refused, kept.string()));
  return kept;
}

std::int64_t replay(const std::shared_ptr<Connection>& db, std::chrono::milliseconds wait, bool* waiting_said) {
  const spool::ReplayLock lock;
  if (!lock.held()) return 0;
  std::int64_t written = 0;
  bool waits = false;
  for (const std::filesystem::path& file : spool::files()) {
    spool::RunOutcome run;
    try {
      run = spool::read(file);
    } catch (const std::runtime_error& error) {
      std::error_code ignored;
      std::filesystem::rename(file, file.string() + ".bad", ignored);
      journal::log_line(journal::Priority::err, fmt::format("rivi: {}; set aside as {}.bad", error.what(), file.string()));
      continue;
    }
    // A run started by hand has no fire; its file's name marks it, so it is written once too.
    if (run.fire.empty()) run.fire = "spool:" + file.stem().string();
    bool fresh = false;
    try {
      retry_while_locked(*db, replay_retry(wait), [&] { fresh = write(db, run); });
    } catch (const std::runtime_error& error) {
      if (!waiting_said || !*waiting_said) {
        journal::log_line(journal::Priority::warning, fmt::format("rivi: the spool waits ({} runs): {}", spool::files().size(), error.what()));
      }
      waits = true;
      break;
    }
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    if (fresh) ++written;
  }
  if (written > 0) {
    journal::log_line(journal::Priority::notice, fmt::format("rivi: {} run(s) kept in the spool are stored", written));
  }
  if (waiting_said) *waiting_said = waits;
  return written;
}

void purge_marks(Connection& db, std::int64_t before) {
  if (!db.has_table("rivi_fire")) return;
  db.run("DELETE FROM rivi_fire WHERE time < ?", Record::array({before}));
}

}  // namespace rivi::run_store
