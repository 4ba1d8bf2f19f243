// The dispatch centre's configuration: where it listens, which nodes it asks (with the label each
// one is shown under as `isp`), how long it waits for them, and which callers it serves. Read from
// a JSON file; without one the embedded default serves this machine alone.
#pragma once

#include "dispatch/probe_tls.h"
#include "dispatch/tls.h"

#include <memory>

#include <string>
#include <utility>
#include <vector>

namespace rivi::dispatch {

struct NodeEntry {
  std::string isp;      // label shown as `isp` in the node's result
  std::string address;  // host:port of a remote `rivi-node`; empty for an in-process node
  std::string key;      // the remote node's shared key, which the centre signs its requests with
  bool allow_private = false;  // in-process node only: may probe inner addresses
  NodeTls tls{};               // remote node only: asked over HTTPS, trusted as this says
  bool local() const { return address.empty(); }
};

struct CentreConfig {
  std::string listen = "127.0.0.1:8890";
  long deadline_ms = 30000;       // one deadline for the whole fan-out, below 55 s (the caller waits 60 s)
  long probe_timeout_ms = 20000;  // each node's own fetch time-out; below the deadline
  std::vector<std::string> allowed_serverids;  // empty: any server id
  std::string access_key;                      // empty: no key asked
  std::string metrics_token;  // what /metrics asks for as a bearer token; empty: loopback callers only
  std::vector<NodeEntry> nodes;
  // In-process nodes' authorities for probed sites beside the system's (`probe_ca_file`); null: none.
  std::shared_ptr<const ProbeAuthority> probe_authority;
  // The files read that hold a key (`load_config`: the configuration file first when it holds one
  // itself), for the program to warn about those open to every user.
  std::vector<std::string> key_files;
  bool inline_keys = false;  // the text holds a key itself: `access_key`, `metrics_token`, a node's `key`
};

// The embedded default: 127.0.0.1:8890 and three in-process nodes that may probe this machine's
// own sites.
CentreConfig embedded_config();

// Reads a configuration file (JSON):
//   {"listen": "127.0.0.1:8890", "deadline_ms": 30000, "probe_timeout_ms": 20000,
//    "allowed_serverids": ["..."], "access_key": "...", "metrics_token_file": "/etc/rivi/metrics.token",
//    "probe_ca_file": "/etc/rivi/intranet-ca.pem",
//    "nodes": [{"isp": "电信", "address": "10.0.0.7:8891", "key_file": "/etc/rivi/node-dx.key"},
//              {"isp": "联通", "address": "10.0.0.8:8891", "key": "...",
//               "pin_sha256": "AB:CD:…"},
//              {"isp": "移动", "address": "node3.example.net:8891", "key_file": "...",
//               "ca_file": "/etc/rivi/nodes-ca.pem"},
//              {"isp": "本机", "local": true, "allow_private": true}]}
// A node's `key_file` and `metrics_token_file` are read at once (trailing blanks and line breaks
// dropped); a node has `key` or `key_file`, not both, and the centre `metrics_token` (the token
// itself) or `metrics_token_file`, not both. A remote node is asked over HTTPS when it has
// `"tls": true`, a `ca_file` (read at once, like a key file) or a `pin_sha256`, the latter two not
// together; see tls.h for what each trusts. `probe_ca_file` (read at once) holds authorities the
// in-process nodes trust for the sites they probe, beside the system's. Keys left out keep the embedded defaults, except `nodes`, which is required; `deadline_ms` must
// lie between 100 and 55000, 55000 excluded. Throws
// std::runtime_error("<path>: <what is wrong>") for an unreadable file, malformed JSON, an unknown
// key, a value of the wrong type or out of range.
CentreConfig load_config(const std::string& path);

// Same as `load_config` for text already read; `origin` names it in error messages.
CentreConfig parse_config(const std::string& text, const std::string& origin);

// Splits "host:port" (also "[v6]:port"); throws std::invalid_argument for a missing or bad port.
std::pair<std::string, int> split_host_port(const std::string& address);

}  // namespace rivi::dispatch
