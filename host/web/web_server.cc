// The server's assembly: the route table, the answer wrapper, the worker pool and the server.
// The routes themselves live in files by area: session_routes.cc (login, session, logout, the
// guard), plugin_routes.cc (method calls), settings_routes.cc, metrics_routes.cc and
// page_routes.cc (the page's files).
#include "host/web/web_server.h"

#include "host/paths.h"
#include "host/web/web_answers.h"

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <stdexcept>

namespace rivi {

using namespace web;

namespace {

// Blocking requests that may wait for a worker before further ones are answered 503.
constexpr std::size_t kMaxWaiting = 512;

// Sessions of the default policy that end when the administrator's password changes.
SessionPolicy password_bound_sessions() {
  SessionPolicy policy;
  policy.generation = admin_password_fingerprint;
  return policy;
}

}  // namespace

std::pair<std::string, int> parse_listen(const std::string& text) {
  std::string host = "127.0.0.1";
  std::string port_text = text;
  if (auto colon = text.rfind(':'); colon != std::string::npos) {
    if (colon > 0) host = text.substr(0, colon);
    port_text = text.substr(colon + 1);
  }
  int port = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port < 1 || port > 65535 ||
      host.find_first_of(" /") != std::string::npos)
    throw std::invalid_argument("invalid listen address: " + text);
  return {host, port};
}

Record form_record(std::string_view body) {
  auto decode_part = [](std::string_view part) {
    std::string plus(part);
    for (char& c : plus)
      if (c == '+') c = ' ';
    int length = 0;
    std::unique_ptr<char, decltype(&curl_free)> decoded(
        curl_easy_unescape(nullptr, plus.data(), static_cast<int>(plus.size()), &length), &curl_free);
    if (!decoded) throw std::runtime_error("cannot decode form field");
    return std::string(decoded.get(), static_cast<std::size_t>(length));
  };
  Record args = Record::object();
  while (!body.empty()) {
    auto end = body.find('&');
    auto pair = body.substr(0, end);
    body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
    if (pair.empty()) continue;
    auto eq = pair.find('=');
    std::string key = decode_part(pair.substr(0, eq));
    std::string value = eq == std::string_view::npos ? std::string() : decode_part(pair.substr(eq + 1));
    args[key] = value;
  }
  return args;
}

// Runs blocking work off the event loop on a fixed set of threads. At most `max_waiting` jobs
// wait for a thread; past that a job is refused rather than queued.
class WorkerPool {
 public:
  WorkerPool(int threads, std::size_t max_waiting)
      : pool_(static_cast<std::size_t>(std::max(1, threads))), max_waiting_(max_waiting) {}
  ~WorkerPool() { stop(); }

  // Runs `job` on a worker; false, and `job` not run, when too many wait already.
  template <typename Job>
  bool submit(Job job) {
    if (waiting_.fetch_add(1) >= max_waiting_) {
      waiting_.fetch_sub(1);
      return false;
    }
    boost::asio::post(pool_, [this, job = std::move(job)]() mutable {
      waiting_.fetch_sub(1);
      job();
    });
    return true;
  }

  // Drops the jobs that wait (unrun) and waits for those under way. Idempotent.
  void stop() {
    pool_.stop();
    pool_.join();
  }

 private:
  boost::asio::thread_pool pool_;
  std::size_t max_waiting_;
  std::atomic<std::size_t> waiting_{0};
};

WebRoutes::WebRoutes(const WebOptions& options)
    : listen_host_(options.host),
      page_files_(options.page_dir),
      plugin_(options.plugin),
      metrics_(options.metrics),
      metrics_token_(options.metrics_token.empty() ? std::filesystem::path(root_path("data/metrics_token")) : options.metrics_token),
      sessions_(password_bound_sessions(), options.clock),
      throttle_(3, std::chrono::seconds(300), options.clock),
      status_(options.status, options.clock),
      token_throttle_(3, std::chrono::seconds(300), options.clock),
      login_page_(options.login_dir.empty() ? default_login_dir() : options.login_dir) {}

http::Response WebRoutes::error(int status, const std::string& msg) {
  auto res = json_error(status, msg);
  add_common_headers(res);
  return res;
}

WebRoutes::Route WebRoutes::route(const http::Request& req) const {
  if (!host_allowed(req.header("Host"), listen_host_)) return {&WebRoutes::wrong_host, false};
  const std::string& path = req.path;
  if (path == "/" || path == "/plugin/qn_rivi") return {&WebRoutes::to_page, false};
  if (StatusRoutes::handles(req)) return {&WebRoutes::status_page, true};
  if (is_get(req)) {
    if (path.starts_with(kPagePath)) return {&WebRoutes::page_file, false};
    if (path == "/login") return {&WebRoutes::login_form, false};
    if (path == "/login.css") return {&WebRoutes::login_css, false};
    if (path == "/api/session") return {&WebRoutes::session, false};
    // Reads the token file and the plug-in's tables: off the loop.
    if (path == "/metrics" && metrics_) return {&WebRoutes::metrics, true};
  } else if (req.method == "POST") {
    if (path == "/login") return {&WebRoutes::login, true};
    if (path == "/logout") return {&WebRoutes::logout, false};
    if (path == "/plugin") return {&WebRoutes::plugin_call, true};
    if (path == "/api/settings/mail") return {&WebRoutes::settings_mail, true};
    if (path == "/api/settings/dingding") return {&WebRoutes::settings_dingding, true};
    if (path == "/api/settings/recipients") return {&WebRoutes::settings_recipients, true};
  }
  return {&WebRoutes::not_found, false};
}

http::Response WebRoutes::answer(const http::Request& req, Route route) {
  http::Response res;
  try {
    res = (this->*route.answer)(req);
  } catch (const std::exception& e) {
    res = json_error(500, e.what());
  }
  add_common_headers(res);
  return res;
}

http::Response WebRoutes::wrong_host(const http::Request&) {
  return http::Response::text(421, "unknown host name; use the panel's address\n");
}

http::Response WebRoutes::to_page(const http::Request&) { return redirect(kPagePath); }

http::Response WebRoutes::not_found(const http::Request&) { return json_error(404, "未找到"); }

namespace {

WebOptions with_defaults(WebOptions options) {
  if (options.page_dir.empty()) options.page_dir = root_path("plugin/qn_rivi/static");
  return options;
}

}  // namespace

WebServer::WebServer(WebOptions options)
    : options_(with_defaults(std::move(options))),
      routes_(options_),
      // Every waiting call holds a connection, so the server's connection cap bounds them too.
      workers_(std::make_unique<WorkerPool>(options_.workers, kMaxWaiting)) {
  http::Limits limits;
  limits.body_bytes = options_.max_body;
  limits.head_deadline = options_.head_deadline;
  server_ = std::make_unique<http::Server>([this](http::Request& request, http::Reply reply) { handle(request, reply); },
                                           limits);
  server_->set_refusal([](int status) {
    switch (status) {
      case 413: return WebRoutes::error(413, "request body too large");
      case 431: return WebRoutes::error(431, "request header fields too large");
      default: return WebRoutes::error(status, "bad request");
    }
  });
}

WebServer::~WebServer() {
  stop();
  // Joins the loop; no handler runs after this.
  server_.reset();
}

void WebServer::start() {
  port_ = server_->bind(options_.host, options_.port);
  server_->start();
}

void WebServer::stop() {
  server_->stop();
  workers_->stop();
}

void WebServer::handle(http::Request& request, http::Reply reply) {
  const auto route = routes_.route(request);
  if (!route.blocking) return reply(routes_.answer(request, route));
  const bool taken = workers_->submit([this, route, request = std::move(request), reply] {
    reply(routes_.answer(request, route));
  });
  if (!taken) {
    auto busy = WebRoutes::error(503, "服务器繁忙，请稍后再试");
    busy.headers.emplace_back("Retry-After", "1");
    reply(std::move(busy));
  }
}

}  // namespace rivi
