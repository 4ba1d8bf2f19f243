// Centre: answer, fan_out, bind, run, stop; the request to a remote node; node_result.
#include "dispatch/centre.h"

#include "dispatch/probe.h"
#include "dispatch/signing.h"
#include "dispatch/tls.h"
#include "host/net/curl_handles.h"
#include "host/net/header_cap.h"
#include "host/public.h"
#include "host/secret.h"
#include "host/utf8.h"
#include "host/web/host_names.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <array>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace rivi::dispatch {

namespace {

// A node result is a few hundred bytes; a node answering more than this is treated as failed.
constexpr std::size_t kMaxNodeAnswer = 256u << 10;

// Answering short stops the transfer as soon as the answer passes the cap.
size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  const size_t len = size * count;
  if (len > kMaxNodeAnswer - body->size()) return 0;
  body->append(data, len);
  return len;
}

// `value` percent-encoded for a form (libcurl ignores the handle argument since 7.82).
std::string form_escape(const std::string& value) {
  CurlText escaped(curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size())));
  if (!escaped) throw std::runtime_error("libcurl: cannot escape a form field");
  return escaped.get();
}

// The results of one request's fan-out. Each node's result is set as it comes; the list is
// handed on once, when the last node has answered or when `finish` is called at the deadline,
// whichever comes first. Later results are dropped.
class Gathering {
 public:
  Gathering(const std::vector<NodeEntry>& nodes, std::function<void(Record)> done)
      : missing_(nodes.size()), done_(std::move(done)) {
    results_.reserve(nodes.size());
    for (const NodeEntry& n : nodes) results_.push_back(unanswered(n.isp));
  }

  void set(std::size_t i, Record result) {
    std::unique_lock lock(mutex_);
    if (!done_) return;
    results_[i] = std::move(result);
    if (--missing_ == 0) hand_on(lock);
  }

  void finish() {
    std::unique_lock lock(mutex_);
    if (done_) hand_on(lock);
  }

  // Remembers a transfer of this fan-out for `abandon` (0: none).
  void track(CurlMulti::TransferId id) {
    if (id == 0) return;
    std::lock_guard lock(mutex_);
    transfers_.push_back(id);
  }

  // The caller has gone: the list is never handed on, and the transfers still going end.
  void abandon(CurlMulti& multi) {
    std::vector<CurlMulti::TransferId> transfers;
    {
      std::lock_guard lock(mutex_);
      done_ = nullptr;
      transfers.swap(transfers_);
    }
    for (const auto id : transfers) multi.cancel(id);
  }

 private:
  void hand_on(std::unique_lock<std::mutex>& lock) {
    auto done = std::move(done_);
    done_ = nullptr;
    auto results = std::move(results_);
    lock.unlock();
    Record list = Record::array();
    for (Record& r : results) list.push_back(std::move(r));
    done(std::move(list));
  }

  std::mutex mutex_;
  std::vector<Record> results_;  // the unanswered record until a node's result replaces it
  std::size_t missing_;
  std::function<void(Record)> done_;  // empty once handed on
  std::vector<CurlMulti::TransferId> transfers_;
};

// What a node's refusal says: the `msg` of a status record ({"status": false, "msg": ...}), else the
// start of the answer; well-formed UTF-8 either way, since it is answered as JSON. A node before
// signature scheme 2 finds the centre's signature wrong, as it does for a wrong key; the text names
// both causes.
std::string refusal_text(const std::string& answer) {
  std::string_view said = answer;
  Record r;
  try {
    r = decode(answer);
  } catch (const std::exception&) {
  }
  if (r.is_object() && r.contains("msg") && r["msg"].is_string()) said = r["msg"].get_ref<const std::string&>();
  while (!said.empty() && std::isspace(static_cast<unsigned char>(said.back()))) said.remove_suffix(1);
  std::string text = readable_text(said, 200);
  if (said == "请求签名错误") text += "（节点的密钥不同，或节点早于签名方案 2：请升级该节点）";
  return text;
}

// Blocks until `start` hands its result to the callback it is given, driving `multi` meanwhile
// (the server's loop may be driving it too, or not be running at all).
template <typename T, typename Start>
T wait_for(CurlMulti& multi, Start start) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  start([promise](T value) { promise->set_value(std::move(value)); });
  while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) multi.wait(100);
  return future.get();
}

// Bounds on the nested values kept of a node's answer.
constexpr std::size_t kMostAddresses = 64;
constexpr std::size_t kMostCertNames = 100;
constexpr std::size_t kMostCertKeys = 16;
constexpr std::size_t kMostShortText = 512;

bool short_text(const Record& v) { return v.is_string() && v.get_ref<const std::string&>().size() <= kMostShortText; }

// A list of at most `most` texts, each short.
bool short_texts(const Record& v, std::size_t most) {
  return v.is_array() && v.size() <= most && std::all_of(v.begin(), v.end(), short_text);
}

// A certificate's description: an object of a few scalars, short texts, and `names`.
bool certificate_record(const Record& v) {
  if (!v.is_object() || v.size() > kMostCertKeys) return false;
  for (auto it = v.begin(); it != v.end(); ++it) {
    const bool fits = it.key() == "names" ? short_texts(*it, kMostCertNames)
                                          : it->is_string() ? short_text(*it) : !it->is_structured();
    if (!fits) return false;
  }
  return true;
}

}  // namespace

std::optional<Record> node_result(const std::string& text) {
  Record result = decode(text);
  if (!result.is_object()) return std::nullopt;
  for (auto it = result.begin(); it != result.end();) {
    const bool kept = !it->is_structured() || (it.key() == "addresses" && short_texts(*it, kMostAddresses)) ||
                      (it.key() == "cert" && certificate_record(*it));
    it = kept ? std::next(it) : result.erase(it);
  }
  if (!result.contains("http_code") || !result.contains("total_time")) return std::nullopt;
  return result;
}

Centre::Centre(CentreConfig config)
    : listen_(config.listen),
      listen_host_(split_host_port(config.listen).first),
      config_(std::make_shared<const CentreConfig>(std::move(config))),
      // Room for a few kept-alive connections to every node, so that requests in flight at the
      // same time each find one.
      multi_(CurlMulti::attached, 0, std::max<long>(1024, 4 * static_cast<long>(config_->nodes.size()))),
      server_([this](http::Request& request, http::Reply reply) { handle(request, std::move(reply)); },
              form_server_limits()) {
  server_.drive(multi_.fd(), [this] { return multi_.poll(); });
}

std::shared_ptr<const CentreConfig> Centre::config() const {
  std::lock_guard lock(config_mutex_);
  return config_;
}

void Centre::reload(CentreConfig config) {
  config.listen = listen_;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(config_mutex_);
  // A node whose certificate is trusted otherwise now must not be asked over a connection that
  // was checked under the old trust.
  for (NodeEntry& node : config.nodes) {
    if (node.local()) continue;
    const auto old = std::find_if(config_->nodes.begin(), config_->nodes.end(),
                                  [&](const NodeEntry& o) { return o.address == node.address; });
    if (old != config_->nodes.end()) keep_trust_change(old->tls, node.tls, now);
  }
  config_ = std::make_shared<const CentreConfig>(std::move(config));
}

void Centre::handle(http::Request& request, http::Reply reply) const {
  // Before anything else, as the panel does: a page whose name was pointed at this machine must
  // not reach the routes from its visitor's browser.
  if (!host_allowed(request.header("Host"), listen_host_)) {
    return reply(json_response(421, public_::returnMsg(false, "未知的主机名：请用调度中心监听的地址访问")));
  }
  if (request.method == "GET" && request.path == "/metrics") return reply(metrics(request));
  // The caller's fields come in a form body (POST), or, from callers of before, in the query (GET).
  if ((request.method == "GET" || request.method == "POST") && request.path == "/api/local/rivi/nodes") {
    const auto config = this->config();
    if (auto refused = caller_refusal(*config, form_of(request))) {
      return reply(json_response(refused->http_status, refused->body));
    }
    return reply(json_response(200, stats_.health(config->nodes)));
  }
  if (request.method != "POST" || request.path != "/api/local/rivi") {
    return reply(http::Response::text(404, "not found"));
  }
  const auto stop = answer(form_of(request), [reply](CentreAnswer a) { reply(json_response(a.http_status, a.body)); });
  if (stop) reply.on_abandon(stop);
}

http::Response Centre::metrics(const http::Request& request) const {
  // A token of its own: whoever scrapes the metrics cannot dispatch probes with it.
  const auto config = this->config();
  bool allowed = false;
  if (config->metrics_token.empty()) {
    const std::string& r = request.remote;
    allowed = r.rfind("127.", 0) == 0 || r == "::1" || r.rfind("::ffff:127.", 0) == 0;
  } else {
    const std::string auth = request.header("Authorization");
    allowed = auth.rfind("Bearer ", 0) == 0 && same_secret(config->metrics_token, auth.substr(7));
  }
  if (!allowed) {
    http::Response r = http::Response::text(401, "unauthorized\n");
    r.headers.emplace_back("WWW-Authenticate", "Bearer");
    return r;
  }
  return http::Response::text(200, stats_.metrics(config->nodes), "text/plain; version=0.0.4; charset=utf-8");
}

std::optional<CentreAnswer> Centre::caller_refusal(const CentreConfig& config, const Form& form) {
  if (!config.allowed_serverids.empty()) {
    const std::string id = form_field(form, "serverid");
    if (std::find(config.allowed_serverids.begin(), config.allowed_serverids.end(), id) ==
        config.allowed_serverids.end()) {
      return CentreAnswer{403, public_::returnMsg(false, "服务器未获授权")};
    }
  }
  if (!config.access_key.empty() && !same_secret(config.access_key, form_field(form, "access_key"))) {
    return CentreAnswer{403, public_::returnMsg(false, "访问密钥错误")};
  }
  return std::nullopt;
}

CentreAnswer Centre::answer(const Form& form) const {
  return wait_for<CentreAnswer>(multi_, [&](auto done) { answer(form, std::move(done)); });
}

std::function<void()> Centre::answer(const Form& form, std::function<void(CentreAnswer)> done) const {
  if (auto refused = caller_refusal(*config(), form)) {
    done(std::move(*refused));
    return {};
  }
  if (std::string why = url_refusal(form_field(form, "url")); !why.empty()) {
    done({400, public_::returnMsg(false, why)});
    return {};
  }
  ProbeChecks checks;
  if (const std::string text = form_field(form, "checks"); !text.empty()) {
    try {
      checks = parse_checks(text);
    } catch (const std::invalid_argument& e) {
      done({400, public_::returnMsg(false, e.what())});
      return {};
    }
  }
  return fan_out(form_field(form, "url"), checks,
                 [done = std::move(done)](Record list) { done({200, std::move(list)}); });
}

Record Centre::fan_out(const std::string& url, const ProbeChecks& checks) const {
  return wait_for<Record>(multi_, [&](auto done) { fan_out(url, checks, std::move(done)); });
}

std::function<void()> Centre::fan_out(const std::string& url, const ProbeChecks& checks,
                                      std::function<void(Record)> done) const {
  // The request keeps the configuration it starts with, whatever a reload brings meanwhile.
  const std::shared_ptr<const CentreConfig> config = this->config();
  const CentreConfig& cfg = *config;
  auto gathering = std::make_shared<Gathering>(cfg.nodes, std::move(done));
  if (cfg.nodes.empty()) {
    gathering->finish();
    return {};
  }
  // The timer answers the request at its deadline with whatever has come, whether or not the
  // transfers still going have ended by then.
  multi_.after(std::chrono::milliseconds(cfg.deadline_ms), [gathering] { gathering->finish(); });
  // Nodes measure within a margin of the deadline so that a slow target is reported as a result
  // (http_code 0) rather than as a node that did not answer.
  // A task's own time-out takes the place of the configured one, within the same margin.
  const long margin = std::max(50L, cfg.deadline_ms / 10);
  const long wanted = checks.timeout_ms > 0 ? checks.timeout_ms : cfg.probe_timeout_ms;
  const long probe_ms = std::max(1L, std::min(wanted, cfg.deadline_ms - margin));
  // The form every remote node gets.
  std::string form;
  try {
    form = "url=" + form_escape(url) + "&timeout_ms=" + std::to_string(probe_ms);
    if (const std::string text = checks_text(checks); !text.empty()) form += "&checks=" + form_escape(text);
  } catch (const std::exception&) {
    gathering->finish();
    return {};
  }
  for (std::size_t i = 0; i < cfg.nodes.size(); ++i) {
    const NodeEntry& node = cfg.nodes[i];
    auto deliver = [gathering, i](Record result) { gathering->set(i, std::move(result)); };
    try {
      if (!node.local()) {
        gathering->track(ask_remote(cfg, node, form, std::move(deliver)));
        continue;
      }
      ProbeOptions o;
      o.isp = node.isp;
      o.allow_private = node.allow_private;
      o.timeout_ms = probe_ms;
      o.connect_timeout_ms = std::min(o.connect_timeout_ms, probe_ms);
      o.checks = checks;
      o.authority = cfg.probe_authority;
      const auto start = std::chrono::steady_clock::now();
      gathering->track(probe_async(multi_, url, o, [this, node, start, deliver = std::move(deliver)](ProbeOutcome outcome) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        switch (outcome.end) {
          case ProbeOutcome::End::measured:
            stats_.record(node, Outcome::ok, seconds);
            return deliver(std::move(outcome.result));
          case ProbeOutcome::End::unavailable:
            stats_.record(node, Outcome::failed, seconds, outcome.reason);
            return deliver(unanswered(node.isp));
          case ProbeOutcome::End::cancelled:  // nobody waits for it: no figure for the node
            return deliver(unanswered(node.isp));
        }
      }));
    } catch (const std::exception& e) {
      stats_.record(node, Outcome::failed, 0, e.what());
      gathering->set(i, unanswered(node.isp));
    }
  }
  return [gathering, &multi = multi_] { gathering->abandon(multi); };
}

// Posts `form` to the remote node `node`, giving up at the deadline. Any failure (no connection,
// time-out, refusal, an answer that is no node result) gives `unanswered`.
CurlMulti::TransferId Centre::ask_remote(const CentreConfig& cfg, const NodeEntry& node, const std::string& form,
                                         std::function<void(Record)> done) const {
  EasyHandle h = new_easy();
  CURL* c = h.get();
  const std::string endpoint = (node.tls.on ? "https://" : "http://") + node.address + "/probe";
  auto answer = std::make_shared<std::string>();
  auto error = std::make_shared<std::array<char, CURL_ERROR_SIZE>>();
  (*error)[0] = '\0';
  // A connection this process had no descriptor for is the centre's failure, not the node's: noted
  // for the node's health.
  auto socket_error = std::make_shared<int>(0);
  curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, +[](void* noted, curlsocktype, curl_sockaddr* address) {
    return open_socket(*address, *static_cast<int*>(noted));
  });
  curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, socket_error.get());
  curl_easy_setopt(c, CURLOPT_URL, endpoint.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, node.tls.on ? "https" : "http");
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error->data());
  curl_easy_setopt(c, CURLOPT_MAXAGE_CONN, static_cast<long>(kNodeConnectionIdle.count()));
  if (node.tls.on) apply_node_tls(c, node.tls);  // the pin it refers to lives in `node`, held below
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, cfg.deadline_ms);
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, form.c_str());
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxNodeAnswer));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, answer.get());
  auto header_cap = std::make_shared<HeaderCap>();
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, HeaderCap::take);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, header_cap.get());
  // The signing headers live as long as the transfer: the completion below holds them.
  auto headers = std::make_shared<SlistHandle>();
  if (!node.key.empty()) {
    for (const auto& [name, value] : signed_headers(node.key, "POST", "/probe", form)) {
      curl_slist* grown = curl_slist_append(headers->get(), (name + ": " + value).c_str());
      if (!grown) throw std::runtime_error("libcurl: cannot add a header");
      headers->release();
      headers->reset(grown);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers->get());
  }
  return multi_.add(std::move(h), [this, answer, error, socket_error, headers, header_cap, node,
                                    done = std::move(done)](CURLcode rc, EasyHandle easy) {
    const std::string& isp = node.isp;
    long code = 0;
    double seconds = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_TOTAL_TIME, &seconds);
    if (rc == CURLE_OK) curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
    curl_easy_setopt(easy.get(), CURLOPT_ERRORBUFFER, nullptr);  // the buffer goes with this completion
    if (rc == CURLE_ABORTED_BY_CALLBACK) return done(unanswered(isp));  // its caller went: no figure
    std::optional<Record> result;
    if (code == 200) {
      try {
        result = node_result(*answer);
      } catch (const std::exception&) {
      }
    }
    if (!result) {
      if (rc == CURLE_OPERATION_TIMEDOUT) {
        stats_.record(node, Outcome::timeout, seconds, "timed out");
      } else if (const std::string why = no_socket_reason(*socket_error); rc != CURLE_OK && !why.empty()) {
        stats_.record(node, Outcome::failed, seconds, "the centre has no socket for the node: " + why);
      } else if (header_cap->over) {
        stats_.record(node, Outcome::failed, seconds,
                      fmt::format("the answer's header lines pass {} bytes", header_cap->limit));
      } else if (rc != CURLE_OK) {
        const std::string failure = (*error)[0] ? std::string(error->data()) : curl_easy_strerror(rc);
        // With a pin the chain and the name are not checked: a refused peer is one not pinned.
        if (node.tls.pin && rc == CURLE_PEER_FAILED_VERIFICATION) stats_.pin_refused(node, failure);
        stats_.record(node, Outcome::failed, seconds, failure);
      } else if (code != 200) {
        stats_.record(node, Outcome::failed, seconds, fmt::format("HTTP {}: {}", code, refusal_text(*answer)));
      } else {
        stats_.record(node, Outcome::failed, seconds, "the answer is no node result");
      }
      return done(unanswered(isp));
    }
    stats_.record(node, Outcome::ok, seconds);
    (*result)["isp"] = isp;  // the centre's label wins over whatever the node calls itself
    done(std::move(*result));
  });
}

int Centre::bind(int port_override) {
  auto [host, port] = split_host_port(listen_);
  if (port_override != 0) port = port_override;
  return server_.bind(host, port);
}

void Centre::run() { server_.run(); }

void Centre::stop() { server_.stop(); }

}  // namespace rivi::dispatch
