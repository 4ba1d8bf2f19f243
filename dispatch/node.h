// A probe node's HTTP service: `POST /probe` with the form fields `url`, optionally `timeout_ms`
// (the caller's limit, never above the node's own) and `key` (checked when the node has one),
// answered with the node result of `probe` as JSON. Refusals answer {"status": false, "msg": ...}
// with HTTP 400 (bad request) or 403 (wrong key).
#pragma once

#include "host/server_socket.h"
#include "dispatch/probe.h"
#include "host/record.h"

#include <httplib.h>

#include <map>
#include <string>

namespace rivi::dispatch {

struct NodeOptions {
  ProbeOptions probe;
  std::string key;  // shared key the caller must send; empty: anyone on the network may ask
};

// The answer to one probe request made of its form fields, and the HTTP status to send it with.
struct NodeAnswer {
  int http_status = 200;
  Record body;
};
NodeAnswer answer_probe_request(const NodeOptions& options, const std::multimap<std::string, std::string>& form);

class NodeServer {
 public:
  explicit NodeServer(NodeOptions options);
  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  // Binds `host`:`port` (0: any free port) and answers the port. Throws std::runtime_error when
  // the address cannot be bound.
  int bind(const std::string& host, int port);
  // Serves until `stop`; call after `bind`.
  void run();
  void stop();

 private:
  NodeOptions options_;
  httplib::Server server_;
  WideBacklog backlog_{server_};
  RunControl control_;
};

// The first value of the form field `name`, or "" when the form has none.
std::string form_field(const std::multimap<std::string, std::string>& form, const std::string& name);

}  // namespace rivi::dispatch
