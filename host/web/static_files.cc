#include "host/web/static_files.h"

#include "host/public.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <utility>

namespace rivi {
namespace {

constexpr const char* kKeepForGood = "public, max-age=31536000, immutable";
constexpr const char* kAskAgain = "no-cache";

// The media type of a page file, by its extension.
std::string media_type(const std::filesystem::path& file) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"}, {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},           {".svg", "image/svg+xml"},
      {".png", "image/png"},                   {".ico", "image/x-icon"},
      {".woff2", "font/woff2"},                {".md", "text/plain; charset=utf-8"},
      {".txt", "text/plain; charset=utf-8"},   {".map", "application/json"},
      {".gz", "application/gzip"},
  };
  const std::string ext = file.extension().string();
  for (const auto& [known, type] : kTypes)
    if (ext == known) return type;
  return "application/octet-stream";
}

// The file under `dir` that a URL path below the page's prefix names ("" and ".../" name
// index.html), or nothing when it climbs out of `dir` or names no regular file.
std::optional<std::filesystem::path> file_path(const std::filesystem::path& dir, std::string_view url_path) {
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

// Whether the name has the build's content hash before its extension: NAME.xxxxxxxx.EXT, eight
// lowercase hex digits.
bool hashed_name(const std::filesystem::path& file) {
  const std::string stem = file.stem().string();
  const auto dot = stem.rfind('.');
  if (dot == std::string::npos || stem.size() - dot - 1 != 8) return false;
  return std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(dot) + 1, stem.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'); });
}

// A strong entity tag for `content`: FNV-1a, 64 bits. It tells versions of one small file apart;
// nobody gains by forging one, so a cryptographic hash would buy nothing here.
std::string entity_tag(std::string_view content) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : content) h = (h ^ c) * 1099511628211ull;
  return fmt::format("\"{:016x}\"", h);
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Calls `each(item)` for every comma-separated item of a field value, blanks trimmed.
template <class Each>
void for_each_item(std::string_view value, Each each) {
  while (!value.empty()) {
    const auto comma = value.find(',');
    if (auto item = trimmed(value.substr(0, comma)); !item.empty()) each(item);
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
  }
}

// Whether an If-None-Match value names `tag` (weakly compared, as the field asks) or is "*".
bool none_match_names(std::string_view if_none_match, std::string_view tag) {
  bool found = false;
  for_each_item(if_none_match, [&](std::string_view item) {
    if (item.starts_with("W/")) item.remove_prefix(2);
    found = found || item == "*" || item == tag;
  });
  return found;
}

}  // namespace

bool accepts_gzip(std::string_view accept_encoding) {
  std::optional<bool> named;
  bool any = false;
  for_each_item(accept_encoding, [&](std::string_view item) {
    const auto semi = item.find(';');
    std::string coding(trimmed(item.substr(0, semi)));
    std::transform(coding.begin(), coding.end(), coding.begin(), [](unsigned char c) { return std::tolower(c); });
    bool wanted = true;
    for (auto params = semi == std::string_view::npos ? std::string_view() : item.substr(semi + 1); !params.empty();) {
      const auto next = params.find(';');
      const auto param = trimmed(params.substr(0, next));
      if (param.size() >= 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=')
        wanted = param.find_first_not_of("0.", 2) != std::string_view::npos;  // q=0, q=0.0, q=0.000: refused
      params = next == std::string_view::npos ? std::string_view() : params.substr(next + 1);
    }
    if (coding == "gzip" || coding == "x-gzip") named = named.value_or(false) || wanted;
    else if (coding == "*") any = wanted;
  });
  return named.value_or(any);
}

std::optional<http::Response> StaticFiles::answer(std::string_view url_path, const http::Request& request) const {
  const auto file = file_path(dir_, url_path);
  if (!file) return std::nullopt;
  const std::filesystem::path packed = file->string() + ".gz";
  std::error_code ec;
  const bool has_gzip = std::filesystem::is_regular_file(packed, ec);
  const bool gzip = has_gzip && accepts_gzip(request.header("Accept-Encoding"));
  auto body = public_::ReadFile((gzip ? packed : *file).string());
  if (!body) return std::nullopt;

  http::Response res = http::Response::text(200, "", media_type(*file));
  if (gzip) res.headers.emplace_back("Content-Encoding", "gzip");
  if (has_gzip) res.headers.emplace_back("Vary", "Accept-Encoding");
  if (hashed_name(*file)) {
    res.headers.emplace_back("Cache-Control", kKeepForGood);
  } else {
    const std::string tag = entity_tag(*body);
    res.headers.emplace_back("Cache-Control", kAskAgain);
    res.headers.emplace_back("ETag", tag);
    if (none_match_names(request.header("If-None-Match"), tag)) {
      res.status = 304;
      res.content_type.clear();
      return res;
    }
  }
  res.body = std::move(*body);
  return res;
}

}  // namespace rivi
