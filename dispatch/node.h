// A probe node's HTTP service: `POST /probe` with the url-encoded body's fields `url` and optionally
// `timeout_ms` (the caller's limit, never above the node's own) and `checks` (probe_checks.h; its
// `timeout_ms` too only shortens the node's), answered with the node result of
// `probe` as JSON; a query is not read. A node with a key takes only requests signed with it (see
// signing.h). Refusals answer {"status": false, "msg": ...} with HTTP 400 (bad request), 403 (bad
// or missing signature, stale timestamp, replayed nonce) or 503 (the node could not make the probe:
// no descriptor left for its socket; the connection is closed after it, which gives one back);
// other paths get 404. A probe whose caller hangs up before its answer is cancelled at once.
//
// The node serves and probes on one event loop (its server's, with a `CurlMulti` attached to it):
// a request waiting on its target holds no thread, so one node measures hundreds of targets at
// once, and a request costs no hand-over between threads.
#pragma once

#include "dispatch/probe.h"
#include "dispatch/signing.h"
#include "host/net/curl_multi.h"
#include "host/web/http_server.h"
#include "host/record.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace rivi::dispatch {

// The fields of a form request: the query's, then those of an url-encoded body.
using Form = std::multimap<std::string, std::string>;
Form form_of(const http::Request& request);
// The fields of an url-encoded body alone (none for another content type).
Form body_form(const http::Request& request);

// The first value of the form field `name`, or "" when the form has none.
std::string form_field(const Form& form, const std::string& name);

// What the centre's and the node's servers take from a client: small forms, whole heads within
// 10 s, header caps as the server core's defaults.
http::Limits form_server_limits();

struct NodeOptions {
  ProbeOptions probe;
  std::string key;  // shared key requests must be signed with; empty: anyone on the network may ask
  // HTTPS: the certificate chain and key files (PEM); both empty: plain HTTP.
  std::string tls_certificate;
  std::string tls_key;
  // A PEM file of authorities trusted for probed sites beside the system's; empty: none.
  std::string probe_ca_file;
};

// The node's server limits: the form server's, with fewer connections when it serves HTTPS.
http::Limits node_server_limits(const NodeOptions& options);

// The answer to one probe request made of its form fields, and the HTTP status to send it with.
struct NodeAnswer {
  int http_status = 200;
  Record body;
};
// The form's checks only; the signature is the server's to check. Blocks for the probe.
NodeAnswer answer_probe_request(const NodeOptions& options, const Form& form);
// Probes on `multi`; `done` gets the answer once, on the thread driving it, or at once on the calling
// thread for a refusal. Answers the probe's transfer for CurlMulti::cancel (0: none). Never throws:
// a probe that cannot be set up answers HTTP 500.
CurlMulti::TransferId answer_probe_request(const NodeOptions& options, const Form& form, CurlMulti& multi,
                                           std::function<void(NodeAnswer)> done);

// A JSON answer as the HTTP response sent to the caller (500 when `body` cannot be encoded).
http::Response json_response(int status, const Record& body);

class NodeServer {
 public:
  // Throws std::runtime_error when the TLS certificate or key, or the probes' CA file, is given and
  // cannot be used.
  explicit NodeServer(NodeOptions options);
  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  // Binds `host`:`port` (0: any free port) exclusively and answers the port. Throws
  // std::runtime_error("cannot listen on HOST:PORT: REASON") when the address cannot be bound.
  int bind(const std::string& host, int port);
  // Serves until `stop`; call after `bind`. Returns at once when `stop` came first.
  void run();
  // Safe from any thread, at any time.
  void stop();
  // Reads the certificate and key files again (a renewed certificate); connections open keep the
  // old one. Throws like the constructor when they cannot be used, the old pair then staying.
  void reload_tls();
  // Reads the probes' CA file again; probes that start from now on trust it. Throws
  // std::runtime_error when it cannot be read, the old authorities then staying.
  void reload_probe_ca();

  // Connections accepted since the start.
  std::size_t accepted() const { return server_.accepted(); }
  // Idle connections closed since the start to let a newcomer in.
  std::size_t evicted() const { return server_.evicted(); }

 private:
  void handle(http::Request& request, http::Reply reply);

  NodeOptions options_;
  std::mutex authority_mutex_;  // a reload comes on another thread than the requests
  std::shared_ptr<const ProbeAuthority> authority_;
  SignatureCheck signatures_;  // used when options_.key is set
  CurlMulti multi_;     // attached to the server's loop; outlives the server
  http::Server server_;
};

}  // namespace rivi::dispatch
