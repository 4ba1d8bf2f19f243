#include "plugin/qn_rivi/monitor_alerts.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/web/html.h"
#include "plugin/qn_rivi/display_zone.h"
#include "plugin/qn_rivi/node_incidents.h"

#include <algorithm>

namespace rivi::monitor_alerts {
namespace {

using alert_text::md;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_monitor_alert ("
    "cause TEXT PRIMARY KEY, since INTEGER NOT NULL, reason TEXT NOT NULL DEFAULT '', "
    "tasks TEXT NOT NULL DEFAULT '[]', failing TEXT NOT NULL DEFAULT '[]', alerted INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS rivi_node_alert ("
    "incident INTEGER PRIMARY KEY, opened INTEGER NOT NULL DEFAULT 0, closed INTEGER NOT NULL DEFAULT 0);";

constexpr const char* kCentre = "centre";
constexpr const char* kCentreName = "调度中心";
constexpr std::int64_t kLateNodeNews = 3600;

std::vector<std::int64_t> id_list(const Record& text) {
  std::vector<std::int64_t> out;
  for (const Record& id : decode(text.get<std::string>())) out.push_back(to_int(id));
  return out;
}

Record id_record(const std::vector<std::int64_t>& ids) {
  Record list = Record::array();
  for (std::int64_t id : ids) list.push_back(id);
  return list;
}

std::vector<alert_text::TaskLine> task_lines(Connection& db, const std::vector<std::int64_t>& pids) {
  std::vector<alert_text::TaskLine> out;
  for (std::int64_t pid : pids) {
    const Record found = db.query("SELECT name, url FROM rivi_task WHERE id = ?", Record::array({pid}));
    if (found.empty()) out.push_back({pid, "任务 #" + std::to_string(pid) + "（已删除）", ""});
    else out.push_back({pid, text_of(found[0]["name"]), text_of(found[0]["url"])});
  }
  return out;
}

alert_text::Message centre_down(const std::vector<alert_text::TaskLine>& tasks, const std::string& reason, std::int64_t since) {
  alert_text::Message m;
  m.title = std::string("[监控异常] ") + kCentreName;
  const std::string count = std::to_string(tasks.size());
  const std::string since_text = display::time_text(since);
  m.html = "<h2>" + html_escape(m.title) + "</h2><p>" + html_escape(reason) + "</p><p>开始：" + since_text +
           "</p><p>受影响的任务（" + count + " 个），期间没有拨测结果：</p>" + alert_text::tasks_html(tasks);
  m.markdown = "### " + md(m.title) + "\n\n- " + md(reason) + "\n- 开始：" + since_text + "\n\n受影响的任务（" +
               count + " 个）：\n\n" + alert_text::tasks_markdown(tasks);
  return m;
}

alert_text::Message centre_back(const std::vector<alert_text::TaskLine>& tasks, std::int64_t since, std::int64_t now) {
  alert_text::Message m;
  m.title = std::string("[监控恢复] ") + kCentreName;
  const std::string lasted = alert_text::duration_words(now - since);
  const std::string count = std::to_string(tasks.size());
  const std::string now_text = display::time_text(now), since_text = display::time_text(since);
  m.html = "<h2>" + html_escape(m.title) + "</h2><p>拨测重新存储结果（" + now_text + "）</p><p>开始：" +
           since_text + "</p><p>持续：" + lasted + "</p><p>受影响的任务（" + count + " 个）：</p>" +
           alert_text::tasks_html(tasks);
  m.markdown = "### " + md(m.title) + "\n\n- 拨测重新存储结果（" + now_text + "）\n- 开始：" +
               since_text + "\n- 持续：" + lasted + "\n\n受影响的任务（" + count + " 个）：\n\n" +
               alert_text::tasks_markdown(tasks);
  return m;
}

std::string topic_of(std::int64_t since) { return std::string("monitor:") + kCentre + ":" + std::to_string(since); }

// The running tasks whose latest run found node `label` failing or silent.
std::vector<alert_text::TaskLine> tasks_seeing(Connection& db, const std::string& label) {
  if (!db.has_table("rivi_health")) return {};
  const Record rows = db.query(
      "SELECT t.id, t.name, t.url FROM rivi_task t JOIN rivi_health h ON h.pid = t.id WHERE t.status = 1 AND "
      "(EXISTS (SELECT 1 FROM json_each(CASE WHEN json_valid(h.unanswered_nodes) THEN h.unanswered_nodes ELSE '[]' END) "
      "WHERE value = ?1) OR EXISTS (SELECT 1 FROM json_each(CASE WHEN json_valid(h.suspect_nodes) THEN h.suspect_nodes "
      "ELSE '[]' END) WHERE value = ?1)) ORDER BY t.id",
      Record::array({label}));
  std::vector<alert_text::TaskLine> out;
  for (const Record& r : rows) out.push_back({to_int(r["id"]), text_of(r["name"]), text_of(r["url"])});
  return out;
}

outbox::Alert node_alert(Connection& db, const Record& incident, bool opened, std::int64_t now) {
  const std::string label = text_of(incident["node"]);
  const std::string isp = incident["isp"].is_string() ? incident["isp"].get<std::string>() : "";
  const std::int64_t start = incident["start_time"].is_number() ? to_int(incident["start_time"]) : now;
  outbox::Alert a;
  a.kind = opened ? "node" : "node_recovery";
  a.topic = "node:" + text_of(incident["id"]);
  a.digest = true;
  alert_text::Message& m = a.message;
  m.title = std::string(opened ? "[节点异常] " : "[节点恢复] ") + label;
  const std::string start_text = display::time_text(start);
  m.html = "<h2>" + html_escape(m.title) + "</h2><p>线路：" + html_escape(isp) + "</p><p>开始：" + start_text + "</p>";
  m.markdown = "### " + md(m.title) + "\n\n- 线路：" + md(isp) + "\n- 开始：" + start_text + "\n";
  if (opened) {
    const std::string reason = incident["reason"].is_string() ? incident["reason"].get<std::string>() : "";
    if (!reason.empty()) {
      m.html += "<p>" + html_escape(reason) + "</p>";
      m.markdown += "- " + md(reason) + "\n";
    }
    const auto tasks = tasks_seeing(db, label);
    if (!tasks.empty()) {
      m.html += "<p>受影响的任务（" + std::to_string(tasks.size()) + " 个）：</p>" + alert_text::tasks_html(tasks);
      m.markdown += "\n受影响的任务（" + std::to_string(tasks.size()) + " 个）：\n\n" + alert_text::tasks_markdown(tasks);
    }
  } else {
    const std::int64_t end = incident["end_time"].is_number() ? to_int(incident["end_time"]) : now;
    m.html += "<p>持续：" + alert_text::duration_words(end - start) + "</p>";
    m.markdown += "- 持续：" + alert_text::duration_words(end - start) + "\n";
  }
  return a;
}

}  // namespace

void create_tables(Connection& db) {
  db.exec_script(kSchema);
  node_incidents::create_tables(db);  // read here, in a database no run has written yet
}

std::vector<outbox::Alert> run_failed(Connection& db, std::int64_t pid, const std::string& reason, std::int64_t empty_runs,
                                      std::int64_t error_after, std::int64_t now) {
  create_tables(db);
  const Record found = db.query("SELECT * FROM rivi_monitor_alert WHERE cause = ?", Record::array({kCentre}));
  std::int64_t since = now;
  std::vector<std::int64_t> tasks, failing;
  bool alerted = false;
  if (!found.empty()) {
    since = to_int(found[0]["since"]);
    tasks = id_list(found[0]["tasks"]);
    failing = id_list(found[0]["failing"]);
    alerted = to_int(found[0]["alerted"]) != 0;
  }
  const bool joined = std::find(tasks.begin(), tasks.end(), pid) == tasks.end();
  if (joined) tasks.push_back(pid);
  if (std::find(failing.begin(), failing.end(), pid) == failing.end()) failing.push_back(pid);
  std::vector<outbox::Alert> out;
  const auto message = [&] { return centre_down(task_lines(db, tasks), reason, since); };
  if (!alerted && empty_runs >= error_after) {
    alerted = true;
    out.push_back({0, "monitoring", topic_of(since), message(), true});
  } else if (alerted && joined) {
    outbox::revise(db, topic_of(since), message());
  }
  db.run("INSERT OR REPLACE INTO rivi_monitor_alert (cause, since, reason, tasks, failing, alerted) VALUES (?, ?, ?, ?, ?, ?)",
         Record::array({kCentre, since, reason, encode(id_record(tasks)), encode(id_record(failing)), alerted ? 1 : 0}));
  return out;
}

std::vector<outbox::Alert> run_stored(Connection& db, std::int64_t pid, bool recovery, std::int64_t now) {
  create_tables(db);
  const Record found = db.query("SELECT * FROM rivi_monitor_alert WHERE cause = ?", Record::array({kCentre}));
  if (found.empty()) return {};
  const std::int64_t since = to_int(found[0]["since"]);
  const std::vector<std::int64_t> tasks = id_list(found[0]["tasks"]);
  std::vector<std::int64_t> failing;
  // A task still counts while it runs and has not stored a row since; paused and removed tasks
  // will not, so they no longer hold the cause open.
  for (std::int64_t id : id_list(found[0]["failing"])) {
    if (id == pid) continue;
    if (!db.query("SELECT 1 FROM rivi_task WHERE id = ? AND status = 1", Record::array({id})).empty()) failing.push_back(id);
  }
  if (!failing.empty()) {
    db.run("UPDATE rivi_monitor_alert SET failing = ? WHERE cause = ?", Record::array({encode(id_record(failing)), kCentre}));
    return {};
  }
  db.run("DELETE FROM rivi_monitor_alert WHERE cause = ?", Record::array({kCentre}));
  if (to_int(found[0]["alerted"]) == 0 || !recovery) return {};
  return {{0, "monitor_recovery", topic_of(since) + ":end", centre_back(task_lines(db, tasks), since, now), true}};
}

std::vector<outbox::Alert> node_changes(Connection& db, bool recovery, std::int64_t now) {
  create_tables(db);
  std::vector<outbox::Alert> out;
  const Record fresh = db.query(
      "SELECT * FROM rivi_node_incident i WHERE NOT EXISTS (SELECT 1 FROM rivi_node_alert a WHERE a.incident = i.id) "
      "AND (i.end_time IS NULL OR i.end_time >= ?) ORDER BY i.id",
      Record::array({now - kLateNodeNews}));
  for (const Record& incident : fresh) {
    const bool ended = !incident["end_time"].is_null();
    out.push_back(node_alert(db, incident, true, now));
    if (ended && recovery) out.push_back(node_alert(db, incident, false, now));
    db.run("INSERT INTO rivi_node_alert (incident, opened, closed) VALUES (?, 1, ?)", Record::array({incident["id"], ended ? 1 : 0}));
  }
  const Record ended = db.query(
      "SELECT i.* FROM rivi_node_incident i JOIN rivi_node_alert a ON a.incident = i.id "
      "WHERE a.closed = 0 AND i.end_time IS NOT NULL ORDER BY i.id");
  for (const Record& incident : ended) {
    if (recovery) out.push_back(node_alert(db, incident, false, now));
    db.run("UPDATE rivi_node_alert SET closed = 1 WHERE incident = ?", Record::array({incident["id"]}));
  }
  return out;
}

}  // namespace rivi::monitor_alerts
