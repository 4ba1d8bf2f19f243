// What the centre has seen of its nodes: per node, the outcome and latency of each request, kept
// as the node's health (last success, consecutive failures, median latency of the last answers,
// last error) and as counters, a latency histogram and health gauges in Prometheus's text format. Nodes are
// known by their address ("local" for an in-process node) and label; a node that leaves the
// configuration keeps its figures until the process ends. Thread-safe.
//
// What an operator looks for is logged once (host/journal.h), never per request: a node going
// down (its first failure after an answer, or its first request failing) at err, its first answer
// after that at notice, and a certificate refused for not matching the node's pin at err, once
// per pin until the node answers again.
#pragma once

#include "dispatch/config.h"
#include "host/record.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rivi::dispatch {

enum class Outcome { ok, failed, timeout };

// The name a node is known by in health and metrics.
std::string node_name(const NodeEntry& node);

// `value` escaped for a label value of the text exposition format: backslash, double quote and
// line feed as \\, \" and \n.
std::string escape_label(const std::string& value);

class NodeStats {
 public:
  static constexpr std::size_t kLatencyWindow = 20;  // answers the median is taken over
  static constexpr std::array<double, 10> kBuckets{0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

  // One request to `node` ended with `outcome` after `seconds`; `error` says why when not ok.
  void record(const NodeEntry& node, Outcome outcome, double seconds, const std::string& error = "",
              std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

  // The centre refused `node`'s certificate for not being the one its pin names; `error` says
  // how the handshake ended. Call before `record` of the same request.
  void pin_refused(const NodeEntry& node, const std::string& error);

  // The health of `nodes`, in their order: a list of {node, isp, address, state ("up", "down",
  // "unknown": not asked yet), last_success (Unix seconds or null), failures (consecutive),
  // median_ms (of the last answers, null before any), last_error (null when none)}.
  Record health(const std::vector<NodeEntry>& nodes) const;

  // Request counters by outcome and the latency histogram of every node seen, then, of the
  // configured `nodes`, whether each is up (rivi_node_up: 1 up, 0 down, absent while not asked
  // yet, as `health` tells it) and its last success (absent before one), in the text format.
  std::string metrics(const std::vector<NodeEntry>& nodes) const;

 private:
  struct Figures {
    std::string isp;
    std::string address;
    std::int64_t last_success = 0;  // 0: never
    long failures = 0;
    bool asked = false;
    std::deque<double> latencies;  // seconds of the last answers, newest last
    std::string last_error;
    std::string refused_pin;  // the pin last refused a certificate, as text; empty: none since an answer
    std::array<std::uint64_t, 3> outcomes{};  // by Outcome
    std::array<std::uint64_t, kBuckets.size()> buckets{};  // not cumulative
    std::uint64_t count = 0;
    double sum = 0;
  };
  using Key = std::pair<std::string, std::string>;  // (node name, isp)

  mutable std::mutex mutex_;
  std::map<Key, Figures> figures_;
};

}  // namespace rivi::dispatch
