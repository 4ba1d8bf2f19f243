// Alerting: return_mail_list, get_user_mail, get_dingding, get_settings, send_mail.
//
// The channel settings are the host's files; every reader goes back to the file, nothing is
// cached. The anomaly report is built completely (and the settings read) before anything is
// delivered, so an error in any row or setting sends nothing.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/paths.h"
#include "host/store/store.h"
#include "host/store/store_retry.h"
#include "plugin/qn_rivi/alert_policy.h"
#include "plugin/qn_rivi/deliveries.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/row_id.h"
#include "plugin/qn_rivi/test_gate.h"

#include "host/web/html.h"
#include "host/public.h"
#include "host/utf8.h"

#include <fmt/format.h>

#include <ctime>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {
namespace {

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

// Markdown is read as text by the robot. Escaped: what would start markup (emphasis, code,
// links, headings, tables, HTML), strike-through (~), entities (&), and the ':', '.' and '@' that
// would let a bare address or e-mail turn into a link; line breaks (CR, LF, NEL, U+2028,
// U+2029) become blanks, so that no text starts a line of its own.
std::string md(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const std::string_view rest = text.substr(i);
    if (rest.starts_with("\u2028") || rest.starts_with("\u2029") || rest.starts_with("\u0085")) {
      out += ' ';
      i += rest.starts_with("\u0085") ? 1 : 2;
      continue;
    }
    if (c == '\r' || c == '\n') {
      out += ' ';
      continue;
    }
    if (std::string_view("\\`*_[]<>#|~&:.@").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
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
      const std::string words = health::error_words(n.code, n.http_code);
      if (!words.empty()) line += " | " + md(words);
    }
    out += line + "\n";
  }
  return out;
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
    std::cerr << "alerting: a delivery was not recorded: " << e.what() << std::endl;
  }
}

std::int64_t task_pid(const Record& id) { return row_id(id).value_or(0); }

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

void qn_rivi_main::deliver(const std::string& kind, std::int64_t pid, const AlertMessage& message,
                           const Record& settings, bool to_mail, bool to_dingding) {
  const Record& user_mail = settings["user_mail"];
  if (to_mail && truthy(user_mail["user_name"])) {
    std::vector<std::string> addresses;
    if (length_of(mail_list_) == 0) {
      const Record& info = user_mail["info"];
      if (!info.is_object() || !info.contains("qq_mail"))
        throw std::invalid_argument("the mail account in " + mail_config_() + " has no `qq_mail`");
      addresses.push_back(text_of(info["qq_mail"]));
    } else {
      addresses = recipients(mail_list_);
    }
    // The sender reports its own failures; one failed e-mail does not stop the others.
    for (const std::string& address : addresses) {
      const SendResult sent = mail.qq_smtp_send(address, message.title, message.html);
      record_attempt({pid, "mail", address, kind, sent.ok, sent.answer});
    }
  }
  if (to_dingding && truthy(settings["dingding"]["dingding"])) {
    const SendResult sent = mail.dingding_markdown(message.title, message.markdown);
    record_attempt({pid, "dingding", webhook_host(settings["dingding"]["info"]), kind, sent.ok, sent.answer});
  }
}

void qn_rivi_main::send_mail(Record& data, std::int64_t num, const Record& id, const std::string& send) {
  // The title is the plain-text subject, not HTML; the sender refuses line breaks in it.
  AlertMessage report;
  report.title = "【" + subject_name(id) + "】Quelmar拔测监控到[" + std::to_string(num) + "]个测试异常";
  report.markdown = "### " + md(report.title) + "\n\n" + markdown_nodes(data);
  report.html = "<h2>Quelmar企业平台拔测监控报表(" + public_::format_date() + ")</h2><hr />" + kTableHead;
  report.html += table_rows(data);
  report.html += kFooter;

  const Record settings = get_settings();
  const alerts::Policy policy = alerts::read_policy();
  const std::int64_t pid = task_pid(id);
  if (policy.mode == "incident") {
    // Whether this run opens an outage is known once its health is recorded: the run decides then.
    pending_report_ = PendingReport{pid, report};
    return;
  }
  // "mail" reaches every configured channel; "dingding" the robot alone.
  if (send == "mail") deliver("report", pid, report, settings, true, true);
  else if (send == "dingding") deliver("report", pid, report, settings, false, true);
}

void qn_rivi_main::alert_after_run(std::int64_t pid, Record* data, const std::string& failure) {
  const alerts::Policy policy = alerts::read_policy();
  const std::int64_t now = public_::now();
  const Record id = pid;
  std::optional<PendingReport> report;
  if (pending_report_ && pending_report_->pid == pid) report = std::move(pending_report_);
  pending_report_.reset();

  // The thread's shared connection: a run opens the database once.
  const auto shared = Connection::for_thread(database_path());
  Connection& db = *shared;
  alerts::State state;
  Record open = nullptr, closed = nullptr;
  retry_while_locked(db, StoreRetry{}, [&] {
    alerts::create_tables(db);
    state = alerts::load_state(db, pid);
    const Record health = db.query("SELECT incident FROM rivi_health WHERE pid = ?", Record::array({pid}));
    open = health.empty() ? Record(nullptr) : health[0]["incident"];
    if (state.incident != 0)
      closed = db.query("SELECT * FROM rivi_incident WHERE id = ? AND end_time IS NOT NULL", Record::array({state.incident}));
  });
  if (db.query("SELECT 1 FROM rivi_task WHERE id = ?", Record::array({pid})).empty()) return;  // removed meanwhile

  std::vector<std::pair<std::string, AlertMessage>> messages;  // kind, message
  const std::string name = subject_name(id);
  const std::string url = text_of(public_::M("rivi_task").where("id=?", id).getField("url"));
  if (data == nullptr) {
    ++state.empty_runs;
    if (state.empty_runs >= policy.error_after && !state.monitoring) {
      state.monitoring = true;
      AlertMessage m;
      m.title = "[监控异常] " + name;
      m.html = "<h2>" + html_escape(m.title) + "</h2><p>" + html_escape(url) + "</p><p>连续 " +
               std::to_string(state.empty_runs) + " 次拔测没有结果: " + html_escape(failure) + "</p>";
      m.markdown = "### " + md(m.title) + "\n\n- " + md(url) + "\n- 连续 " + std::to_string(state.empty_runs) +
                   " 次拔测没有结果: " + md(failure) + "\n";
      messages.emplace_back("monitoring", std::move(m));
    }
  } else {
    if (state.monitoring && policy.recovery) {
      AlertMessage m;
      m.title = "[恢复] " + name;
      m.html = "<h2>" + html_escape(m.title) + "</h2><p>" + html_escape(url) + "</p><p>监控已恢复, 拔测重新存储结果 (" +
               public_::format_date(now) + ")</p>";
      m.markdown = "### " + md(m.title) + "\n\n- " + md(url) + "\n- 监控已恢复, 拔测重新存储结果 (" + public_::format_date(now) + ")\n";
      messages.emplace_back("recovery", std::move(m));
    }
    state.monitoring = false;
    state.empty_runs = 0;
  }

  if (policy.mode == "incident") {
    const bool is_open = !open.is_null();
    if (is_open && report && state.incident != to_int(open)) {
      state.incident = to_int(open);
      state.last_notice = now;
      messages.emplace_back("report", report->message);
    } else if (is_open && report && state.incident == to_int(open) && policy.remind_minutes > 0 &&
               now - state.last_notice >= policy.remind_minutes * 60) {
      state.last_notice = now;
      AlertMessage m = report->message;
      m.title = "[提醒] " + name;
      const Record since = db.query("SELECT start_time FROM rivi_incident WHERE id = ?", Record::array({state.incident}));
      const std::string lasting = since.empty() ? "" : "故障已持续" + health::span_words(to_int(since[0]["start_time"]), now);
      m.html = "<p>" + lasting + "</p>" + m.html;
      m.markdown = "### " + md(m.title) + "\n\n" + lasting + "\n\n" + markdown_nodes(*data);
      messages.emplace_back("reminder", std::move(m));
    } else if (!is_open && state.incident != 0 && data != nullptr) {
      if (policy.recovery && !closed.empty()) {
        const std::int64_t start = to_int(closed[0]["start_time"]), end = to_int(closed[0]["end_time"]);
        AlertMessage m;
        m.title = "[恢复] " + name;
        Record nodes = *data;
        m.markdown = "### " + md(m.title) + "\n\n- " + md(url) + "\n- 故障开始: " + public_::format_date(start) + "\n- 持续: " +
                     health::span_words(start, end) + "\n\n" + markdown_nodes(nodes);
        m.html = "<h2>" + html_escape(m.title) + "</h2><p>" + html_escape(url) + "</p><p>故障开始: " + public_::format_date(start) +
                 "</p><p>持续: " + health::span_words(start, end) + "</p><hr />" + kTableHead + table_rows(nodes) + kFooter;
        messages.emplace_back("recovery", std::move(m));
      }
      state.incident = 0;
    }
  }
  retry_while_locked(db, StoreRetry{}, [&] { alerts::save_state(db, pid, state); });
  if (messages.empty()) return;
  const Record settings = get_settings();
  for (const auto& [kind, message] : messages) deliver(kind, pid, message, settings, true, true);
}

Record qn_rivi_main::get_deliveries(Record& args) {
  std::optional<std::int64_t> pid;
  if (has(args, "pid") && truthy(args["pid"])) {
    pid = row_id(args["pid"]);
    if (!pid) return public_::returnMsg(false, "指定任务不存在!");
  }
  return deliveries::latest(pid);
}

Record qn_rivi_main::test_channel(Record& args) {
  const std::string channel = has(args, "channel") ? text_of(args["channel"]) : "";
  if (channel != "mail" && channel != "dingding") return public_::returnMsg(false, "channel 必须是 mail 或 dingding");
  const Record settings = get_settings();
  const std::string title = "[测试] Quelmar拔测监控通知";
  std::string recipient;
  if (channel == "mail") {
    const Record& info = settings["user_mail"]["info"];
    if (!truthy(settings["user_mail"]["user_name"]) || !info.is_object() || !info.contains("qq_mail"))
      return public_::returnMsg(false, "未配置发件邮箱");
    recipient = length_of(mail_list_) == 0 ? text_of(info["qq_mail"]) : recipients(mail_list_).front();
  } else {
    if (!truthy(settings["dingding"]["dingding"])) return public_::returnMsg(false, "未配置钉钉");
    recipient = webhook_host(settings["dingding"]["info"]);
  }
  // A test reaches wherever the settings point: paced, so that it cannot sweep ports.
  if (const std::int64_t wait = test_gate::claim(channel, public_::now()); wait > 0)
    return Record{{"status", false}, {"channel", channel}, {"msg", fmt::format("测试过于频繁，请 {} 秒后再试", wait)}};
  // The sender answers a fixed summary (reply code and text, errcode and errmsg, or the status).
  const SendResult sent =
      channel == "mail"
          ? mail.qq_smtp_send(recipient, title, "<p>这是一封测试邮件 (" + public_::format_date() + ")</p>")
          : mail.dingding_markdown(title, "### " + md(title) + "\n\n测试消息 (" + public_::format_date() + ")\n");
  record_attempt({0, channel, recipient, "test", sent.ok, sent.answer});
  return Record{{"status", sent.ok}, {"channel", channel}, {"recipient", recipient}, {"msg", sent.answer}};
}

Record qn_rivi_main::get_alert_policy(Record&) { return alerts::policy_record(alerts::read_policy()); }

Record qn_rivi_main::set_alert_policy(Record& args) {
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
          return public_::returnMsg(false, std::string(key) + " 的值无效: " + readable_text(text, 64));
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
  alerts::write_policy(policy);
  return public_::returnMsg(true, "告警策略已保存");
}

}  // namespace rivi
