// Alerting: return_mail_list, get_user_mail, get_dingding, get_settings, send_mail.
//
// The channel settings are the host's files; every reader goes back to the file, nothing is
// cached. The anomaly report is built completely (and the settings read) before anything is
// delivered, so an error in any row or setting sends nothing.
#include "plugin/qn_rivi/qn_rivi_main.h"

#include "host/html.h"
#include "host/public.h"

#include <fmt/format.h>

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

void qn_rivi_main::send_mail(Record& data, std::int64_t num, const Record& id, const std::string& send) {
  const Record name = public_::M("rivi_task").where("id=?", id).getField("name");
  // The title is the plain-text subject, not HTML. The sender refuses line breaks in it, so each
  // one in the name (CR LF, CR or LF) is folded to a blank and the report is still delivered.
  std::string subject_name;
  const std::string task_name = text_of(name);
  for (std::size_t i = 0; i < task_name.size(); ++i) {
    if (task_name[i] == '\r' && i + 1 < task_name.size() && task_name[i + 1] == '\n') ++i;
    subject_name += task_name[i] == '\r' || task_name[i] == '\n' ? ' ' : task_name[i];
  }
  const std::string title = "【" + subject_name + "】Quelmar拔测监控到[" + std::to_string(num) + "]个测试异常";

  std::string body = "<h2>Quelmar企业平台拔测监控报表(" + public_::format_date() +
                     ")</h2><hr /><table  border='0' cellspacing='1' cellpadding='0' bgcolor='#888'><thead>"
                     "<tr bgcolor='#FFFFFF' style='background-color: darkgray;'><th>ISP</th><th>解析地址</th>"
                     "<th>响应状态</th><th>总耗时</th><th>解析耗时</th><th>处理耗时</th><th>响应大小</th>"
                     "<th>传输速度</th></tr></thead><tbody>";
  if (!data.is_array()) throw std::invalid_argument("the probe result is not a list: " + encode(data));
  for (Record& node : data) {
    if (!truthy(node)) continue;
    body += report_row(node);
  }
  body += "</tbody></table><hr><p>此为Quelmar企业版平台自动通知邮件，请勿回复</p>";

  const Record settings = get_settings();
  const Record& user_mail = settings["user_mail"];
  if (send == "mail") {
    const bool account = truthy(user_mail["user_name"]);
    if (length_of(mail_list_) == 0) {
      if (!account) return;
      const Record& info = user_mail["info"];
      if (!info.is_object() || !info.contains("qq_mail"))
        throw std::invalid_argument("the mail account in " + mail_config_() + " has no `qq_mail`");
      mail.qq_smtp_send(text_of(info["qq_mail"]), title, body);
      return;
    }
    if (!account) return;
    // The sender reports its own failures; one failed e-mail does not stop the others.
    for (const std::string& address : recipients(mail_list_)) mail.qq_smtp_send(address, title, body);
  } else if (send == "dingding") {
    if (truthy(settings["dingding"]["dingding"])) mail.dingding_send(body);
  }
}

}  // namespace rivi
