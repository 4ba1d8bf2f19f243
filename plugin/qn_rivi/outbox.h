// The durable outbox of alert messages: table `rivi_outbox`, one row per message, channel and
// recipient. A message is written here before anything tries to send it, and it leaves the
// waiting states only by being delivered, or by being given up as `failed` after a day of failed
// attempts; a message held back (its task inside a maintenance window) stays `held` and is never
// sent. Senders (a probe run after storing its row, `panel serve`'s upkeep) claim what is due in
// a write transaction, so that no row is ever claimed twice; a claim that its sender did not
// settle within `kLeaseSeconds` (the process died) becomes due again.
//
// States: pending (waiting for `next_try`), sending (claimed until `lease`), delivered, failed,
// held. A channel's recipient (a mail address, or the robot) is a group; one claim takes one
// message for one group, the oldest due first:
//   - a report (a row that is no digest row) goes out as it is, one message each;
//   - change alerts (digest rows) go out at once when the group had no digest in the last
//     `kPaceSeconds`; otherwise they wait for that minute's end, and all the digest rows due then
//     go out as one message, a digest of them;
//   - a channel with a rate limit (`rate_limit`: each DingTalk, WeCom or Feishu robot takes 20
//     requests a minute, a generic webhook 60) with one request left puts everything due for the
//     group into it; with none left, the due rows become digest rows waiting for the first free
//     request. The limit counts each recipient (robot) apart.
// The table `rivi_channel_use` keeps each request of the last hour, for the limit and the pace.
#pragma once

#include "host/record.h"
#include "plugin/qn_rivi/alert_text.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace rivi {

class Connection;

namespace outbox {

inline constexpr std::int64_t kPaceSeconds = 60;
inline constexpr std::int64_t kGiveUpSeconds = 24 * 3600;
inline constexpr std::int64_t kLeaseSeconds = 15 * 60;
inline constexpr int kKeepDays = 30;  // delivered and failed rows are purged after this

// The channel of an alert that had nowhere to go, and why it was not delivered.
inline constexpr const char* kNoChannel = "none";
inline constexpr const char* kNoChannelAnswer = "未配置通知渠道，告警无法发出";

// Seconds from the `failed`-th failed attempt to the next: 1, 2, 5, 10 and 30 minutes, then hourly.
std::int64_t retry_delay(std::int64_t failed);
// Requests a minute one recipient of the channel takes; 0 for no limit.
std::int64_t rate_limit(std::string_view channel);

// An alert about to be queued, before it is addressed.
struct Alert {
  std::int64_t pid = 0;  // its task; 0 for the monitor or a node
  std::string kind;      // report, fault, reminder, recovery, monitoring, monitor_recovery, node, node_recovery,
                         // cert, cert_recovery
  std::string topic;     // what it is about, so that its text can be revised while it waits; "" for nothing
  alert_text::Message message;
  bool digest = false;   // a change alert: paced, and merged with the group's others due at once
};

// One channel and recipient an alert goes to.
struct Address {
  std::string channel;    // mail, dingding, or a robot's kind (channels.h: wecom, feishu, webhook)
  std::string recipient;  // the address; for dingding the webhook's host; for a robot "#<id> <host>"
};

// Where alerts go: the configured channels' addresses, or, with none, why.
struct Destinations {
  std::vector<Address> to;
  std::string unaddressed = kNoChannelAnswer;
};

void create_tables(Connection& db);

// Queues `alert` once for each address of `where`; with none, one row on channel `kNoChannel`,
// failed at once with `where.unaddressed` as its answer, so that the alert is visibly undelivered.
// `held`: the rows are kept as held and never sent. Runs on `db` (inside the caller's transaction
// when one is open). Answers the ids of the rows to send.
std::vector<std::int64_t> queue(Connection& db, const Alert& alert, const Destinations& where, bool held, std::int64_t now);

// Gives the rows of `topic` that still wait (pending, unclaimed) the text `message`.
void revise(Connection& db, const std::string& topic, const alert_text::Message& message);

// Claimed rows of one group, sent as one message.
struct Batch {
  std::int64_t claim = 0;  // the claim's token
  std::string channel, recipient;
  struct Row {
    std::int64_t id = 0, pid = 0;
    std::string kind;
  };
  std::vector<Row> rows;
  alert_text::Message message;  // the row's own, or the digest of them all
};

// The group of a channel's recipient, as `claim` names it in `skip`.
std::string group_of(std::string_view channel, std::string_view recipient);

// Claims the next message due at `now` (see above) in a write transaction of its own on `db`,
// waiting out a locked database; nothing when none is due. `only`, when not empty, restricts the
// rows that start a claim (due rows of their group may join them); groups in `skip` are passed by.
std::optional<Batch> claim(const std::shared_ptr<Connection>& db, std::int64_t now, const std::vector<std::int64_t>& only,
                           const std::set<std::string>& skip);

// Settles a claimed batch after its send in a write transaction of its own: delivered; or pending
// again after `retry_delay`, or failed once it was first queued `kGiveUpSeconds` ago. Each row's
// attempt is recorded (deliveries.h). Rows whose claim lapsed and went to another sender are left
// to that sender.
void settle(const std::shared_ptr<Connection>& db, const Batch& batch, bool delivered, const std::string& answer,
            std::int64_t now);

// The latest `limit` rows not delivered (pending, sending, failed, held), newest first, each
// {id, created, pid, task, kind, channel, recipient, title, state, attempts, next_try, answer}.
Record undelivered(Connection& db, std::int64_t limit);
// Rows per waiting state: {"pending": n, "failed": n, "held": n} (claimed rows count as pending).
Record counts(Connection& db);

// Deletes delivered and failed rows settled before `cutoff`, and held rows queued before it, at
// most `batch` a statement; answers the rows deleted.
std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch);

}  // namespace outbox
}  // namespace rivi
