// The wire formats of the chat robots alerts go to beside DingTalk: the WeCom group robot, the
// Feishu group robot and a generic JSON webhook. For each: the body it takes, how a request is
// signed, and how its answer says that the message was taken. Sending is send_mail's
// (`robot_send`); nothing here touches the network.
//
//   wecom   {"msgtype": "markdown", "markdown": {"content": <markdown>}} to .../webhook/send?key=KEY
//           (the key in the URL is the secret); taken when the answer's `errcode` is 0.
//   feishu  {"msg_type": "interactive", "card": {...}} (a header with the title, one markdown
//           element); with a secret also `timestamp` (seconds, as text) and `sign`, the base64 of
//           HMAC-SHA256 keyed with "<timestamp>\n<secret>" over an empty message; taken when the
//           answer's `code` (or the older `StatusCode`) is 0.
//   webhook the alert's fields as JSON (`kind`, `title`, `task_id`, `task_name`, `task_url`,
//           `state`, `reason`, `time`, `sent_at`, `markdown`, `text`); with a secret the headers
//           `X-Rivi-Signature: sha256=<hex HMAC-SHA256 of the raw body>` and `X-Rivi-Timestamp`
//           (seconds; the same value as `sent_at`, so the signature covers it); taken on any 2xx.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rivi::robots {

// The kinds, by the names the channel table and the outbox use.
inline constexpr std::string_view kWecom = "wecom";
inline constexpr std::string_view kFeishu = "feishu";
inline constexpr std::string_view kWebhook = "webhook";
bool known_kind(std::string_view kind);
// The kind's name for the administrator: 企业微信, 飞书, Webhook.
std::string label(std::string_view kind);

// WeCom refuses markdown longer than this many bytes.
inline constexpr std::size_t kWecomMarkdownBytes = 4096;

// One alert as the robots are given it.
struct Alert {
  std::string kind;  // the outbox's kind of alert (report, fault, ..., test, digest)
  std::string title, markdown;
  std::int64_t task_id = 0;  // 0 for the monitor, a node or a digest of several tasks
  std::string task_name, task_url, state, reason;
  std::int64_t time = 0;  // when the alert was raised
};

// One request: its JSON body and the headers beside Content-Type.
struct Post {
  std::string body;
  std::vector<std::string> headers;
};

// The signing primitives, through the libcrypto loaded at first use (host/net/curl_loader.h):
// the raw HMAC-SHA256 of `message` keyed with `key`, and standard base64.
std::string hmac_sha256(std::string_view key, std::string_view message);
std::string base64(std::string_view bytes);

// base64(HMAC-SHA256(key = "<timestamp>\n<secret>", message = "")).
std::string feishu_sign(const std::string& secret, std::int64_t timestamp);
// "sha256=" and the lower-case hex HMAC-SHA256 of `body` keyed with `secret`.
std::string webhook_signature(const std::string& secret, std::string_view body);
// `markdown` as plain text: escapes undone, heading marks and emphasis dropped.
std::string plain_text(std::string_view markdown);

// The request for `alert` to a robot of `kind` (signed when `secret` is not empty) at `now`
// (seconds). Throws std::invalid_argument for an unknown kind.
Post build(std::string_view kind, const Alert& alert, const std::string& secret, std::int64_t now);

// The robot's answer as a fixed summary ("errcode 0: ok", "code 19021: sign match fail",
// "HTTP 500"), and whether it took the message.
std::pair<std::string, bool> judge_answer(std::string_view kind, long status, const std::string& reply);

}  // namespace rivi::robots
