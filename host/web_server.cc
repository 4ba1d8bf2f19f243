#include "host/web_server.h"

#include "host/html.h"
#include "host/paths.h"
#include "host/secret.h"
#include "host/server_socket.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
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

// A host name or address compared as such: lower case, without a final dot.
std::string canonical_host(std::string_view host) {
  std::string out(host);
  if (!out.empty() && out.back() == '.') out.pop_back();
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The host of a Host header, canonical and without the brackets of an IPv6 literal or the port.
// Nothing when the text is not host[:port] or [v6][:port].
std::optional<std::string> host_part(std::string_view text) {
  std::string_view host = text, rest;
  if (text.starts_with('[')) {
    auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else if (auto colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    rest = text.substr(colon);
  }
  if (!rest.empty()) {
    auto port = rest.substr(1);
    if (rest.front() != ':' || port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
      return std::nullopt;
  }
  std::string out = canonical_host(host);
  if (out.empty()) return std::nullopt;
  return out;
}

bool is_ipv4(const std::string& host, in_addr* out = nullptr) {
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  if (out) *out = a;
  return true;
}

bool is_ipv6(const std::string& host, in6_addr* out = nullptr) {
  in6_addr a{};
  if (inet_pton(AF_INET6, host.c_str(), &a) != 1) return false;
  if (out) *out = a;
  return true;
}

bool is_loopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr v4{};
  if (is_ipv4(host, &v4)) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  return is_ipv6(host, &v6) && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool is_wildcard(const std::string& host) { return host == "0.0.0.0" || host == "::"; }

// The secrets of one channel file's record, replaced by whether they are set (see web_answer).
void hide_channel_secrets(Record& info) {
  if (!info.is_object()) return;
  Record out = Record::object();
  for (auto& [key, value] : info.items()) {
    if (key == "password" || key == "secret") {
      out[key + "_set"] = !(value.is_null() || (value.is_string() && value.get<std::string>().empty()) ||
                            (value.is_boolean() && !value.get<bool>()));
    } else if (key == "dingding_url" && value.is_string()) {
      auto url = value.get<std::string>();
      if (auto query = url.find('?'); query != std::string::npos) url.resize(query + 1);
      out[key] = url;
    } else {
      out[key] = std::move(value);
    }
  }
  info = std::move(out);
}

// Sessions of the default policy that end when the administrator's password changes.
SessionPolicy password_bound_sessions() {
  SessionPolicy policy;
  policy.generation = admin_password_fingerprint;
  return policy;
}

}  // namespace

bool host_allowed(std::string_view host_header, std::string_view listen_host) {
  auto host = host_part(host_header);
  if (!host) return false;
  if (is_loopback(*host)) return true;
  if (listen_host.size() >= 2 && listen_host.front() == '[' && listen_host.back() == ']')
    listen_host = listen_host.substr(1, listen_host.size() - 2);
  const std::string listen = canonical_host(listen_host);
  if (listen.empty() || is_wildcard(listen)) return is_ipv4(*host) || is_ipv6(*host);
  if (is_loopback(listen)) return false;
  return *host == listen;
}

Record web_answer(const std::string& method, Record answer) {
  if (method == "get_user_mail" || method == "get_dingding") {
    hide_channel_secrets(answer);
  } else if (method == "get_settings" && answer.is_object()) {
    for (const char* channel : {"user_mail", "dingding"})
      if (answer.contains(channel) && answer[channel].is_object() && answer[channel].contains("info"))
        hide_channel_secrets(answer[channel]["info"]);
  }
  return answer;
}

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
      backlog_(std::make_unique<WideBacklog>(*server_)),
      run_(std::make_unique<RunControl>()),
      sessions_(password_bound_sessions(), options_.clock),
      throttle_(3, std::chrono::seconds(300), options_.clock) {
  if (options_.page_dir.empty()) options_.page_dir = root_path("plugin/qn_rivi/static");
  install_routes();
}

WebServer::~WebServer() { stop(); }

void WebServer::start() {
  errno = 0;
  bool bound = options_.port == 0 ? (port_ = server_->bind_to_any_port(options_.host)) > 0
                                  : server_->bind_to_port(options_.host, port_ = options_.port);
  if (!bound) {
    const int error = errno;
    std::string reason = error == EADDRINUSE ? "address in use" : error ? std::strerror(error) : "cannot bind";
    throw std::runtime_error("cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " + reason);
  }
  backlog_->widen();
  thread_ = std::thread([this] { run_->run(*server_); });
}

void WebServer::stop() {
  if (thread_.joinable()) {
    run_->stop(*server_);
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
  s.set_pre_routing_handler([this, session_of](const httplib::Request& req, httplib::Response& res) {
    if (!host_allowed(req.get_header_value("Host"), options_.host)) {
      res.status = 421;
      res.set_content("unknown host name; use the panel's address\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
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
    // Counted as a failure before the check, so that guesses sent together wait their turn.
    if (auto wait = throttle_.reserve(client); wait.count() > 0) {
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
    if (!ok) return send_login_page(res, 401, "密码错误");
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
      answer = web_answer(method, options_.plugin.call(method, args));
    } catch (const std::exception& e) {
      return send_error(res, 500, e.what());
    }
    send_json(res, 200, answer);
  });
}

}  // namespace rivi
