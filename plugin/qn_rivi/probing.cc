// Probing: start, _send_task, get_state.
#include "host/panel_auth.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/store_retry.h"
#include "plugin/qn_rivi/qn_rivi_main.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <numeric>
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

// RIVI_DISPATCH_HOST, else `dispatch_host` of <root>/plugin/qn_rivi/config.json when that file
// exists, else the local default. Throws for a malformed setting.
std::string dispatch_host() {
  if (const char* env = std::getenv("RIVI_DISPATCH_HOST"); env && *env) return checked_host(env, "RIVI_DISPATCH_HOST");
  const std::string config_path = root_path("plugin/qn_rivi/config.json");
  if (std::filesystem::exists(config_path)) {
    const auto text = public_::ReadFile(config_path);
    if (!text) throw std::runtime_error("cannot read " + config_path);
    const Record config = decode(*text);
    if (config.is_object() && config.contains("dispatch_host")) {
      if (!config["dispatch_host"].is_string()) throw std::invalid_argument(config_path + ": dispatch_host must be text");
      return checked_host(config["dispatch_host"].get<std::string>(), config_path);
    }
  }
  return kDefaultDispatchHost;
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

bool good_code(const Record& code) {
  static const std::array<Record, 5> kGood{200, 301, 302, 403, 401};
  return std::any_of(kGood.begin(), kGood.end(), [&](const Record& g) { return same_value(code, g); });
}

}  // namespace

Record qn_rivi_main::start(Record& args) {
  if (!has(args, "id")) return public_::returnMsg(false, "错误的参数!");
  const Record id = args.at("id");
  Record data = _send_task(id);
  if (data.is_object() && data.contains("status")) return data;

  // Key order of the stored row: status, data, pid, addtime. The verdict comes first because a
  // report rewrites node values in place and those rewrites belong to the stored text.
  Record row = Record::object();
  row["status"] = get_state(data, id);
  row["data"] = encode(data);
  row["pid"] = id;
  row["addtime"] = public_::now();
  // The nodes are measured and any report is sent: a database held by another process must
  // delay this row, not lose it.
  const auto db = std::make_shared<Connection>(database_path());
  retry_while_locked(*db, StoreRetry{}, [&] { Query("rivi_list", db).insert(row); });
  return slowest_first(data);
}

Record qn_rivi_main::_send_task(const Record& id) {
  const Record url = public_::M("rivi_task").where("id=?", id).getField("url");
  if (!truthy(url)) return public_::returnMsg(false, "指定任务不存在!");
  Record request = panelAuth().create_serverid(nullptr);
  request["url"] = url;
  try {
    const std::string endpoint = "http://" + dispatch_host() + "/api/local/rivi";
    const std::string body = public_::httpPost(endpoint, request, 60);
    Record answer = decode(body);
    if (!answer.is_array() && !(answer.is_object() && answer.contains("status"))) {
      throw std::invalid_argument("the dispatch centre answered neither a node list nor a status record: " +
                                  body.substr(0, 200));
    }
    return answer;
  } catch (...) {
    std::cout << public_::get_error_info() << '\n' << std::flush;
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
