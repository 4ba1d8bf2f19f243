#include "host/web/channel_settings.h"

#include "host/net/webhook_url.h"
#include "host/paths.h"
#include "host/public.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <optional>
#include <vector>

namespace rivi {
namespace {

std::string text_field(const Record& form, const char* key) {
  const auto it = form.find(key);
  return it != form.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool flag_field(const Record& form, const char* key) { return text_field(form, key) == "1"; }

bool has_control(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// The file's settings object; a missing or unreadable file starts from nothing.
Record read_channel_file(const std::string& path) {
  const auto text = public_::ReadFile(path);
  if (!text) return Record::object();
  try {
    Record settings = Record::parse(*text);
    if (settings.is_object()) return settings;
  } catch (const std::exception&) {
  }
  return Record::object();
}

// Atomic, and 0600 also when the file existed with a wider mode.
void write_channel_file(const std::string& path, const Record& settings) {
  public_::writeFile(path, settings.dump(2) + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace);
}

// Writes a channel's draft into <root>/data/<file>; answers `saved`, and why the secret `key` went
// when the draft dropped it.
SettingsSaved write_draft(const std::string& file, const ChannelDraft& draft, const std::string& saved,
                          const std::string& dropped, const std::string& key) {
  write_channel_file(root_path("data/" + file), draft.settings);
  if (draft.dropped) return {saved + "。" + dropped, key};
  return {saved, ""};
}

// Whether `settings` holds a non-empty `key`.
bool has_secret(const Record& settings, const char* key) {
  const auto it = settings.find(key);
  return it != settings.end() && !it->is_null() && !(it->is_string() && it->get<std::string>().empty());
}

// A write-only secret: a new value replaces, the clear flag removes, an empty field keeps, unless
// the secret would now go somewhere else (`moved`): then it is removed and must be given again.
// Answers whether a stored secret was dropped for that reason.
bool apply_secret(Record& settings, const Record& form, const char* key, const char* clear_key, const char* label,
                  bool moved) {
  const std::string value = text_field(form, key);
  if (flag_field(form, clear_key)) {
    settings.erase(key);
  } else if (!value.empty()) {
    if (has_control(value)) throw SettingsRefused(std::string(label) + "不能包含换行或控制字符");
    settings[key] = value;
  } else if (moved && has_secret(settings, key)) {
    settings.erase(key);
    return true;
  }
  return false;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Where the stored password goes: the login name, server, port and security the sender would use
// (security by port when the file names none, as the sender chooses it).
struct MailEndpoint {
  std::string sender, host, security;
  std::int64_t port = 0;
  bool operator==(const MailEndpoint&) const = default;
};

std::optional<MailEndpoint> stored_endpoint(const Record& settings) {
  try {
    MailEndpoint e;
    e.sender = settings.value("qq_mail", std::string());
    e.host = lower(settings.value("host", std::string()));
    e.security = settings.value("security", std::string());
    const bool has_port = settings.contains("port") && !settings["port"].is_null();
    e.port = has_port ? to_int(settings["port"]) : e.security == "starttls" ? 587 : e.security == "none" ? 25 : 465;
    if (e.security.empty()) e.security = !has_port || e.port == 465 ? "ssl" : e.port == 587 ? "starttls" : "none";
    return e;
  } catch (const std::exception&) {
    return std::nullopt;  // a file the sender could not use either: nothing to compare
  }
}

// The stored webhook as the page reads it: without its query (the token).
std::string shown_url(std::string url) {
  if (auto query = url.find('?'); query != std::string::npos) url.resize(query + 1);
  return url;
}

}  // namespace

bool looks_like_address(std::string_view text) {
  if (text.empty() || text.size() > 254) return false;
  for (const unsigned char c : text)
    if (c <= ' ' || c == 0x7f || c == '<' || c == '>' || c == '"' || c == ',' || c == ';' || c == '\\') return false;
  const auto at = text.find('@');
  if (at == 0 || at == std::string_view::npos || text.find('@', at + 1) != std::string_view::npos) return false;
  const auto domain = text.substr(at + 1);
  const auto dot = domain.rfind('.');
  return dot != std::string_view::npos && dot > 0 && dot + 1 < domain.size() && !domain.starts_with('.') &&
         domain.find("..") == std::string_view::npos;
}

ChannelDraft draft_mail_settings(const Record& form) {
  const std::string sender = text_field(form, "qq_mail");
  if (!looks_like_address(sender)) throw SettingsRefused("发件邮箱格式不正确");
  const std::string host = text_field(form, "host");
  if (host.empty() || host.find_first_of("/?#@ \t\r\n\\") != std::string::npos || has_control(host))
    throw SettingsRefused("SMTP 服务器地址不正确");
  const std::string port_text = text_field(form, "port");
  int port = 0;
  const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() || port < 1 || port > 65535)
    throw SettingsRefused("端口须为 1 到 65535 之间的整数");
  const std::string security = text_field(form, "security");
  if (security != "ssl" && security != "starttls" && security != "none")
    throw SettingsRefused("加密方式须为 ssl、starttls 或 none");

  ChannelDraft draft{read_channel_file(root_path("data/stmp_mail.json")), false};
  Record& settings = draft.settings;
  const MailEndpoint given{sender, lower(host), security, port};
  const bool moved = stored_endpoint(settings) != given;
  settings["qq_mail"] = sender;
  settings["host"] = host;
  settings["port"] = port;
  settings["security"] = security;
  draft.dropped = apply_secret(settings, form, "password", "clear_password", "密码", moved);
  return draft;
}

SettingsSaved save_mail_settings(const Record& form) {
  return write_draft("stmp_mail.json", draft_mail_settings(form), "邮箱设置已保存",
                     "SMTP 服务器、端口、加密方式或发件邮箱已更改，原密码已清除，请重新输入密码", "password");
}

ChannelDraft draft_dingding_settings(const Record& form) {
  ChannelDraft draft{read_channel_file(root_path("data/dingding.json")), false};
  Record& settings = draft.settings;
  const std::string stored = settings.value("dingding_url", std::string());
  std::string url = text_field(form, "dingding_url");
  // The page never sees the token: its own rendering of the stored address keeps that address.
  if (!stored.empty() && (url.empty() || url == shown_url(stored))) url = stored;
  if (url.empty()) throw SettingsRefused("请填写钉钉 Webhook 地址");
  WebhookOrigin origin;
  try {
    origin = judge_webhook(url);
  } catch (const WebhookRefused& e) {
    throw SettingsRefused(e.what());
  }
  // The signing key follows its robot: signatures made with it must not go to another host.
  bool moved = true;
  try {
    moved = stored.empty() || judge_webhook(stored) != origin;
  } catch (const WebhookRefused&) {
  }
  settings["dingding_url"] = url;
  draft.dropped = apply_secret(settings, form, "secret", "clear_secret", "加签密钥", moved);
  return draft;
}

SettingsSaved save_dingding_settings(const Record& form) {
  return write_draft("dingding.json", draft_dingding_settings(form), "钉钉设置已保存",
                     "Webhook 地址已指向其他主机，原加签密钥已清除，请重新输入加签密钥", "secret");
}

std::vector<std::string> recipients_from_form(const Record& form) {
  const std::string text = text_field(form, "mail_list");
  std::vector<std::string> addresses;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto end = text.find_first_of(" \t\r\n,;", start);
    const std::string item = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() + 1 : end + 1;
    if (item.empty()) continue;
    if (!looks_like_address(item)) {
      const bool printable = !has_control(item) && item.size() <= 254;
      throw SettingsRefused("收件邮箱格式不正确：" + (printable ? item : std::string("（含控制字符或过长）")) +
                            "，收件人未保存");
    }
    if (std::find(addresses.begin(), addresses.end(), item) == addresses.end()) addresses.push_back(item);
  }
  return addresses;
}

SettingsSaved save_recipients(const Record& form) {
  const std::vector<std::string> addresses = recipients_from_form(form);
  write_channel_file(root_path("data/mail_list.json"), Record(addresses));
  return {"收件人已保存（" + std::to_string(addresses.size()) + " 个）", ""};
}

}  // namespace rivi
