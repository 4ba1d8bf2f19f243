#include "host/public.h"

#include "host/net/curl_loader.h"
#include "host/net/header_cap.h"
#include "host/net/http_client.h"

#include <fmt/format.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace rivi::public_ {
namespace {

// An answer being read, kept only up to `cap` bytes.
struct CappedBody {
  std::string text;
  std::size_t cap = 0;
  bool over = false;
};

// Stops the transfer (by answering short) as soon as the answer passes its cap.
std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
  auto* body = static_cast<CappedBody*>(out);
  const std::size_t len = size * count;
  if (len > body->cap - body->text.size()) {
    body->over = true;
    return 0;
  }
  body->text.append(data, len);
  return len;
}

// `text` percent-encoded for a form: every byte but the unreserved ones (letters, digits, "-._~").
std::string form_escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const unsigned char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// A proxy from the environment may serve remote centres, never this machine's own: these hosts
// (and names under "localhost") are always reached directly.
bool never_proxied(std::string_view host) {
  return host == "localhost" || host.ends_with(".localhost") || host == "127.0.0.1" || host == "::1";
}

// Whether libcurl would send a plain-HTTP request for `host` through a proxy named in the
// environment (it reads `http_proxy`, then `all_proxy` and `ALL_PROXY`).
bool proxied(std::string_view host) {
  if (never_proxied(host)) return false;
  for (const char* name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
    if (const char* value = std::getenv(name); value && *value) return true;
  }
  return false;
}

// `url` as a failure names it: without user information, query and fragment, any of which may
// hold a secret (a webhook's token, an access key), since failures reach logs and pages.
std::string shown_url(std::string_view url) {
  const auto scheme = url.find("://");
  const std::size_t authority = scheme == std::string_view::npos ? 0 : scheme + 3;
  url = url.substr(0, url.find_first_of("?#", authority));
  const std::size_t authority_end = std::min(url.find('/', authority), url.size());
  if (const auto at = url.substr(0, authority_end).rfind('@'); at != std::string_view::npos && at >= authority) {
    return std::string(url.substr(0, authority)) + std::string(url.substr(at + 1));
  }
  return std::string(url);
}

std::string too_large(const std::string& url) {
  return fmt::format("POST {} failed: the answer is larger than {} bytes", shown_url(url), kMaxPostAnswer);
}

// The POST through libcurl, for what the small client leaves to it: https, and proxies.
std::string post_through_curl(const std::string& url, const std::string& form, long timeout_seconds) {
  const CurlApi& api = curl_api();
  LoadedEasy curl = loaded_easy();
  CappedBody body;
  body.cap = kMaxPostAnswer;
  char error[CURL_ERROR_SIZE] = "";
  api.easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  api.easy_setopt(curl.get(), CURLOPT_POSTFIELDS, form.c_str());
  api.easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  api.easy_setopt(curl.get(), CURLOPT_TIMEOUT, timeout_seconds);
  api.easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  api.easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  api.easy_setopt(curl.get(), CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
  // A declared length past the cap fails before any of the body is read.
  api.easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxPostAnswer));
  api.easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
  api.easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  HeaderCap header_cap;
  api.easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, HeaderCap::take);
  api.easy_setopt(curl.get(), CURLOPT_HEADERDATA, &header_cap);
  api.easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
  const CURLcode rc = api.easy_perform(curl.get());
  if (body.over || rc == CURLE_FILESIZE_EXCEEDED) throw std::runtime_error(too_large(url));
  if (header_cap.over)
    throw std::runtime_error(fmt::format("POST {} failed: the answer's header lines pass {} bytes", url, header_cap.limit));
  if (rc != CURLE_OK)
    throw std::runtime_error(fmt::format("POST {} failed: {}", shown_url(url), *error ? error : api.easy_strerror(rc)));
  return std::move(body.text);
}

}  // namespace

Query M(std::string table) { return Query(std::move(table)); }

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

void writeFile(const std::string& path, std::string_view text) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  std::error_code ec;
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  if (ec) throw std::runtime_error("cannot write " + path + ": " + ec.message());
  // A new file is the owner's alone; a file that exists keeps its mode.
  struct stat existing {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0600;
  std::random_device rd;
  const fs::path temp = target.string() + fmt::format(".tmp{}-{:x}", ::getpid(), rd());
  const auto fail = [&](const std::string& why) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw std::runtime_error("cannot write " + path + (why.empty() ? "" : ": " + why));
  };
  {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) fail(std::strerror(errno));
    std::size_t done = 0;
    int error = 0;
    while (!error && done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n >= 0) done += static_cast<std::size_t>(n);
      else if (errno != EINTR) error = errno;
    }
    if (!error && ::fchmod(fd, mode) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (error) fail(std::strerror(error));
  }
  fs::rename(temp, target, ec);
  if (ec) fail(ec.message());
}

void WriteLog(const std::string& type, const std::string& msg) {
  M("logs").insert(Record{{"type", type}, {"log", msg}, {"addtime", format_date(now())}});
}

Record returnMsg(bool status, const std::string& msg) { return Record{{"status", status}, {"msg", msg}}; }

std::string httpPost(const std::string& url, const Record& data, long timeout_seconds) {
  std::string form;
  if (data.is_object()) {
    for (const auto& [key, value] : data.items()) {
      if (!form.empty()) form += '&';
      form += form_escape(key) + "=" + form_escape(text_of(value));
    }
  }
  // Plain HTTP, the dispatch centre's case on every probe run, needs no libcurl.
  const std::optional<HttpUrl> plain = parse_http_url(url);
  if (!plain || proxied(plain->host)) return post_through_curl(url, form, timeout_seconds);
  // As with libcurl, a time-out of 0 or less sets no limit.
  const std::chrono::milliseconds timeout =
      timeout_seconds > 0 ? std::chrono::seconds(timeout_seconds) : std::chrono::hours(24 * 365);
  try {
    return http_post(*plain, "application/x-www-form-urlencoded", form, timeout, kMaxPostAnswer);
  } catch (const AnswerTooLarge&) {
    throw std::runtime_error(too_large(url));
  } catch (const std::exception& e) {
    throw std::runtime_error(fmt::format("POST {} failed: {}", shown_url(url), e.what()));
  }
}

Record get_page(std::int64_t count, std::int64_t p, std::int64_t rows) {
  if (rows < 1) throw std::invalid_argument("rows a page must be at least 1");
  // Pages past the last give an empty page; far past it the page is capped so `shift` stays finite.
  const std::int64_t last_possible = std::numeric_limits<std::int64_t>::max() / rows;
  const std::int64_t page = p < 1 ? 1 : std::min(p, last_possible);
  const std::int64_t pages = count <= 0 ? 0 : (count + rows - 1) / rows;
  return Record{{"count", count}, {"p", page}, {"pages", pages}, {"row", rows}, {"shift", (page - 1) * rows}};
}

std::string to_size(const Record& n) {
  if (!n.is_number()) throw std::invalid_argument("to_size needs a number of bytes, got " + encode(n));
  double value = n.get<double>();
  static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB"};
  std::size_t unit = 0;
  while (std::fabs(value) >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  if (unit == 0) return fmt::format("{} B", static_cast<std::int64_t>(std::llround(value)));
  return fmt::format("{:.2f} {}", value, kUnits[unit]);
}

std::string format_date() { return format_date(now()); }

std::string format_date(std::int64_t t) {
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string get_error_info() {
  const auto current = std::current_exception();
  if (!current) return "no error";
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

std::int64_t now() {
  if (const char* fixed = std::getenv("PANEL_NOW"); fixed && *fixed) {
    char* end = nullptr;
    const long long v = std::strtoll(fixed, &end, 10);
    if (end && *end == '\0') return v;
  }
  return static_cast<std::int64_t>(std::time(nullptr));
}

}  // namespace rivi::public_
