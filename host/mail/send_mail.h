// The host's sender: one HTML e-mail through SMTP (settings in <root>/data/stmp_mail.json) and
// one message to the DingTalk webhook (<root>/data/dingding.json). Both read their settings file
// afresh on every call, unless the caller hands them the settings to use (`SendOptions`).
// Failures never throw: they answer false and say why on standard error.
//
// stmp_mail.json: `qq_mail` (sender address and login name), `password` (login only when not
// empty), `host`, `port`, `security` ("ssl", "starttls" or "none"; by default 465 means ssl, 587
// starttls, any other port none; with neither key, port 465 and ssl). "starttls" makes TLS
// mandatory: a server that does not offer it gets nothing, never plain text. Optional keys:
// `ca_file` (a PEM file of certificate authorities trusted instead of the system's, e.g. for a
// local server with its own certificate; verification itself always stays on) and `timeout`
// (whole seconds for one e-mail, default 30; connecting gets at most 5 of them).
//
// dingding.json: `dingding_url` (the robot's webhook: https to a host that is no inner address,
// or http on a loopback address, as host/net/webhook_url.h judges it; the robot is reached
// directly, never through a proxy, and every address a name resolves to is judged before a
// connection is made), optional `secret` (the request is then signed: `timestamp` in
// milliseconds and `sign`, the URL-encoded base64 of HMAC-SHA256 over "<timestamp>\n<secret>"
// keyed with the secret, added as query parameters), optional `ca_file` and `timeout` as above
// (default 10). The message is posted as {"msgtype": "text", "text": {"content": <body>}} (or as
// markdown with a title); success is HTTP 200 with "errcode" 0.
//
// Robots of other kinds (WeCom, Feishu, a generic webhook; their bodies and signatures are
// host/mail/robots.h) are given their settings with each send: `kind`, `url` (judged as
// `dingding_url` is, and reached the same way), optional `secret`, `ca_file`, `timeout`.
//
// Each send answers a `SendResult`, true when delivered, with a fixed summary of what happened,
// never more of a server's words than its reply code and a short text: the SMTP server's last
// reply ("250 ..."; "登录被拒绝（服务器: 535 ...）" for a refused login), the robot's
// "errcode N: errmsg" when it answers JSON holding an errcode, else its HTTP status ("HTTP 404"),
// or why no server answered (a name that does not resolve, a certificate refused, and one
// wording for a closed port, a silent one and a service of another kind). libcurl's own account
// of a failure goes to standard error alone.
#pragma once

#include "host/record.h"

#include <optional>
#include <string>

namespace rivi {

namespace robots {
struct Alert;
}

// How one message is sent, beside what the settings say.
struct SendOptions {
  // The channel's settings (the same keys as its file) used instead of the file, e.g. those of a
  // form being tried out; nothing: the file, read afresh.
  std::optional<Record> settings;
  // An upper bound, in seconds, on the whole exchange, below the settings' own `timeout`; 0: none.
  long max_seconds = 0;
};

struct SendResult {
  bool ok = false;
  std::string answer;
  operator bool() const { return ok; }  // NOLINT: a result reads as the former boolean
};

class send_mail {
 public:
  // Sends one HTML e-mail to `to` with the UTF-8 subject `title`. Answers true when the server
  // accepted it. A recipient, sender or subject holding CR or LF is refused before connecting.
  SendResult qq_smtp_send(const std::string& to, const std::string& title, const std::string& body,
                          const SendOptions& options = {});
  // Posts `body` to the configured webhook. Answers true when the robot accepted it.
  SendResult dingding_send(const std::string& body);
  // Posts a markdown message (`title` shown in the notification list, `text` the markdown).
  SendResult dingding_markdown(const std::string& title, const std::string& text, const SendOptions& options = {});
  // Posts `alert` to the robot `robot` ({kind, url, secret, ...}). Answers true when it took it.
  SendResult robot_send(const Record& robot, const robots::Alert& alert, const SendOptions& options = {});
};

}  // namespace rivi
