// The plug-in's page and its assets under /plugin/qn_rivi/, read from the page's folder.
#include "host/web/web_server.h"

#include "host/public.h"
#include "host/web/web_answers.h"

#include <optional>

namespace rivi {

using namespace web;

namespace {

// The media type of a page file, by its extension.
std::string media_type(const std::filesystem::path& file) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},           {".svg", "image/svg+xml"},
      {".png", "image/png"},                   {".ico", "image/x-icon"},
      {".woff2", "font/woff2"},                {".md", "text/plain; charset=utf-8"},
      {".txt", "text/plain; charset=utf-8"},   {".map", "application/json"},
  };
  const std::string ext = file.extension().string();
  for (const auto& [known, type] : kTypes)
    if (ext == known) return type;
  return "application/octet-stream";
}

// The file under `dir` that a URL path below the page's prefix names ("" and ".../" name
// index.html), or nothing when it climbs out of `dir` or names no regular file.
std::optional<std::filesystem::path> page_file_path(const std::filesystem::path& dir, std::string_view url_path) {
  std::string relative = http::url_decode(url_path, false);
  if (relative.empty() || relative.back() == '/') relative += "index.html";
  if (relative.find('\0') != std::string::npos || relative.find('\\') != std::string::npos) return std::nullopt;
  std::filesystem::path file = dir;
  std::string_view rest = relative;
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const auto part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    file /= std::string(part);
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return std::nullopt;
  return file;
}

}  // namespace

http::Response WebRoutes::page_file(const http::Request& req) {
  // The page is for the administrator only; its assets too.
  if (!session_of(req)) return redirect("/login");
  const auto file = page_file_path(page_dir_, std::string_view(req.path).substr(std::string_view(kPagePath).size()));
  if (!file) return json_error(404, "not found");
  auto body = public_::ReadFile(file->string());
  if (!body) return json_error(404, "not found");
  return http::Response::text(200, std::move(*body), media_type(*file));
}

}  // namespace rivi
