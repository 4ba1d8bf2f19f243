// GET /metrics for scrapers holding the metrics token.
#include "host/web/web_server.h"

#include "host/public.h"
#include "host/secret.h"
#include "host/utf8.h"
#include "host/web/web_answers.h"

namespace rivi {

using namespace web;

http::Response WebRoutes::metrics(const http::Request& req) {
  const auto refuse = [] {
    auto res = http::Response::text(401, "unauthorized: send Authorization: Bearer <metrics token>\n");
    res.headers.emplace_back("WWW-Authenticate", "Bearer");
    return res;
  };
  const std::string token = trimmed_blanks(public_::ReadFile(metrics_token_.string()).value_or(""));
  const auto given = bearer_token(req);
  if (token.empty() || !given || !same_secret(token, *given))
    return refuse();
  return http::Response::text(200, metrics_(), "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace rivi
