#include "plugin/qn_rivi/alert_policy.h"

#include "host/paths.h"
#include "host/public.h"
#include "host/store/store.h"

#include <fmt/format.h>

#include <filesystem>
#include <stdexcept>

namespace rivi::alerts {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_alert_state ("
    "pid INTEGER PRIMARY KEY, incident INTEGER NOT NULL DEFAULT 0, last_notice INTEGER NOT NULL DEFAULT 0, "
    "empty_runs INTEGER NOT NULL DEFAULT 0, monitoring INTEGER NOT NULL DEFAULT 0);";

std::int64_t whole(const Record& value, const char* key, std::int64_t low, std::int64_t high) {
  if (!value.is_number_integer())
    throw std::invalid_argument(fmt::format("告警策略 {} 应为整数，而不是 {}", key, value.dump()));
  const auto n = value.get<std::int64_t>();
  if (n < low || n > high) throw std::invalid_argument(fmt::format("告警策略 {} 应在 {} 到 {} 之间，而不是 {}", key, low, high, n));
  return n;
}

}  // namespace

Record read_config() {
  const std::string path = config_path();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    if (ec) throw std::runtime_error(path + ": cannot be read: " + ec.message());
    return Record::object();
  }
  const auto text = public_::ReadFile(path);
  if (!text) throw std::runtime_error(path + ": cannot be read");
  Record config;
  try {
    config = decode(*text);
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": is not JSON: " + e.what());
  }
  if (!config.is_object()) throw std::runtime_error(path + ": is not a JSON object");
  return config;
}

Policy parse_policy(const Record& alert) {
  if (!alert.is_object()) throw std::invalid_argument("告警策略 alert 应为记录，而不是 " + alert.dump());
  Policy policy;
  for (const auto& [key, value] : alert.items()) {
    if (key == "mode") {
      if (!value.is_string() || (value != "every_run" && value != "incident"))
        throw std::invalid_argument("告警策略 mode 应为 \"every_run\" 或 \"incident\"，而不是 " + value.dump());
      policy.mode = value.get<std::string>();
    } else if (key == "remind_minutes") {
      policy.remind_minutes = whole(value, "remind_minutes", 0, 7 * 24 * 60);
    } else if (key == "recovery") {
      if (!value.is_boolean()) throw std::invalid_argument("告警策略 recovery 应为 true 或 false，而不是 " + value.dump());
      policy.recovery = value.get<bool>();
    } else if (key == "error_after") {
      policy.error_after = whole(value, "error_after", 1, 1000);
    } else {
      throw std::invalid_argument("告警策略没有 " + key + " 这一项");
    }
  }
  return policy;
}

Record policy_record(const Policy& policy) {
  return Record{{"mode", policy.mode}, {"remind_minutes", policy.remind_minutes}, {"recovery", policy.recovery},
                {"error_after", policy.error_after}};
}

std::string config_path() { return root_path("plugin/qn_rivi/config.json"); }

Policy read_policy() {
  const Record config = read_config();
  if (!config.contains("alert")) return Policy{};
  try {
    return parse_policy(config["alert"]);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(config_path() + ": " + e.what());
  }
}

void write_policy(const Policy& policy) {
  Record config = read_config();
  config["alert"] = policy_record(policy);
  public_::writeFile(config_path(), config.dump(2) + "\n");
}

void create_tables(Connection& db) { db.exec_script(kSchema); }

State load_state(Connection& db, std::int64_t pid) {
  const Record found = db.query("SELECT * FROM rivi_alert_state WHERE pid = ?", Record::array({pid}));
  State state;
  if (found.empty()) return state;
  const Record& row = found[0];
  state.incident = to_int(row["incident"]);
  state.last_notice = to_int(row["last_notice"]);
  state.empty_runs = to_int(row["empty_runs"]);
  state.monitoring = to_int(row["monitoring"]) != 0;
  return state;
}

void save_state(Connection& db, std::int64_t pid, const State& state) {
  db.run("INSERT OR REPLACE INTO rivi_alert_state (pid, incident, last_notice, empty_runs, monitoring) "
         "VALUES (?, ?, ?, ?, ?)",
         Record::array({pid, state.incident, state.last_notice, state.empty_runs, state.monitoring ? 1 : 0}));
}

}  // namespace rivi::alerts
