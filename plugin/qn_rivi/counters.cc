// The running totals of `rivi_counter`: making and seeding the table, bumping and reading series.
#include "plugin/qn_rivi/counters.h"

#include "host/public.h"
#include "host/record.h"
#include "host/store/store.h"

#include <sqlite3.h>

#include <stdexcept>

namespace rivi::counters {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_counter (name TEXT NOT NULL, labels TEXT NOT NULL, value INTEGER NOT NULL, "
    "PRIMARY KEY (name, labels)) WITHOUT ROWID";

// The runs still counted in the kept hours, by task and outcome, as the exposition counted them
// before the totals were kept.
void seed_runs(Connection& db) {
  if (!db.has_table("rivi_hourly")) return;
  const std::string tasks = db.has_table("rivi_task") ? " WHERE pid IN (SELECT id FROM rivi_task)" : "";
  for (const auto& [outcome, sum] : {std::pair{"good", "good"}, std::pair{"bad", "runs - good - errors - maintenance"},
                                     std::pair{"error", "errors"}, std::pair{"maintenance", "maintenance"}}) {
    db.run(std::string("INSERT INTO rivi_counter (name, labels, value) SELECT ?, json_object('task_id', CAST(pid AS TEXT), "
                       "'outcome', ?), SUM(") +
               sum + ") FROM rivi_hourly" + tasks + " GROUP BY pid",
           Record::array({kTaskRuns, outcome}));
  }
}

// The attempts still kept, by channel and outcome.
void seed_deliveries(Connection& db) {
  if (!db.has_table("rivi_delivery")) return;
  try {
    db.run("INSERT INTO rivi_counter (name, labels, value) SELECT ?, json_object('channel', CAST(channel AS TEXT), "
           "'outcome', CASE WHEN success THEN 'success' ELSE 'failure' END) AS l, COUNT(*) FROM rivi_delivery GROUP BY l",
           Record::array({kAlertDeliveries}));
  } catch (const std::runtime_error&) {
    // A table of another layout holds no attempts to go on from; nothing was inserted.
  }
}

}  // namespace

std::string run_outcome(const std::string& health) {
  if (health == "up" || health == "degraded") return "good";
  if (health == "error" || health == "maintenance") return health;
  return "bad";
}

void within_transaction(Connection& db, const std::function<void()>& body) {
  if (sqlite3_get_autocommit(db.handle()) == 0) return body();
  db.exec_script("BEGIN IMMEDIATE");
  try {
    body();
    db.exec_script("COMMIT");
  } catch (...) {
    sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void create_tables(Connection& db) {
  if (db.has_table(kTable)) return;
  within_transaction(db, [&] {
    // Checked again under the write lock: another process may have made it meanwhile.
    if (db.has_table(kTable)) return;
    db.exec_script(kSchema);
    seed_runs(db);
    seed_deliveries(db);
  });
}

void add(Connection& db, const std::string& name, const Labels& labels, std::int64_t by) {
  create_tables(db);
  std::string object = "json_object(";
  Record params = Record::array({name});
  for (std::size_t i = 0; i < labels.size(); ++i) {
    object += i == 0 ? "?, ?" : ", ?, ?";
    params.push_back(labels[i].first);
    params.push_back(labels[i].second);
  }
  params.push_back(by);
  db.run("INSERT INTO rivi_counter (name, labels, value) VALUES (?, " + object +
             "), ?) ON CONFLICT (name, labels) DO UPDATE SET value = value + excluded.value",
         params);
}

std::vector<Series> read(Connection& db, const std::string& name) {
  std::vector<Series> out;
  if (!db.has_table(kTable)) return out;
  for (const Record& r : db.query("SELECT labels, value FROM rivi_counter WHERE name = ? ORDER BY labels",
                                  Record::array({name}))) {
    Series series;
    const Record labels = decode(r["labels"].get<std::string>());
    for (const auto& [key, value] : labels.items()) series.labels.emplace_back(key, text_of(value));
    series.value = to_int(r["value"]);
    out.push_back(std::move(series));
  }
  return out;
}

void forget_task(std::int64_t pid) {
  Query table = public_::M(kTable);
  if (!table.connection().has_table(kTable)) return;
  table.execute("DELETE FROM rivi_counter WHERE name = ? AND json_extract(labels, '$.task_id') = ?",
                             Record::array({kTaskRuns, std::to_string(pid)}));
}

}  // namespace rivi::counters
