// The administrator's session: the login form and its style, the login, the session's CSRF
// token, the logout, and the guard every state-changing route passes.
#include "host/web/web_server.h"

#include "host/journal.h"
#include "host/secret.h"
#include "host/utf8.h"
#include "host/web/web_answers.h"


namespace rivi {

using namespace web;

http::Response WebRoutes::login_page_response(int status, const std::string& error) const {
  const std::string csrf = random_token();
  auto res = http::Response::text(status, login_page_.html(csrf, error), "text/html; charset=utf-8");
  res.headers.emplace_back("Set-Cookie", cookie(kLoginCookie, csrf, "/login"));
  return res;
}

http::Response WebRoutes::login_css(const http::Request&) {
  return http::Response::text(200, login_page_.css(), "text/css; charset=utf-8");
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
    journal::log_line(journal::Priority::err, std::string("panel serve: ") + e.what());
    return login_page_response(500, "密码文件无法读取，请用 panel passwd 重设密码");
  }
  if (!ok) {
    // The one administrator has no name to type; a form that brings one (a script's guess) has
    // it logged as given, bounded and made printable, so that it cannot forge lines of its own.
    journal::log_line(journal::Priority::warning, "panel serve: failed login from " + client + " as user \"" +
                                                      readable_text(form.value("username", std::string("admin")), 64) + "\"");
    return login_page_response(401, "密码错误");
  }
  throttle_.succeeded(client);
  const auto session = sessions_.create();
  auto res = redirect(kPagePath);
  res.headers.emplace_back("Set-Cookie", cookie(kSessionCookie, session.id, "/"));
  res.headers.emplace_back("Set-Cookie", script_cookie(kCsrfCookie, session.csrf, "/"));
  res.headers.emplace_back("Set-Cookie", cookie(kLoginCookie, "", "/login", true));
  return res;
}

http::Response WebRoutes::session(const http::Request& req) {
  const auto session = session_of(req);
  if (!session) return json_error(401, "未登录或登录已过期");
  auto res = json(200, Record{{"csrf", session->csrf}});
  // Sessions begun before the page read the token from a cookie get it here.
  res.headers.emplace_back("Set-Cookie", script_cookie(kCsrfCookie, session->csrf, "/"));
  return res;
}

http::Response WebRoutes::logout(const http::Request& req) {
  auto guarded = guard(req);
  if (auto* refusal = std::get_if<http::Response>(&guarded)) return std::move(*refusal);
  sessions_.remove(std::get<SessionStore::Session>(guarded).id);
  auto res = json(200, Record{{"status", true}, {"msg", "已退出"}});
  res.headers.emplace_back("Set-Cookie", cookie(kSessionCookie, "", "/", true));
  res.headers.emplace_back("Set-Cookie", script_cookie(kCsrfCookie, "", "/", true));
  return res;
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

}  // namespace rivi
