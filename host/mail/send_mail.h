// The host's sender: one HTML e-mail through SMTP (settings in <root>/data/stmp_mail.json) and
// one message to the DingTalk webhook (<root>/data/dingding.json). Both read their settings file
// afresh on every call. Failures never throw: they answer false and say why on standard error.
//
// stmp_mail.json: `qq_mail` (sender address and login name), `password` (login only when not
// empty), `host`, `port`, `security` ("ssl", "starttls" or "none"; by default 465 means ssl, 587
// starttls, any other port none; with neither key, port 465 and ssl). "starttls" makes TLS
// mandatory: a server that does not offer it gets nothing, never plain text. Optional keys:
// `ca_file` (a PEM file of certificate authorities trusted instead of the system's, e.g. for a
// local server with its own certificate; verification itself always stays on) and `timeout`
// (whole seconds for one e-mail, default 30; connecting gets at most 5 of them).
//
// dingding.json: `dingding_url` (the robot's webhook, http or https), optional `secret` (the
// request is then signed: `timestamp` in milliseconds and `sign`, the URL-encoded base64 of
// HMAC-SHA256 over "<timestamp>\n<secret>" keyed with the secret, added as query parameters),
// optional `ca_file` and `timeout` as above (default 10). The message is posted as
// {"msgtype": "text", "text": {"content": <body>}} (or as markdown with a title); success is HTTP
// 200 with "errcode" 0. An http:// webhook is accepted only on a loopback address.
//
// Each send answers a `SendResult`, true when delivered, with the server's answer: the SMTP
// server's last reply ("250 ..."; "535 ..." for a refused login), the robot's "errcode N: errmsg",
// or the error that kept the message from the server (unreachable host, refused certificate).
#pragma once

#include <string>

namespace rivi {

struct SendResult {
  bool ok = false;
  std::string answer;
  operator bool() const { return ok; }  // NOLINT: a result reads as the former boolean
};

class send_mail {
 public:
  // Sends one HTML e-mail to `to` with the UTF-8 subject `title`. Answers true when the server
  // accepted it. A recipient, sender or subject holding CR or LF is refused before connecting.
  SendResult qq_smtp_send(const std::string& to, const std::string& title, const std::string& body);
  // Posts `body` to the configured webhook. Answers true when the robot accepted it.
  SendResult dingding_send(const std::string& body);
  // Posts a markdown message (`title` shown in the notification list, `text` the markdown).
  SendResult dingding_markdown(const std::string& title, const std::string& text);
};

}  // namespace rivi
