#include "plugin/qn_rivi/cert_alerts.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/web/html.h"
#include "plugin/qn_rivi/certificates.h"
#include "plugin/qn_rivi/checks.h"
#include "plugin/qn_rivi/display_zone.h"

#include <algorithm>
#include <map>

namespace rivi::cert_alerts {
namespace {

using alert_text::md;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_cert_alert (pid INTEGER NOT NULL, fingerprint TEXT NOT NULL, "
    "level INTEGER NOT NULL, not_after INTEGER NOT NULL, renewed INTEGER NOT NULL DEFAULT 0, "
    "PRIMARY KEY (pid, fingerprint));";

// The thresholds in force, highest first.
std::vector<std::int64_t> thresholds(std::int64_t warn_days) {
  std::vector<std::int64_t> out;
  for (std::int64_t t : {warn_days, std::int64_t{7}, std::int64_t{1}})
    if (t > 0 && t <= warn_days && std::find(out.begin(), out.end(), t) == out.end()) out.push_back(t);
  std::sort(out.rbegin(), out.rend());
  return out;
}

// The lines serving one certificate, as "电信、联通".
std::string isps_of(const std::vector<const certificates::Line*>& lines) {
  std::string out;
  for (const auto* l : lines) out += (out.empty() ? "" : "、") + l->isp;
  return out;
}

std::string names_text(const Record& names) {
  std::string out;
  for (const Record& n : names) out += (out.empty() ? "" : ", ") + text_of(n);
  return out;
}

alert_text::Message expiring(const std::string& name, const std::string& url, const certificates::Line& cert,
                             const std::string& isps, std::int64_t now) {
  const std::int64_t left = certificates::days_left(cert.not_after, now);
  const std::string when = left < 0 ? "已过期" : "剩余 " + std::to_string(left) + " 天";
  const std::vector<std::pair<std::string, std::string>> facts{
      {"到期时间", display::time_text(cert.not_after)}, {"颁发者", cert.issuer}, {"域名", names_text(cert.names)},
      {"线路", isps}, {"指纹（SHA-256）", cert.fingerprint}};
  alert_text::Message m;
  m.title = "[证书将过期] " + name;
  m.html = "<h2>" + html_escape(m.title) + "</h2><p>" + html_escape(url) + "</p><p>证书" + when + "</p>";
  m.markdown = "### " + md(m.title) + "\n\n- " + md(url) + "\n- 证书" + when + "\n";
  for (const auto& [label, value] : facts) {
    m.html += "<p>" + label + "：" + html_escape(value) + "</p>";
    m.markdown += "- " + label + "：" + md(value) + "\n";
  }
  return m;
}

alert_text::Message renewed(const std::string& name, const std::string& url, const certificates::Line& cert,
                            std::int64_t now) {
  alert_text::Message m;
  m.title = "[证书已续期] " + name;
  const std::string left = std::to_string(certificates::days_left(cert.not_after, now));
  const std::string expiry = display::time_text(cert.not_after);
  m.html = "<h2>" + html_escape(m.title) + "</h2><p>" + html_escape(url) + "</p><p>新证书到期时间：" +
           expiry + "（剩余 " + left + " 天）</p><p>颁发者：" + html_escape(cert.issuer) + "</p>";
  m.markdown = "### " + md(m.title) + "\n\n- " + md(url) + "\n- 新证书到期时间：" + expiry +
               "（剩余 " + left + " 天）\n- 颁发者：" + md(cert.issuer) + "\n";
  return m;
}

}  // namespace

void create_tables(Connection& db) { db.exec_script(kSchema); }

std::vector<outbox::Alert> after_run(Connection& db, std::int64_t pid, const std::string& name, const std::string& url,
                                     bool recovery, std::int64_t now) {
  const std::vector<certificates::Line> lines = certificates::latest_run(db, pid);
  if (lines.empty()) return {};
  create_tables(db);
  std::map<std::string, std::vector<const certificates::Line*>> by_print;
  std::int64_t latest_expiry = 0;
  for (const certificates::Line& l : lines) {
    by_print[l.fingerprint].push_back(&l);
    latest_expiry = std::max(latest_expiry, l.not_after);
  }
  std::vector<outbox::Alert> out;
  const std::vector<std::int64_t> levels = thresholds(checks::load(db, pid).cert_warn_days);
  for (const auto& [print, serving] : by_print) {
    const certificates::Line& cert = *serving.front();
    const std::int64_t left = certificates::days_left(cert.not_after, now);
    std::optional<std::int64_t> crossed;
    for (std::int64_t t : levels)
      if (left <= t) crossed = t;  // the lowest threshold reached
    if (!crossed) continue;
    const Record before = db.query("SELECT level FROM rivi_cert_alert WHERE pid = ? AND fingerprint = ?",
                                   Record::array({pid, print}));
    if (!before.empty() && to_int(before[0]["level"]) <= *crossed) continue;
    db.run("INSERT INTO rivi_cert_alert (pid, fingerprint, level, not_after) VALUES (?1, ?2, ?3, ?4) "
           "ON CONFLICT (pid, fingerprint) DO UPDATE SET level = excluded.level, not_after = excluded.not_after",
           Record::array({pid, print, *crossed, cert.not_after}));
    out.push_back({pid, "cert", "cert:" + std::to_string(pid) + ":" + print, expiring(name, url, cert, isps_of(serving), now), true});
  }
  // Certificates warned of that no line is served any more, replaced by one that lasts longer.
  for (const Record& r : db.query("SELECT fingerprint, not_after FROM rivi_cert_alert WHERE pid = ? AND renewed = 0",
                                  Record::array({pid}))) {
    const std::string print = text_of(r["fingerprint"]);
    if (by_print.contains(print) || latest_expiry <= to_int(r["not_after"])) continue;
    db.run("UPDATE rivi_cert_alert SET renewed = 1 WHERE pid = ? AND fingerprint = ?", Record::array({pid, print}));
    if (!recovery) continue;
    const auto newest = std::max_element(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.not_after < b.not_after; });
    out.push_back({pid, "cert_recovery", "cert:" + std::to_string(pid) + ":" + print + ":renewed",
                   renewed(name, url, *newest, now), true});
  }
  return out;
}

}  // namespace rivi::cert_alerts
