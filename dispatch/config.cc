// embedded_config, load_config, parse_config, split_host_port.
#include "dispatch/config.h"

#include "dispatch/signing.h"
#include "host/public.h"
#include "host/record.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <stdexcept>

namespace rivi::dispatch {

namespace {

// The worker gives up on the centre after 60 s; the centre's deadline stays below this, so that its
// answer (the late nodes listed as unanswered) still reaches the worker.
constexpr long kDeadlineBound = 55000;

[[noreturn]] void fail(const std::string& origin, const std::string& what) {
  throw std::runtime_error(origin + ": " + what);
}

void only_keys(const Record& r, const std::set<std::string>& known, const std::string& origin,
               const std::string& where) {
  for (auto it = r.begin(); it != r.end(); ++it) {
    if (!known.count(it.key())) fail(origin, fmt::format("unknown key \"{}\" in {}", it.key(), where));
  }
}

std::string text(const Record& v, const std::string& origin, const std::string& name) {
  if (!v.is_string()) fail(origin, name + " must be text");
  return v.get<std::string>();
}

long whole(const Record& v, const std::string& origin, const std::string& name, long lo, long hi) {
  if (!v.is_number_integer()) fail(origin, name + " must be a whole number");
  const auto n = v.get<std::int64_t>();
  if (n < lo || n > hi) fail(origin, fmt::format("{} must lie between {} and {}", name, lo, hi));
  return static_cast<long>(n);
}

// How the centre asks a remote node over HTTPS, from its entry's `tls`, `ca_file` and `pin_sha256`.
NodeTls node_tls(const Record& n, const std::string& origin, const std::string& where) {
  NodeTls tls;
  if (n.contains("tls") && !n["tls"].is_boolean()) fail(origin, where + ".tls must be true or false");
  const bool trust_named = n.contains("ca_file") || n.contains("pin_sha256");
  if (n.contains("ca_file") && n.contains("pin_sha256")) fail(origin, where + ": give either ca_file or pin_sha256");
  if (trust_named && n.contains("tls") && n["tls"] == false) {
    fail(origin, where + ": ca_file and pin_sha256 need TLS, which \"tls\": false turns off");
  }
  tls.on = trust_named || n.value("tls", false);
  if (n.contains("ca_file")) {
    try {
      tls.ca_pem = read_ca_file(text(n["ca_file"], origin, where + ".ca_file"));
    } catch (const std::runtime_error& ex) {
      fail(origin, where + ".ca_file: " + ex.what());
    }
  }
  if (n.contains("pin_sha256")) {
    try {
      tls.pin = std::make_shared<const Fingerprint>(parse_fingerprint(text(n["pin_sha256"], origin, where + ".pin_sha256")));
    } catch (const std::invalid_argument& ex) {
      fail(origin, where + ".pin_sha256: " + ex.what());
    }
  }
  return tls;
}

}  // namespace

CentreConfig embedded_config() {
  CentreConfig c;
  for (int i = 1; i <= 3; ++i) c.nodes.push_back({fmt::format("本机节点{}", i), "", "", true, {}});
  return c;
}

std::pair<std::string, int> split_host_port(const std::string& address) {
  const auto colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) throw std::invalid_argument("expected host:port, got \"" + address + "\"");
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port_text = address.substr(colon + 1);
  int port = -1;
  if (!port_text.empty() && port_text.size() <= 5 && port_text.find_first_not_of("0123456789") == std::string::npos) {
    port = std::stoi(port_text);
  }
  if (port < 1 || port > 65535) throw std::invalid_argument("bad port in \"" + address + "\"");
  return {host, port};
}

CentreConfig parse_config(const std::string& text_in, const std::string& origin) {
  Record doc;
  try {
    doc = decode(text_in);
  } catch (const std::exception& e) {
    fail(origin, e.what());
  }
  if (!doc.is_object()) fail(origin, "the configuration must be a JSON object");
  only_keys(doc,
            {"listen", "deadline_ms", "probe_timeout_ms", "allowed_serverids", "access_key", "metrics_token",
             "metrics_token_file", "nodes", "probe_ca_file"},
            origin, "the configuration");
  CentreConfig c;
  if (doc.contains("listen")) {
    c.listen = text(doc["listen"], origin, "listen");
    try {
      split_host_port(c.listen);
    } catch (const std::exception& e) {
      fail(origin, std::string("listen: ") + e.what());
    }
  }
  if (doc.contains("deadline_ms")) {
    const Record& d = doc["deadline_ms"];
    if (!d.is_number_integer()) fail(origin, "deadline_ms must be a whole number");
    const auto n = d.get<std::int64_t>();
    if (n < 100 || n >= kDeadlineBound) {
      fail(origin, fmt::format("deadline_ms must lie between 100 and {}, {} excluded: the worker stops waiting for "
                               "the centre after 60 s",
                               kDeadlineBound, kDeadlineBound));
    }
    c.deadline_ms = static_cast<long>(n);
  }
  if (doc.contains("probe_timeout_ms")) {
    c.probe_timeout_ms = whole(doc["probe_timeout_ms"], origin, "probe_timeout_ms", 100, 55000);
  }
  if (c.probe_timeout_ms > c.deadline_ms) {
    // A node must be able to report a slow target as such before the centre gives up on the node.
    c.probe_timeout_ms = c.deadline_ms;
  }
  if (doc.contains("allowed_serverids")) {
    const Record& ids = doc["allowed_serverids"];
    if (!ids.is_array()) fail(origin, "allowed_serverids must be a list of texts");
    for (const Record& id : ids) c.allowed_serverids.push_back(text(id, origin, "allowed_serverids entry"));
  }
  if (doc.contains("access_key")) c.access_key = text(doc["access_key"], origin, "access_key");
  if (doc.contains("metrics_token") && doc.contains("metrics_token_file")) {
    fail(origin, "give either metrics_token or metrics_token_file");
  }
  if (doc.contains("metrics_token")) c.metrics_token = text(doc["metrics_token"], origin, "metrics_token");
  c.inline_keys = !c.access_key.empty() || !c.metrics_token.empty();
  if (doc.contains("metrics_token_file")) {
    const std::string file = text(doc["metrics_token_file"], origin, "metrics_token_file");
    try {
      c.metrics_token = read_key_file(file);
    } catch (const std::runtime_error& ex) {
      fail(origin, std::string("metrics_token_file: ") + ex.what());
    }
    c.key_files.push_back(file);
  }
  if (doc.contains("probe_ca_file")) {
    const std::string file = text(doc["probe_ca_file"], origin, "probe_ca_file");
    try {
      c.probe_authority = ProbeAuthority::load(file);
    } catch (const std::runtime_error& ex) {
      fail(origin, std::string("probe_ca_file: ") + ex.what());
    }
  }
  if (!doc.contains("nodes") || !doc["nodes"].is_array() || doc["nodes"].empty()) {
    fail(origin, "nodes must be a non-empty list");
  }
  int i = 0;
  for (const Record& n : doc["nodes"]) {
    const std::string where = fmt::format("nodes[{}]", i++);
    if (!n.is_object()) fail(origin, where + " must be an object");
    only_keys(n, {"isp", "address", "key", "key_file", "local", "allow_private", "tls", "ca_file", "pin_sha256"},
              origin, where);
    NodeEntry e;
    if (!n.contains("isp")) fail(origin, where + " needs an isp label");
    e.isp = text(n["isp"], origin, where + ".isp");
    if (e.isp.empty()) fail(origin, where + ".isp must not be empty");
    const bool local = n.contains("local") && n["local"] == true;
    if (n.contains("local") && !n["local"].is_boolean()) fail(origin, where + ".local must be true or false");
    if (n.contains("allow_private") && !n["allow_private"].is_boolean()) {
      fail(origin, where + ".allow_private must be true or false");
    }
    if (local == n.contains("address")) fail(origin, where + " needs either an address or \"local\": true");
    if (local) {
      e.allow_private = n.value("allow_private", false);
      if (n.contains("key") || n.contains("key_file")) fail(origin, where + ": a key is for remote nodes only");
      if (n.contains("tls") || n.contains("ca_file") || n.contains("pin_sha256")) {
        fail(origin, where + ": TLS is for remote nodes only");
      }
    } else {
      if (n.contains("allow_private")) fail(origin, where + ": allow_private is set on the node itself");
      e.address = text(n["address"], origin, where + ".address");
      try {
        split_host_port(e.address);
      } catch (const std::exception& ex) {
        fail(origin, where + ".address: " + ex.what());
      }
      if (n.contains("key") && n.contains("key_file")) fail(origin, where + ": give either key or key_file");
      if (n.contains("key")) {
        e.key = text(n["key"], origin, where + ".key");
        c.inline_keys = c.inline_keys || !e.key.empty();
      }
      if (n.contains("key_file")) {
        const std::string file = text(n["key_file"], origin, where + ".key_file");
        try {
          e.key = read_key_file(file);
        } catch (const std::runtime_error& ex) {
          fail(origin, where + ".key_file: " + ex.what());
        }
        c.key_files.push_back(file);
      }
      e.tls = node_tls(n, origin, where);
    }
    // One address is one node with one certificate: trusting it two ways would let a connection
    // checked one way serve a request that asked for the other.
    for (std::size_t j = 0; j < c.nodes.size(); ++j) {
      if (!e.local() && c.nodes[j].address == e.address && !same_trust(c.nodes[j].tls, e.tls)) {
        fail(origin, fmt::format("{} and nodes[{}] name the same address with different TLS settings", where, j));
      }
    }
    c.nodes.push_back(std::move(e));
  }
  // Each file once, in the order first read.
  std::vector<std::string> files;
  for (std::string& f : c.key_files) {
    if (std::find(files.begin(), files.end(), f) == files.end()) files.push_back(std::move(f));
  }
  c.key_files = std::move(files);
  return c;
}

CentreConfig load_config(const std::string& path) {
  const auto text_in = public_::ReadFile(path);
  if (!text_in) throw std::runtime_error(path + ": cannot read the file");
  CentreConfig c = parse_config(*text_in, path);
  if (c.inline_keys && std::find(c.key_files.begin(), c.key_files.end(), path) == c.key_files.end()) {
    c.key_files.insert(c.key_files.begin(), path);
  }
  return c;
}

}  // namespace rivi::dispatch
