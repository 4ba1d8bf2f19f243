// The panel's web server: the administrator's login, the plug-in's method calls and the plug-in's
// page. Routes:
//   GET  /login, /login.css     login form (sets a login CSRF cookie);  POST /login  checks it
//   POST /logout                ends the session (CSRF header required)
//   GET  /api/session           {"csrf": token} of the caller's session, 401 without one
//   POST /plugin?action=a&name=qn_rivi&s=METHOD
//                               form fields -> argument record -> web-callable METHOD -> JSON
//   GET  /plugin/qn_rivi/...    the page and its assets (session required, else to /login)
// Every POST needs a live session (except the login itself) and, in the header X-CSRF-Token,
// the session's CSRF token. Bodies larger than `max_body` are refused with 413. A request whose
// Host header the listening address does not admit (see `host_allowed`) is refused with 421
// before anything else. The settings readers' secrets are not sent (see `web_answer`).
#pragma once

#include "host/admin_auth.h"
#include "host/record.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace httplib {
class Server;
}

namespace rivi {

class WideBacklog;
class RunControl;

// "host:port" (or ":port" / "port" for 127.0.0.1) -> {host, port}. Throws std::invalid_argument
// naming the text for anything else or a port outside 1..65535.
std::pair<std::string, int> parse_listen(const std::string& text);

// An application/x-www-form-urlencoded body as an argument record: every value is text, keys in
// the order they first appear; a repeated key keeps its first place and its last value.
Record form_record(std::string_view body);

// Whether a request's Host header (host, IP literal or [IPv6 literal], with or without a port)
// names this server, so that a page of another site whose name was pointed at this machine
// (DNS rebinding) cannot use the login or the session:
//   listening on loopback (127.x.x.x, ::1, localhost): only loopback names and addresses;
//   listening on every address (0.0.0.0, ::):          any IP address literal or localhost;
//   listening on one address or name:                  that one, or a loopback name or address.
// Any other name is refused; to reach the panel by a DNS name, listen on that name.
bool host_allowed(std::string_view host_header, std::string_view listen_host);

// A plug-in answer as the web server sends it: the answers of `get_user_mail`, `get_dingding`
// and `get_settings` carry the host's channel files, and their secrets stay on the server: a
// `password` or `secret` becomes `password_set` / `secret_set` (true when it holds a value) in
// its place, and `dingding_url` loses its query (the webhook's token). Other answers pass as
// they are. `panel call` answers the records unchanged.
Record web_answer(const std::string& method, Record answer);

// How the server reaches the plug-in, supplied by the panel program (the host does not link the
// plug-in): whether a method name is web-callable, and the call itself, which constructs the
// plug-in object for the request and answers the method's record or throws.
struct PluginMethods {
  std::function<bool(const std::string& method)> callable;
  std::function<Record(const std::string& method, Record& args)> call;
};

struct WebOptions {
  PluginMethods plugin;
  std::string host = "127.0.0.1";
  int port = 8888;  // 0: any free port (see WebServer::port)
  // The page's files; empty means <root>/plugin/qn_rivi/static.
  std::filesystem::path page_dir;
  std::size_t max_body = 64 * 1024;
  // The clock of sessions and of the login slow-down; empty means the steady clock.
  Clock clock;
};

class WebServer {
 public:
  explicit WebServer(WebOptions options);
  // Stops and joins the server thread.
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds, alone (a port that another server holds is an error, not a shared one), and serves on
  // a thread of its own. Throws std::runtime_error("cannot listen on host:port: reason"), e.g.
  // "...: address in use", when the address cannot be bound.
  void start();
  void stop();
  // The bound port (useful with port 0), valid after `start`.
  int port() const { return port_; }

 private:
  void install_routes();

  WebOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<WideBacklog> backlog_;
  std::unique_ptr<RunControl> run_;
  SessionStore sessions_;
  LoginThrottle throttle_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace rivi
