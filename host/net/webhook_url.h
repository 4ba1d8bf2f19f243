// The DingTalk webhook addresses the host posts to, judged in one place for the settings form and
// the sender: https to a host that is not an inner address (host/net/inner_address.h), or http to
// this machine's loopback (a local relay, a test robot); no user name, blanks or control
// characters. libcurl's own URL parser reads the address, so what is judged is what a transfer
// connects to: "HTTPS://robot.example/" is https, "http://127.1/" is http on 127.0.0.1. A host
// name is judged by its addresses when the sender connects (`webhook_address_allowed`).
#pragma once

#include <stdexcept>
#include <string>

namespace rivi {

// A webhook address refused; what() is the message for the administrator, in Chinese.
class WebhookRefused : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Where a webhook posts to. `host` is lower-case, an IPv6 address without its brackets.
struct WebhookOrigin {
  bool https = false;
  std::string host;
  long port = 0;  // the scheme's default when the address names none
  bool operator==(const WebhookOrigin&) const = default;
};

// The origin of the acceptable webhook `url`; throws WebhookRefused.
WebhookOrigin judge_webhook(const std::string& url);

// Whether the sender may connect to `ip` for a webhook of scheme https (`https`) or http.
bool webhook_address_allowed(bool https, const std::string& ip);

}  // namespace rivi
