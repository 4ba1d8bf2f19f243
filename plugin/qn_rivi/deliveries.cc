#include "plugin/qn_rivi/deliveries.h"

#include "host/paths.h"
#include "host/store/store.h"
#include "host/store/store_retry.h"
#include "plugin/qn_rivi/counters.h"

namespace rivi::deliveries {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_delivery ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, pid INTEGER NOT NULL, channel TEXT NOT NULL, "
    "recipient TEXT NOT NULL, kind TEXT NOT NULL, success INTEGER NOT NULL, answer TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS rivi_delivery_pid ON rivi_delivery (pid, id);"
    "CREATE INDEX IF NOT EXISTS rivi_delivery_time ON rivi_delivery (time);";

}  // namespace

void create_tables(Connection& db) { db.exec_script(kSchema); }

void record(Connection& db, const Attempt& a, std::int64_t time) {
  create_tables(db);
  // The attempt and its count together, so that the total never misses or doubles one.
  counters::within_transaction(db, [&] {
    counters::add(db, counters::kAlertDeliveries, {{"channel", a.channel}, {"outcome", a.success ? "success" : "failure"}});
    db.run("INSERT INTO rivi_delivery (time, pid, channel, recipient, kind, success, answer) VALUES (?, ?, ?, ?, ?, ?, ?)",
           Record::array({time, a.pid, a.channel, a.recipient, a.kind, a.success ? 1 : 0, a.answer}));
  });
}

void record(const Attempt& a, std::int64_t time) {
  // The thread's shared connection: a run opens the database once.
  const auto shared = Connection::for_thread(database_path());
  retry_while_locked(*shared, StoreRetry{}, [&] { record(*shared, a, time); });
}

Record latest(std::optional<std::int64_t> pid) {
  // The thread's shared connection: a run opens the database once.
  const auto shared = Connection::for_thread(database_path());
  Connection& db = *shared;
  create_tables(db);
  Record rows = pid ? db.query("SELECT * FROM rivi_delivery WHERE pid = ? ORDER BY id DESC LIMIT ?", Record::array({*pid, kLatest}))
                    : db.query("SELECT * FROM rivi_delivery ORDER BY id DESC LIMIT ?", Record::array({kLatest}));
  for (Record& row : rows) row["success"] = to_int(row["success"]) != 0;
  return rows;
}

std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch) {
  if (!db.has_table("rivi_delivery")) return 0;
  std::int64_t total = 0;
  for (;;) {
    const std::int64_t n = db.run("DELETE FROM rivi_delivery WHERE id IN (SELECT id FROM rivi_delivery WHERE time < ? LIMIT ?)",
                                  Record::array({cutoff, batch}));
    total += n;
    if (n < batch) return total;
  }
}

}  // namespace rivi::deliveries
