// The alert channels' files as the settings form writes them: the mail account
// (<root>/data/stmp_mail.json), the DingTalk robot (dingding.json) and the recipients
// (mail_list.json). Each save reads the file, changes only the keys the form edits (other keys,
// such as `ca_file` and `timeout`, stay), and replaces it atomically with mode 0600.
//
// Secrets are write-only: an empty `password` / `secret` field keeps the stored one, the field
// `clear_password` / `clear_secret` set to "1" removes it. A secret stays with the server it was
// given for: a save that changes the mail account's server, port, security or sender, or the
// webhook's origin (scheme, host, port), without giving the secret again removes the stored one,
// and the answer asks for it. Nothing answered or thrown here holds a secret.
#pragma once

#include "host/record.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

// A form the settings refuse; what() is the message for the administrator, in Chinese.
class SettingsRefused : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// What a save answers: the message for the administrator, and the stored secret removed because
// its server changed ("password" or "secret", to be entered again; "" when none was).
struct SettingsSaved {
  std::string msg;
  std::string dropped;
};

// Whether `text` looks like one e-mail address: local@domain.tld, no blanks, control characters,
// angle brackets, quotes, commas or semicolons, at most 254 bytes.
bool looks_like_address(std::string_view text);

// What a save of a form would write into the channel's file, worked out without writing it (a
// test message sends with it): the file's other keys, the form's fields, and the stored secret
// only where the save would keep it.
struct ChannelDraft {
  Record settings;
  bool dropped = false;  // a stored secret is left out because the form moves it to another server
};

// Form fields `qq_mail`, `host`, `port`, `security` (ssl, starttls or none), `password`,
// `clear_password`. Throws SettingsRefused.
ChannelDraft draft_mail_settings(const Record& form);
SettingsSaved save_mail_settings(const Record& form);

// Form fields `dingding_url` (https, or http on a loopback address; empty, or the stored address
// with its query hidden as the page shows it, keeps the stored one; judged by
// host/net/webhook_url.h), `secret`, `clear_secret`.
ChannelDraft draft_dingding_settings(const Record& form);
SettingsSaved save_dingding_settings(const Record& form);

// Form field `mail_list`: addresses separated by line breaks, blanks, commas or semicolons, in
// order, each once. One bad address refuses the whole list, naming it.
std::vector<std::string> recipients_from_form(const Record& form);
SettingsSaved save_recipients(const Record& form);

}  // namespace rivi
