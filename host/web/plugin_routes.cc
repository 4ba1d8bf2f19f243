// The plug-in's method calls: POST /plugin?action=a&name=qn_rivi&s=METHOD, and what of their
// answers stays on the server.
#include "host/web/web_server.h"

#include "host/web/web_answers.h"

namespace rivi {

using namespace web;

namespace {

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

std::variant<TokenScope, http::Response> WebRoutes::token_guard(const http::Request& req, const std::string& token) {
  const std::string& client = req.remote;
  // Counted as a failure before the check, as a login is, so that guesses sent together wait.
  if (auto wait = token_throttle_.reserve(client); wait.count() > 0) {
    auto res = json_error(429, "API令牌验证失败次数过多，请" + std::to_string(wait.count()) + "秒后再试");
    res.headers.emplace_back("Retry-After", std::to_string(wait.count()));
    return res;
  }
  const auto scope = use_api_token(token);
  if (!scope) {
    auto res = json_error(401, "API令牌无效或已撤销");
    res.headers.emplace_back("WWW-Authenticate", "Bearer");
    return res;
  }
  token_throttle_.succeeded(client);
  return *scope;
}

http::Response WebRoutes::plugin_call(const http::Request& req) {
  // A script sends its API token instead of a session: no cookie, no CSRF token (a browser
  // never adds this header to a request on its own).
  const auto token = bearer_token(req);
  std::optional<TokenScope> granted;
  if (token) {
    auto checked = token_guard(req, *token);
    if (auto* refusal = std::get_if<http::Response>(&checked)) return std::move(*refusal);
    granted = std::get<TokenScope>(checked);
  } else {
    auto guarded = guard(req);
    if (auto* refusal = std::get_if<http::Response>(&guarded)) return std::move(*refusal);
  }
  // The call is named by the URL alone; the body's fields are the method's arguments.
  const Record query = form_record(req.query);
  if (query.value("action", "") != "a" || query.value("name", "") != "qn_rivi")
    return json_error(404, "未知的插件操作");
  const std::string method = query.value("s", "");
  // Checked before the call rather than told from the call's errors: a method may raise
  // std::out_of_range for its own reasons (a number beyond 64 bits), and that is a 500.
  if (!plugin_.callable || !plugin_.callable(method)) return json_error(404, "未知的方法：" + method);
  if (granted) {
    const auto needed = plugin_.token_scope ? plugin_.token_scope(method) : std::nullopt;
    if (!needed) return json_error(403, "该方法不能用API令牌调用，请登录面板操作：" + method);
    if (*needed == TokenScope::write && *granted == TokenScope::read)
      return json_error(403, "只读令牌不能调用会修改数据的方法：" + method);
  }
  if (!is_form(req)) return json_error(415, "请求内容应为表单（application/x-www-form-urlencoded）");
  Record answer;
  try {
    Record args = form_record(req.body);
    answer = web_answer(method, plugin_.call(method, args));
  } catch (const std::exception& e) {
    return json_error(500, e.what());
  }
  return json(200, answer);
}

}  // namespace rivi
