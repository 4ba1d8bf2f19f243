// answer_probe_request, NodeServer.
#include "dispatch/node.h"

#include "host/public.h"
#include "host/secret.h"

#include <algorithm>
#include <stdexcept>

namespace rivi::dispatch {

std::string form_field(const std::multimap<std::string, std::string>& form, const std::string& name) {
  auto it = form.find(name);
  return it == form.end() ? std::string() : it->second;
}

NodeAnswer answer_probe_request(const NodeOptions& options, const std::multimap<std::string, std::string>& form) {
  if (!options.key.empty() && !same_secret(options.key, form_field(form, "key"))) {
    return {403, public_::returnMsg(false, "访问密钥错误")};
  }
  const std::string url = form_field(form, "url");
  if (std::string why = url_refusal(url); !why.empty()) return {400, public_::returnMsg(false, why)};
  ProbeOptions probe_options = options.probe;
  if (std::string t = form_field(form, "timeout_ms"); !t.empty()) {
    long asked = 0;
    try {
      asked = std::stol(t);
    } catch (const std::exception&) {
      return {400, public_::returnMsg(false, "timeout_ms必须是整数")};
    }
    if (asked < 1) return {400, public_::returnMsg(false, "timeout_ms必须是正整数")};
    probe_options.timeout_ms = std::min(probe_options.timeout_ms, asked);
    probe_options.connect_timeout_ms = std::min(probe_options.connect_timeout_ms, asked);
  }
  return {200, probe(url, probe_options)};
}

NodeServer::NodeServer(NodeOptions options) : options_(std::move(options)) {
  server_.Post("/probe", [this](const httplib::Request& req, httplib::Response& res) {
    NodeAnswer a = answer_probe_request(options_, req.params);
    res.status = a.http_status;
    res.set_content(encode(a.body), "application/json; charset=utf-8");
  });
}

int NodeServer::bind(const std::string& host, int port) {
  int bound = port == 0 ? server_.bind_to_any_port(host) : (server_.bind_to_port(host, port) ? port : -1);
  if (bound < 0) throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
  backlog_.widen();
  return bound;
}

void NodeServer::run() { control_.run(server_); }

void NodeServer::stop() { control_.stop(server_); }

}  // namespace rivi::dispatch
