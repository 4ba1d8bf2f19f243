// The alert channels' files as the settings form writes them: the mail account
// (<root>/data/stmp_mail.json), the DingTalk robot (dingding.json) and the recipients
// (mail_list.json). Each save reads the file, changes only the keys the form edits (other keys,
// such as `ca_file` and `timeout`, stay), and replaces it atomically with mode 0600.
//
// Secrets are write-only: an empty `password` / `secret` field keeps the stored one, the field
// `clear_password` / `clear_secret` set to "1" removes it. Nothing answered or thrown here holds
// a secret.
#pragma once

#include "host/record.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace rivi {

// A form the settings refuse; what() is the message for the administrator, in Chinese.
class SettingsRefused : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Whether `text` looks like one e-mail address: local@domain.tld, no blanks, control characters,
// angle brackets, quotes, commas or semicolons, at most 254 bytes.
bool looks_like_address(std::string_view text);

// Form fields `qq_mail`, `host`, `port`, `security` (ssl, starttls or none), `password`,
// `clear_password`. Answers the success message; throws SettingsRefused.
std::string save_mail_settings(const Record& form);

// Form fields `dingding_url` (https, or http on a loopback address; empty, or the stored address
// with its query hidden as the page shows it, keeps the stored one), `secret`, `clear_secret`.
std::string save_dingding_settings(const Record& form);

// Form field `mail_list`: addresses separated by line breaks, blanks, commas or semicolons.
// One bad address refuses the whole list, naming it.
std::string save_recipients(const Record& form);

}  // namespace rivi
