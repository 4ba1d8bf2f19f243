// The pieces every route of the panel's web server answers with: the headers of every answer,
// JSON bodies and errors, cookies, redirects, and the few questions routes ask of a request
// (its cookies, whether it is a form, a GET, from our own origin).
#pragma once

#include "host/record.h"
#include "host/web/http_server.h"

#include <optional>
#include <string>
#include <string_view>

namespace rivi::web {

inline constexpr const char* kSessionCookie = "rivi_session";
inline constexpr const char* kLoginCookie = "rivi_login";
// The session's CSRF token for the page's script to read at once, so that its first calls need
// not wait for /api/session; the token is worth nothing without the HttpOnly session cookie.
inline constexpr const char* kCsrfCookie = "rivi_csrf";
inline constexpr const char* kPagePath = "/plugin/qn_rivi/";
inline constexpr const char* kJson = "application/json; charset=utf-8";

// What every answer carries, whatever its route, unless the route set the field itself (the page's
// files have a cache time of their own, the public status pages a policy and a cache time).
void add_common_headers(http::Response& res);

// The value of the cookie `name` the request sent, "" when none.
std::string cookie_value(const http::Request& req, std::string_view name);
// A Set-Cookie value: HttpOnly, SameSite=Strict, on `path`; `expire` ends it at once.
std::string cookie(std::string_view name, std::string_view value, std::string_view path, bool expire = false);
// The same without HttpOnly: a cookie the page's script reads.
std::string script_cookie(std::string_view name, std::string_view value, std::string_view path, bool expire = false);

// `body` as the host's JSON text (text that is not UTF-8 is sent marked, not refused).
http::Response json(int status, const Record& body);
// {"status": false, "msg": msg}
http::Response json_error(int status, const std::string& msg);
// 303 to `to`.
http::Response redirect(const std::string& to);

bool has_header(const http::Request& req, std::string_view name);
// A cross-site request announces its origin; only our own may post.
bool same_origin(const http::Request& req);
// An empty body or an application/x-www-form-urlencoded one.
bool is_form(const http::Request& req);
bool is_get(const http::Request& req);
// The credentials of an `Authorization: Bearer <token>` header (surrounding blanks dropped, so
// possibly ""); nothing when the request has no such header.
std::optional<std::string> bearer_token(const http::Request& req);

}  // namespace rivi::web
