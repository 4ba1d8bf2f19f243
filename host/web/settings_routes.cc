// The host's notification settings: the forms that write the mail, DingTalk and recipients files.
#include "host/web/web_server.h"

#include "host/public.h"
#include "host/web/web_answers.h"

namespace rivi {

using namespace web;

http::Response WebRoutes::settings_mail(const http::Request& req) { return save_settings(req, save_mail_settings); }

http::Response WebRoutes::settings_dingding(const http::Request& req) {
  return save_settings(req, save_dingding_settings);
}

http::Response WebRoutes::settings_recipients(const http::Request& req) { return save_settings(req, save_recipients); }

http::Response WebRoutes::save_settings(const http::Request& req, SettingsSaved (*save)(const Record& form)) {
  auto guarded = guard(req);
  if (auto* refusal = std::get_if<http::Response>(&guarded)) return std::move(*refusal);
  if (!is_form(req)) return json_error(415, "请求内容应为表单（application/x-www-form-urlencoded）");
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

}  // namespace rivi
