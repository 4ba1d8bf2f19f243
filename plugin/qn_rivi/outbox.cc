#include "plugin/qn_rivi/outbox.h"

#include "host/journal.h"
#include "host/utf8.h"

#include "host/store/store.h"
#include "host/store/store_retry.h"
#include "plugin/qn_rivi/deliveries.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <utility>

namespace rivi::outbox {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_outbox ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, created INTEGER NOT NULL, pid INTEGER NOT NULL DEFAULT 0, "
    "kind TEXT NOT NULL, topic TEXT NOT NULL DEFAULT '', channel TEXT NOT NULL, recipient TEXT NOT NULL DEFAULT '', "
    "title TEXT NOT NULL, html TEXT NOT NULL, markdown TEXT NOT NULL, digest INTEGER NOT NULL DEFAULT 0, "
    "state TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_try INTEGER NOT NULL, "
    "lease INTEGER NOT NULL DEFAULT 0, claim INTEGER, answer TEXT NOT NULL DEFAULT '', done INTEGER);"
    "CREATE INDEX IF NOT EXISTS rivi_outbox_state ON rivi_outbox (state, next_try);"
    "CREATE INDEX IF NOT EXISTS rivi_outbox_topic ON rivi_outbox (topic);"
    "CREATE TABLE IF NOT EXISTS rivi_channel_use ("
    "channel TEXT NOT NULL, recipient TEXT NOT NULL, paced INTEGER NOT NULL, time INTEGER NOT NULL, claim INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS rivi_channel_use_time ON rivi_channel_use (channel, time);";

constexpr std::int64_t kMinute = 60;
constexpr std::int64_t kUseKept = 3600;  // requests older than this count for nothing
constexpr std::int64_t kScanned = 1000;  // due rows looked at by one claim

std::int64_t new_claim_token() {
  // Tokens only tell claims apart; they carry no secret.
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return static_cast<std::int64_t>(engine() >> 1);
}

std::string marks(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += i == 0 ? "?" : ", ?";
  return out;
}

Record ids_of(const std::vector<Record>& rows) {
  Record ids = Record::array();
  for (const Record& r : rows) ids.push_back(r["id"]);
  return ids;
}

void set_next_try(Connection& db, const std::vector<Record>& rows, std::int64_t when, bool digest) {
  if (rows.empty()) return;
  Record params = Record::array({when});
  for (const Record& id : ids_of(rows)) params.push_back(id);
  db.run(std::string("UPDATE rivi_outbox SET next_try = ?") + (digest ? ", digest = 1" : "") +
             " WHERE id IN (" + marks(rows.size()) + ")",
         params);
}

alert_text::Message message_of(const Record& row) {
  return {row["title"].get<std::string>(), row["html"].get<std::string>(), row["markdown"].get<std::string>()};
}

// Claims `rows` (due rows of one group, oldest first) as one message.
Batch take(Connection& db, const std::vector<Record>& rows, std::int64_t now) {
  Batch batch;
  batch.claim = new_claim_token();
  batch.channel = rows.front()["channel"].get<std::string>();
  batch.recipient = rows.front()["recipient"].get<std::string>();
  std::vector<alert_text::Message> messages;
  bool paced = false;
  for (const Record& r : rows) {
    batch.rows.push_back({to_int(r["id"]), to_int(r["pid"]), r["kind"].get<std::string>()});
    messages.push_back(message_of(r));
    paced = paced || to_int(r["digest"]) != 0;
  }
  batch.message = alert_text::digest(messages);
  Record params = Record::array({now + kLeaseSeconds, batch.claim});
  for (const Record& id : ids_of(rows)) params.push_back(id);
  db.run("UPDATE rivi_outbox SET state = 'sending', lease = ?, claim = ? WHERE id IN (" + marks(rows.size()) + ")", params);
  db.run("INSERT INTO rivi_channel_use (channel, recipient, paced, time, claim) VALUES (?, ?, ?, ?, ?)",
         Record::array({batch.channel, batch.recipient, paced ? 1 : 0, now, batch.claim}));
  return batch;
}

// The claim of one group's due rows, or nothing when the group must wait (its rows then say until when).
std::optional<Batch> claim_group(Connection& db, const std::vector<Record>& due, std::int64_t now) {
  const std::string channel = due.front()["channel"].get<std::string>();
  const std::string recipient = due.front()["recipient"].get<std::string>();
  std::int64_t allowance = -1;  // requests left this minute; -1: no limit
  if (const std::int64_t limit = rate_limit(channel); limit > 0) {
    // The limit is each robot's own: several robots of one kind count apart.
    const Record used = db.query(
        "SELECT COUNT(*) AS n, MIN(time) AS first FROM rivi_channel_use WHERE channel = ? AND recipient = ? AND time > ?",
        Record::array({channel, recipient, now - kMinute}))[0];
    allowance = limit - to_int(used["n"]);
    if (allowance <= 0) {
      // What exceeds the limit is merged into the next message instead of being sent, and refused.
      set_next_try(db, due, to_int(used["first"]) + kMinute, true);
      return std::nullopt;
    }
  }
  const Record last = db.query("SELECT MAX(time) AS t FROM rivi_channel_use WHERE channel = ? AND recipient = ? AND paced = 1",
                               Record::array({channel, recipient}))[0]["t"];
  const bool paced_ok = last.is_null() || now - to_int(last) >= kPaceSeconds || to_int(last) > now;
  std::vector<Record> digests, reports;
  for (const Record& r : due) (to_int(r["digest"]) != 0 ? digests : reports).push_back(r);
  if (!paced_ok && !digests.empty()) {
    set_next_try(db, digests, to_int(last) + kPaceSeconds, false);
    digests.clear();
  }
  std::vector<Record> chosen;
  if (allowance == 1) {
    chosen = reports;  // the last request of the minute carries everything due
    chosen.insert(chosen.end(), digests.begin(), digests.end());
    std::sort(chosen.begin(), chosen.end(), [](const Record& a, const Record& b) { return to_int(a["id"]) < to_int(b["id"]); });
  } else if (!digests.empty() && (reports.empty() || to_int(digests.front()["id"]) < to_int(reports.front()["id"]))) {
    chosen = digests;
  } else if (!reports.empty()) {
    chosen = {reports.front()};
  }
  if (chosen.empty()) return std::nullopt;
  return take(db, chosen, now);
}

}  // namespace

std::int64_t retry_delay(std::int64_t failed) {
  static constexpr std::array<std::int64_t, 5> kDelays{60, 120, 300, 600, 1800};
  if (failed < 1) failed = 1;
  return failed <= static_cast<std::int64_t>(kDelays.size()) ? kDelays[static_cast<std::size_t>(failed - 1)] : 3600;
}

std::int64_t rate_limit(std::string_view channel) {
  if (channel == "dingding" || channel == "wecom" || channel == "feishu") return 20;
  return channel == "webhook" ? 60 : 0;
}

std::string group_of(std::string_view channel, std::string_view recipient) {
  return std::string(channel) + "\n" + std::string(recipient);
}

void create_tables(Connection& db) { db.exec_script(kSchema); }

std::vector<std::int64_t> queue(Connection& db, const Alert& alert, const Destinations& where, bool held, std::int64_t now) {
  create_tables(db);
  const auto insert = [&](const std::string& channel, const std::string& recipient, const char* state,
                          const std::string& answer) {
    db.run("INSERT INTO rivi_outbox (created, pid, kind, topic, channel, recipient, title, html, markdown, digest, state, "
           "next_try, answer, done) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
           Record::array({now, alert.pid, alert.kind, alert.topic, channel, recipient, alert.message.title,
                          alert.message.html, alert.message.markdown, alert.digest ? 1 : 0, state, now, answer,
                          std::string(state) == "failed" ? Record(now) : Record(nullptr)}));
    return to_int(db.query("SELECT last_insert_rowid() AS id")[0]["id"]);
  };
  std::vector<std::int64_t> ids;
  if (where.to.empty()) {
    insert(kNoChannel, "", "failed", where.unaddressed);
    return ids;
  }
  for (const Address& a : where.to) {
    const std::int64_t id = insert(a.channel, a.recipient, held ? "held" : "pending", held ? "维护期间暂缓发送" : "");
    if (!held) ids.push_back(id);
  }
  return ids;
}

void revise(Connection& db, const std::string& topic, const alert_text::Message& message) {
  create_tables(db);
  db.run("UPDATE rivi_outbox SET title = ?, html = ?, markdown = ? WHERE topic = ? AND state IN ('pending', 'held')",
         Record::array({message.title, message.html, message.markdown, topic}));
}

std::optional<Batch> claim(const std::shared_ptr<Connection>& db, std::int64_t now, const std::vector<std::int64_t>& only,
                           const std::set<std::string>& skip) {
  std::optional<Batch> claimed;
  // Most runs find nothing due: they learn it without taking the write lock.
  create_tables(*db);
  if (db->query("SELECT 1 FROM rivi_outbox WHERE (state = 'pending' AND next_try <= ?) OR (state = 'sending' AND lease < ?) "
                "LIMIT 1",
                Record::array({now, now}))
          .empty())
    return claimed;
  retry_while_locked(*db, StoreRetry{}, [&] {
    claimed.reset();
    transaction tx(db);
    create_tables(*db);
    db->run("DELETE FROM rivi_channel_use WHERE time < ?", Record::array({now - kUseKept}));
    const Record due = db->query(
        "SELECT id, pid, kind, channel, recipient, digest, title, html, markdown FROM rivi_outbox "
        "WHERE (state = 'pending' AND next_try <= ?) OR (state = 'sending' AND lease < ?) ORDER BY id LIMIT ?",
        Record::array({now, now, kScanned}));
    // Due rows by group, the groups in the order of their oldest row that may start a claim.
    std::map<std::string, std::vector<Record>> groups;
    std::vector<std::string> order;
    for (const Record& r : due) {
      const std::string g = group_of(r["channel"].get<std::string>(), r["recipient"].get<std::string>());
      if (skip.contains(g)) continue;
      groups[g].push_back(r);
      const bool starts = only.empty() || std::find(only.begin(), only.end(), to_int(r["id"])) != only.end();
      if (starts && std::find(order.begin(), order.end(), g) == order.end()) order.push_back(g);
    }
    for (const std::string& g : order) {
      claimed = claim_group(*db, groups[g], now);
      if (claimed) break;
    }
    tx.commit();
  });
  return claimed;
}

void settle(const std::shared_ptr<Connection>& db, const Batch& batch, bool delivered, const std::string& answer,
            std::int64_t now) {
  // Logged once the transaction has committed: a message's first failed attempt (a warning: it
  // is retried) and its giving up (an error), never each retry.
  std::vector<std::pair<journal::Priority, std::string>> lines;
  retry_while_locked(*db, StoreRetry{}, [&] {
    lines.clear();
    transaction tx(db);
    for (const Batch::Row& row : batch.rows) {
      deliveries::record(*db, {row.pid, batch.channel, batch.recipient, row.kind, delivered, answer}, now);
      const Record found = db->query("SELECT created, attempts FROM rivi_outbox WHERE id = ? AND state = 'sending' AND claim = ?",
                                     Record::array({row.id, batch.claim}));
      if (found.empty()) continue;
      const std::int64_t attempts = to_int(found[0]["attempts"]) + 1;
      if (delivered) {
        db->run("UPDATE rivi_outbox SET state = 'delivered', attempts = ?, answer = ?, done = ?, lease = 0 WHERE id = ?",
                Record::array({attempts, answer, now, row.id}));
      } else if (now - to_int(found[0]["created"]) >= kGiveUpSeconds) {
        db->run("UPDATE rivi_outbox SET state = 'failed', attempts = ?, answer = ?, done = ?, lease = 0 WHERE id = ?",
                Record::array({attempts, answer, now, row.id}));
        lines.emplace_back(journal::Priority::err,
                           fmt::format("alert delivery: message {} \"{}\" to {} {} given up after {} attempt(s): {}", row.id,
                                       readable_text(batch.message.title, 200), batch.channel,
                                       readable_text(batch.recipient, 200), attempts, readable_text(answer, 300)));
      } else {
        db->run("UPDATE rivi_outbox SET state = 'pending', attempts = ?, answer = ?, next_try = ?, lease = 0 WHERE id = ?",
                Record::array({attempts, answer, now + retry_delay(attempts), row.id}));
        if (attempts == 1) {
          lines.emplace_back(journal::Priority::warning,
                             fmt::format("alert delivery: message {} \"{}\" to {} {} not delivered, retried for {} h: {}",
                                         row.id, readable_text(batch.message.title, 200), batch.channel,
                                         readable_text(batch.recipient, 200), kGiveUpSeconds / 3600,
                                         readable_text(answer, 300)));
        }
      }
    }
    tx.commit();
  });
  for (const auto& [priority, line] : lines) journal::log_line(priority, line);
}

Record undelivered(Connection& db, std::int64_t limit) {
  create_tables(db);
  return db.query(
      "SELECT o.id, o.created, o.pid, t.name AS task, o.kind, o.channel, o.recipient, o.title, o.state, o.attempts, "
      "o.next_try, o.answer FROM rivi_outbox o LEFT JOIN rivi_task t ON t.id = o.pid AND o.pid != 0 "
      "WHERE o.state IN ('pending', 'sending', 'failed', 'held') ORDER BY o.id DESC LIMIT ?",
      Record::array({limit}));
}

Record counts(Connection& db) {
  create_tables(db);
  const Record r = db.query(
      "SELECT SUM(state IN ('pending', 'sending')) AS pending, SUM(state = 'failed') AS failed, SUM(state = 'held') AS held "
      "FROM rivi_outbox WHERE state IN ('pending', 'sending', 'failed', 'held')")[0];
  const auto n = [&](const char* key) { return r[key].is_null() ? std::int64_t{0} : to_int(r[key]); };
  return Record{{"pending", n("pending")}, {"failed", n("failed")}, {"held", n("held")}};
}

std::int64_t purge_before(Connection& db, std::int64_t cutoff, std::int64_t batch) {
  if (!db.has_table("rivi_outbox")) return 0;
  std::int64_t total = 0;
  for (;;) {
    const std::int64_t n = db.run(
        "DELETE FROM rivi_outbox WHERE id IN (SELECT id FROM rivi_outbox WHERE (state IN ('delivered', 'failed') AND done < ?) "
        "OR (state = 'held' AND created < ?) LIMIT ?)",
        Record::array({cutoff, cutoff, batch}));
    total += n;
    if (n < batch) return total;
  }
}

}  // namespace rivi::outbox
