// form_of, body_form, form_field, form_server_limits, answer_probe_request, json_response, NodeServer.
#include "dispatch/node.h"

#include "host/public.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace rivi::dispatch {

namespace {

void add_fields(std::string_view text, Form& form) {
  while (!text.empty()) {
    const auto end = text.find('&');
    const std::string_view item = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (item.empty()) continue;
    const auto eq = item.find('=');
    form.emplace(http::url_decode(item.substr(0, eq), true),
                 eq == std::string_view::npos ? std::string() : http::url_decode(item.substr(eq + 1), true));
  }
}

// A checked probe request: the URL and the options to measure it with, or the refusal.
struct Checked {
  std::optional<NodeAnswer> refusal;
  std::string url;
  ProbeOptions options;
};

Checked check_probe_request(const NodeOptions& options, const Form& form) {
  Checked c;
  c.url = form_field(form, "url");
  if (std::string why = url_refusal(c.url); !why.empty()) {
    c.refusal = NodeAnswer{400, public_::returnMsg(false, why)};
    return c;
  }
  c.options = options.probe;
  if (std::string t = form_field(form, "timeout_ms"); !t.empty()) {
    long asked = 0;
    try {
      asked = std::stol(t);
    } catch (const std::exception&) {
      c.refusal = NodeAnswer{400, public_::returnMsg(false, "timeout_ms必须是整数")};
      return c;
    }
    if (asked < 1) {
      c.refusal = NodeAnswer{400, public_::returnMsg(false, "timeout_ms必须是正整数")};
      return c;
    }
    c.options.timeout_ms = std::min(c.options.timeout_ms, asked);
    c.options.connect_timeout_ms = std::min(c.options.connect_timeout_ms, asked);
  }
  if (std::string t = form_field(form, "checks"); !t.empty()) {
    try {
      c.options.checks = parse_checks(t);
    } catch (const std::invalid_argument& e) {
      c.refusal = NodeAnswer{400, public_::returnMsg(false, e.what())};
      return c;
    }
    // The task's time-out shortens the node's, never lengthens it.
    if (const long asked = c.options.checks.timeout_ms; asked > 0) {
      c.options.timeout_ms = std::min(c.options.timeout_ms, asked);
      c.options.connect_timeout_ms = std::min(c.options.connect_timeout_ms, asked);
    }
  }
  return c;
}

// The refusal of a probe this node could not make (ProbeUnavailable): the caller learns that the
// node, not the target, failed.
NodeAnswer unavailable_answer(const std::string& reason) {
  return {503, public_::returnMsg(false, "节点资源不足，未能拨测（" + reason + "）")};
}

}  // namespace

Form form_of(const http::Request& request) {
  Form form;
  add_fields(request.query, form);
  form.merge(body_form(request));
  return form;
}

Form body_form(const http::Request& request) {
  Form form;
  const std::string type = request.header("Content-Type");
  if (type.rfind("application/x-www-form-urlencoded", 0) == 0) add_fields(request.body, form);
  return form;
}

std::string form_field(const Form& form, const std::string& name) {
  auto it = form.find(name);
  return it == form.end() ? std::string() : it->second;
}

http::Limits form_server_limits() {
  http::Limits limits;
  limits.body_bytes = 16 * 1024;
  limits.head_deadline = std::chrono::seconds(10);
  limits.max_connections = 4096;
  return limits;
}

NodeAnswer answer_probe_request(const NodeOptions& options, const Form& form) {
  Checked c = check_probe_request(options, form);
  if (c.refusal) return *c.refusal;
  try {
    return {200, probe(c.url, c.options)};
  } catch (const ProbeUnavailable& e) {
    return unavailable_answer(e.what());
  }
}

CurlMulti::TransferId answer_probe_request(const NodeOptions& options, const Form& form, CurlMulti& multi,
                                           std::function<void(NodeAnswer)> done) {
  Checked c;
  try {
    c = check_probe_request(options, form);
    if (!c.refusal) {
      return probe_async(multi, c.url, c.options, [done](ProbeOutcome outcome) {
        switch (outcome.end) {
          case ProbeOutcome::End::measured:
            return done({200, std::move(outcome.result)});
          case ProbeOutcome::End::unavailable:
            return done(unavailable_answer(outcome.reason));
          case ProbeOutcome::End::cancelled:
            return done({503, public_::returnMsg(false, "拨测已取消")});
        }
      });
    }
  } catch (const std::exception& e) {
    c.refusal = NodeAnswer{500, public_::returnMsg(false, e.what())};
  }
  done(*c.refusal);
  return 0;
}

http::Response json_response(int status, const Record& body) {
  try {
    http::Response r;
    r.status = status;
    r.body = encode(body);
    return r;
  } catch (const std::exception& e) {
    return http::Response::text(500, e.what());
  }
}

http::Limits node_server_limits(const NodeOptions& options) {
  http::Limits limits = form_server_limits();
  // A TLS connection holds about 75 KiB (the TLS engine's record buffers) against 3 KiB for a
  // plain one. 512 of them keep a flood of connections that never finish a request near 50 MiB,
  // and still let 512 probes wait on hanging targets at once: one each for a thousand one-minute
  // tasks whose targets all hang for the full 30 s.
  if (!options.tls_certificate.empty()) limits.max_connections = 512;
  return limits;
}

NodeServer::NodeServer(NodeOptions options)
    : options_(std::move(options)),
      signatures_(options_.key),
      multi_(CurlMulti::attached),
      server_([this](http::Request& request, http::Reply reply) { handle(request, std::move(reply)); },
              node_server_limits(options_)) {
  server_.drive(multi_.fd(), [this] { return multi_.poll(); });
  if (options_.tls_certificate.empty() != options_.tls_key.empty()) {
    throw std::runtime_error("HTTPS needs both a certificate and its key");
  }
  reload_tls();
  reload_probe_ca();
}

void NodeServer::reload_probe_ca() {
  if (options_.probe_ca_file.empty()) return;
  auto authority = ProbeAuthority::load(options_.probe_ca_file);
  std::lock_guard lock(authority_mutex_);
  authority_ = std::move(authority);
}

void NodeServer::reload_tls() {
  if (!options_.tls_certificate.empty()) server_.use_tls(options_.tls_certificate, options_.tls_key);
}

void NodeServer::handle(http::Request& request, http::Reply reply) {
  if (request.method != "POST" || request.path != "/probe") return reply(http::Response::text(404, "not found"));
  if (!options_.key.empty()) {
    std::optional<std::string> why;
    try {
      why = signatures_.refusal(request);
    } catch (const std::exception& e) {
      return reply(json_response(500, public_::returnMsg(false, e.what())));
    }
    if (why) return reply(json_response(403, public_::returnMsg(false, *why)));
  }
  NodeOptions options = options_;
  {
    std::lock_guard lock(authority_mutex_);
    options.probe.authority = authority_;
  }
  // One place for the fields: the body, which the signature covers whole.
  const auto transfer = answer_probe_request(options, body_form(request), multi_, [reply](NodeAnswer a) {
    http::Response r = json_response(a.http_status, a.body);
    r.close = a.http_status == 503;  // gives back the connection's descriptor
    reply(std::move(r));
  });
  if (transfer != 0) reply.on_abandon([this, transfer] { multi_.cancel(transfer); });
}

int NodeServer::bind(const std::string& host, int port) { return server_.bind(host, port); }

void NodeServer::run() { server_.run(); }

void NodeServer::stop() { server_.stop(); }

}  // namespace rivi::dispatch
