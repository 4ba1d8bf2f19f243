#include "host/public.h"

#include "host/curl_handles.h"

#include <curl/curl.h>
#include <cxxabi.h>
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
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
#include <typeinfo>

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

std::string local_date(std::int64_t t) {
  const std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
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
  std::random_device rd;
  const fs::path temp = target.string() + fmt::format(".tmp{}-{:x}", ::getpid(), rd());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      fs::remove(temp, ec);
      throw std::runtime_error("cannot write " + path);
    }
  }
  fs::rename(temp, target, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw std::runtime_error("cannot write " + path + ": " + ec.message());
  }
}

void WriteLog(const std::string& type, const std::string& msg) {
  M("logs").insert(Record{{"type", type}, {"log", msg}, {"addtime", local_date(now())}});
}

Record returnMsg(bool status, const std::string& msg) { return Record{{"status", status}, {"msg", msg}}; }

std::string httpPost(const std::string& url, const Record& data, long timeout_seconds) {
  EasyHandle curl = new_easy();
  std::string form;
  if (data.is_object()) {
    for (const auto& [key, value] : data.items()) {
      const std::string text = text_of(value);
      const CurlText k(curl_easy_escape(curl.get(), key.data(), static_cast<int>(key.size())));
      const CurlText v(curl_easy_escape(curl.get(), text.data(), static_cast<int>(text.size())));
      if (!form.empty()) form += '&';
      form += std::string(k.get()) + "=" + v.get();
    }
  }
  CappedBody body;
  body.cap = kMaxPostAnswer;
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, timeout_seconds);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  // A proxy from the environment may serve remote centres, never this machine's own.
  curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
  // A declared length past the cap fails before any of the body is read.
  curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxPostAnswer));
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
  const CURLcode rc = curl_easy_perform(curl.get());
  if (body.over || rc == CURLE_FILESIZE_EXCEEDED)
    throw std::runtime_error(fmt::format("POST {} failed: the answer is larger than {} bytes", url, kMaxPostAnswer));
  if (rc != CURLE_OK)
    throw std::runtime_error(fmt::format("POST {} failed: {}", url, *error ? error : curl_easy_strerror(rc)));
  return std::move(body.text);
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

std::string format_date() { return local_date(now()); }

std::string get_error_info() {
  const auto current = std::current_exception();
  if (!current) return "no error";
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), std::free);
    return fmt::format("{}: {}", status == 0 && name ? name.get() : typeid(e).name(), e.what());
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
