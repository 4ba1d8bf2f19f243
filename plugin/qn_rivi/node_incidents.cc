// Node incidents: following each probe node's answers across the runs of every task.
#include "plugin/qn_rivi/node_incidents.h"

#include "host/store/store.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <stdexcept>

namespace rivi::node_incidents {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_node_incident ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, node TEXT NOT NULL, isp TEXT NOT NULL DEFAULT '', "
    "start_time INTEGER NOT NULL, end_time INTEGER, reason TEXT NOT NULL DEFAULT '', last_seen INTEGER);"
    "CREATE INDEX IF NOT EXISTS rivi_node_incident_end ON rivi_node_incident (end_time);"
    "CREATE TABLE IF NOT EXISTS rivi_node_state ("
    "node TEXT PRIMARY KEY, isp TEXT NOT NULL DEFAULT '', misses INTEGER NOT NULL DEFAULT 0, first_miss INTEGER, "
    "last_seen INTEGER, incident INTEGER) WITHOUT ROWID;";

constexpr const char* kUnlisted = "；节点已不在调度中心的节点列表中";

Record state_of(Connection& db, const std::string& key) {
  Record found = db.query("SELECT * FROM rivi_node_state WHERE node = ?", Record::array({key}));
  return found.empty() ? Record::object() : std::move(found[0]);
}

Record value_or(const Record& row, const char* key, Record fallback) {
  return row.contains(key) && !row[key].is_null() ? row[key] : fallback;
}

void write_state(Connection& db, const std::string& key, const Record& isp, std::int64_t misses, const Record& first_miss,
                 const Record& last_seen, const Record& incident) {
  db.run("INSERT OR REPLACE INTO rivi_node_state (node, isp, misses, first_miss, last_seen, incident) VALUES (?, ?, ?, ?, ?, ?)",
         Record::array({key, isp, misses, first_miss, last_seen, incident}));
}

// Ends open incident `id` at `time`, never before it began; `why` is added to the reason.
void close(Connection& db, const Record& id, std::int64_t time, const std::string& why) {
  const Record found = db.query("SELECT start_time, reason FROM rivi_node_incident WHERE id = ? AND end_time IS NULL",
                                Record::array({id}));
  if (found.empty()) return;
  const std::int64_t start = to_int(found[0]["start_time"]);
  std::string reason = text_of(found[0]["reason"]);
  if (time < start) reason += health::kClockBackNote;
  reason += why;
  db.run("UPDATE rivi_node_incident SET end_time = ?, reason = ? WHERE id = ?",
         Record::array({health::not_before(start, time), reason, id}));
}

void answered(Connection& db, const health::Node& n, std::int64_t time) {
  const Record state = state_of(db, n.key);
  const Record open = value_or(state, "incident", nullptr);
  if (!open.is_null()) close(db, open, time, "");
  write_state(db, n.key, n.isp, 0, nullptr, time, nullptr);
}

void missed(Connection& db, const health::Node& n, std::int64_t time) {
  const Record state = state_of(db, n.key);
  const Record isp = value_or(state, "isp", n.isp);
  const std::int64_t misses = to_int(value_or(state, "misses", 0)) + 1;
  const Record first_miss = value_or(state, "first_miss", time);
  const Record last_seen = value_or(state, "last_seen", nullptr);
  Record incident = value_or(state, "incident", nullptr);
  if (misses >= kMissedRuns && incident.is_null()) {
    db.run("INSERT INTO rivi_node_incident (node, isp, start_time, end_time, reason, last_seen) VALUES (?, ?, ?, NULL, ?, ?)",
           Record::array({n.key, isp, first_miss, fmt::format("连续{}次拨测未响应（其他节点正常应答）", misses), last_seen}));
    incident = static_cast<std::int64_t>(sqlite3_last_insert_rowid(db.handle()));
  }
  write_state(db, n.key, isp, misses, first_miss, last_seen, incident);
}

// After a run that every node answered: nodes it does not list are gone from the centre.
void forget_unlisted(Connection& db, const std::set<std::string>& listed, std::int64_t time) {
  for (const Record& r : db.query("SELECT node, incident FROM rivi_node_state")) {
    const std::string key = text_of(r["node"]);
    if (listed.count(key)) continue;
    if (!r["incident"].is_null()) close(db, r["incident"], time, kUnlisted);
    db.run("DELETE FROM rivi_node_state WHERE node = ?", Record::array({key}));
  }
}

}  // namespace

void record_run(Connection& db, std::int64_t time, const std::vector<health::Node>& nodes) {
  if (std::none_of(nodes.begin(), nodes.end(), [](const health::Node& n) { return n.answered; })) return;
  std::set<std::string> listed;
  bool everyone = true;
  for (const health::Node& n : nodes) {
    listed.insert(n.key);
    if (n.answered) {
      answered(db, n, time);
    } else {
      everyone = false;
      missed(db, n, time);
    }
  }
  if (everyone) forget_unlisted(db, listed, time);
}

std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch) {
  if (batch < 1) throw std::invalid_argument("a purge batch holds at least one row");
  std::int64_t deleted = 0;
  for (;;) {
    const std::int64_t n = db.run(
        "DELETE FROM rivi_node_incident WHERE id IN (SELECT id FROM rivi_node_incident WHERE end_time < ? LIMIT ?)",
        Record::array({cutoff, batch}));
    deleted += n;
    if (n < batch) return deleted;
  }
}

const std::vector<std::string>& schema_names() {
  static const std::vector<std::string> names = {"rivi_node_incident", "rivi_node_incident_end", "rivi_node_state"};
  return names;
}

void create_tables(Connection& db) { db.exec_script(kSchema); }

}  // namespace rivi::node_incidents
