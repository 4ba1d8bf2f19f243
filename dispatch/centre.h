// The dispatch centre: `POST /api/local/rivi` with the caller's identity fields, `url` and, for a
// task with checks of its own, `checks` (probe_checks.h). It checks the caller, the URL and the
// checks, asks every configured node in parallel under one deadline (remote nodes get the checks
// in their signed form, in-process nodes directly), and answers the JSON list of node results in
// node order. A node that fails or misses the deadline is listed as `unanswered`. Refusals answer
// {"status": false, "msg": reason} (HTTP 403 for the caller, 400 for the URL or the checks).
//
// `POST /api/local/rivi/nodes` answers, to a caller passing the same caller check (its fields in an
// url-encoded body; `GET` with them in the query is taken too, from callers of before), the health
// of every configured node (NodeStats::health). `GET /metrics` answers the node counters, the
// latency histogram and each configured node's health in Prometheus's text format to a caller
// sending `Authorization: Bearer <metrics token>`, or, when no metrics token is configured, to a
// caller on loopback; others get 401. Other paths get 404. A request whose `Host` does not name the listening address (see
// host_names.h) gets 421 before any of this.
//
// `reload` swaps the configuration (all but the listening address) while serving: a request in
// flight finishes with the nodes it started with.
//
// The centre serves and asks its nodes on one event loop (its server's, with a `CurlMulti` attached
// to it): remote nodes by a form POST on connections kept alive between requests, in-process nodes
// by a probe on the same multi. A request waiting on its nodes holds no thread, and a timer per
// request answers it at its deadline with the nodes that have answered by then, however many
// requests are in flight. A caller that hangs up stops its fan-out: the requests to remote nodes
// are closed (which the nodes see, and stop their probes) and the in-process probes cancelled.
//
// A node that could not make its probe (a remote node's 503 refusal, or no socket for an in-process
// probe: this process is out of descriptors) is listed as `unanswered`, its health giving the
// reason: never as a failure of the target.
//
// Of a remote node's answer the centre keeps a record's scalar values (text, numbers, booleans,
// null), and of the nested values only the two known ones, bounded: `addresses` (a list of short
// texts) and `cert` (an object of scalars with a list of short texts, `names`). Whatever a node
// sends, the whole answer nests three levels deep at most.
#pragma once

#include "dispatch/config.h"
#include "dispatch/node.h"
#include "dispatch/node_stats.h"
#include "host/net/curl_multi.h"
#include "host/web/http_server.h"
#include "host/record.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace rivi::dispatch {

struct CentreAnswer {
  int http_status = 200;
  Record body;
};

class Centre {
 public:
  explicit Centre(CentreConfig config);
  Centre(const Centre&) = delete;
  Centre& operator=(const Centre&) = delete;

  // The answer to one request made of its form fields. Thread-safe; blocks for the fan-out, driving
  // the transfers itself when the server is not running.
  CentreAnswer answer(const Form& form) const;
  // The same without blocking: `done` gets the answer once, at the latest by the deadline, on the
  // thread driving the transfers (or at once on the calling thread for a refusal). `done` must not
  // block. Answers a function that stops the work (`done` is then never called; callable from any
  // thread), or an empty one when nothing is left to stop.
  std::function<void()> answer(const Form& form, std::function<void(CentreAnswer)> done) const;

  // Asks every node to probe `url` (already checked) with `checks` and answers their results in
  // node order, by the deadline; never throws for a node. Blocks.
  Record fan_out(const std::string& url, const ProbeChecks& checks = {}) const;
  // The same without blocking, as `answer` does, answering the function that stops it.
  std::function<void()> fan_out(const std::string& url, std::function<void(Record)> done) const {
    return fan_out(url, {}, std::move(done));
  }
  std::function<void()> fan_out(const std::string& url, const ProbeChecks& checks,
                                std::function<void(Record)> done) const;

  // Binds the configured listen address, or `port_override` on its host when not 0 (tests, the
  // command line), exclusively. Answers the port; throws std::runtime_error("cannot listen on
  // HOST:PORT: REASON") when it cannot bind.
  int bind(int port_override = 0);
  // Serves until `stop`; call after `bind`. Returns at once when `stop` came first.
  void run();
  // Safe from any thread, at any time.
  void stop();

  // The configuration requests start with now.
  std::shared_ptr<const CentreConfig> config() const;
  // Takes `config` for the requests that start from now on; its listening address is ignored.
  void reload(CentreConfig config);

  const NodeStats& stats() const { return stats_; }

 private:
  // The refusal of a caller, or nothing when it passes.
  static std::optional<CentreAnswer> caller_refusal(const CentreConfig& config, const Form& form);
  CurlMulti::TransferId ask_remote(const CentreConfig& config, const NodeEntry& node, const std::string& form,
                                   std::function<void(Record)> done) const;
  void handle(http::Request& request, http::Reply reply) const;
  http::Response metrics(const http::Request& request) const;

  const std::string listen_;
  const std::string listen_host_;  // what the Host header of a request must name (see host_names.h)
  mutable std::mutex config_mutex_;
  std::shared_ptr<const CentreConfig> config_;
  mutable NodeStats stats_;
  mutable CurlMulti multi_;  // attached to the server's loop; thread-safe; outlives the server
  http::Server server_;
};

// The node result kept from a remote node's answer `text`: its scalar values and the known nested
// ones (`addresses`, `cert`) within their bounds, other nested ones (or known ones past their
// bounds) dropped. Nothing when `text` is no JSON record or lacks `http_code` or `total_time` once nested values
// are gone.
std::optional<Record> node_result(const std::string& text);

}  // namespace rivi::dispatch
