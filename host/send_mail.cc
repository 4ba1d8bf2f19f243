#include "host/send_mail.h"

#include <iostream>

namespace rivi {

// Real delivery is not built yet: both channels report failure instead of pretending success.
bool send_mail::qq_smtp_send(const std::string& to, const std::string&, const std::string&) {
  std::cerr << "send_mail: e-mail delivery is not available; nothing sent to " << to << "\n";
  return false;
}

bool send_mail::dingding_send(const std::string&) {
  std::cerr << "send_mail: DingTalk delivery is not available; nothing sent\n";
  return false;
}

}  // namespace rivi
