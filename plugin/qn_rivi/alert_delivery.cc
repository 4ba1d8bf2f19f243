#include "plugin/qn_rivi/alert_delivery.h"

#include "host/journal.h"
#include "host/mail/robots.h"
#include "host/mail/send_mail.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/stop_signal.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/channels.h"
#include "plugin/qn_rivi/outbox.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/retention.h"

#include <algorithm>
#include <iostream>
#include <set>

namespace rivi {
namespace {

// A batch as a robot is given it: its task's name, address, health and reason when every row is
// about one task; a digest of several kinds is of kind "digest".
robots::Alert robot_alert(Connection& db, const outbox::Batch& batch, std::int64_t now) {
  robots::Alert alert;
  alert.title = batch.message.title;
  alert.markdown = batch.message.markdown;
  alert.kind = batch.rows.size() == 1 ? batch.rows.front().kind : "digest";
  alert.time = now;
  const std::int64_t pid = batch.rows.front().pid;
  const bool one_task = std::all_of(batch.rows.begin(), batch.rows.end(), [&](const auto& r) { return r.pid == pid; });
  if (pid == 0 || !one_task) return alert;
  alert.task_id = pid;
  if (const Record task = db.query("SELECT name, url FROM rivi_task WHERE id = ?", Record::array({pid})); !task.empty()) {
    alert.task_name = text_of(task[0]["name"]);
    alert.task_url = text_of(task[0]["url"]);
  }
  if (db.has_table("rivi_health")) {
    if (const Record health = db.query("SELECT health, reason FROM rivi_health WHERE pid = ?", Record::array({pid}));
        !health.empty()) {
      alert.state = text_of(health[0]["health"]);
      alert.reason = text_of(health[0]["reason"]);
    }
  }
  return alert;
}

SendResult send(send_mail& sender, Connection& db, const outbox::Batch& batch, long max_seconds) {
  SendOptions options;
  options.max_seconds = max_seconds;
  if (batch.channel == "mail") return sender.qq_smtp_send(batch.recipient, batch.message.title, batch.message.html, options);
  if (batch.channel == "dingding") return sender.dingding_markdown(batch.message.title, batch.message.markdown, options);
  if (robots::known_kind(batch.channel)) {
    const auto id = channels::id_of_recipient(batch.recipient);
    const auto channel = id ? channels::find(db, *id) : std::nullopt;
    if (!channel || channel->kind != batch.channel) return {false, "通知渠道已删除"};
    if (!channel->enabled) return {false, "通知渠道已停用"};
    return sender.robot_send(channels::robot_settings(*channel), robot_alert(db, batch, public_::now()), options);
  }
  return {false, "未知的通知渠道：" + batch.channel};
}

}  // namespace

std::int64_t deliver_due(send_mail& sender, const std::vector<std::int64_t>& first, const DeliveryBudget& budget,
                         std::stop_token stop) {
  const auto db = Connection::for_thread(database_path());
  const auto started = std::chrono::steady_clock::now();
  std::set<std::string> skip;  // recipients that failed in this pass
  std::int64_t sent = 0;
  for (const bool own : {true, false}) {
    if (own && first.empty()) continue;
    for (;;) {
      if (stop.stop_requested()) return sent;
      long cap = budget.per_message;
      if (budget.total.count() > 0) {
        const auto left = budget.total - std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
        if (left.count() <= 0) return sent;
        cap = std::max<long>(1, std::min<long>(cap, static_cast<long>(left.count())));
      }
      const auto batch = outbox::claim(db, public_::now(), own ? first : std::vector<std::int64_t>{}, skip);
      if (!batch) break;
      const SendResult result = send(sender, *db, *batch, cap);
      outbox::settle(db, *batch, result.ok, result.answer, public_::now());
      if (result.ok) ++sent;
      else skip.insert(outbox::group_of(batch->channel, batch->recipient));
    }
  }
  return sent;
}

void keep_alert_delivery(std::stop_token stop, const AlertUpkeepOptions& options) {
  std::string last_error;
  auto last_purge = std::chrono::steady_clock::time_point::min();
  for (auto wait = options.first; rest(stop, wait); wait = options.every) {
    try {
      if (options.pass) {
        options.pass(stop);
      } else {
        load_qn_rivi_module();
        qn_rivi_main plugin;
        plugin.send_alerts(kUpkeepBudget, stop);
      }
      if (std::chrono::steady_clock::now() - last_purge >= std::chrono::hours(1)) {
        const auto db = Connection::for_thread(database_path());
        outbox::purge_before(*db, public_::now() - std::int64_t{outbox::kKeepDays} * 86400, 500);
        last_purge = std::chrono::steady_clock::now();
      }
      last_error.clear();
    } catch (const std::exception& error) {
      if (last_error != error.what()) journal::log_line(journal::Priority::err, std::string("alert delivery: ") + error.what());
      last_error = error.what();
    }
  }
}

}  // namespace rivi
