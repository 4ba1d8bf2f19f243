// The panel's web server: the administrator's login, the plug-in's method calls and the plug-in's
// page. Routes:
//   GET  /login, /login.css     login form (sets a login CSRF cookie);  POST /login  checks it
//   POST /logout                ends the session (CSRF header required)
//   GET  /api/session           {"csrf": token} of the caller's session, 401 without one
//   POST /plugin?action=a&name=qn_rivi&s=METHOD
//                               form fields -> argument record -> web-callable METHOD -> JSON.
//                               Instead of a session and its CSRF header, the caller may send
//                               `Authorization: Bearer <API token>` (host/web/api_tokens.h): a
//                               token that is not live is 401 with `WWW-Authenticate: Bearer`,
//                               a method beyond its scope 403; uses are slowed down per client
//                               address after failures, as logins are (429).
//   GET  /plugin/qn_rivi/...    the page and its assets (session required, else to /login), gzip
//                               and cached as host/web/static_files.h says
//   POST /api/settings/mail, /api/settings/dingding, /api/settings/recipients
//                               form fields -> the channel's file (see host/channel_settings.h)
//                               -> {"status", "msg"}; a refused form is 400
//   GET  /status/...           the public status pages and badges, no session (see status_routes.h)
//   GET  /metrics               the metrics text (Prometheus exposition format) for a caller
//                               whose `Authorization: Bearer <token>` holds the content of the
//                               token file (<root>/data/metrics_token); anyone else gets 401.
//                               No session is involved; the Host check applies.
// Every POST needs a live session (except the login itself) and, in the header X-CSRF-Token,
// the session's CSRF token. Bodies larger than `max_body` are refused with 413, heads past the
// server core's caps with 431 (see host/http_server.h). A request whose Host header the
// listening address does not admit (see `host_allowed`) is refused with 421 before anything
// else. The settings readers' secrets are not sent (see `web_answer`).
//
// The routes (`WebRoutes`) are plain functions from a request to its answer. The server
// (`WebServer`) runs them on the core's event loop, except those that block or burn CPU (a
// plug-in call, which may wait on SQLite or on the dispatch centre; a login's password hash),
// which run on a pool of worker threads and reply from there. When 512 such requests already
// wait for a worker, another is answered 503 at once.
#pragma once

#include "host/web/admin_auth.h"
#include "host/web/api_tokens.h"
#include "host/web/host_names.h"
#include "host/web/channel_settings.h"
#include "host/web/http_server.h"
#include "host/web/static_files.h"
#include "host/web/status_routes.h"
#include "host/web/login_page.h"
#include "host/record.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace rivi {

// "host:port" (or ":port" / "port" for 127.0.0.1) -> {host, port}. Throws std::invalid_argument
// naming the text for anything else or a port outside 1..65535.
std::pair<std::string, int> parse_listen(const std::string& text);

// An application/x-www-form-urlencoded body as an argument record: every value is text, keys in
// the order they first appear; a repeated key keeps its first place and its last value.
Record form_record(std::string_view body);

// A plug-in answer as the web server sends it: the answers of `get_user_mail`, `get_dingding`
// and `get_settings` carry the host's channel files, and their secrets stay on the server: a
// `password` or `secret` becomes `password_set` / `secret_set` (true when it holds a value) in
// its place, and `dingding_url` loses its query (the webhook's token). Other answers pass as
// they are. `panel call` answers the records unchanged.
Record web_answer(const std::string& method, Record answer);

// How the server reaches the plug-in, supplied by the panel program (the host does not link the
// plug-in): whether a method name is web-callable, and the call itself, which constructs the
// plug-in object for the request and answers the method's record or throws. `call` runs on the
// web server's worker threads, several at once.
struct PluginMethods {
  using Callable = std::function<bool(const std::string& method)>;
  using Call = std::function<Record(const std::string& method, Record& args)>;
  using TokenScopeOf = std::function<std::optional<TokenScope>(const std::string& method)>;
  PluginMethods() = default;
  PluginMethods(Callable is_callable, Call make_call, TokenScopeOf scope_of = {})
      : callable(std::move(is_callable)), call(std::move(make_call)), token_scope(std::move(scope_of)) {}

  std::function<bool(const std::string& method)> callable;
  std::function<Record(const std::string& method, Record& args)> call;
  // The scope an API token needs to call a web-callable method (read: it changes nothing),
  // nothing when no token may call it. Empty: no method may be called with a token.
  std::function<std::optional<TokenScope>(const std::string& method)> token_scope;
};

struct WebOptions {
  PluginMethods plugin;
  std::string host = "127.0.0.1";
  int port = 8888;  // 0: any free port (see WebServer::port)
  // The page's files; empty means <root>/plugin/qn_rivi/static.
  std::filesystem::path page_dir;
  // The login page's files (login.html, login.css); empty means default_login_dir().
  std::filesystem::path login_dir;
  std::size_t max_body = 64 * 1024;
  // The whole request head must arrive within this time of the server waiting for it.
  std::chrono::milliseconds head_deadline{10'000};
  // Threads that run plug-in calls and logins.
  int workers = 16;
  // The clock of sessions and of the login slow-down; empty means the steady clock.
  Clock clock;
  // The body of GET /metrics, built on a worker thread for each scrape; empty: no such route.
  std::function<std::string()> metrics;
  // The file holding the scrapers' bearer token (surrounding blanks ignored); empty means
  // <root>/data/metrics_token. A missing or empty file lets no one in.
  std::filesystem::path metrics_token;
  // The public status pages; empty hooks: every such page is 404.
  StatusPages status;
};

// The routes, each a function from a request to its answer, with the sessions and the login
// slow-down they share. Safe to use from several threads at once. The table (`route`) and the
// wrapper of every answer are in web_server.cc; the routes are defined in a file for their area
// (session_routes.cc, plugin_routes.cc, settings_routes.cc, metrics_routes.cc, page_routes.cc).
class WebRoutes {
 public:
  // `options.page_dir` must be set. Throws std::runtime_error when the login page's files are
  // missing.
  explicit WebRoutes(const WebOptions& options);

  using Answer = http::Response (WebRoutes::*)(const http::Request&);
  struct Route {
    Answer answer;
    // It may block or burn CPU (a plug-in call, a password check): never run it on the loop.
    bool blocking;
  };

  // The route `request` takes, the Host check and the redirects included.
  Route route(const http::Request& request) const;
  // The answer of `route` to `request`, with the headers every answer carries.
  http::Response answer(const http::Request& request, Route route);
  http::Response answer(const http::Request& request) { return answer(request, route(request)); }
  // The JSON error every route and refusal sends: {"status": false, "msg": msg}, with the
  // headers every answer carries.
  static http::Response error(int status, const std::string& msg);

  http::Response wrong_host(const http::Request& request);
  http::Response to_page(const http::Request& request);
  http::Response not_found(const http::Request& request);
  http::Response login_css(const http::Request& request);
  http::Response login_form(const http::Request& request);
  http::Response login(const http::Request& request);
  http::Response logout(const http::Request& request);
  http::Response session(const http::Request& request);
  http::Response plugin_call(const http::Request& request);
  http::Response page_file(const http::Request& request);
  http::Response settings_mail(const http::Request& request);
  http::Response settings_dingding(const http::Request& request);
  http::Response settings_recipients(const http::Request& request);
  http::Response metrics(const http::Request& request);
  http::Response status_page(const http::Request& request) { return status_.answer(request); }

 private:
  // The login form with a fresh login CSRF token in its cookie.
  http::Response login_page_response(int status, const std::string& error) const;
  std::optional<SessionStore::Session> session_of(const http::Request& request);
  // The caller's session when it may change state (live session, same origin, CSRF header),
  // else the refusal to send.
  std::variant<SessionStore::Session, http::Response> guard(const http::Request& request);
  // The scope of the API token `token` that the request carries, counted by the token
  // slow-down, else the refusal to send (429 while slowed down, 401 for a token that is not live).
  std::variant<TokenScope, http::Response> token_guard(const http::Request& request, const std::string& token);
  // A settings form (guarded, form body) given to `save`, answered as the host's envelope.
  http::Response save_settings(const http::Request& request, SettingsSaved (*save)(const Record& form));

  std::string listen_host_;
  StaticFiles page_files_;
  PluginMethods plugin_;
  std::function<std::string()> metrics_;
  std::filesystem::path metrics_token_;
  SessionStore sessions_;
  LoginThrottle throttle_;
  StatusRoutes status_;
  // Uses of API tokens, per client address, as logins are (apart, so a token's success does not
  // clear failed logins).
  LoginThrottle token_throttle_;
  LoginPage login_page_;
};

class WorkerPool;

class WebServer {
 public:
  explicit WebServer(WebOptions options);
  // Stops, waits for the plug-in calls under way and joins every thread.
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds, alone (a port that another server holds is an error, not a shared one; the listening
  // socket is not inherited by programs the process starts), and serves on threads of its own.
  // Throws http::BindError("cannot listen on HOST:PORT: REASON"), e.g. "...: the address is
  // already in use (another program listens there)", when the address cannot be bound.
  void start();
  // Stops serving: no new request is taken, calls waiting for a worker are dropped, calls under
  // way finish. Safe from any thread, also right after `start` or before it; idempotent.
  void stop();
  // The bound port (useful with port 0), valid after `start`.
  int port() const { return port_; }

 private:
  void handle(http::Request& request, http::Reply reply);

  WebOptions options_;
  WebRoutes routes_;
  std::unique_ptr<WorkerPool> workers_;
  std::unique_ptr<http::Server> server_;
  int port_ = 0;
};

}  // namespace rivi
