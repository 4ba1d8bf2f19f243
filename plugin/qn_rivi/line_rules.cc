#include "plugin/qn_rivi/line_rules.h"

#include "host/record.h"
#include "host/store/store.h"

namespace rivi::line_rules {
namespace {

bool has_column(Connection& db, const char* column) {
  if (db.query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'rivi_check'").empty()) return false;
  return !db.query("SELECT 1 FROM pragma_table_info('rivi_check') WHERE name = ?", Record::array({column})).empty();
}

}  // namespace

std::int64_t cert_warn_days(Connection& db, std::int64_t pid) {
  if (!has_column(db, "cert_warn_days")) return kCertWarnDays;
  const Record rows = db.query("SELECT cert_warn_days AS d FROM rivi_check WHERE pid = ?", Record::array({pid}));
  if (rows.empty() || rows[0]["d"].is_null()) return kCertWarnDays;
  try {
    return std::max<std::int64_t>(0, to_int(rows[0]["d"]));
  } catch (const std::exception&) {
    return kCertWarnDays;
  }
}

std::map<std::int64_t, std::string> dns_expect(Connection& db, const std::vector<std::int64_t>& pids) {
  std::map<std::int64_t, std::string> out;
  if (pids.empty() || !has_column(db, "dns_expect")) return out;
  Record ids = Record::array();
  for (std::int64_t pid : pids) ids.push_back(pid);
  for (const Record& r : db.query("SELECT pid, dns_expect FROM rivi_check WHERE pid IN (SELECT value FROM json_each(?))",
                                  Record::array({encode(ids)}))) {
    if (r["dns_expect"].is_string() && !r["dns_expect"].get_ref<const std::string&>().empty())
      out[to_int(r["pid"])] = r["dns_expect"].get<std::string>();
  }
  return out;
}

}  // namespace rivi::line_rules
