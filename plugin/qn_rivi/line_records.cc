#include "plugin/qn_rivi/line_records.h"

#include "host/store/store.h"
#include "plugin/qn_rivi/certificates.h"
#include "plugin/qn_rivi/resolution.h"

#include <stdexcept>
#include <string>

namespace rivi::line_records {
namespace {

// Deletes the rows of `table` matching `old` (bound to the cut-off), a batch a statement.
std::int64_t drain(Connection& db, const char* table, const char* old, std::int64_t cutoff, std::int64_t batch) {
  if (!db.has_table(table)) return 0;
  const std::string sql =
      std::string("DELETE FROM ") + table + " WHERE rowid IN (SELECT rowid FROM " + table + " WHERE " + old + " LIMIT ?)";
  std::int64_t deleted = 0;
  for (;;) {
    const std::int64_t n = db.run(sql, Record::array({cutoff, batch}));
    deleted += n;
    if (n < batch) return deleted;
  }
}

}  // namespace

void record(Connection& db, std::int64_t pid, std::int64_t time, const Record& row) {
  if (!row.contains("data") || !row["data"].is_string()) return;
  Record data;
  try {
    data = decode(row["data"].get<std::string>());
  } catch (const std::invalid_argument&) {
    return;
  }
  certificates::record(db, pid, time, data);
  resolution::record(db, pid, time, data);
}

void forget_task(Connection& db, std::int64_t pid) {
  for (const char* table : {"rivi_cert", "rivi_resolve", "rivi_cert_alert"})
    if (db.has_table(table)) db.run(std::string("DELETE FROM ") + table + " WHERE pid = ?", Record::array({pid}));
}

std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch) {
  if (batch < 1) throw std::invalid_argument("a purge batch holds at least one row");
  return drain(db, "rivi_cert", "last_seen < ?", cutoff, batch) + drain(db, "rivi_resolve", "last_seen < ?", cutoff, batch) +
         drain(db, "rivi_cert_alert", "renewed = 1 AND not_after < ?", cutoff, batch);
}

}  // namespace rivi::line_records
