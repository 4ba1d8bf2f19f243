// Centre: answer, fan_out, bind, run, stop; the request to a remote node.
#include "dispatch/centre.h"

#include "dispatch/node.h"
#include "dispatch/probe.h"
#include "host/curl_handles.h"
#include "host/public.h"
#include "host/secret.h"

#include <fmt/format.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace rivi::dispatch {

namespace {

// A node result is a few hundred bytes; a node answering more than this is treated as failed.
constexpr std::size_t kMaxNodeAnswer = 256u << 10;
// Requests that may wait on a fan-out at the same time; the library's default pool is smaller.
constexpr std::size_t kCentreThreads = 32;

// Answering short stops the transfer as soon as the answer passes the cap.
size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t len = size * count;
  if (len > kMaxNodeAnswer - body->size()) return 0;
  body->append(data, len);
  return len;
}

std::string form_encode(CURL* c, const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    CurlText escaped(curl_easy_escape(c, value.data(), static_cast<int>(value.size())));
    if (!escaped) throw std::runtime_error("libcurl: cannot escape a form field");
    if (!out.empty()) out += '&';
    out += name + '=' + escaped.get();
  }
  return out;
}

// Asks the remote node `node` to probe `url`, giving up after `wait_ms`. Any failure (no
// connection, time-out, refusal, an answer that is no node result) gives `unanswered`.
Record ask_remote(const NodeEntry& node, const std::string& url, long wait_ms, long probe_ms) {
  try {
    EasyHandle h = new_easy();
    CURL* c = h.get();
    std::vector<std::pair<std::string, std::string>> fields{{"url", url}, {"timeout_ms", std::to_string(probe_ms)}};
    if (!node.key.empty()) fields.emplace_back("key", node.key);
    const std::string body = form_encode(c, fields);
    const std::string endpoint = "http://" + node.address + "/probe";
    std::string answer;
    curl_easy_setopt(c, CURLOPT_URL, endpoint.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, wait_ms);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxNodeAnswer));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
    if (curl_easy_perform(c) != CURLE_OK) return unanswered(node.isp);
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    if (code != 200) return unanswered(node.isp);
    Record result = decode(answer);
    if (!result.is_object() || !result.contains("http_code") || !result.contains("total_time")) {
      return unanswered(node.isp);
    }
    result["isp"] = node.isp;  // the centre's label wins over whatever the node calls itself
    return result;
  } catch (const std::exception&) {
    return unanswered(node.isp);
  }
}

}  // namespace

Centre::Centre(CentreConfig config) : config_(std::move(config)) {
  // The library takes ownership of the pool it is handed.
  server_.new_task_queue = [] { return new httplib::ThreadPool(kCentreThreads); };
  server_.Post("/api/local/rivi", [this](const httplib::Request& req, httplib::Response& res) {
    CentreAnswer a = answer(req.params);
    res.status = a.http_status;
    res.set_content(encode(a.body), "application/json; charset=utf-8");
  });
}

CentreAnswer Centre::answer(const std::multimap<std::string, std::string>& form) const {
  if (!config_.allowed_serverids.empty()) {
    const std::string id = form_field(form, "serverid");
    if (std::find(config_.allowed_serverids.begin(), config_.allowed_serverids.end(), id) ==
        config_.allowed_serverids.end()) {
      return {403, public_::returnMsg(false, "服务器未获授权")};
    }
  }
  if (!config_.access_key.empty() && !same_secret(config_.access_key, form_field(form, "access_key"))) {
    return {403, public_::returnMsg(false, "访问密钥错误")};
  }
  const std::string url = form_field(form, "url");
  if (std::string why = url_refusal(url); !why.empty()) return {400, public_::returnMsg(false, why)};
  return {200, fan_out(url)};
}

Record Centre::fan_out(const std::string& url) const {
  const std::size_t n = config_.nodes.size();
  // Nodes measure within a margin of the deadline so that a slow target is reported as a result
  // (http_code 0) rather than as a node that did not answer.
  const long margin = std::max(50L, config_.deadline_ms / 10);
  const long probe_ms = std::max(1L, std::min(config_.probe_timeout_ms, config_.deadline_ms - margin));
  std::vector<Record> results(n);
  {
    std::vector<std::jthread> workers;
    workers.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      workers.emplace_back([&, i] {
        const NodeEntry& node = config_.nodes[i];
        if (!node.local()) {
          results[i] = ask_remote(node, url, config_.deadline_ms, probe_ms);
          return;
        }
        try {
          ProbeOptions o;
          o.isp = node.isp;
          o.allow_private = node.allow_private;
          o.timeout_ms = probe_ms;
          o.connect_timeout_ms = std::min(o.connect_timeout_ms, probe_ms);
          results[i] = probe(url, o);
        } catch (const std::exception&) {
          results[i] = unanswered(node.isp);
        }
      });
    }
  }  // every worker is bounded by its own libcurl time-out, so joining keeps the deadline
  Record list = Record::array();
  for (Record& r : results) list.push_back(std::move(r));
  return list;
}

int Centre::bind(int port_override) {
  auto [host, port] = split_host_port(config_.listen);
  if (port_override != 0) port = port_override;
  if (!server_.bind_to_port(host, port)) throw std::runtime_error(fmt::format("cannot listen on {}:{}", host, port));
  backlog_.widen();
  return port;
}

void Centre::run() { control_.run(server_); }

void Centre::stop() { control_.stop(server_); }

}  // namespace rivi::dispatch
