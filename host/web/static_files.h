// The page's files as the web server sends them: which file a URL path names (never one outside
// the page's folder), its media type, the gzip copy staged beside it (NAME.gz) for a browser that
// accepts gzip, and how long a browser may keep it. A name carrying a content hash, as the page's
// build stages every file the page loads (main.3f9a2c1e.js), never changes its content: it is kept
// for a year without asking again. Any other file (index.html) is asked again on every load and
// answered 304 when the browser's copy is still the one here (ETag / If-None-Match).
#pragma once

#include "host/web/http_server.h"

#include <filesystem>
#include <optional>
#include <string_view>

namespace rivi {

class StaticFiles {
 public:
  explicit StaticFiles(std::filesystem::path dir) : dir_(std::move(dir)) {}

  // The answer to a GET or HEAD of `url_path`, the request's path below the page's prefix as sent
  // (percent-encoded; "" and a path ending in '/' name index.html), with the caching fields
  // (Cache-Control, ETag, Vary, Content-Encoding). Nothing when it names no file in the folder,
  // climbs out of it, or holds a NUL or a backslash.
  std::optional<http::Response> answer(std::string_view url_path, const http::Request& request) const;

 private:
  std::filesystem::path dir_;
};

// Whether an Accept-Encoding field value admits gzip: named ("gzip" or "x-gzip") with a quality
// above 0, or covered by "*" with one when gzip is not named.
bool accepts_gzip(std::string_view accept_encoding);

}  // namespace rivi
