#include "host/mail/send_mail.h"

#include "host/journal.h"
#include "host/mail/robots.h"

#include "host/net/curl_loader.h"
#include "host/net/header_cap.h"
#include "host/net/webhook_url.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/record.h"
#include "host/utf8.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// libcurl with its TLS stack, and libcrypto, are loaded when the first message goes out (see
// host/curl_loader.h): a probe run sends a report only when it finds an anomaly.
namespace rivi {
namespace {

constexpr long kConnectSeconds = 5;
constexpr std::size_t kMaxReply = 64 * 1024;  // of a robot's answer read
constexpr std::size_t kMaxSaid = 160;         // bytes of a server's own words in an answer

// A message that did not reach its server: what() is the fixed summary answered to callers,
// `detail` libcurl's own account of the failure, for the log alone.
class Undelivered : public std::runtime_error {
 public:
  Undelivered(const std::string& summary, std::string detail) : std::runtime_error(summary), detail_(std::move(detail)) {}
  const std::string& detail() const { return detail_; }

 private:
  std::string detail_;
};

// Every curl_easy_setopt goes through here so that a refused option is an error, not a silent
// default (a dropped USE_SSL would mean plain text).
template <typename T>
void set(CURL* curl, CURLoption option, T value) {
  if (const CURLcode rc = curl_api().easy_setopt(curl, option, value); rc != CURLE_OK)
    throw std::runtime_error(std::string("libcurl refused an option: ") + curl_api().easy_strerror(rc));
}

void append_list(LoadedSlist& list, const std::string& line) {
  curl_slist* grown = curl_api().slist_append(list.get(), line.c_str());
  if (!grown) throw std::runtime_error("out of memory building a header list");
  list.release();
  list.reset(grown);
}

LoadedEasy new_handle() {
  LoadedEasy curl = loaded_easy();
  set(curl.get(), CURLOPT_NOSIGNAL, 1L);
  return curl;
}

// The decoded settings file <root>/data/<name>; it must hold a non-empty JSON object.
Record read_settings(const std::string& name) {
  const std::string path = root_path("data/" + name);
  const auto text = public_::ReadFile(path);
  if (!text) throw std::runtime_error("cannot read " + path);
  Record settings;
  try {
    settings = decode(*text);
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
  if (!settings.is_object() || settings.empty()) throw std::runtime_error("not configured (" + path + " holds no settings)");
  return settings;
}

std::string text_setting(const Record& settings, const char* key, bool required) {
  const auto it = settings.find(key);
  if (it == settings.end() || it->is_null()) {
    if (required) throw std::runtime_error(std::string("setting `") + key + "` is missing");
    return "";
  }
  if (!it->is_string()) throw std::runtime_error(std::string("setting `") + key + "` must be text");
  return it->get<std::string>();
}

long whole_setting(const Record& settings, const char* key, long fallback, long low, long high) {
  const auto it = settings.find(key);
  if (it == settings.end() || it->is_null() || (it->is_string() && it->get<std::string>().empty())) return fallback;
  std::int64_t value = 0;
  try {
    value = to_int(*it);
  } catch (const std::exception&) {
    throw std::runtime_error(std::string("setting `") + key + "` must be a whole number");
  }
  if (value < low || value > high) throw std::runtime_error(std::string("setting `") + key + "` is out of range");
  return static_cast<long>(value);
}

// The settings a send uses: those given with it, else the file's.
Record settings_for(const SendOptions& options, const std::string& name) {
  if (!options.settings) return read_settings(name);
  if (!options.settings->is_object() || options.settings->empty()) throw std::runtime_error("not configured (no settings given)");
  return *options.settings;
}

// The settings' `timeout` (seconds), bounded by the caller's limit.
long timeout_for(const Record& settings, long fallback, const SendOptions& options) {
  const long timeout = whole_setting(settings, "timeout", fallback, 1, 3600);
  return options.max_seconds > 0 ? std::min(timeout, options.max_seconds) : timeout;
}

// `text` for a diagnostic line: control characters shown as \xNN so that nothing forges a line.
std::string printable(std::string_view text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool has_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// An address goes into MAIL FROM / RCPT TO and a header: no control characters, no blanks, no
// angle brackets, and not empty.
void check_address(std::string_view what, std::string_view address) {
  if (has_line_break(address)) throw std::runtime_error(std::string(what) + " holds a line break");
  if (address.empty()) throw std::runtime_error(std::string(what) + " is empty");
  for (const unsigned char c : address)
    if (c < 0x20 || c == 0x7f || c == ' ' || c == '<' || c == '>')
      throw std::runtime_error(std::string(what) + " is not a plain address: " + printable(address));
}

// The subject as it goes into the header: printable ASCII as it is, anything else as RFC 2047
// encoded words of at most 45 bytes each (never splitting a UTF-8 sequence), folded onto
// continuation lines so that no line grows past 78 characters. libcurl encodes MIME bodies but
// not header words, hence this small encoder over OpenSSL's base64.
std::string encode_subject(std::string_view title) {
  const bool plain = title.size() <= 900 && std::all_of(title.begin(), title.end(), [](unsigned char c) {
    return c >= 0x20 && c < 0x7f;
  });
  if (plain) return std::string(title);
  std::string out;
  std::size_t pos = 0;
  while (pos < title.size()) {
    std::size_t end = std::min(title.size(), pos + 45);
    while (end < title.size() && end > pos + 1 && (static_cast<unsigned char>(title[end]) & 0xC0) == 0x80) --end;
    if (!out.empty()) out += "\r\n ";
    out += "=?UTF-8?B?" + robots::base64(title.substr(pos, end - pos)) + "?=";
    pos = end;
  }
  return out;
}

std::string rfc5322_date() {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday], tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

void trust(CURL* curl, const Record& settings) {
  if (const std::string ca_file = text_setting(settings, "ca_file", false); !ca_file.empty())
    set(curl, CURLOPT_CAINFO, ca_file.c_str());
  set(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  set(curl, CURLOPT_SSL_VERIFYHOST, 2L);
}

// Cuts the connection of a failed SMTP transfer before its handle goes. Cleaning the handle up ends
// the session politely, with QUIT and a wait for the answer; a server that stopped answering (the
// cause of a time-out) would hold the sender for a second time-out there.
void cut_connection(CURL* curl) {
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_api().easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
    ::shutdown(socket, SHUT_RDWR);
}

// libcurl's account of a failed transfer, for the log.
std::string curl_detail(CURLcode rc, const char* errors) {
  return std::string(curl_api().easy_strerror(rc)) + (*errors ? std::string(": ") + errors : "");
}

// The summary of a transfer that got no answer from its server: the same words whether the port
// was closed, silent or spoke another protocol, so that the answer tells nothing of what listens.
std::string unreached(CURLcode rc, const char* what) {
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST: return std::string("无法解析") + what + "的名称";
    case CURLE_PEER_FAILED_VERIFICATION: return std::string(what) + "的证书未通过校验";
    default: return std::string("未能与") + what + "建立会话（连接失败、超时或对方不是该服务）";
  }
}

// The last complete SMTP reply as libcurl's debug stream shows it: its code and text, cut short.
// A line that is not an SMTP reply ("NNN text" or "NNN-text") is never kept.
struct ServerReplies {
  std::string last;
};

bool smtp_reply_line(std::string_view line) {
  return line.size() >= 3 && std::all_of(line.begin(), line.begin() + 3, [](char c) { return c >= '0' && c <= '9'; }) &&
         (line.size() == 3 || line[3] == ' ' || line[3] == '-');
}

int watch_replies(CURL*, curl_infotype type, char* data, std::size_t size, void* out) {
  if (type != CURLINFO_HEADER_IN) return 0;
  auto& replies = *static_cast<ServerReplies*>(out);
  std::string_view line(data, size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // "250-..." continues a reply, "250 ..." ends it: the final line carries the code and its text.
  if (smtp_reply_line(line) && (line.size() == 3 || line[3] == ' ')) replies.last = readable_text(line, kMaxSaid);
  return 0;
}

std::string deliver_mail(const std::string& to, const std::string& title, const std::string& body,
                         const SendOptions& options) {
  check_address("the recipient", to);
  if (has_line_break(title)) throw std::runtime_error("the subject holds a line break");
  const Record settings = settings_for(options, "stmp_mail.json");
  const std::string from = text_setting(settings, "qq_mail", true);
  check_address("the sender `qq_mail`", from);
  const std::string password = text_setting(settings, "password", false);
  const std::string host = text_setting(settings, "host", true);
  if (host.empty() || host.find_first_of("/?#@ \t\r\n\\") != std::string::npos)
    throw std::runtime_error("setting `host` is not a host name: " + host);

  std::string security = text_setting(settings, "security", false);
  const bool has_port = settings.contains("port") && !settings["port"].is_null();
  const long port = whole_setting(settings, "port", security == "starttls" ? 587 : security == "none" ? 25 : 465, 1, 65535);
  if (security.empty()) security = !has_port || port == 465 ? "ssl" : port == 587 ? "starttls" : "none";
  if (security != "ssl" && security != "starttls" && security != "none")
    throw std::runtime_error("setting `security` must be \"ssl\", \"starttls\" or \"none\", not \"" + security + "\"");
  const long timeout = timeout_for(settings, 30, options);

  LoadedEasy handle = new_handle();
  CURL* curl = handle.get();
  char errors[CURL_ERROR_SIZE] = "";
  set(curl, CURLOPT_ERRORBUFFER, errors);
  const std::string url = (security == "ssl" ? "smtps://" : "smtp://") + host + ":" + std::to_string(port);
  set(curl, CURLOPT_URL, url.c_str());
  set(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  set(curl, CURLOPT_USE_SSL, static_cast<long>(security == "none" ? CURLUSESSL_NONE : CURLUSESSL_ALL));
  trust(curl, settings);
  set(curl, CURLOPT_CONNECTTIMEOUT, std::min(kConnectSeconds, timeout));
  set(curl, CURLOPT_TIMEOUT, timeout);
  set(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, timeout);
  if (!password.empty()) {
    set(curl, CURLOPT_USERNAME, from.c_str());
    set(curl, CURLOPT_PASSWORD, password.c_str());
  }
  const std::string mail_from = "<" + from + ">";
  set(curl, CURLOPT_MAIL_FROM, mail_from.c_str());
  LoadedSlist recipients;
  append_list(recipients, "<" + to + ">");
  set(curl, CURLOPT_MAIL_RCPT, recipients.get());

  LoadedSlist headers;
  append_list(headers, "From: " + from);
  append_list(headers, "To: " + to);
  append_list(headers, "Subject: " + encode_subject(title));
  append_list(headers, "Date: " + rfc5322_date());
  set(curl, CURLOPT_HTTPHEADER, headers.get());

  const CurlApi& api = curl_api();
  LoadedMime mime(api.mime_init(curl));
  if (!mime) throw std::runtime_error("libcurl could not make a MIME message");
  curl_mimepart* part = api.mime_addpart(mime.get());
  if (!part || api.mime_data(part, body.data(), body.size()) != CURLE_OK ||
      api.mime_type(part, "text/html; charset=UTF-8") != CURLE_OK || api.mime_encoder(part, "base64") != CURLE_OK)
    throw std::runtime_error("libcurl could not build the HTML part");
  set(curl, CURLOPT_MIMEPOST, mime.get());
  ServerReplies replies;
  set(curl, CURLOPT_DEBUGFUNCTION, watch_replies);
  set(curl, CURLOPT_DEBUGDATA, &replies);
  set(curl, CURLOPT_VERBOSE, 1L);
  if (const CURLcode rc = curl_api().easy_perform(curl); rc != CURLE_OK) {
    cut_connection(curl);
    if (replies.last.empty()) throw Undelivered(unreached(rc, "SMTP 服务器"), curl_detail(rc, errors));
    const char* words = rc == CURLE_LOGIN_DENIED ? "登录被拒绝" : rc == CURLE_USE_SSL_FAILED ? "服务器不支持 STARTTLS" : "邮件被拒绝";
    throw Undelivered(std::string(words) + "（服务器：" + replies.last + "）", curl_detail(rc, errors));
  }
  return replies.last;
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
  auto& reply = *static_cast<std::string*>(out);
  const std::size_t n = size * count;
  if (reply.size() + n > kMaxReply) return 0;  // a robot's answer is small; stop a flood
  reply.append(data, n);
  return n;
}

std::string url_escape(CURL* curl, const std::string& text) {
  LoadedText escaped(curl_api().easy_escape(curl, text.data(), static_cast<int>(text.size())));
  if (!escaped) throw std::runtime_error("cannot URL-encode the signature");
  return escaped.get();
}

// "&timestamp=<ms>&sign=<url-encoded base64 HMAC-SHA256 of "<ms>\n<secret>" keyed with the secret>".
std::string signature_query(CURL* curl, const std::string& secret) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
  const std::string timestamp = std::to_string(ms);
  const std::string sign = robots::base64(robots::hmac_sha256(secret, timestamp + "\n" + secret));
  return "timestamp=" + timestamp + "&sign=" + url_escape(curl, sign);
}

// Opens every socket of a webhook transfer, so that each address a name resolves to is judged
// before anything is sent to it (a name may lead to an inner address).
struct SocketGate {
  bool https = false;
  bool refused = false;
};

curl_socket_t open_judged_socket(void* gate_ptr, curlsocktype, curl_sockaddr* address) {
  auto& gate = *static_cast<SocketGate*>(gate_ptr);
  char text[INET6_ADDRSTRLEN] = "";
  if (address->family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address->addr)->sin_addr, text, sizeof text);
  else if (address->family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address->addr)->sin6_addr, text, sizeof text);
  if (!webhook_address_allowed(gate.https, text)) {
    gate.refused = true;
    return CURL_SOCKET_BAD;
  }
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// The robot's answer as a summary: its errcode and errmsg when it answered JSON holding an
// errcode, else the HTTP status alone. Answers the summary and whether the robot accepted.
std::pair<std::string, bool> robot_summary(long status, const std::string& reply) {
  const std::string plain = "HTTP " + std::to_string(status);
  Record answer;
  try {
    answer = decode(reply);
  } catch (const std::exception&) {
    return {plain, false};
  }
  if (!answer.is_object() || !answer.contains("errcode") || !(answer["errcode"].is_number() || answer["errcode"].is_string()))
    return {plain, false};
  const Record& message = answer.contains("errmsg") && answer["errmsg"].is_string() ? answer["errmsg"] : Record("");
  std::string said = "errcode " + readable_text(text_of(answer["errcode"]), 24) + ": " +
                     readable_text(message.get<std::string>(), kMaxSaid);
  if (status != 200) said = plain + ", " + said;
  return {said, status == 200 && same_value(answer["errcode"], 0)};
}

// What a robot answered to one POST.
struct RobotReply {
  long status = 0;
  std::string body;
};

// Posts the JSON `payload` to the robot's webhook `url` (setting `url_key` of `settings`), with
// `headers` beside the content type. `who` names the robot in summaries ("钉钉"). Throws
// Undelivered when no answer came.
RobotReply post_to_robot(const std::string& url, const std::string& payload, const std::vector<std::string>& headers,
                         const Record& settings, long timeout, const std::string& who) {
  SocketGate gate;
  gate.https = judge_webhook(url).https;
  LoadedEasy handle = new_handle();
  CURL* curl = handle.get();
  char errors[CURL_ERROR_SIZE] = "";
  set(curl, CURLOPT_ERRORBUFFER, errors);
  set(curl, CURLOPT_URL, url.c_str());
  set(curl, CURLOPT_PROTOCOLS_STR, gate.https ? "https" : "http");
  // The robot is reached directly: the judged address is the one connected to.
  set(curl, CURLOPT_PROXY, "");
  set(curl, CURLOPT_OPENSOCKETFUNCTION, open_judged_socket);
  set(curl, CURLOPT_OPENSOCKETDATA, &gate);
  trust(curl, settings);
  set(curl, CURLOPT_CONNECTTIMEOUT, std::min(kConnectSeconds, timeout));
  set(curl, CURLOPT_TIMEOUT, timeout);

  set(curl, CURLOPT_POSTFIELDS, payload.c_str());
  set(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
  LoadedSlist header_list;
  append_list(header_list, "Content-Type: application/json; charset=utf-8");
  for (const std::string& line : headers) append_list(header_list, line);
  set(curl, CURLOPT_HTTPHEADER, header_list.get());
  RobotReply reply;
  set(curl, CURLOPT_WRITEFUNCTION, collect);
  set(curl, CURLOPT_WRITEDATA, &reply.body);
  HeaderCap header_cap;
  set(curl, CURLOPT_HEADERFUNCTION, HeaderCap::take);
  set(curl, CURLOPT_HEADERDATA, &header_cap);
  const CURLcode rc = curl_api().easy_perform(curl);
  curl_api().easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  if (rc != CURLE_OK) {
    if (gate.refused) throw Undelivered(who + " Webhook 的地址解析到内部地址，未连接", curl_detail(rc, errors));
    if (header_cap.over)
      throw Undelivered(who + "未接受消息（应答头超过 " + std::to_string(header_cap.limit) + " 字节）", curl_detail(rc, errors));
    if (rc == CURLE_WRITE_ERROR && reply.status != 0)
      throw Undelivered(who + "未接受消息（HTTP " + std::to_string(reply.status) + "，应答过大）", curl_detail(rc, errors));
    throw Undelivered(unreached(rc, (who + " Webhook 服务器").c_str()), curl_detail(rc, errors));
  }
  return reply;
}

// The settings' webhook under `key`, judged; a refusal names the setting.
std::string judged_url(const Record& settings, const char* key) {
  std::string url = text_setting(settings, key, true);
  try {
    judge_webhook(url);
  } catch (const WebhookRefused& e) {
    throw std::runtime_error(std::string("setting `") + key + "`: " + e.what());
  }
  return url;
}

std::string deliver_dingding(const Record& message, const SendOptions& options) {
  const Record settings = settings_for(options, "dingding.json");
  std::string url = judged_url(settings, "dingding_url");
  const std::string secret = text_setting(settings, "secret", false);
  const long timeout = timeout_for(settings, 10, options);
  if (!secret.empty()) {
    LoadedEasy escaper = new_handle();
    url += (url.find('?') == std::string::npos ? "?" : "&") + signature_query(escaper.get(), secret);
  }
  const std::string payload = message.dump(-1, ' ', false, Record::error_handler_t::replace);
  const RobotReply reply = post_to_robot(url, payload, {}, settings, timeout, "钉钉");
  auto [said, accepted] = robot_summary(reply.status, reply.body);
  if (!accepted) throw Undelivered("钉钉未接受消息（" + said + "）", "");
  return said;
}

std::string deliver_robot(const Record& robot, const robots::Alert& alert, const SendOptions& options) {
  if (!robot.is_object() || robot.empty()) throw std::runtime_error("not configured (no robot given)");
  const std::string kind = text_setting(robot, "kind", true);
  if (!robots::known_kind(kind)) throw std::runtime_error("setting `kind` is not a robot kind: " + printable(kind));
  const std::string url = judged_url(robot, "url");
  const std::string secret = text_setting(robot, "secret", false);
  const long timeout = timeout_for(robot, 10, options);
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
  const robots::Post post = robots::build(kind, alert, secret, now);
  const std::string who = robots::label(kind);
  const RobotReply reply = post_to_robot(url, post.body, post.headers, robot, timeout, who);
  auto [said, accepted] = robots::judge_answer(kind, reply.status, reply.body);
  if (!accepted) throw Undelivered(who + "未接受消息（" + said + "）", "");
  return said;
}

}  // namespace

namespace {

// Runs one delivery; a failure is logged under `what` (with libcurl's detail) and answered.
template <typename Deliver>
SendResult attempt(const std::string& what, Deliver deliver) {
  try {
    return {true, deliver()};
  } catch (const Undelivered& e) {
    journal::log_line(journal::Priority::debug, "send_mail: " + printable(what) + " not sent: " + printable(e.what()) +
                                                    (e.detail().empty() ? "" : " (" + printable(e.detail()) + ")"));
    return {false, e.what()};
  } catch (const std::exception& e) {
    journal::log_line(journal::Priority::debug, "send_mail: " + printable(what) + " not sent: " + printable(e.what()));
    return {false, e.what()};
  }
}

}  // namespace

SendResult send_mail::qq_smtp_send(const std::string& to, const std::string& title, const std::string& body,
                                   const SendOptions& options) {
  return attempt("e-mail to " + to, [&] { return deliver_mail(to, title, body, options); });
}

SendResult send_mail::dingding_send(const std::string& body) {
  return attempt("DingTalk message", [&] {
    return deliver_dingding(Record{{"msgtype", "text"}, {"text", {{"content", body}}}}, {});
  });
}

SendResult send_mail::dingding_markdown(const std::string& title, const std::string& text, const SendOptions& options) {
  return attempt("DingTalk message", [&] {
    return deliver_dingding(Record{{"msgtype", "markdown"}, {"markdown", {{"title", title}, {"text", text}}}}, options);
  });
}

SendResult send_mail::robot_send(const Record& robot, const robots::Alert& alert, const SendOptions& options) {
  const std::string kind = robot.is_object() && robot.contains("kind") ? text_of(robot["kind"]) : "robot";
  return attempt(robots::label(kind) + " message", [&] { return deliver_robot(robot, alert, options); });
}

}  // namespace rivi
