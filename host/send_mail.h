// The host's sender: one HTML e-mail through SMTP (settings in <root>/data/stmp_mail.json) and
// one message to the DingTalk webhook (<root>/data/dingding.json). Failures never throw: they
// answer false and say why on standard error.
#pragma once

#include <string>

namespace rivi {

class send_mail {
 public:
  // Sends one HTML e-mail to `to`. Answers true when the server accepted it.
  bool qq_smtp_send(const std::string& to, const std::string& title, const std::string& body);
  // Posts `body` to the configured webhook. Answers true when the robot accepted it.
  bool dingding_send(const std::string& body);
};

}  // namespace rivi
