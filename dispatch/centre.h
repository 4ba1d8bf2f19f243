// The dispatch centre: `POST /api/local/rivi` with the caller's identity fields and `url`. It checks
// the caller and the URL, asks every configured node in parallel under one deadline, and answers
// the JSON list of node results in node order. A node that fails or misses the deadline is listed
// as `unanswered`. Refusals answer {"status": false, "msg": reason} (HTTP 403 for the caller,
// 400 for the URL).
#pragma once

#include "host/server_socket.h"
#include "dispatch/config.h"
#include "host/record.h"

#include <httplib.h>

#include <map>
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

  // The answer to one request made of its form fields. Thread-safe; blocks for the fan-out.
  CentreAnswer answer(const std::multimap<std::string, std::string>& form) const;

  // Asks every node to probe `url` (already checked) and answers their results in node order.
  // Returns by the deadline plus the time threads need to finish; never throws for a node.
  Record fan_out(const std::string& url) const;

  // Binds the configured listen address, or `port_override` on its host when not 0 (tests, the
  // command line). Answers the port; throws std::runtime_error when it cannot bind.
  int bind(int port_override = 0);
  // Serves until `stop`; call after `bind`.
  void run();
  void stop();

  const CentreConfig& config() const { return config_; }

 private:
  CentreConfig config_;
  httplib::Server server_;
  WideBacklog backlog_{server_};
  RunControl control_;
};

}  // namespace rivi::dispatch
