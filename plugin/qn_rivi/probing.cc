// Probing: start, _send_task, get_state.
//
// A run that stores its row records the task's health in the same transaction; a run that
// reaches the dispatch centre and stores nothing records the failure alone (both through
// run_store.h, with the mark of the scheduler's fire when the scheduler started the run).
#include "host/panel_auth.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/cron/job_runner.h"
#include "host/journal.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/checks.h"
#include "plugin/qn_rivi/health.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/row_id.h"
#include "plugin/qn_rivi/run_store.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

namespace rivi {
namespace {

constexpr const char* kNoAnswer = "节点未响应";
constexpr const char* kDefaultDispatchHost = "127.0.0.1:8890";

// The dispatch host is spliced into a URL, so it must be a bare host[:port].
std::string checked_host(const std::string& host, const std::string& origin) {
  const bool bad = host.empty() || std::any_of(host.begin(), host.end(), [](unsigned char c) {
                     return c <= 0x20 || c == 0x7f || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\';
                   });
  if (bad) throw std::invalid_argument(fmt::format("{}: \"{}\" is not a host[:port]", origin, host));
  return host;
}

bool dispatch_host_in_environment() {
  const char* env = std::getenv("RIVI_DISPATCH_HOST");
  return env && *env;
}

// `dispatch_host` of <root>/plugin/qn_rivi/config.json; nothing when RIVI_DISPATCH_HOST is set
// (the environment wins and the file is not read), when the file is missing, or when it sets no
// `dispatch_host`. A file that is there but cannot be used throws std::runtime_error naming the
// file and the problem: it cannot be read, is not JSON, is not a JSON object, or its
// `dispatch_host` is not a non-empty host[:port] text.
std::optional<std::string> configured_dispatch_host() {
  if (dispatch_host_in_environment()) return std::nullopt;
  const std::string path = root_path("plugin/qn_rivi/config.json");
  const auto fail = [&](const std::string& problem) { return std::runtime_error(fmt::format("{}: {}", path, problem)); };
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    if (ec) throw fail("cannot be read: " + ec.message());
    return std::nullopt;
  }
  if (std::filesystem::is_directory(path, ec)) throw fail("cannot be read: it is a directory");
  const auto text = public_::ReadFile(path);
  if (!text) throw fail("cannot be read");
  Record config;
  try {
    config = decode(*text);
  } catch (const std::invalid_argument& e) {
    throw fail(std::string("is not JSON: ") + e.what());
  }
  if (!config.is_object()) throw fail("is not a JSON object");
  if (!config.contains("dispatch_host")) return std::nullopt;
  const Record& host = config["dispatch_host"];
  if (!host.is_string() || host.get_ref<const std::string&>().empty()) {
    throw fail("dispatch_host must be a non-empty text");
  }
  try {
    return checked_host(host.get<std::string>(), "dispatch_host");
  } catch (const std::invalid_argument& e) {
    throw fail(e.what());
  }
}

// RIVI_DISPATCH_HOST, else the `configured` host, else the local default. Throws
// std::invalid_argument for a malformed environment setting.
std::string dispatch_host(const std::optional<std::string>& configured) {
  if (dispatch_host_in_environment()) return checked_host(std::getenv("RIVI_DISPATCH_HOST"), "RIVI_DISPATCH_HOST");
  return configured.value_or(kDefaultDispatchHost);
}

// Orders sort keys as the panel does: numbers (and booleans) by value, texts by code points;
// any other pair cannot be ordered and throws.
bool key_less(const Record& a, const Record& b) {
  const auto numeric = [](const Record& v) { return v.is_number() || v.is_boolean(); };
  if (numeric(a) && numeric(b)) {
    const auto whole = [](const Record& v) { return v.is_number_integer() || v.is_boolean(); };
    if (whole(a) && whole(b)) return to_int(a) < to_int(b);
    const auto real = [&](const Record& v) { return v.is_boolean() ? (v.get<bool>() ? 1.0 : 0.0) : as_double(v); };
    return real(a) < real(b);
  }
  if (a.is_string() && b.is_string()) return a.get_ref<const std::string&>() < b.get_ref<const std::string&>();
  throw std::invalid_argument(
      fmt::format("total_time values cannot be compared: {} and {}", text_of(a), text_of(b)));
}

// A new list of `data`'s node results by `total_time`, largest first; equal times keep their order.
Record slowest_first(const Record& data) {
  std::vector<Record> keys;
  keys.reserve(data.size());
  for (const Record& node : data) {
    if (!node.is_object() || !node.contains("total_time")) {
      throw std::out_of_range("node result without total_time: " + text_of(node));
    }
    keys.push_back(node["total_time"]);
  }
  std::vector<std::size_t> order(keys.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return key_less(keys[j], keys[i]); });
  Record sorted = Record::array();
  for (std::size_t i : order) sorted.push_back(data[i]);
  return sorted;
}

// The message of the exception being handled, without its type; call only inside a catch.
std::string handled_error_message() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// Records a run of task `pid` that stored no result; reaches the database, or the spool, like a
// row. Answers whether the database took it.
bool record_failure(std::int64_t pid, const std::string& reason) {
  spool::RunOutcome failed;
  failed.fire = fire_of_this_run().value_or("");
  failed.kind = "error";
  failed.pid = pid;
  failed.time = public_::now();
  failed.reason = reason;
  return !run_store::store(failed);
}

// The alert policy decides on the health the run recorded; a run whose outcome waits in the spool
// recorded none yet, and the database it would wait for is the one that did not take the outcome.
// The next run that reaches the database brings the policy's state up to date.
void say_alerts_wait(std::int64_t pid) {
  journal::log_line(journal::Priority::warning, fmt::format("rivi: task {}: alerts are decided by the next run that reaches the database", pid));
}

// The alert policy's turn after a run; its failures are shown and never fail the run.
void notify_after_run(qn_rivi_main& plugin, std::int64_t pid, Record* data, const std::string& failure) {
  try {
    plugin.alert_after_run(pid, data, failure);
  } catch (const std::exception& e) {
    std::cout << "alerting: " << e.what() << '\n' << std::flush;
  }
}

// Task `pid`'s success rules (the defaults when it has none).
checks::Rules rules_of(std::int64_t pid) {
  Query table = public_::M("rivi_task");
  return checks::load(table.connection(), pid);
}

bool good_code(const Record& code) {
  static const std::array<Record, 5> kGood{200, 301, 302, 403, 401};
  return std::any_of(kGood.begin(), kGood.end(), [&](const Record& g) { return same_value(code, g); });
}

}  // namespace

Record qn_rivi_main::start(Record& args) {
  if (!has(args, "id")) return public_::returnMsg(false, "错误的参数!");
  // An id that denotes no whole number names no task.
  const std::optional<std::int64_t> task = row_id(args.at("id"));
  if (!task) return public_::returnMsg(false, "指定任务不存在!");
  const Record id = *task;
  std::string failure;
  Record data = send_task(id, &failure);
  if (data.is_object() && data.contains("status")) {
    if (!failure.empty()) {
      if (record_failure(*task, failure)) notify_after_run(*this, *task, nullptr, failure);
      else say_alerts_wait(*task);
    }
    return data;
  }
  // Judged before the verdict: a report rewrites the failing nodes' values in place. Health judges
  // by the task's rules; the verdict below keeps its own.
  const std::vector<health::Node> nodes = health::judge_nodes(data, rules_of(*task));

  // Key order of the stored row: status, data, pid, addtime. The verdict comes first because a
  // report rewrites node values in place and those rewrites belong to the stored text.
  Record row = Record::object();
  // The report is queued now and sent once the row is stored: a slow channel never delays it.
  deliver_after_store_ = true;
  row["status"] = get_state(data, id);
  row["data"] = encode(data);
  row["pid"] = id;
  row["addtime"] = public_::now();
  // The nodes are measured and any report is queued: a database held by another process must
  // delay this row, not lose it (run_store.h: the spool past the wait). The row and the task's
  // health commit together or not at all.
  spool::RunOutcome stored;
  stored.fire = fire_of_this_run().value_or("");
  stored.kind = "row";
  stored.pid = *task;
  stored.time = row["addtime"].get<std::int64_t>();
  stored.row = row;
  stored.nodes = nodes;
  if (!run_store::store(stored)) notify_after_run(*this, *task, &data, "");
  else say_alerts_wait(*task);
  return slowest_first(data);
}

std::string dispatch_centre_host() { return dispatch_host(configured_dispatch_host()); }

Record qn_rivi_main::_send_task(const Record& id) { return send_task(id, nullptr); }

Record qn_rivi_main::send_task(const Record& id, std::string* failure) {
  const Record url = public_::M("rivi_task").where("id=?", id).getField("url");
  if (!truthy(url)) return public_::returnMsg(false, "指定任务不存在!");
  // An unusable configuration file reaches the host; only the attempt's own failures are absorbed.
  const std::optional<std::string> configured = configured_dispatch_host();
  Record request = panelAuth().create_serverid(nullptr);
  request["url"] = url;
  // The rules a node applies itself travel as one more field; a task without them sends the
  // request exactly as before rules existed.
  if (const auto pid = row_id(id)) {
    if (const auto node_side = checks::node_checks(rules_of(*pid))) request["checks"] = encode(*node_side);
  }
  try {
    const std::string endpoint = "http://" + dispatch_host(configured) + "/api/local/rivi";
    const std::string body = public_::httpPost(endpoint, request, 60);
    Record answer = decode(body);
    if (!answer.is_array() && !(answer.is_object() && answer.contains("status"))) {
      throw std::invalid_argument("the dispatch centre answered neither a node list nor a status record: " +
                                  body.substr(0, 200));
    }
    if (failure && answer.is_object()) *failure = health::centre_refusal_reason(answer);
    return answer;
  } catch (...) {
    std::cout << public_::get_error_info() << '\n' << std::flush;
    if (failure) *failure = health::dispatch_failure_reason(handled_error_message());
    return public_::returnMsg(false, "连接调度中心失败!");
  }
}

std::int64_t qn_rivi_main::get_state(Record& data, const Record& id) {
  std::int64_t failing = 0;
  for (const Record& node : data) {
    if (!truthy(node)) continue;
    if (!node.is_object()) throw std::invalid_argument("node result is not a record: " + text_of(node));
    if (!node.contains("isp")) throw std::out_of_range("node result without isp: " + text_of(node));
    if (node["isp"] == kNoAnswer) continue;
    if (!node.contains("http_code")) throw std::out_of_range("node result without http_code: " + text_of(node));
    if (!good_code(node["http_code"])) ++failing;
  }
  if (failing <= 2) return 1;
  // The run's result must outlive a failed report: the failure is shown on standard output and
  // the run still stores its row with the anomaly verdict.
  try {
    send_mail(data, failing, id);
  } catch (...) {
    std::cout << public_::get_error_info() << '\n' << std::flush;
  }
  return 0;
}

}  // namespace rivi
