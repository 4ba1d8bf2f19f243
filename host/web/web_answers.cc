#include "host/web/web_answers.h"

#include "host/utf8.h"

#include <strings.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace rivi::web {
namespace {

// The page loads nothing but its own files; no inline script or style can run.
constexpr const char* kPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

}  // namespace

void add_common_headers(http::Response& res) {
  std::vector<std::pair<std::string, std::string>> common;
  for (const auto& [name, value] : {std::pair{"Content-Security-Policy", kPolicy}, {"X-Content-Type-Options", "nosniff"},
                                    {"Referrer-Policy", "same-origin"}, {"Cache-Control", "no-store"}}) {
    const auto set = [name](const auto& field) { return ::strcasecmp(field.first.c_str(), name) == 0; };
    if (std::none_of(res.headers.begin(), res.headers.end(), set)) common.emplace_back(name, value);
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

namespace {

std::string make_cookie(std::string_view name, std::string_view value, std::string_view path, bool expire,
                        bool http_only) {
  std::string out = std::string(name) + "=" + std::string(value) + "; Path=" + std::string(path) +
                    (http_only ? "; HttpOnly" : "") + "; SameSite=Strict";
  if (expire) out += "; Max-Age=0";
  return out;
}

}  // namespace

std::string cookie(std::string_view name, std::string_view value, std::string_view path, bool expire) {
  return make_cookie(name, value, path, expire, true);
}

std::string script_cookie(std::string_view name, std::string_view value, std::string_view path, bool expire) {
  return make_cookie(name, value, path, expire, false);
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

bool same_origin(const http::Request& req) {
  if (!has_header(req, "Origin")) return true;
  return req.header("Origin") == "http://" + req.header("Host");
}

bool is_form(const http::Request& req) {
  return req.body.empty() || req.header("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0;
}

bool is_get(const http::Request& req) { return req.method == "GET" || req.method == "HEAD"; }

std::optional<std::string> bearer_token(const http::Request& req) {
  const std::string header = req.header("Authorization");
  constexpr std::string_view kScheme = "Bearer ";
  if (header.size() < kScheme.size() || ::strncasecmp(header.data(), kScheme.data(), kScheme.size()) != 0)
    return std::nullopt;
  return trimmed_blanks(std::string_view(header).substr(kScheme.size()));
}

}  // namespace rivi::web
