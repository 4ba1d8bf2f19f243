#include "plugin/qn_rivi/resolution.h"

#include "host/store/store.h"
#include "plugin/qn_rivi/checks.h"

#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <string>

namespace rivi::resolution {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_resolve (pid INTEGER NOT NULL, isp TEXT NOT NULL, address TEXT NOT NULL, "
    "first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, PRIMARY KEY (pid, isp, address));"
    "CREATE INDEX IF NOT EXISTS rivi_resolve_last_seen ON rivi_resolve (last_seen);";

constexpr const char* kNoAnswer = "节点未响应";
constexpr std::size_t kAddresses = 64;  // of one node result
constexpr std::size_t kIspBytes = 256;

bool is_address(const std::string& text) {
  unsigned char bytes[16];
  return inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

// Whether `address` lies in one of `ranges`.
bool inside(const std::string& address, const std::vector<checks::AddressRange>& ranges) {
  return std::any_of(ranges.begin(), ranges.end(), [&](const checks::AddressRange& r) { return r.contains(address); });
}

std::vector<std::string> addresses_of(const Record& node) {
  std::vector<std::string> out;
  const auto take = [&](const Record& v) {
    if (out.size() < kAddresses && v.is_string() && is_address(v.get<std::string>())) out.push_back(v.get<std::string>());
  };
  if (node.contains("addresses") && node["addresses"].is_array()) {
    for (const Record& a : node["addresses"]) take(a);
  } else if (node.contains("primary_ip")) {
    take(node["primary_ip"]);
  }
  return out;
}

// Rows of `pids` seen since `since`, with whether each is in its line's latest answer.
Record rows_of(Connection& db, const Record& pids, std::int64_t since) {
  return db.query(
      "SELECT r.pid, r.isp, r.address, r.first_seen, r.last_seen, "
      "r.last_seen = (SELECT MAX(last_seen) FROM rivi_resolve x WHERE x.pid = r.pid AND x.isp = r.isp) AS latest "
      "FROM rivi_resolve r WHERE r.pid IN (SELECT value FROM json_each(?)) AND r.last_seen >= ? "
      "ORDER BY r.pid, r.isp, r.last_seen DESC, r.address",
      Record::array({encode(pids), since}));
}

}  // namespace

void create_tables(Connection& db) { db.exec_script(kSchema); }

void record(Connection& db, std::int64_t pid, std::int64_t time, const Record& data) {
  if (!data.is_array()) return;
  bool made = false;
  for (const Record& node : data) {
    if (!node.is_object() || !node.contains("isp") || !node["isp"].is_string() || node["isp"] == kNoAnswer) continue;
    const std::string isp = node["isp"].get<std::string>().substr(0, kIspBytes);
    for (const std::string& address : addresses_of(node)) {
      if (!made) create_tables(db);
      made = true;
      db.run("INSERT INTO rivi_resolve (pid, isp, address, first_seen, last_seen) VALUES (?1, ?2, ?3, ?4, ?4) "
             "ON CONFLICT (pid, isp, address) DO UPDATE SET first_seen = MIN(first_seen, excluded.first_seen), "
             "last_seen = MAX(last_seen, excluded.last_seen)",
             Record::array({pid, isp, address, time}));
    }
  }
}

Record history(Connection& db, std::int64_t pid, std::int64_t since) {
  Record out = Record::array();
  if (!db.has_table("rivi_resolve")) return out;
  const std::vector<checks::AddressRange> ranges = checks::load(db, pid).dns_expect;
  std::map<std::string, std::size_t> at;
  for (const Record& r : rows_of(db, Record::array({pid}), since)) {
    const std::string isp = text_of(r["isp"]);
    if (!at.contains(isp)) {
      at[isp] = out.size();
      out.push_back(Record{{"isp", isp}, {"last_seen", r["last_seen"]}, {"mismatch", false}, {"addresses", Record::array()}});
    }
    Record& line = out[at[isp]];
    const bool latest = truthy(r["latest"]);
    Record expected = nullptr;
    if (!ranges.empty()) {
      expected = inside(text_of(r["address"]), ranges);
      if (latest && !expected.get<bool>()) line["mismatch"] = true;
    }
    line["addresses"].push_back(Record{{"address", r["address"]}, {"first_seen", r["first_seen"]},
                                       {"last_seen", r["last_seen"]}, {"latest", latest}, {"expected", expected}});
  }
  return out;
}

std::set<std::int64_t> mismatched(Connection& db, const std::vector<std::int64_t>& pids, std::int64_t since) {
  std::set<std::int64_t> out;
  if (!db.has_table("rivi_resolve")) return out;
  std::map<std::int64_t, std::vector<checks::AddressRange>> ranges;
  Record ids = Record::array();
  for (std::int64_t pid : checks::with_rules(db, pids)) {
    ranges[pid] = checks::load(db, pid).dns_expect;
    if (!ranges[pid].empty()) ids.push_back(pid);
  }
  if (ids.empty()) return out;
  for (const Record& r : rows_of(db, ids, since)) {
    const std::int64_t pid = to_int(r["pid"]);
    if (truthy(r["latest"]) && !inside(text_of(r["address"]), ranges[pid])) out.insert(pid);
  }
  return out;
}

}  // namespace rivi::resolution
