#include "host/web_server.h"

#include "host/html.h"
#include "host/paths.h"
#include "host/secret.h"

#include <curl/curl.h>
#include <httplib.h>

#include <charconv>
#include <optional>
#include <iostream>
#include <stdexcept>

namespace rivi {
namespace {

constexpr const char* kSessionCookie = "rivi_session";
constexpr const char* kLoginCookie = "rivi_login";
constexpr const char* kPagePath = "/plugin/qn_rivi/";
constexpr const char* kJson = "application/json; charset=utf-8";

// The page loads nothing but its own files; no inline script or style can run.
constexpr const char* kPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

constexpr const char* kLoginCss = R"(body{font:15px/1.5 system-ui,sans-serif;background:#f3f5f8;margin:0;
display:flex;min-height:100vh;align-items:center;justify-content:center}
form{background:#fff;padding:28px 32px;border-radius:8px;box-shadow:0 2px 12px #0002;width:min(320px,86vw)}
h1{font-size:20px;margin:0 0 16px}label{display:block;margin-bottom:6px;color:#444}
input[type=password]{width:100%;box-sizing:border-box;padding:8px;font-size:15px;border:1px solid #bbb;border-radius:4px}
button{margin-top:16px;width:100%;padding:9px;font-size:15px;border:0;border-radius:4px;background:#20a53a;color:#fff;cursor:pointer}
.error{color:#c0392b;margin:0 0 12px}
)";

std::string cookie_value(const httplib::Request& req, std::string_view name) {
  auto header = req.get_header_value("Cookie");
  std::string_view rest = header;
  while (!rest.empty()) {
    auto end = rest.find(';');
    auto item = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    auto eq = item.find('=');
    if (eq != std::string_view::npos && item.substr(0, eq) == name) return std::string(item.substr(eq + 1));
  }
  return {};
}

std::string cookie(std::string_view name, std::string_view value, std::string_view path, bool expire = false) {
  std::string out = std::string(name) + "=" + std::string(value) + "; Path=" + std::string(path) +
                    "; HttpOnly; SameSite=Strict";
  if (expire) out += "; Max-Age=0";
  return out;
}

void send_json(httplib::Response& res, int status, const Record& body) {
  res.status = status;
  std::string text;
  try {
    text = encode(body);
  } catch (const std::exception&) {
    // Text that is not UTF-8 (a stored name sent as raw bytes) still reaches the page, marked.
    text = body.dump(-1, ' ', true, Record::error_handler_t::replace);
  }
  res.set_content(text, kJson);
}

void send_error(httplib::Response& res, int status, const std::string& msg) {
  send_json(res, status, Record{{"status", false}, {"msg", msg}});
}

std::string login_page(const std::string& csrf, const std::string& error) {
  std::string out =
      "<!doctype html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
      "<title>登录 - 拔测监控</title><link rel=\"stylesheet\" href=\"/login.css\"></head><body>"
      "<form method=\"post\" action=\"/login\"><h1>面板登录</h1>";
  if (!error.empty()) out += "<p class=\"error\" role=\"alert\">" + html_escape(error) + "</p>";
  out += "<input type=\"hidden\" name=\"csrf_token\" value=\"" + html_escape(csrf) +
         "\"><label for=\"password\">管理员密码</label>"
         "<input type=\"password\" id=\"password\" name=\"password\" autocomplete=\"current-password\" "
         "required autofocus><button type=\"submit\">登录</button></form></body></html>";
  return out;
}

void send_login_page(httplib::Response& res, int status, const std::string& error) {
  std::string csrf = random_token();
  res.status = status;
  res.set_header("Set-Cookie", cookie(kLoginCookie, csrf, "/login"));
  res.set_content(login_page(csrf, error), "text/html; charset=utf-8");
}

void redirect(httplib::Response& res, const std::string& to) {
  res.status = 303;
  res.set_header("Location", to);
}

// A cross-site request announces its origin; only our own may post.
bool same_origin(const httplib::Request& req) {
  if (!req.has_header("Origin")) return true;
  return req.get_header_value("Origin") == "http://" + req.get_header_value("Host");
}

bool is_form(const httplib::Request& req) {
  auto type = req.get_header_value("Content-Type");
  return req.body.empty() || type.rfind("application/x-www-form-urlencoded", 0) == 0;
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

WebServer::WebServer(WebOptions options)
    : options_(std::move(options)),
      server_(std::make_unique<httplib::Server>()),
      sessions_(std::chrono::hours(12), options_.clock),
      throttle_(3, std::chrono::seconds(300), options_.clock) {
  if (options_.page_dir.empty()) options_.page_dir = root_path("plugin/qn_rivi/static");
  install_routes();
}

WebServer::~WebServer() { stop(); }

void WebServer::start() {
  bool bound = options_.port == 0 ? (port_ = server_->bind_to_any_port(options_.host)) > 0
                                  : server_->bind_to_port(options_.host, port_ = options_.port);
  if (!bound)
    throw std::runtime_error("cannot listen on " + options_.host + ":" + std::to_string(options_.port));
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void WebServer::stop() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

void WebServer::install_routes() {
  auto& s = *server_;
  s.set_payload_max_length(options_.max_body);
  s.set_read_timeout(30);
  s.set_keep_alive_timeout(30);
  s.set_default_headers({{"Content-Security-Policy", kPolicy},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "same-origin"},
                         {"Cache-Control", "no-store"}});
  s.set_mount_point(kPagePath, options_.page_dir.string());

  auto session_of = [this](const httplib::Request& req) { return sessions_.find(cookie_value(req, kSessionCookie)); };

  // The page is for the administrator only; its assets too.
  s.set_pre_routing_handler([session_of](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/" || req.path == "/plugin/qn_rivi") {
      redirect(res, kPagePath);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.path.rfind(kPagePath, 0) == 0 && (req.method == "GET" || req.method == "HEAD") && !session_of(req)) {
      redirect(res, "/login");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    switch (res.status) {
      case 404: send_error(res, 404, "not found"); break;
      case 413: send_error(res, 413, "request body too large"); break;
      default: send_error(res, res.status, "bad request"); break;
    }
  });

  s.Get("/login.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kLoginCss, "text/css; charset=utf-8");
  });

  s.Get("/login", [session_of](const httplib::Request& req, httplib::Response& res) {
    if (session_of(req)) return redirect(res, kPagePath);
    send_login_page(res, 200, "");
  });

  s.Post("/login", [this](const httplib::Request& req, httplib::Response& res) {
    Record form = is_form(req) ? form_record(req.body) : Record::object();
    std::string expected = cookie_value(req, kLoginCookie);
    std::string given = form.value("csrf_token", std::string());
    if (!same_origin(req) || expected.empty() || !same_secret(expected, given))
      return send_login_page(res, 403, "页面已过期，请重新登录");
    const std::string client = req.remote_addr;
    if (auto wait = throttle_.wait_for(client); wait.count() > 0) {
      res.set_header("Retry-After", std::to_string(wait.count()));
      return send_login_page(res, 429, "登录失败次数过多，请" + std::to_string(wait.count()) + "秒后再试");
    }
    bool ok = false;
    try {
      ok = check_admin_password(form.value("password", std::string()));
    } catch (const std::exception& e) {
      std::cerr << "panel serve: " << e.what() << "\n";
      return send_login_page(res, 500, "密码文件无法读取，请用 panel passwd 重设密码");
    }
    if (!ok) {
      throttle_.failed(client);
      return send_login_page(res, 401, "密码错误");
    }
    throttle_.succeeded(client);
    auto session = sessions_.create();
    res.set_header("Set-Cookie", cookie(kSessionCookie, session.id, "/"));
    res.set_header("Set-Cookie", cookie(kLoginCookie, "", "/login", true));
    redirect(res, kPagePath);
  });

  // Checks session, origin and CSRF header of a state-changing request; answers the session or
  // sends the refusal.
  auto guard = [session_of](const httplib::Request& req, httplib::Response& res) -> std::optional<SessionStore::Session> {
    auto session = session_of(req);
    if (!session) {
      send_error(res, 401, "未登录或登录已过期");
      return std::nullopt;
    }
    if (!same_origin(req) || !same_secret(session->csrf, req.get_header_value("X-CSRF-Token"))) {
      send_error(res, 403, "CSRF令牌无效，请刷新页面");
      return std::nullopt;
    }
    return session;
  };

  s.Get("/api/session", [session_of](const httplib::Request& req, httplib::Response& res) {
    auto session = session_of(req);
    if (!session) return send_error(res, 401, "未登录或登录已过期");
    send_json(res, 200, Record{{"csrf", session->csrf}});
  });

  s.Post("/logout", [this, guard](const httplib::Request& req, httplib::Response& res) {
    auto session = guard(req, res);
    if (!session) return;
    sessions_.remove(session->id);
    res.set_header("Set-Cookie", cookie(kSessionCookie, "", "/", true));
    send_json(res, 200, Record{{"status", true}, {"msg", "已退出"}});
  });

  s.Post("/plugin", [this, guard](const httplib::Request& req, httplib::Response& res) {
    if (!guard(req, res)) return;
    // The call is named by the URL alone; the body's fields are the method's arguments.
    auto q = req.target.find('?');
    Record query = form_record(q == std::string::npos ? std::string_view() : std::string_view(req.target).substr(q + 1));
    if (query.value("action", "") != "a" || query.value("name", "") != "qn_rivi")
      return send_error(res, 404, "unknown plug-in action");
    std::string method = query.value("s", "");
    // Checked before the call rather than told from the call's errors: a method may raise
    // std::out_of_range for its own reasons (a number beyond 64 bits), and that is a 500.
    if (!options_.plugin.callable || !options_.plugin.callable(method)) return send_error(res, 404, "unknown method: " + method);
    if (!is_form(req)) return send_error(res, 415, "expected a form body");
    Record answer;
    try {
      Record args = form_record(req.body);
      answer = options_.plugin.call(method, args);
    } catch (const std::exception& e) {
      return send_error(res, 500, e.what());
    }
    send_json(res, 200, answer);
  });
}

}  // namespace rivi
