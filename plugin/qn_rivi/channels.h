// The chat robots alerts go to beside the host's default mail and DingTalk channels: table
// `rivi_channel` (id, kind wecom|feishu|webhook, name, url, secret, tags, enabled, created), the
// form that adds or changes one, and the routing of an alert to them by the tags of its task.
//
// Routing: an enabled channel without tags takes every alert; one with tags takes the alerts of
// tasks carrying one of them (table `rivi_tag` (pid, tag); no such table means no task has tags)
// and every alert that is about no task (the dispatch centre, a node). In the outbox a channel's
// rows are channel = its kind, recipient = "#<id> <host>".
//
// Secrets are write-only: neither the URL's path and query (a WeCom key, a Feishu token) nor the
// signing secret is ever answered; the URL is shown as "<scheme>://<host>/…", which a form may send
// back to keep the stored one. An empty secret keeps the stored one, `clear_secret` 1 removes it,
// and a URL that moves to another origin (scheme, host, port) without a new secret drops it.
#pragma once

#include "host/record.h"
#include "plugin/qn_rivi/outbox.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

class Connection;

namespace channels {

struct Channel {
  std::int64_t id = 0;  // 0 for one not saved
  std::string kind, name, url, secret;
  std::vector<std::string> tags;  // empty: every alert
  bool enabled = true;
  std::int64_t created = 0;
};

void create_tables(Connection& db);

// Every channel, by id; none when the table is not there.
std::vector<Channel> all(Connection& db);
std::optional<Channel> find(Connection& db, std::int64_t id);

// The channels as get_channels answers them: no URL path or query, no secret.
Record listed(Connection& db);

// What the form `form` makes of channel `id` (or of a new one without it), validated, with the
// stored secret where a save keeps it; `dropped` tells that a stored secret was left out because
// the URL moved. Throws SettingsRefused (host/web/channel_settings.h) naming the field.
struct Draft {
  Channel channel;
  bool dropped = false;
};
Draft draft(Connection& db, const Record& form);

// Saves the draft of `form` at `now`; answers the channel's id and the message for the administrator.
struct Saved {
  std::int64_t id = 0;
  std::string msg;
  bool dropped = false;
};
Saved save(Connection& db, const Record& form, std::int64_t now);

// Removes channel `id` and fails its messages still waiting (at `now`); false when there is none.
bool remove(Connection& db, std::int64_t id, std::int64_t now);

// The tags of task `pid`.
std::vector<std::string> task_tags(Connection& db, std::int64_t pid);

// Where an alert about task `pid` (0: none) goes among the enabled channels.
std::vector<outbox::Address> addresses_for(Connection& db, std::int64_t pid);

// The outbox recipient of `channel`, and the channel id a recipient names.
std::string recipient_of(const Channel& channel);
std::optional<std::int64_t> id_of_recipient(std::string_view recipient);

// The settings the host's sender takes for a channel (send_mail::robot_send).
Record robot_settings(const Channel& channel);

// "<scheme>://<host[:port]>/…": a URL as the page is shown it.
std::string shown_url(const std::string& url);

}  // namespace channels
}  // namespace rivi
