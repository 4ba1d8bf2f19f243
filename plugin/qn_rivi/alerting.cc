// Alerting: return_mail_list, get_user_mail, get_dingding, get_settings, send_mail, the alert
// policy after each run, the deliveries, the undelivered alerts and the channel test.
//
// The channel settings are the host's files; every reader goes back to the file, nothing is
// cached. The anomaly report is built completely (and the settings read) before anything is
// queued, so an error in any row or setting sends nothing. Every message goes through the outbox
// (outbox.h): queued first, then sent by `send_alerts`; a run sends only after storing its row.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/journal.h"
#include "host/paths.h"
#include "host/store/store.h"
#include "host/store/store_retry.h"
#include "host/mail/robots.h"
#include "host/web/channel_settings.h"
#include "plugin/qn_rivi/alert_policy.h"
#include "plugin/qn_rivi/alert_text.h"
#include "plugin/qn_rivi/cert_alerts.h"
#include "plugin/qn_rivi/channels.h"
#include "plugin/qn_rivi/deliveries.h"
#include "plugin/qn_rivi/display_zone.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/maintenance.h"
#include "plugin/qn_rivi/monitor_alerts.h"
#include "plugin/qn_rivi/outbox.h"
#include "plugin/qn_rivi/row_id.h"
#include "plugin/qn_rivi/run_store.h"
#include "plugin/qn_rivi/test_gate.h"

#include "host/web/html.h"
#include "host/public.h"
#include "host/utf8.h"

#include <fmt/format.h>

#include <algorithm>
#include <ctime>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {
namespace {

using alert_text::md;

constexpr std::int64_t kUndeliveredListed = 50;

// The decoded content of a settings file. A file that yields no text, text that is not JSON and
// a value without a length (number, boolean, null) are errors naming the file; there is no default.
Record read_settings(const std::string& path) {
  const auto text = public_::ReadFile(path);
  if (!text) throw std::runtime_error("cannot read the settings file " + path);
  try {
    Record value = decode(*text);
    length_of(value);
    return value;
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(path + ": " + e.what());
  }
}

// The settings value, or false when it is empty.
Record value_or_false(Record value) { return length_of(value) == 0 ? Record(false) : std::move(value); }


const Record& key_of(const Record& node, const char* key) {
  if (!node.is_object()) throw std::invalid_argument("a node result is not a record: " + encode(node));
  const auto it = node.find(key);
  if (it == node.end()) throw std::out_of_range(fmt::format("a node result has no key '{}': {}", key, encode(node)));
  return *it;
}

const std::string& text_key(const Record& node, const char* key) {
  const Record& value = key_of(node, key);
  if (!value.is_string()) throw std::invalid_argument(fmt::format("`{}` of a node result is not text: {}", key, encode(value)));
  return value.get_ref<const std::string&>();
}

std::string millis(const Record& node, const char* key) {
  const Record& value = key_of(node, key);
  if (!is_number(value)) throw std::invalid_argument(fmt::format("`{}` of a node result is not a number: {}", key, encode(value)));
  return fixed2(as_double(value));
}

// One table row; replaces a false `primary_ip` and `http_code` of `node` in place.
std::string report_row(Record& node) {
  std::string style;
  if (!truthy(key_of(node, "primary_ip"))) {
    node["primary_ip"] = "解析失败";
    style = "style='color:red;'";
  }
  if (!truthy(key_of(node, "http_code"))) {
    node["http_code"] = "无法访问";
    style = "style='color:red;'";
  }
  std::string row = "<tr bgcolor='#FFFFFF' " + style + "><td>";
  row += html_escape(text_key(node, "isp"));
  row += "</td><td>";
  row += html_escape(text_key(node, "primary_ip"));
  row += "</td><td>";
  row += html_escape(text_of(key_of(node, "http_code")));
  row += "</td><td>" + millis(node, "total_time");
  row += "ms</td><td>" + millis(node, "namelookup_time");
  row += "ms</td><td>" + millis(node, "starttransfer_time");
  row += "ms</td><td>";
  row += public_::to_size(key_of(node, "size_download"));
  row += "</td><td>";
  row += public_::to_size(key_of(node, "speed_download"));
  row += "/s</td></tr>";
  return row;
}

// The recipients of a non-empty list as text: a list's elements, a record's member names, a
// text's characters (the list is used as construction left it).
std::vector<std::string> recipients(const Record& list) {
  std::vector<std::string> out;
  if (list.is_object()) {
    for (const auto& [key, value] : list.items()) out.push_back(key);
  } else if (list.is_string()) {
    const std::string& text = list.get_ref<const std::string&>();
    for (std::size_t i = 0; i < text.size();) {
      std::size_t j = i + 1;
      while (j < text.size() && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80) ++j;
      out.push_back(text.substr(i, j - i));
      i = j;
    }
  } else {
    for (const Record& entry : list) out.push_back(text_of(entry));
  }
  return out;
}

// The task's name as a one-line subject: each line break (CR LF, CR or LF) becomes a blank.
std::string subject_name(const Record& id) {
  const std::string name = text_of(public_::M("rivi_task").where("id=?", id).getField("name"));
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\r' && i + 1 < name.size() && name[i + 1] == '\n') ++i;
    out += name[i] == '\r' || name[i] == '\n' ? ' ' : name[i];
  }
  return out;
}

constexpr const char* kTableHead =
    "<table  border='0' cellspacing='1' cellpadding='0' bgcolor='#888'><thead>"
    "<tr bgcolor='#FFFFFF' style='background-color: darkgray;'><th>ISP</th><th>解析地址</th>"
    "<th>响应状态</th><th>总耗时</th><th>解析耗时</th><th>处理耗时</th><th>响应大小</th>"
    "<th>传输速度</th></tr></thead><tbody>";
constexpr const char* kFooter = "</tbody></table><hr><p>此为Quelmar企业版平台自动通知邮件，请勿回复</p>";

// The table rows of a run; rewrites false addresses and statuses of `data` in place.
std::string table_rows(Record& data) {
  if (!data.is_array()) throw std::invalid_argument("the probe result is not a list: " + encode(data));
  std::string rows;
  for (Record& node : data) {
    if (!truthy(node)) continue;
    rows += report_row(node);
  }
  return rows;
}

// One line per node: ISP, status, total time and, for a failing or silent node, why.
std::string markdown_nodes(const Record& data) {
  std::string out;
  for (const health::Node& n : health::judge_nodes(data)) {
    std::string line = "- " + md(n.isp) + ": ";
    if (!n.answered) {
      line += "未响应";
    } else {
      line += n.failing ? "**异常**" : "正常";
      line += " | " + md(n.http_code.is_null() ? std::string("-") : text_of(n.http_code));
    }
    if (n.time) line += " | " + fixed2(*n.time) + "ms";
    if (n.failing || !n.answered) {
      const std::string words = health::error_words(n.code, n.http_code, n.connected);
      if (!words.empty()) line += " | " + md(words);
    }
    out += line + "\n";
  }
  return out;
}

// What the report adds after its fixed table and footer: the task, its URL, the time in the
// display zone, and each failing node with why it failed.
struct ReportFacts {
  std::string html, markdown;
};

ReportFacts report_facts(const Record& data, const Record& id, const std::string& name) {
  const std::string url = text_of(public_::M("rivi_task").where("id=?", id).getField("url"));
  const std::string when = display::time_text(public_::now());
  ReportFacts f;
  f.html = "<p>任务：" + html_escape(name) + "<br>网址：" + html_escape(url) + "<br>时间：" + when + "</p>";
  f.markdown = "- 任务：" + md(name) + "\n- 网址：" + md(url) + "\n- 时间：" + md(when) + "\n\n";
  std::string items;
  for (const health::Node& n : health::judge_nodes(data)) {
    if (!n.answered || !n.failing) continue;
    std::string words = health::error_words(n.code, n.http_code, n.connected);
    if (words.empty()) words = "状态码 " + text_of(n.http_code);
    items += "<li>" + html_escape(n.label) + "：" + html_escape(words) + "</li>";
  }
  if (!items.empty()) f.html += "<p>异常节点及原因：</p><ul>" + items + "</ul>";
  return f;
}

// The webhook's host (its path holds the robot's token, which stays out of the record).
std::string webhook_host(const Record& info) {
  if (!info.is_object() || !info.contains("dingding_url") || !info["dingding_url"].is_string()) return "webhook";
  const std::string url = info["dingding_url"].get<std::string>();
  const auto scheme = url.find("://");
  const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  return url.substr(from, url.find_first_of("/?#", from) - from);
}


void record_attempt(deliveries::Attempt attempt) {
  try {
    deliveries::record(attempt, public_::now());
  } catch (const std::exception& e) {
    journal::log_line(journal::Priority::err, std::string("alerting: a delivery was not recorded: ") + e.what());
  }
}

std::int64_t task_pid(const Record& id) { return row_id(id).value_or(0); }

// What queue_all queued: the outbox rows to send, and a line for each alert that had nowhere to go
// (kept as undelivered at once), said once the transaction is in.
struct Queued {
  std::vector<std::int64_t> ids;
  std::vector<std::string> unaddressed;
};

// Queues each of `alerts` to every address of `where` and to the robots its task's tags route it to
// (channels.h); a task's alerts inside its maintenance window are held back.
Queued queue_all(Connection& db, const std::vector<outbox::Alert>& alerts, const outbox::Destinations& where, std::int64_t now) {
  Queued queued;
  for (const outbox::Alert& alert : alerts) {
    const bool held = alert.pid != 0 && maintenance::active(db, alert.pid, now);
    outbox::Destinations routed = where;
    for (outbox::Address& a : channels::addresses_for(db, alert.pid)) routed.to.push_back(std::move(a));
    for (std::int64_t id : outbox::queue(db, alert, routed, held, now)) queued.ids.push_back(id);
    if (routed.to.empty()) {
      queued.unaddressed.push_back(fmt::format("alert delivery: \"{}\" is not sent: {}", readable_text(alert.message.title, 200),
                                               readable_text(routed.unaddressed, 300)));
    }
  }
  return queued;
}

// Says each alert that had nowhere to go, and adds the rows to send to `to_send`.
void take_queued(const Queued& queued, std::vector<std::int64_t>& to_send) {
  for (const std::string& line : queued.unaddressed) journal::log_line(journal::Priority::err, line);
  to_send.insert(to_send.end(), queued.ids.begin(), queued.ids.end());
}

// Whether a channel's settings file holds settings; a file that cannot be read holds none.
bool configured(const std::string& path) {
  try {
    return length_of(read_settings(path)) != 0;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

Record qn_rivi_main::return_mail_list() { return mail_list_; }

Record qn_rivi_main::get_user_mail() { return value_or_false(read_settings(mail_config_())); }

Record qn_rivi_main::get_dingding() { return value_or_false(read_settings(dingding_config_())); }

Record qn_rivi_main::get_settings() {
  const bool mail_flag = length_of(read_settings(mail_config_())) != 0;
  const bool dingding_flag = length_of(read_settings(dingding_config_())) != 0;
  Record settings = Record::object();
  settings["user_mail"] = Record::object();
  settings["user_mail"]["user_name"] = mail_flag;
  settings["user_mail"]["mail_list"] = mail_list_;
  settings["user_mail"]["info"] = get_user_mail();
  settings["dingding"] = Record::object();
  settings["dingding"]["dingding"] = dingding_flag;
  settings["dingding"]["info"] = get_dingding();
  return settings;
}

std::vector<outbox::Address> qn_rivi_main::addresses(const Record& settings, bool to_mail, bool to_dingding) {
  std::vector<outbox::Address> to;
  const Record& user_mail = settings["user_mail"];
  if (to_mail && truthy(user_mail["user_name"])) {
    if (length_of(mail_list_) == 0) {
      const Record& info = user_mail["info"];
      if (!info.is_object() || !info.contains("qq_mail"))
        throw std::invalid_argument("the mail account in " + mail_config_() + " has no `qq_mail`");
      to.push_back({"mail", text_of(info["qq_mail"])});
    } else {
      for (const std::string& address : recipients(mail_list_)) to.push_back({"mail", address});
    }
  }
  if (to_dingding && truthy(settings["dingding"]["dingding"]))
    to.push_back({"dingding", webhook_host(settings["dingding"]["info"])});
  return to;
}

void qn_rivi_main::send_mail(Record& data, std::int64_t num, const Record& id, const std::string& send) {
  // The title is the plain-text subject, not HTML; the sender refuses line breaks in it.
  alert_text::Message report;
  const std::string name = subject_name(id);
  report.title = "【" + name + "】Quelmar拔测监控到[" + std::to_string(num) + "]个测试异常";
  const ReportFacts facts = report_facts(data, id, name);  // before the rows rewrite addresses and statuses
  report.markdown = "### " + md(report.title) + "\n\n" + facts.markdown + markdown_nodes(data);
  report.html = "<h2>Quelmar企业平台拔测监控报表(" + public_::format_date() + ")</h2><hr />" + kTableHead;
  report.html += table_rows(data);
  report.html += kFooter;
  report.html += facts.html;

  const Record settings = get_settings();
  const alerts::Policy policy = alerts::read_policy();
  const std::int64_t pid = task_pid(id);
  if (policy.mode == "incident") {
    // Whether this run opens an outage is known once its health is recorded: the run decides then.
    pending_report_ = PendingReport{pid, report};
    return;
  }
  // "mail" reaches every configured channel; "dingding" the robot alone.
  if (send != "mail" && send != "dingding") return;
  const std::vector<outbox::Address> to = addresses(settings, send == "mail", true);
  // Queued before anything is sent: a failed or slow channel is tried again later, and a run
  // sends only once its row is stored.
  const auto db = Connection::for_thread(database_path());
  const std::int64_t now = public_::now();
  Queued queued;
  try {
    // The row's own wait: a database that cannot take the report cannot take the row either,
    // which then goes to the spool; the measurement counts more than this report.
    retry_while_locked(*db, run_store::run_retry(), [&] {
      transaction tx(db);
      queued = queue_all(*db, {{pid, "report", "", report, false}}, {to}, now);
      tx.commit();
    });
  } catch (const std::runtime_error& e) {
    journal::log_line(journal::Priority::err, fmt::format("rivi: task {}: the report could not be queued, it is not sent: {}", pid, e.what()));
    return;
  }
  take_queued(queued, queued_);
  if (!deliver_after_store_) send_queued(kRunBudget);
}

void qn_rivi_main::alert_after_run(std::int64_t pid, Record* data, const std::string& failure) {
  const alerts::Policy policy = alerts::read_policy();
  const std::int64_t now = public_::now();
  const Record id = pid;
  std::optional<PendingReport> report;
  if (pending_report_ && pending_report_->pid == pid) report = std::move(pending_report_);
  pending_report_.reset();
  const outbox::Destinations where = destinations();

  // The thread's shared connection: a run opens the database once. The decisions, the state they
  // leave and the messages they queue commit together.
  const auto db = Connection::for_thread(database_path());
  Queued queued;
  retry_while_locked(*db, StoreRetry{}, [&] {
    queued = {};
    transaction tx(db);
    alerts::create_tables(*db);
    if (db->query("SELECT 1 FROM rivi_task WHERE id = ?", Record::array({pid})).empty()) return;  // removed meanwhile
    alerts::State state = alerts::load_state(*db, pid);
    const Record health = db->query("SELECT incident FROM rivi_health WHERE pid = ?", Record::array({pid}));
    const Record open = health.empty() ? Record(nullptr) : health[0]["incident"];
    std::vector<outbox::Alert> alerts;
    const std::string name = subject_name(id);
    const std::string url = text_of(public_::M("rivi_task").where("id=?", id).getField("url"));
    if (data == nullptr) {
      ++state.empty_runs;
      alerts = monitor_alerts::run_failed(*db, pid, failure, state.empty_runs, policy.error_after, now);
    } else {
      alerts = monitor_alerts::run_stored(*db, pid, policy.recovery, now);
      for (outbox::Alert& a : cert_alerts::after_run(*db, pid, name, url, policy.recovery, now)) alerts.push_back(std::move(a));
      state.monitoring = false;
      state.empty_runs = 0;
    }

    if (policy.mode == "incident") {
      const bool is_open = !open.is_null();
      const std::string topic = "task:" + std::to_string(pid);
      if (is_open && report && state.incident != to_int(open)) {
        state.incident = to_int(open);
        state.last_notice = now;
        alert_text::Message m = report->message;
        m.title = "[故障] " + name;
        m.markdown = "### " + md(m.title) + "\n\n" + markdown_nodes(*data);
        alerts.push_back({pid, "fault", topic, std::move(m), true});
      } else if (is_open && report && state.incident == to_int(open) && policy.remind_minutes > 0 &&
                 now - state.last_notice >= policy.remind_minutes * 60) {
        state.last_notice = now;
        alert_text::Message m = report->message;
        m.title = "[提醒] " + name;
        const Record since = db->query("SELECT start_time FROM rivi_incident WHERE id = ?", Record::array({state.incident}));
        const std::string lasting =
            since.empty() ? "" : "故障已持续" + alert_text::duration_words(now - to_int(since[0]["start_time"]));
        m.html = "<p>" + lasting + "</p>" + m.html;
        m.markdown = "### " + md(m.title) + "\n\n" + lasting + "\n\n" + markdown_nodes(*data);
        alerts.push_back({pid, "reminder", topic, std::move(m), true});
      } else if (!is_open && state.incident != 0 && data != nullptr) {
        const Record closed =
            db->query("SELECT * FROM rivi_incident WHERE id = ? AND end_time IS NOT NULL", Record::array({state.incident}));
        if (policy.recovery && !closed.empty()) {
          const std::int64_t start = to_int(closed[0]["start_time"]), end = to_int(closed[0]["end_time"]);
          alert_text::Message m;
          m.title = "[恢复] " + name;
          Record nodes = *data;
          const std::string lasted = alert_text::duration_words(end - start);
          const std::string start_text = display::time_text(start);
          m.markdown = "### " + md(m.title) + "\n\n- " + md(url) + "\n- 故障开始：" + start_text +
                       "\n- 持续：" + lasted + "\n\n" + markdown_nodes(nodes);
          m.html = "<h2>" + html_escape(m.title) + "</h2><p>" + html_escape(url) + "</p><p>故障开始：" +
                   start_text + "</p><p>持续：" + lasted + "</p><hr />" + kTableHead + table_rows(nodes) +
                   kFooter;
          alerts.push_back({pid, "recovery", topic, std::move(m), true});
        }
        state.incident = 0;
      }
    }
    for (outbox::Alert& a : monitor_alerts::node_changes(*db, policy.recovery, now)) alerts.push_back(std::move(a));
    alerts::save_state(*db, pid, state);
    queued = queue_all(*db, alerts, where, now);
    tx.commit();
  });
  take_queued(queued, queued_);
  send_queued(kRunBudget);
}

outbox::Destinations qn_rivi_main::destinations() {
  try {
    return {addresses(get_settings(), true, true), outbox::kNoChannelAnswer};
  } catch (const std::exception& e) {
    // The alert is still queued, visibly undelivered with the reason.
    return {{}, std::string("通知设置无法使用：") + e.what()};
  }
}

void qn_rivi_main::send_alerts(const DeliveryBudget& budget, std::stop_token stop) {
  const bool recovery = alerts::read_policy().recovery;
  const outbox::Destinations where = destinations();
  const auto db = Connection::for_thread(database_path());
  Queued queued;
  retry_while_locked(*db, StoreRetry{}, [&] {
    transaction tx(db);
    const std::int64_t now = public_::now();
    queued = queue_all(*db, monitor_alerts::node_changes(*db, recovery, now), where, now);
    tx.commit();
  });
  take_queued(queued, queued_);
  send_queued(budget, stop);
}

void qn_rivi_main::send_queued(const DeliveryBudget& budget, std::stop_token stop) {
  std::vector<std::int64_t> first;
  first.swap(queued_);
  deliver_due(mail, first, budget, stop);
}

Record qn_rivi_main::get_deliveries(Record& args) {
  std::optional<std::int64_t> pid;
  if (has(args, "pid") && truthy(args["pid"])) {
    pid = row_id(args["pid"]);
    if (!pid) return public_::returnMsg(false, "指定任务不存在!");
  }
  return deliveries::latest(pid);
}

Record qn_rivi_main::alert_reach(Connection& db) {
  std::int64_t failing = 0;
  if (db.has_table("rivi_health")) {
    failing = to_int(db.query("SELECT COUNT(*) AS n FROM rivi_task t JOIN rivi_health h ON h.pid = t.id "
                              "WHERE t.status = 1 AND h.health IN ('down', 'error')")[0]["n"]);
  }
  const auto robots = channels::all(db);
  const auto enabled = std::count_if(robots.begin(), robots.end(), [](const channels::Channel& c) { return c.enabled; });
  return Record{{"channels", Record{{"mail", configured(mail_config_())}, {"dingding", configured(dingding_config_())}}},
                {"robots", static_cast<std::int64_t>(enabled)},  // enabled chat robots (channels.h)
                {"failing_tasks", failing}};
}

Record qn_rivi_main::get_undelivered(Record&) {
  const auto db = Connection::for_thread(database_path());
  Record answer = alert_reach(*db);
  answer["counts"] = outbox::counts(*db);
  answer["data"] = outbox::undelivered(*db, kUndeliveredListed);
  return answer;
}

namespace {

// A test of one robot of the channel table: the saved one (`id`), with the form's unsaved values
// over it when given, or a new one from the form alone.
Record test_robot(send_mail& sender, Record form, const std::string& channel) {
  const auto db = Connection::for_thread(database_path());
  const bool saved = has(form, "id") && !text_of(form["id"]).empty();
  if (!saved) {
    if (!has(form, "kind")) form["kind"] = channel;
    if (!has(form, "name") || text_of(form["name"]).empty()) form["name"] = "测试";
  }
  channels::Channel robot;
  try {
    robot = channels::draft(*db, form).channel;
  } catch (const SettingsRefused& e) {
    return public_::returnMsg(false, e.what());
  }
  const std::string gate = saved ? "channel#" + std::to_string(robot.id) : robot.kind;
  if (const std::int64_t wait = test_gate::claim(gate, public_::now()); wait > 0)
    return Record{{"status", false}, {"channel", robot.kind}, {"msg", fmt::format("测试过于频繁，请 {} 秒后再试", wait)}};
  robots::Alert alert;
  alert.kind = "test";
  alert.title = "[测试] Quelmar拨测监控通知";
  alert.markdown = "### " + md(alert.title) + "\n\n测试消息（" + display::time_text(public_::now()) + "）\n";
  alert.time = public_::now();
  const SendResult sent = sender.robot_send(channels::robot_settings(robot), alert);
  const std::string recipient = saved ? channels::recipient_of(robot) : channels::shown_url(robot.url);
  record_attempt({0, robot.kind, recipient, "test", sent.ok, sent.answer});
  Record results = Record::array({Record{{"recipient", recipient}, {"status", sent.ok}, {"msg", sent.answer}}});
  return Record{{"status", sent.ok}, {"channel", robot.kind}, {"recipient", recipient}, {"msg", sent.answer}, {"results", results}};
}

}  // namespace

Record qn_rivi_main::test_channel(Record& args) {
  const std::string channel = has(args, "channel") ? text_of(args["channel"]) : "";
  if (robots::known_kind(channel) || (has(args, "id") && channel.empty())) return test_robot(mail, args, channel);
  if (channel != "mail" && channel != "dingding")
    return public_::returnMsg(false, "channel 必须是 mail、dingding、wecom、feishu 或 webhook");
  const auto given = [&](std::initializer_list<const char*> keys) {
    return std::any_of(keys.begin(), keys.end(), [&](const char* k) { return has(args, k); });
  };
  // The form's values, when it sent them, with a stored secret only where its save would keep it.
  SendOptions options;
  std::vector<std::string> to;
  try {
    if (channel == "mail") {
      const bool form = given({"qq_mail", "host", "port", "security", "password"});
      const Record account = form ? draft_mail_settings(args).settings : get_user_mail();
      if (!truthy(account) || !account.is_object() || !account.contains("qq_mail")) return public_::returnMsg(false, "未配置发件邮箱");
      if (form) options.settings = account;
      if (has(args, "mail_list")) to = recipients_from_form(args);
      else if (length_of(mail_list_) != 0) to = recipients(mail_list_);
      if (to.empty()) to.push_back(text_of(account["qq_mail"]));
    } else {
      const bool form = given({"dingding_url", "secret"});
      const Record robot = form ? draft_dingding_settings(args).settings : get_dingding();
      if (!truthy(robot)) return public_::returnMsg(false, "未配置钉钉");
      if (form) options.settings = robot;
      to.push_back(webhook_host(robot));
    }
  } catch (const SettingsRefused& e) {
    return public_::returnMsg(false, e.what());
  }
  // A test reaches wherever the form points: paced, so that it cannot sweep ports.
  if (const std::int64_t wait = test_gate::claim(channel, public_::now()); wait > 0)
    return Record{{"status", false}, {"channel", channel}, {"msg", fmt::format("测试过于频繁，请 {} 秒后再试", wait)}};
  const std::string title = "[测试] Quelmar拨测监控通知";
  // The sender answers a fixed summary (reply code and text, errcode and errmsg, or the status).
  bool all = true;
  std::string said, named;
  Record results = Record::array();
  const std::string when = display::time_text(public_::now());
  for (const std::string& recipient : to) {
    const SendResult sent =
        channel == "mail"
            ? mail.qq_smtp_send(recipient, title, "<p>这是一封测试邮件（" + when + "）</p>", options)
            : mail.dingding_markdown(title, "### " + md(title) + "\n\n测试消息（" + when + "）\n", options);
    record_attempt({0, channel, recipient, "test", sent.ok, sent.answer});
    all = all && sent.ok;
    named += (named.empty() ? "" : "、") + recipient;
    said += (said.empty() ? "" : "；") + (to.size() == 1 ? sent.answer : recipient + ": " + sent.answer);
    results.push_back(Record{{"recipient", recipient}, {"status", sent.ok}, {"msg", sent.answer}});
  }
  return Record{{"status", all}, {"channel", channel}, {"recipient", named}, {"msg", said}, {"results", results}};
}

// The policy, with the display zone beside it: `display_timezone` as set ("" for the server's
// own), `timezone` the zone the page shows times in ("" when the server's own has no name) and
// `utc_offset` its offset now.
Record qn_rivi_main::get_alert_policy(Record&) {
  Record answer = alerts::policy_record(alerts::read_policy());
  answer["display_timezone"] = display::configured_zone();
  answer["timezone"] = display::effective_zone();
  const std::string now = display::time_text(public_::now());
  answer["utc_offset"] = now.substr(now.find("(UTC") + 1, 9);
  return answer;
}

Record qn_rivi_main::set_alert_policy(Record& args) {
  std::optional<std::string> zone;
  if (has(args, "display_timezone")) {
    try {
      zone = display::checked_zone(text_of(args["display_timezone"]));
    } catch (const std::invalid_argument& e) {
      return public_::returnMsg(false, e.what());
    }
  }
  Record alert = Record::object();
  for (const char* key : {"mode", "remind_minutes", "recovery", "error_after"}) {
    if (!has(args, key)) continue;
    Record value = args[key];
    if (value.is_string() && !is_utf8(value.get_ref<const std::string&>()))
      return public_::returnMsg(false, std::string(key) + " 的值不是有效的文本");
    // Form fields arrive as text.
    if (value.is_string() && std::string_view(key) != "mode") {
      const std::string text = value.get<std::string>();
      if (text == "true" || (text == "1" && std::string_view(key) == "recovery")) value = true;
      else if (text == "false" || (text == "0" && std::string_view(key) == "recovery")) value = false;
      else {
        try {
          std::size_t used = 0;
          const long long n = std::stoll(text, &used);
          if (used != text.size()) throw std::invalid_argument(text);
          value = static_cast<std::int64_t>(n);
        } catch (const std::exception&) {
          return public_::returnMsg(false, std::string(key) + " 的值无效：" + readable_text(text, 64));
        }
      }
    }
    alert[key] = value;
  }
  alerts::Policy policy;
  try {
    policy = alerts::parse_policy(alert);
  } catch (const std::invalid_argument& e) {
    return public_::returnMsg(false, e.what());
  }
  // `display_timezone` alone changes the zone and leaves the policy as it is.
  const bool policy_given = !alert.empty();
  if (policy_given || !zone) alerts::write_policy(policy);
  if (zone) display::set_zone(*zone);
  return public_::returnMsg(true, policy_given || !zone ? "告警策略已保存" : "显示时区已保存");
}

}  // namespace rivi
