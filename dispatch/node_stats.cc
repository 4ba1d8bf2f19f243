// node_name, escape_label, NodeStats.
#include "dispatch/node_stats.h"

#include "dispatch/tls.h"
#include "host/journal.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <set>

namespace rivi::dispatch {

std::string node_name(const NodeEntry& node) { return node.local() ? "local" : node.address; }

std::string escape_label(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

std::string node_words(const NodeEntry& node) { return fmt::format("node {} ({})", node_name(node), node.isp); }

}  // namespace

void NodeStats::record(const NodeEntry& node, Outcome outcome, double seconds, const std::string& error,
                       std::chrono::system_clock::time_point now) {
  std::optional<std::pair<journal::Priority, std::string>> line;  // written once the lock is released
  std::unique_lock lock(mutex_);
  Figures& f = figures_[{node_name(node), node.isp}];
  f.isp = node.isp;
  f.address = node.address;
  f.asked = true;
  f.outcomes[static_cast<std::size_t>(outcome)]++;
  f.count++;
  f.sum += seconds;
  const auto bucket = std::lower_bound(kBuckets.begin(), kBuckets.end(), seconds);
  if (bucket != kBuckets.end()) f.buckets[static_cast<std::size_t>(bucket - kBuckets.begin())]++;
  if (outcome == Outcome::ok) {
    if (f.failures > 0) {
      line.emplace(journal::Priority::notice,
                   fmt::format("rivi-dispatch: {} answers again after {} failed request(s)", node_words(node), f.failures));
    }
    f.refused_pin.clear();
    f.last_success = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    f.failures = 0;
    f.latencies.push_back(seconds);
    if (f.latencies.size() > kLatencyWindow) f.latencies.pop_front();
  } else {
    f.failures++;
    f.last_error = error.empty() ? (outcome == Outcome::timeout ? "timed out" : "failed") : error;
    if (f.failures == 1) line.emplace(journal::Priority::err, fmt::format("rivi-dispatch: {} is down: {}", node_words(node), f.last_error));
  }
  lock.unlock();
  if (line) journal::log_line(line->first, line->second);
}

void NodeStats::pin_refused(const NodeEntry& node, const std::string& error) {
  const std::string pin = node.tls.pin ? fingerprint_text(*node.tls.pin) : "";
  {
    std::lock_guard lock(mutex_);
    Figures& f = figures_[{node_name(node), node.isp}];
    if (f.refused_pin == pin) return;
    f.refused_pin = pin;
  }
  journal::log_line(journal::Priority::err,
                    fmt::format("rivi-dispatch: {} refused: its certificate is not the one pinned ({}): {}",
                                node_words(node), pin, error));
}

Record NodeStats::health(const std::vector<NodeEntry>& nodes) const {
  std::lock_guard lock(mutex_);
  Record list = Record::array();
  for (const NodeEntry& n : nodes) {
    Record h = {{"node", node_name(n)}, {"isp", n.isp},       {"address", n.address}, {"state", "unknown"},
                {"last_success", nullptr}, {"failures", 0}, {"median_ms", nullptr},  {"last_error", nullptr}};
    // How the node is reached: "pin", "ca" or "system" (the trust of its HTTPS), null for plain
    // HTTP and in-process nodes.
    h["tls"] = n.tls.on ? Record(n.tls.pin ? "pin" : !n.tls.ca_pem.empty() ? "ca" : "system") : Record(nullptr);
    const auto it = figures_.find({node_name(n), n.isp});
    if (it != figures_.end() && it->second.asked) {
      const Figures& f = it->second;
      h["state"] = f.failures == 0 ? "up" : "down";
      if (f.last_success) h["last_success"] = f.last_success;
      h["failures"] = f.failures;
      if (!f.latencies.empty()) {
        std::vector<double> sorted(f.latencies.begin(), f.latencies.end());
        std::sort(sorted.begin(), sorted.end());
        const std::size_t m = sorted.size() / 2;
        const double median = sorted.size() % 2 ? sorted[m] : (sorted[m - 1] + sorted[m]) / 2;
        h["median_ms"] = static_cast<long long>(median * 1000 + 0.5);
      }
      if (!f.last_error.empty()) h["last_error"] = f.last_error;
    }
    list.push_back(std::move(h));
  }
  return list;
}

std::string NodeStats::metrics(const std::vector<NodeEntry>& nodes) const {
  const auto labels = [](const Key& key) {
    return fmt::format("node=\"{}\",isp=\"{}\"", escape_label(key.first), escape_label(key.second));
  };
  std::lock_guard lock(mutex_);
  // The configured nodes' health, as `health` tells it: up or down once asked, the last success
  // once there is one; a node listed twice is one series.
  std::string up, last_success;
  std::set<Key> seen;
  for (const NodeEntry& n : nodes) {
    const Key key{node_name(n), n.isp};
    if (!seen.insert(key).second) continue;
    const auto it = figures_.find(key);
    if (it == figures_.end() || !it->second.asked) continue;
    const Figures& f = it->second;
    up += fmt::format("rivi_node_up{{{}}} {}\n", labels(key), f.failures == 0 ? 1 : 0);
    if (f.last_success) last_success += fmt::format("rivi_node_last_success_timestamp_seconds{{{}}} {}\n", labels(key), f.last_success);
  }
  std::string out;
  out += "# HELP rivi_centre_node_requests_total Requests the centre made to a node, by outcome.\n";
  out += "# TYPE rivi_centre_node_requests_total counter\n";
  static constexpr const char* outcomes[] = {"ok", "failed", "timeout"};
  for (const auto& [key, f] : figures_) {
    for (std::size_t i = 0; i < 3; ++i) {
      out += fmt::format("rivi_centre_node_requests_total{{{},outcome=\"{}\"}} {}\n", labels(key), outcomes[i], f.outcomes[i]);
    }
  }
  out += "# HELP rivi_centre_node_latency_seconds Time a node took to answer or fail.\n";
  out += "# TYPE rivi_centre_node_latency_seconds histogram\n";
  for (const auto& [key, f] : figures_) {
    const std::string series = labels(key);
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
      cumulative += f.buckets[i];
      out += fmt::format("rivi_centre_node_latency_seconds_bucket{{{},le=\"{}\"}} {}\n", series, kBuckets[i], cumulative);
    }
    out += fmt::format("rivi_centre_node_latency_seconds_bucket{{{},le=\"+Inf\"}} {}\n", series, f.count);
    out += fmt::format("rivi_centre_node_latency_seconds_sum{{{}}} {}\n", series, f.sum);
    out += fmt::format("rivi_centre_node_latency_seconds_count{{{}}} {}\n", series, f.count);
  }
  out += "# HELP rivi_node_up 1 when the configured node's last request succeeded, 0 when it failed; absent while "
         "the node was not asked since the centre started.\n";
  out += "# TYPE rivi_node_up gauge\n" + up;
  out += "# HELP rivi_node_last_success_timestamp_seconds Unix time of the configured node's last successful answer "
         "since the centre started.\n";
  out += "# TYPE rivi_node_last_success_timestamp_seconds gauge\n" + last_success;
  return out;
}

}  // namespace rivi::dispatch
