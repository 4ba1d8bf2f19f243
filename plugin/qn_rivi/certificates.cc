#include "plugin/qn_rivi/certificates.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/paging.h"

#include <map>
#include <set>

namespace rivi::certificates {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_cert (pid INTEGER NOT NULL, isp TEXT NOT NULL, fingerprint TEXT NOT NULL, "
    "not_after INTEGER NOT NULL, subject TEXT NOT NULL DEFAULT '', issuer TEXT NOT NULL DEFAULT '', "
    "names TEXT NOT NULL DEFAULT '[]', verify_error TEXT NOT NULL DEFAULT '', first_seen INTEGER NOT NULL, "
    "last_seen INTEGER NOT NULL, PRIMARY KEY (pid, isp));"
    "CREATE INDEX IF NOT EXISTS rivi_cert_last_seen ON rivi_cert (last_seen);";

constexpr std::size_t kTextBytes = 1024;
constexpr std::size_t kNames = 100;
constexpr std::size_t kNameBytes = 256;

// A node's text, cut short on a character boundary; "" for anything else.
std::string bounded(const Record& value, std::size_t most) {
  if (!value.is_string()) return "";
  const std::string& text = value.get_ref<const std::string&>();
  return text.substr(0, utf8_prefix(text, most));
}

Record names_of(const Record& value) {
  Record out = Record::array();
  if (!value.is_array()) return out;
  for (const Record& name : value) {
    if (out.size() == kNames) break;
    if (name.is_string()) out.push_back(bounded(name, kNameBytes));
  }
  return out;
}

Record stored_names(const Record& text) {
  if (!text.is_string()) return Record::array();
  try {
    Record v = decode(text.get<std::string>());
    return v.is_array() ? v : Record::array();
  } catch (const std::invalid_argument&) {
    return Record::array();
  }
}

Line line_of(const Record& r) {
  Line l;
  l.isp = text_of(r["isp"]);
  l.not_after = to_int(r["not_after"]);
  l.fingerprint = text_of(r["fingerprint"]);
  l.subject = text_of(r["subject"]);
  l.issuer = text_of(r["issuer"]);
  l.verify_error = text_of(r["verify_error"]);
  l.names = stored_names(r["names"]);
  l.last_seen = to_int(r["last_seen"]);
  return l;
}

Record line_record(const Line& l, std::int64_t now) {
  return Record{{"isp", l.isp},
                {"not_after", l.not_after},
                {"days_left", days_left(l.not_after, now)},
                {"fingerprint_sha256", l.fingerprint},
                {"verify_error", l.verify_error},
                {"subject", l.subject},
                {"issuer", l.issuer},
                {"names", l.names},
                {"last_seen", l.last_seen}};
}

constexpr const char* kHttps = "lower(substr(t.url, 1, 8)) = 'https://'";

}  // namespace

std::int64_t days_left(std::int64_t not_after, std::int64_t now) {
  const std::int64_t diff = not_after - now;
  return diff >= 0 ? diff / 86400 : -((-diff + 86399) / 86400);
}

void create_tables(Connection& db) { db.exec_script(kSchema); }

void record(Connection& db, std::int64_t pid, std::int64_t time, const Record& data) {
  if (!data.is_array()) return;
  std::set<std::string> seen;
  for (const Record& node : data) {
    if (!node.is_object() || !node.contains("cert") || !node["cert"].is_object()) continue;
    if (!node.contains("isp") || !node["isp"].is_string() || node["isp"] == kNoAnswer) continue;
    const Record& isp = node["isp"];
    const Record& cert = node["cert"];
    const std::string fingerprint = bounded(cert.value("fingerprint_sha256", Record()), 128);
    const Record& not_after = cert.contains("not_after") ? cert["not_after"] : Record();
    if (fingerprint.empty() || !is_number(not_after)) continue;
    const std::string line = bounded(isp, kNameBytes);
    if (!seen.insert(line).second) continue;
    if (seen.size() == 1) create_tables(db);
    // first_seen is when this line began to be served this certificate.
    db.run("INSERT INTO rivi_cert (pid, isp, fingerprint, not_after, subject, issuer, names, verify_error, first_seen, "
           "last_seen) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?9) ON CONFLICT (pid, isp) DO UPDATE SET "
           "first_seen = CASE WHEN fingerprint = excluded.fingerprint THEN first_seen ELSE excluded.first_seen END, "
           "fingerprint = excluded.fingerprint, not_after = excluded.not_after, subject = excluded.subject, "
           "issuer = excluded.issuer, names = excluded.names, verify_error = excluded.verify_error, "
           "last_seen = excluded.last_seen",
           Record::array({pid, line, fingerprint, static_cast<std::int64_t>(as_double(not_after)),
                          bounded(cert.value("subject", Record()), kTextBytes),
                          bounded(cert.value("issuer", Record()), kTextBytes), encode(names_of(cert.value("names", Record()))),
                          bounded(cert.value("verify_error", Record()), kTextBytes), time}));
  }
}

std::vector<Line> latest_run(Connection& db, std::int64_t pid) {
  create_tables(db);
  std::vector<Line> out;
  for (const Record& r : db.query("SELECT * FROM rivi_cert WHERE pid = ?1 AND last_seen = "
                                  "(SELECT MAX(last_seen) FROM rivi_cert WHERE pid = ?1) ORDER BY isp",
                                  Record::array({pid})))
    out.push_back(line_of(r));
  return out;
}

Record page(Connection& db, std::int64_t p, std::int64_t now, std::int64_t since) {
  create_tables(db);
  const std::int64_t total =
      to_int(db.query(std::string("SELECT COUNT(*) AS n FROM rivi_task t WHERE ") + kHttps)[0]["n"]);
  Record answer = Record::object();
  answer["data"] = Record::array();
  answer["page"] = public_::get_page(total, p, kRowsPerPage);
  const Record tasks = db.query(
      std::string("SELECT t.id, t.name, t.url, (SELECT MIN(not_after) FROM rivi_cert c WHERE c.pid = t.id AND "
                  "c.last_seen >= ?) AS soonest FROM rivi_task t WHERE ") +
          kHttps + " ORDER BY soonest IS NULL, soonest, t.id LIMIT " + paging::limit_text(answer["page"]),
      Record::array({since}));
  Record ids = Record::array();
  for (const Record& t : tasks) ids.push_back(t["id"]);
  std::map<std::int64_t, std::vector<Line>> lines;
  for (const Record& r : db.query("SELECT * FROM rivi_cert WHERE pid IN (SELECT value FROM json_each(?)) AND last_seen >= ? "
                                  "ORDER BY pid, isp",
                                  Record::array({encode(ids), since})))
    lines[to_int(r["pid"])].push_back(line_of(r));
  for (const Record& t : tasks) {
    const std::int64_t pid = to_int(t["id"]);
    Record row = Record::object();
    row["pid"] = pid;
    row["name"] = t["name"];
    row["url"] = t["url"];
    row["not_after"] = nullptr;
    row["days_left"] = nullptr;
    row["issuer"] = "";
    row["names"] = Record::array();
    row["lines"] = Record::array();
    const Line* soonest = nullptr;
    for (const Line& l : lines[pid]) {
      if (soonest == nullptr || l.not_after < soonest->not_after) soonest = &l;
      row["lines"].push_back(line_record(l, now));
    }
    if (soonest != nullptr) {
      row["not_after"] = soonest->not_after;
      row["days_left"] = days_left(soonest->not_after, now);
      row["issuer"] = soonest->issuer;
      row["names"] = soonest->names;
    }
    answer["data"].push_back(std::move(row));
  }
  return answer;
}

Record expiries(Connection& db, std::int64_t since) {
  if (!db.has_table("rivi_cert")) return Record::array();
  return db.query("SELECT c.pid, c.isp, c.not_after FROM rivi_cert c JOIN rivi_task t ON t.id = c.pid "
                  "WHERE c.last_seen >= ? ORDER BY c.pid, c.isp",
                  Record::array({since}));
}

}  // namespace rivi::certificates
