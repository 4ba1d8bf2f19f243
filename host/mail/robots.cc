#include "host/mail/robots.h"

#include "host/net/curl_loader.h"
#include "host/record.h"
#include "host/utf8.h"

#include <optional>
#include <stdexcept>

namespace rivi::robots {
namespace {

constexpr std::size_t kMaxSaid = 160;  // bytes of a robot's own words in a summary

// `text` cut to at most `limit` bytes at a character boundary, "…" marking a cut.
std::string cut_utf8(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  return text.substr(0, utf8_prefix(text, limit - 3)) + "…";  // room for "…"
}

std::string json_text(const Record& body) { return body.dump(-1, ' ', false, Record::error_handler_t::replace); }

// "<key> <value>: <message>" of a JSON answer holding `key`; nothing when it does not.
std::optional<std::pair<std::string, bool>> coded(const Record& answer, const char* key, const char* message_key) {
  const auto it = answer.find(key);
  if (it == answer.end() || !(it->is_number() || it->is_string())) return std::nullopt;
  const auto said = answer.find(message_key);
  const std::string words = said != answer.end() && said->is_string() ? said->get<std::string>() : "";
  return std::pair{std::string(key) + " " + readable_text(text_of(*it), 24) + ": " + readable_text(words, kMaxSaid),
                   same_value(*it, 0)};
}

}  // namespace

std::string hmac_sha256(std::string_view key, std::string_view message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const CryptoApi& crypto = crypto_api();
  if (!crypto.hmac(crypto.sha256(), key.data(), static_cast<int>(key.size()),
                   reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &length))
    throw std::runtime_error("cannot compute the HMAC-SHA256 signature");
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = crypto_api().encode_base64(reinterpret_cast<unsigned char*>(out.data()),
                                           reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

bool known_kind(std::string_view kind) { return kind == kWecom || kind == kFeishu || kind == kWebhook; }

std::string label(std::string_view kind) {
  if (kind == kWecom) return "企业微信";
  if (kind == kFeishu) return "飞书";
  if (kind == kWebhook) return "Webhook";
  return std::string(kind);
}

std::string feishu_sign(const std::string& secret, std::int64_t timestamp) {
  return base64(hmac_sha256(std::to_string(timestamp) + "\n" + secret, ""));
}

std::string webhook_signature(const std::string& secret, std::string_view body) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "sha256=";
  for (const unsigned char c : hmac_sha256(secret, body)) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string plain_text(std::string_view markdown) {
  std::string out;
  std::size_t i = 0;
  while (i < markdown.size()) {
    // A line: its heading marks dropped, then escapes undone and "**" dropped up to its end.
    const std::size_t hashes = markdown.find_first_not_of('#', i);
    if (hashes != std::string_view::npos && hashes > i && markdown[hashes] == ' ') i = hashes + 1;
    for (; i < markdown.size(); ++i) {
      const char c = markdown[i];
      if (c == '\\' && i + 1 < markdown.size()) {
        out += markdown[++i];
      } else if (c == '*' && i + 1 < markdown.size() && markdown[i + 1] == '*') {
        ++i;
      } else {
        out += c;
        if (c == '\n') {
          ++i;
          break;
        }
      }
    }
  }
  return out;
}

Post build(std::string_view kind, const Alert& alert, const std::string& secret, std::int64_t now) {
  Post post;
  if (kind == kWecom) {
    post.body = json_text(Record{{"msgtype", "markdown"},
                                 {"markdown", {{"content", cut_utf8(alert.markdown, kWecomMarkdownBytes)}}}});
  } else if (kind == kFeishu) {
    Record body = Record::object();
    if (!secret.empty()) {
      body["timestamp"] = std::to_string(now);
      body["sign"] = feishu_sign(secret, now);
    }
    body["msg_type"] = "interactive";
    body["card"] = Record{
        {"config", {{"wide_screen_mode", true}}},
        {"header", {{"title", {{"tag", "plain_text"}, {"content", alert.title}}}}},
        {"elements", Record::array({Record{{"tag", "markdown"}, {"content", alert.markdown}}})}};
    post.body = json_text(body);
  } else if (kind == kWebhook) {
    post.body = json_text(Record{{"kind", alert.kind},
                                 {"title", alert.title},
                                 {"task_id", alert.task_id},
                                 {"task_name", alert.task_name},
                                 {"task_url", alert.task_url},
                                 {"state", alert.state},
                                 {"reason", alert.reason},
                                 {"time", alert.time},
                                 {"sent_at", now},
                                 {"markdown", alert.markdown},
                                 {"text", plain_text(alert.markdown)}});
    if (!secret.empty()) {
      post.headers.push_back("X-Rivi-Signature: " + webhook_signature(secret, post.body));
      post.headers.push_back("X-Rivi-Timestamp: " + std::to_string(now));
    }
  } else {
    throw std::invalid_argument("unknown robot kind: " + std::string(kind));
  }
  return post;
}

std::pair<std::string, bool> judge_answer(std::string_view kind, long status, const std::string& reply) {
  const std::string plain = "HTTP " + std::to_string(status);
  if (kind == kWebhook) return {plain, status >= 200 && status < 300};
  Record answer;
  try {
    answer = decode(reply);
  } catch (const std::exception&) {
    return {plain, false};
  }
  if (!answer.is_object()) return {plain, false};
  std::optional<std::pair<std::string, bool>> said;
  if (kind == kWecom) said = coded(answer, "errcode", "errmsg");
  else if (!(said = coded(answer, "code", "msg"))) said = coded(answer, "StatusCode", "StatusMessage");
  if (!said) return {plain, false};
  if (status != 200) return {plain + ", " + said->first, false};
  return *said;
}

}  // namespace rivi::robots
