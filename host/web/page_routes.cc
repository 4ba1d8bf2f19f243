// The plug-in's page and its assets under /plugin/qn_rivi/, served as host/web/static_files.h says.
#include "host/web/web_server.h"

#include "host/web/web_answers.h"

#include <optional>

namespace rivi {

using namespace web;

http::Response WebRoutes::page_file(const http::Request& req) {
  // The page is for the administrator only; its assets too.
  if (!session_of(req)) return redirect("/login");
  auto file = page_files_.answer(std::string_view(req.path).substr(std::string_view(kPagePath).size()), req);
  if (!file) return json_error(404, "未找到");
  return std::move(*file);
}

}  // namespace rivi
