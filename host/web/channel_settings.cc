#include "host/web/channel_settings.h"

#include "host/paths.h"
#include "host/public.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <memory>
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

// A write-only secret: a new value replaces, the clear flag removes, an empty field keeps.
void apply_secret(Record& settings, const Record& form, const char* key, const char* clear_key, const char* label) {
  const std::string value = text_field(form, key);
  if (flag_field(form, clear_key)) {
    settings.erase(key);
  } else if (!value.empty()) {
    if (has_control(value)) throw SettingsRefused(std::string(label) + "不能包含换行或控制字符");
    settings[key] = value;
  }
}

bool loopback_host(std::string host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  if (host == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// https, or http on a loopback address; no blanks, no user name in the address.
void check_webhook(const std::string& url) {
  const SettingsRefused refused("钉钉 Webhook 地址须以 https:// 开头（http:// 仅限本机回环地址）");
  if (url.empty() || has_control(url) || url.find(' ') != std::string::npos) throw refused;
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) throw refused;
  auto part = [&](CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(parsed.get(), which, &text, 0) != CURLUE_OK || !text) return std::string();
    std::string out(text);
    curl_free(text);
    return out;
  };
  if (!part(CURLUPART_USER).empty()) throw refused;
  const std::string scheme = part(CURLUPART_SCHEME);
  if (scheme == "https") return;
  if (scheme == "http" && loopback_host(part(CURLUPART_HOST))) return;
  throw refused;
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

std::string save_mail_settings(const Record& form) {
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

  const std::string path = root_path("data/stmp_mail.json");
  Record settings = read_channel_file(path);
  settings["qq_mail"] = sender;
  settings["host"] = host;
  settings["port"] = port;
  settings["security"] = security;
  apply_secret(settings, form, "password", "clear_password", "密码");
  write_channel_file(path, settings);
  return "邮箱设置已保存";
}

std::string save_dingding_settings(const Record& form) {
  const std::string path = root_path("data/dingding.json");
  Record settings = read_channel_file(path);
  const std::string stored = settings.value("dingding_url", std::string());
  std::string url = text_field(form, "dingding_url");
  // The page never sees the token: its own rendering of the stored address keeps that address.
  if (!stored.empty() && (url.empty() || url == shown_url(stored))) url = stored;
  if (url.empty()) throw SettingsRefused("请填写钉钉 Webhook 地址");
  check_webhook(url);
  settings["dingding_url"] = url;
  apply_secret(settings, form, "secret", "clear_secret", "加签密钥");
  write_channel_file(path, settings);
  return "钉钉设置已保存";
}

std::string save_recipients(const Record& form) {
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
      throw SettingsRefused("收件邮箱格式不正确：" + (printable ? item : std::string("(含控制字符或过长)")) +
                            "，收件人未保存");
    }
    if (std::find(addresses.begin(), addresses.end(), item) == addresses.end()) addresses.push_back(item);
  }
  write_channel_file(root_path("data/mail_list.json"), Record(addresses));
  return "收件人已保存（" + std::to_string(addresses.size()) + " 个）";
}

}  // namespace rivi
