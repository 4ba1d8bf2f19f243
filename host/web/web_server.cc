#include "host/web/web_server.h"

#include "host/web/channel_settings.h"
#include "host/web/html.h"
#include "host/paths.h"
#include "host/public.h"
#include "host/secret.h"
#include "host/utf8.h"

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <iostream>
#include <optional>
#include <stdexcept>

namespace rivi {
namespace {

constexpr const char* kSessionCookie = "rivi_session";
constexpr const char* kLoginCookie = "rivi_login";
constexpr const char* kPagePath = "/plugin/qn_rivi/";
constexpr const char* kJson = "application/json; charset=utf-8";
// Blocking requests that may wait for a worker before further ones are answered 503.
constexpr std::size_t kMaxWaiting = 512;

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

// What every answer carries, whatever its route, unless the route set the field itself (the
// public status pages have a policy and a cache time of their own).
void add_common_headers(http::Response& res) {
  std::vector<std::pair<std::string, std::string>> common;
  for (const auto& [name, value] : {std::pair{"Content-Security-Policy", kPolicy}, {"X-Content-Type-Options", "nosniff"},
                                    {"Referrer-Policy", "same-origin"}, {"Cache-Control", "no-store"}}) {
    if (std::none_of(res.headers.begin(), res.headers.end(), [name](const auto& field) { return ::strcasecmp(field.first.c_str(), name) == 0; }))
      common.emplace_back(name, value);
  }
  res.headers.insert(res.headers.begin(), common.begin(), common.end());
}

std::string cookie_value(const http::Request& req, std::string_view name) {
  const auto header = req.header("Cookie");
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

http::Response json(int status, const Record& body) {
  std::string text;
  try {
    text = encode(body);
  } catch (const std::exception&) {
    // Text that is not UTF-8 (a stored name sent as raw bytes) still reaches the page, marked.
    text = body.dump(-1, ' ', true, Record::error_handler_t::replace);
  }
  return http::Response::text(status, std::move(text), kJson);
}

http::Response json_error(int status, const std::string& msg) {
  return json(status, Record{{"status", false}, {"msg", msg}});
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

// The login form with a fresh login CSRF token in its cookie.
http::Response login_page_response(int status, const std::string& error) {
  const std::string csrf = random_token();
  auto res = http::Response::text(status, login_page(csrf, error), "text/html; charset=utf-8");
  res.headers.emplace_back("Set-Cookie", cookie(kLoginCookie, csrf, "/login"));
  return res;
}

http::Response redirect(const std::string& to) {
  http::Response res;
  res.status = 303;
  res.content_type.clear();
  res.headers.emplace_back("Location", to);
  return res;
}

bool has_header(const http::Request& req, std::string_view name) {
  return std::any_of(req.headers.begin(), req.headers.end(), [name](const auto& field) {
    return field.first.size() == name.size() && ::strncasecmp(field.first.data(), name.data(), name.size()) == 0;
  });
}

// A cross-site request announces its origin; only our own may post.
bool same_origin(const http::Request& req) {
  if (!has_header(req, "Origin")) return true;
  return req.header("Origin") == "http://" + req.header("Host");
}

bool is_form(const http::Request& req) {
  return req.body.empty() || req.header("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0;
}

bool is_get(const http::Request& req) { return req.method == "GET" || req.method == "HEAD"; }

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
      status_(options.status, options.clock) {}

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

http::Response WebRoutes::not_found(const http::Request&) { return json_error(404, "not found"); }

http::Response WebRoutes::login_css(const http::Request&) {
  return http::Response::text(200, kLoginCss, "text/css; charset=utf-8");
}

http::Response WebRoutes::login_form(const http::Request& req) {
  if (session_of(req)) return redirect(kPagePath);
  return login_page_response(200, "");
}

http::Response WebRoutes::login(const http::Request& req) {
  Record form = is_form(req) ? form_record(req.body) : Record::object();
  const std::string expected = cookie_value(req, kLoginCookie);
  const std::string given = form.value("csrf_token", std::string());
  if (!same_origin(req) || expected.empty() || !same_secret(expected, given))
    return login_page_response(403, "页面已过期，请重新登录");
  const std::string& client = req.remote;
  // Counted as a failure before the check, so that guesses sent together wait their turn.
  if (auto wait = throttle_.reserve(client); wait.count() > 0) {
    auto res = login_page_response(429, "登录失败次数过多，请" + std::to_string(wait.count()) + "秒后再试");
    res.headers.emplace_back("Retry-After", std::to_string(wait.count()));
    return res;
  }
  bool ok = false;
  try {
    ok = check_admin_password(form.value("password", std::string()));
  } catch (const std::exception& e) {
    std::cerr << "panel serve: " << e.what() << "\n";
    return login_page_response(500, "密码文件无法读取，请用 panel passwd 重设密码");
  }
  if (!ok) return login_page_response(401, "密码错误");
  throttle_.succeeded(client);
  const auto session = sessions_.create();
  auto res = redirect(kPagePath);
  res.headers.emplace_back("Set-Cookie", cookie(kSessionCookie, session.id, "/"));
  res.headers.emplace_back("Set-Cookie", cookie(kLoginCookie, "", "/login", true));
  return res;
}

http::Response WebRoutes::session(const http::Request& req) {
  const auto session = session_of(req);
  if (!session) return json_error(401, "未登录或登录已过期");
  return json(200, Record{{"csrf", session->csrf}});
}

http::Response WebRoutes::logout(const http::Request& req) {
  auto guarded = guard(req);
  if (auto* refusal = std::get_if<http::Response>(&guarded)) return std::move(*refusal);
  sessions_.remove(std::get<SessionStore::Session>(guarded).id);
  auto res = json(200, Record{{"status", true}, {"msg", "已退出"}});
  res.headers.emplace_back("Set-Cookie", cookie(kSessionCookie, "", "/", true));
  return res;
}

http::Response WebRoutes::plugin_call(const http::Request& req) {
  auto guarded = guard(req);
  if (auto* refusal = std::get_if<http::Response>(&guarded)) return std::move(*refusal);
  // The call is named by the URL alone; the body's fields are the method's arguments.
  const Record query = form_record(req.query);
  if (query.value("action", "") != "a" || query.value("name", "") != "qn_rivi")
    return json_error(404, "unknown plug-in action");
  const std::string method = query.value("s", "");
  // Checked before the call rather than told from the call's errors: a method may raise
  // std::out_of_range for its own reasons (a number beyond 64 bits), and that is a 500.
  if (!plugin_.callable || !plugin_.callable(method)) return json_error(404, "unknown method: " + method);
  if (!is_form(req)) return json_error(415, "expected a form body");
  Record answer;
  try {
    Record args = form_record(req.body);
    answer = web_answer(method, plugin_.call(method, args));
  } catch (const std::exception& e) {
    return json_error(500, e.what());
  }
  return json(200, answer);
}

http::Response WebRoutes::page_file(const http::Request& req) {
  // The page is for the administrator only; its assets too.
  if (!session_of(req)) return redirect("/login");
  auto file = page_files_.answer(std::string_view(req.path).substr(std::string_view(kPagePath).size()), req);
  if (!file) return json_error(404, "not found");
  return std::move(*file);
}

http::Response WebRoutes::settings_mail(const http::Request& req) { return save_settings(req, save_mail_settings); }

http::Response WebRoutes::settings_dingding(const http::Request& req) {
  return save_settings(req, save_dingding_settings);
}

http::Response WebRoutes::settings_recipients(const http::Request& req) { return save_settings(req, save_recipients); }

http::Response WebRoutes::save_settings(const http::Request& req, SettingsSaved (*save)(const Record& form)) {
  auto guarded = guard(req);
  if (auto* refusal = std::get_if<http::Response>(&guarded)) return std::move(*refusal);
  if (!is_form(req)) return json_error(415, "expected a form body");
  try {
    const SettingsSaved saved = save(form_record(req.body));
    Record answer = public_::returnMsg(true, saved.msg);
    if (!saved.dropped.empty()) answer["dropped"] = saved.dropped;
    return json(200, answer);
  } catch (const SettingsRefused& e) {
    return json_error(400, e.what());
  } catch (const std::exception& e) {
    // The form's values stay out of it: only the file's own error (path, reason).
    return json_error(500, std::string("保存失败：") + e.what());
  }
}

http::Response WebRoutes::metrics(const http::Request& req) {
  const auto refuse = [] {
    auto res = http::Response::text(401, "unauthorized: send Authorization: Bearer <metrics token>\n");
    res.headers.emplace_back("WWW-Authenticate", "Bearer");
    return res;
  };
  const std::string token = trimmed_blanks(public_::ReadFile(metrics_token_.string()).value_or(""));
  const std::string header = req.header("Authorization");
  constexpr std::string_view kScheme = "Bearer ";
  if (token.empty() || header.size() <= kScheme.size() ||
      ::strncasecmp(header.data(), kScheme.data(), kScheme.size()) != 0 ||
      !same_secret(token, trimmed_blanks(header.substr(kScheme.size()))))
    return refuse();
  return http::Response::text(200, metrics_(), "text/plain; version=0.0.4; charset=utf-8");
}

std::optional<SessionStore::Session> WebRoutes::session_of(const http::Request& req) {
  return sessions_.find(cookie_value(req, kSessionCookie));
}

std::variant<SessionStore::Session, http::Response> WebRoutes::guard(const http::Request& req) {
  auto session = session_of(req);
  if (!session) return json_error(401, "未登录或登录已过期");
  if (!same_origin(req) || !same_secret(session->csrf, req.header("X-CSRF-Token")))
    return json_error(403, "CSRF令牌无效，请刷新页面");
  return *std::move(session);
}

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
