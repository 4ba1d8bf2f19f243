#include "plugin/qn_rivi/methods.h"

#include "plugin/qn_rivi/api_token_methods.h"

#include <algorithm>
#include <stdexcept>

namespace rivi {

const std::vector<WebMethodEntry>& web_method_table() {
  static const std::vector<WebMethodEntry> table = {
      {"get_list", "[p=PAGE] [search=TEXT]",
       "the tasks, 12 a page, newest first, with their last runs; search: a name or part of a URL",
       [](qn_rivi_main& p, Record& a) { return p.get_list(a); }},
      {"get_find", "id=TASK", "one task, or null when there is none",
       [](qn_rivi_main& p, Record& a) { return p.get_find(a); }},
      {"create", "name2=NAME url=URL cycle=MINUTES",
       "adds a task probing URL (http:// or https://) every MINUTES minutes, and its job",
       [](qn_rivi_main& p, Record& a) { return p.create(a); }},
      {"modify", "id=TASK [name2=NAME] [url=URL] [cycle=MINUTES] [status=1|0]",
       "changes a task; status 1 runs it, 0 pauses it (its job follows)",
       [](qn_rivi_main& p, Record& a) { return p.modify(a); }},
      {"remove", "id=TASK", "removes a task, its results and its scheduled job",
       [](qn_rivi_main& p, Record& a) { return p.remove(a); }},
      {"start", "id=TASK", "probes now from every node, stores the run, answers the nodes slowest first",
       [](qn_rivi_main& p, Record& a) { return p.start(a); }},
      {"get_task_log", "pid=TASK [p=PAGE]",
       "a task's results, 12 a page, newest first, with mean, slowest and fastest node",
       [](qn_rivi_main& p, Record& a) { return p.get_task_log(a); }},
      {"remove_task_log", "id=RESULT", "removes one probe result",
       [](qn_rivi_main& p, Record& a) { return p.remove_task_log(a); }},
      {"get_overview",
       "[p=PAGE] [rows=12..100] [search=TEXT] [tag=TAG] [health=up|degraded|down|error|maintenance|unknown|paused] "
       "[sort=health|name|last|uptime] [order=asc|desc]",
       "every task's health at a glance: reason, uptime, trend, tags; counts per health and the monitor's state; "
       "sorted worst first, by name, last attempt or 24-hour uptime",
       [](qn_rivi_main& p, Record& a) { return p.get_overview(a); }},
      {"get_nodes", "",
       "the dispatch centre's probe nodes: state, ISP, address, last success, failures, median time, last error",
       [](qn_rivi_main& p, Record& a) { return p.get_nodes(a); }},
      {"get_incidents", "[pid=TASK] [p=PAGE]", "a task's outages, newest first, with their durations",
       [](qn_rivi_main& p, Record& a) { return p.get_incidents(a); }},
      {"get_availability", "pid=TASK [days=1..30]", "uptime over 24 h, 7 and 30 days and the per-hour figures",
       [](qn_rivi_main& p, Record& a) { return p.get_availability(a); }},
      {"get_certificates", "[p=PAGE]",
       "every HTTPS task's certificate, soonest expiry first, 12 a page: expiry, days left, issuer, names, and each "
       "ISP line's certificate (fingerprint, verification error)",
       [](qn_rivi_main& p, Record& a) { return p.get_certificates(a); }},
      {"get_resolution", "pid=TASK",
       "what each ISP line resolved the task's name to over the last 7 days, with first and last seen, flagged when "
       "outside the task's expected addresses",
       [](qn_rivi_main& p, Record& a) { return p.get_resolution(a); }},
      {"get_maintenance", "[pid=TASK]",
       "maintenance windows (of one task: its own and those of every task), each with whether it covers now",
       [](qn_rivi_main& p, Record& a) { return p.get_maintenance(a); }},
      {"set_maintenance",
       "[id=WINDOW] [pid=TASK|0] kind=once start=TIME end=TIME | kind=weekly weekdays=1,..,7 at=HH:MM duration=MINUTES "
       "[note=TEXT]",
       "adds (or, with id, changes) a maintenance window of one task or of every task (pid 0 or none); times are the "
       "server's local \"YYYY-MM-DD HH:MM\" or Unix seconds, weekdays 1 (Monday) to 7",
       [](qn_rivi_main& p, Record& a) { return p.set_maintenance(a); }},
      {"remove_maintenance", "id=WINDOW", "removes a maintenance window",
       [](qn_rivi_main& p, Record& a) { return p.remove_maintenance(a); }},
      {"get_status_pages", "",
       "the public status pages (one per tag, at /status/SLUG): slug, title, tag, show_urls, description, path, "
       "tasks; and the tags in use",
       [](qn_rivi_main& p, Record& a) { return p.get_status_pages(a); }},
      {"set_status_page", "[id=PAGE] slug=[a-z0-9-]{1,40} title=TEXT tag=TAG [show_urls=0|1] [description=TEXT]",
       "adds (or, with id, changes) a public status page listing the tasks carrying TAG; show_urls 1 shows their URLs",
       [](qn_rivi_main& p, Record& a) { return p.set_status_page(a); }},
      {"remove_status_page", "id=PAGE", "removes a public status page",
       [](qn_rivi_main& p, Record& a) { return p.remove_status_page(a); }},
      {"get_checks", "pid=TASK",
       "a task's success rules: expect_codes, follow_redirects, keyword, keyword_mode, slow_ms, timeout_ms, "
       "dns_expect, cert_warn_days, and whether it has any",
       [](qn_rivi_main& p, Record& a) { return p.get_checks(a); }},
      {"set_checks",
       "pid=TASK [expect_codes=200-299,301] [follow_redirects=0|1] [keyword=TEXT] [keyword_mode=present|absent] "
       "[slow_ms=MS] [timeout_ms=1000..30000] [dns_expect=ADDRESS/PREFIX,..] [cert_warn_days=DAYS]",
       "sets a task's success rules (absent ones stay, empty ones take their defaults); a bad value is refused "
       "and nothing changes",
       [](qn_rivi_main& p, Record& a) { return p.set_checks(a); }},
      {"set_tags", "pid=TASK tags=TAG,TAG,..", "replaces a task's tags (1..32 characters each, no comma, at most 20)",
       [](qn_rivi_main& p, Record& a) { return p.set_tags(a); }},
      {"get_tags", "", "every tag with its number of tasks",
       [](qn_rivi_main& p, Record& a) { return p.get_tags(a); }},
      {"bulk", "action=pause|resume|delete|cycle|tag_add|tag_remove|probe ids=TASK,TASK,.. [value=MINUTES|TAG]",
       "one action over up to 500 tasks, each through the single operation (modify, remove, start, the tags); "
       "answers {id, status, msg} per id",
       [](qn_rivi_main& p, Record& a) { return p.bulk(a); }},
      {"export_tasks", "", "every task with its rules, tags and maintenance windows as one JSON document",
       [](qn_rivi_main& p, Record& a) { return p.export_tasks(a); }},
      {"import_tasks", "data=TEXT [format=json|csv|lines] [dry_run=1]",
       "creates and changes tasks from an export, CSV (name,url,cycle,tags) or one URL a line; dry_run answers what "
       "would be created, changed, skipped or refused and writes nothing",
       [](qn_rivi_main& p, Record& a) { return p.import_tasks(a); }},
      {"get_deliveries", "[pid=TASK]", "the latest 50 notification deliveries (of one task), newest first",
       [](qn_rivi_main& p, Record& a) { return p.get_deliveries(a); }},
      {"get_undelivered", "",
       "alerts not delivered yet (waiting, retried, held in a maintenance window) or given up, newest first, "
       "with the configured channels and the number of failing tasks",
       [](qn_rivi_main& p, Record& a) { return p.get_undelivered(a); }},
      {"test_channel",
       "channel=mail|dingding [qq_mail= host= port= security= password= mail_list=] [dingding_url= secret=] | "
       "id=CHANNEL [url= secret=] | channel=wecom|feishu|webhook url= [secret=]",
       "sends a short test message now to every recipient, with the form's values when given (one a channel every "
       "10 s); answers a summary of each server's answer (SMTP reply code and text, a robot's errcode/errmsg or "
       "code/msg, else the HTTP status)",
       [](qn_rivi_main& p, Record& a) { return p.test_channel(a); }},
      {"get_channels", "", "the chat robots alerts go to (WeCom, Feishu, webhooks) with their tags; no secrets",
       [](qn_rivi_main& p, Record& a) { return p.get_channels(a); }},
      {"set_channel", "[id=CHANNEL] kind=wecom|feishu|webhook name=NAME url=URL [secret=] [clear_secret=1] [tags=A,B] [enabled=1|0]",
       "adds a chat robot, or changes one; with tags it takes only the alerts of tasks carrying one of them",
       [](qn_rivi_main& p, Record& a) { return p.set_channel(a); }},
      {"remove_channel", "id=CHANNEL", "removes a chat robot; its messages still waiting are given up",
       [](qn_rivi_main& p, Record& a) { return p.remove_channel(a); }},
      {"get_alert_policy", "", "the alert policy: mode, remind_minutes, recovery, error_after",
       [](qn_rivi_main& p, Record& a) { return p.get_alert_policy(a); }},
      {"set_alert_policy", "[mode=every_run|incident] [remind_minutes=N] [recovery=true|false] [error_after=N]",
       "writes the alert policy into the plug-in's config.json (omitted keys take their defaults)",
       [](qn_rivi_main& p, Record& a) { return p.set_alert_policy(a); }},
      {"return_mail_list", "", "the anomaly report's recipients",
       [](qn_rivi_main& p, Record&) { return p.return_mail_list(); }},
      {"get_user_mail", "", "the mail account the report is sent from",
       [](qn_rivi_main& p, Record&) { return p.get_user_mail(); }},
      {"get_dingding", "", "the DingTalk webhook settings",
       [](qn_rivi_main& p, Record&) { return p.get_dingding(); }},
      {"get_settings", "", "the mail account, the DingTalk settings and the recipients at once",
       [](qn_rivi_main& p, Record&) { return p.get_settings(); }},
      {"create_token", "name=NAME scope=read|write",
       "makes an API token for `Authorization: Bearer`; answers it once (it is stored hashed)",
       [](qn_rivi_main&, Record& a) { return create_token(a); }},
      {"get_tokens", "", "the API tokens: id, name, scope, created, last used (never the token)",
       [](qn_rivi_main&, Record& a) { return get_tokens(a); }},
      {"revoke_token", "id=TOKEN", "ends an API token at once",
       [](qn_rivi_main&, Record& a) { return revoke_token(a); }},
  };
  return table;
}

// Every method of the table is in exactly one of these lists (a test checks it).
const std::vector<std::string>& read_only_methods() {
  static const std::vector<std::string> names = {
      "get_list",     "get_find",         "get_task_log",     "get_overview",    "get_nodes",
      "get_incidents", "get_availability", "get_certificates", "get_resolution",  "get_maintenance",
      "get_checks",   "get_deliveries",   "get_undelivered",  "get_alert_policy", "return_mail_list",
      "get_user_mail", "get_dingding",    "get_settings",     "get_tokens",      "get_tags",
      "export_tasks", "get_status_pages", "get_channels",
  };
  return names;
}

const std::vector<std::string>& changing_methods() {
  static const std::vector<std::string> names = {
      "create",          "modify",     "remove",         "start",           "remove_task_log",
      "set_maintenance", "remove_maintenance", "set_checks", "test_channel", "set_alert_policy",
      "set_tags",        "bulk",       "import_tasks",   "set_status_page", "remove_status_page",
      "set_channel",     "remove_channel",
  };
  return names;
}

const std::vector<std::string>& session_only_methods() {
  static const std::vector<std::string> names = {"create_token", "revoke_token"};
  return names;
}

std::optional<TokenScope> token_scope_of(const std::string& method) {
  const auto in = [&method](const std::vector<std::string>& names) {
    return std::find(names.begin(), names.end(), method) != names.end();
  };
  if (in(read_only_methods())) return TokenScope::read;
  if (in(changing_methods())) return TokenScope::write;
  return std::nullopt;
}

const std::map<std::string, WebMethod>& web_methods() {
  static const std::map<std::string, WebMethod> methods = [] {
    std::map<std::string, WebMethod> by_name;
    for (const WebMethodEntry& entry : web_method_table()) by_name.emplace(entry.name, entry.call);
    return by_name;
  }();
  return methods;
}

std::string web_methods_help() {
  std::string text;
  for (const WebMethodEntry& entry : web_method_table()) {
    text += "  " + entry.name + (entry.args.empty() ? "" : " " + entry.args) + "\n";
    text += "      " + entry.about + "\n";
  }
  return text;
}

Record call_web_method(const std::string& method, Record& args) {
  const auto& methods = web_methods();
  const auto it = methods.find(method);
  if (it == methods.end()) throw std::out_of_range("unknown method: " + method);
  load_qn_rivi_module();
  qn_rivi_main plugin;
  return it->second(plugin, args);
}

}  // namespace rivi
