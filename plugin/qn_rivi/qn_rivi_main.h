// The plug-in object. The host constructs one `qn_rivi_main` for every web request and in every
// worker run; every operation is a method. The class spans five sources:
//   core.cc      module load, construction, the store's schema
//   tasks.cc     create, create_task, modify, modify_task, remove, remove_task
//   probing.cc   start, _send_task, get_state
//   nodes.cc     get_nodes
//   queries.cc   get_list, get_find, get_task_log, remove_task_log
//   alerting.cc  return_mail_list, get_user_mail, get_dingding, get_settings, send_mail, the alert
//                policy, the deliveries and the undelivered alerts, the channel test
//   overview.cc  get_overview, get_incidents, get_availability (task health, kept by health.h)
//   lines.cc     get_certificates, get_resolution (what each ISP line saw: certificates.h,
//                resolution.h)
//   maintenance.cc  get_maintenance, set_maintenance, remove_maintenance (maintenance.h)
//   checks.cc    get_checks, set_checks (a task's success rules, checks.h)
//   tags.cc      set_tags, get_tags (tags.h)
//   bulk.cc      bulk (one action over many tasks through the single operations)
//   import_export.cc  export_tasks, import_tasks (import_export.h)
//
// Errors of host services are not caught: they leave the method as exceptions and reach the host.
#pragma once

#include "host/record.h"
#include "host/mail/send_mail.h"
#include "plugin/qn_rivi/alert_delivery.h"
#include "plugin/qn_rivi/alert_text.h"
#include "plugin/qn_rivi/outbox.h"

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace rivi {

// Module load: makes the panel root the working directory. Idempotent; the host calls it once
// before constructing objects. Throws std::runtime_error naming the root when it is missing.
void load_qn_rivi_module();

// The dispatch centre's host[:port]: RIVI_DISPATCH_HOST, else `dispatch_host` of
// <root>/plugin/qn_rivi/config.json, else 127.0.0.1:8890. Throws std::invalid_argument for a
// malformed setting, std::runtime_error naming the file when the file cannot be used.
std::string dispatch_centre_host();

class qn_rivi_main {
 public:
  // Class-level paths under the panel root.
  static std::string mail_config_();       // <root>/data/stmp_mail.json
  static std::string mail_list_data_();    // <root>/data/mail_list.json
  static std::string dingding_config_();   // <root>/data/dingding.json

  // Makes the sender, reads the recipient list, creates the tables on the first start-up and
  // registers the plug-in in the host table `nodes`.
  qn_rivi_main();

  // Notification channel settings.
  Record return_mail_list();
  Record get_user_mail();
  Record get_dingding();
  Record get_settings();

  // Task list and lookup; probe log and removal of one result.
  Record get_list(Record& args);
  Record get_find(Record& args);
  Record get_task_log(Record& args);
  Record remove_task_log(Record& args);

  // Task health: a page of tasks with their health, a task's incidents, its hourly availability.
  Record get_overview(Record& args);
  Record get_incidents(Record& args);
  Record get_availability(Record& args);

  // What each ISP line saw. Certificates: page `p` of the HTTPS tasks, soonest expiry first, each
  // with its lines' certificates. Resolution: task `pid`'s addresses per line over the kept seven
  // days, with first and last seen and whether they are outside its `dns_expect`.
  Record get_certificates(Record& args);
  Record get_resolution(Record& args);

  // Maintenance windows (maintenance.h): the windows of a task (`pid`: its own and those of every
  // task) or all of them, each with whether it covers now; adding (or, with `id`, changing) one;
  // removing one. Refusals are {"status": false, "msg": <Chinese words>}.
  Record get_maintenance(Record& args);
  Record set_maintenance(Record& args);
  Record remove_maintenance(Record& args);

  // Public status pages (status_page.h): every page with its task count and the tags in use;
  // adding (or, with `id`, changing) one; removing one. Refusals are {"status": false, "msg":
  // <Chinese words naming the field>}.
  Record get_status_pages(Record& args);
  Record set_status_page(Record& args);
  Record remove_status_page(Record& args);

  // A task's success rules (checks.h): {"status": true, "msg", "data": {pid, has_rules, the
  // rules}}; set_checks replaces the rules given (absent ones stay, empty ones take their
  // defaults) and refuses a bad value with {"status": false, "msg": <Chinese, naming the field>},
  // changing nothing.
  Record get_checks(Record& args);
  Record set_checks(Record& args);

  // Tags (tags.h): set_tags replaces task `pid`'s tags with the comma list `tags`; get_tags
  // answers every tag with its number of tasks.
  Record set_tags(Record& args);
  Record get_tags(Record& args);

  // One `action` over the tasks of the comma list `ids` (at most 500), each through the single
  // operation's own path; answers per id {id, status, msg}.
  Record bulk(Record& args);

  // Every task with its rules, tags and maintenance windows as one document; and reading such a
  // document (or CSV, or one URL a line) into tasks, or with `dry_run` only saying what it would
  // do (import_export.h).
  Record export_tasks(Record& args);
  Record import_tasks(Record& args);

  // Task management.
  Record create(Record& args);
  void create_task(Record& pdata);
  Record modify(Record& args);
  void modify_task(Record& pdata);
  Record remove(Record& args);
  void remove_task(const Record& pid);

  // Probing.
  Record start(Record& args);
  std::int64_t get_state(Record& data, const Record& id);
  Record _send_task(const Record& id);

  // The dispatch centre's probe nodes, each {node, isp, address, state, last_success, failures,
  // median_ms, last_error}, as it lists them; {"status": false, "msg": "连接调度中心失败!"} when
  // it cannot be reached or answers nothing usable.
  Record get_nodes(Record& args);

  // Anomaly report: builds it and queues it in the outbox for every configured channel ("mail")
  // or the robot alone ("dingding"); within a run (`start`) it is sent after the run's row is
  // stored, else at once. Rewrites false `primary_ip` and `http_code` values of `data` in place.
  void send_mail(Record& data, std::int64_t num, const Record& id, const std::string& send = "mail");

  // Notifications beside the report. Deliveries: the latest 50 attempts (`pid` optional).
  // Undelivered: {channels: {mail, dingding} configured, robots (enabled chat robots), failing_tasks (running tasks down or in
  // error), counts: {pending, failed, held}, data: the latest 50 outbox rows not delivered}.
  // test_channel: `channel` mail|dingding, sends a short test message to every recipient, at most
  // one a channel every 10 seconds (test_gate.h), with the channel form's fields when given
  // (`qq_mail`, `host`, `port`, `security`, `password`, `mail_list`; `dingding_url`, `secret`; an
  // empty secret means the stored one, kept only for the server it was stored for), and answers
  // the sender's fixed summary of each server's answer. A robot of the channel table (channels.h)
  // is tested by `id`, or with `channel` wecom|feishu|webhook and the form's `url`, `secret` (an
  // `id` beside form fields tests the unsaved change). The alert policy of config.json, read and
  // written (only `alert` changes).
  Record get_deliveries(Record& args);
  Record get_undelivered(Record& args);
  // Whether alerts can reach anyone, as get_undelivered and get_overview answer it: {channels:
  // {mail, dingding} configured, robots: enabled chat robots, failing_tasks: running tasks down
  // or in error}.
  static Record alert_reach(Connection& db);
  Record test_channel(Record& args);
  // The robots of the channel table (channels.h): listed without secrets, added or changed
  // (`id`, `kind`, `name`, `url`, `secret`, `clear_secret`, `tags`, `enabled`; refusals as
  // {"status": false, "msg": ...} naming the field), removed by `id`.
  Record get_channels(Record& args);
  Record set_channel(Record& args);
  Record remove_channel(Record& args);
  Record get_alert_policy(Record& args);
  Record set_alert_policy(Record& args);

  // Applies the alert policy after a run of task `pid`: `data` is the run's stored node results,
  // or null when it stored nothing (`failure` then tells why). Queues what the policy asks for
  // (and the probe nodes' incidents and recoveries), then sends what is due within `kRunBudget`.
  void alert_after_run(std::int64_t pid, Record* data, const std::string& failure);

  // Queues the news of the probe nodes' incidents and sends the outbox's due messages, those this
  // object queued first (alert_delivery.h).
  void send_alerts(const DeliveryBudget& budget, std::stop_token stop = {});

  // The host's sender, owned by the object.
  rivi::send_mail mail;

 private:
  // `_send_task`, also telling why a run stores nothing: when the answer is a status record other
  // than "指定任务不存在!", `*failure` (when given) becomes the readable reason.
  Record send_task(const Record& id, std::string* failure);

  struct PendingReport {
    std::int64_t pid = 0;
    alert_text::Message message;
  };
  // The channels and recipients of `settings` (as `get_settings` answers them) and the recipient
  // list: the mail channel's, the robot's, or both.
  std::vector<outbox::Address> addresses(const Record& settings, bool to_mail, bool to_dingding);
  // Sends the outbox's due messages, those this object queued first.
  void send_queued(const DeliveryBudget& budget, std::stop_token stop = {});
  // Every configured channel's addresses; settings that cannot be used give none, and say why.
  outbox::Destinations destinations();

  Record mail_list_;
  // The report built by `send_mail` in incident mode, queued or dropped once the run is recorded.
  std::optional<PendingReport> pending_report_;
  // Set by `start`: the report is sent after the run's row is stored, not when it is queued.
  bool deliver_after_store_ = false;
  // Outbox rows this object queued and has not yet tried to send.
  std::vector<std::int64_t> queued_;
};

}  // namespace rivi
