#include "host/web/status_routes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace rivi {
namespace {

constexpr std::string_view kPrefix = "/status/";
constexpr std::string_view kBadge = "/badge/";
constexpr std::size_t kMaxBuckets = 4096;  // past this, full buckets are forgotten
constexpr std::size_t kMaxCached = 1024;   // past this, expired entries are dropped

// No script, no frames, nothing from elsewhere: the page is markup and its own stylesheet.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'none'; style-src 'self'; img-src 'self' data:; object-src 'none'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
constexpr const char* kBadgePolicy = "default-src 'none'; script-src 'none'; style-src 'unsafe-inline'";
constexpr const char* kHtml = "text/html; charset=utf-8";

http::Response with_policy(http::Response res, const char* policy) {
  res.headers.emplace_back("Content-Security-Policy", policy);
  return res;
}

http::Response fresh(http::Response res) {
  res.headers.emplace_back("Cache-Control", "public, max-age=" + std::to_string(StatusRoutes::kFresh.count()));
  return res;
}

http::Response plain_page(int status, const std::string& title, const std::string& text) {
  return with_policy(http::Response::text(status,
                                          "<!doctype html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>" +
                                              title + "</title></head><body><h1>" + title + "</h1><p>" + text +
                                              "</p></body></html>",
                                          kHtml),
                     kPagePolicy);
}

http::Response not_found() { return plain_page(404, "404 状态页不存在", "没有这个状态页，请检查地址。"); }

bool slug_like(std::string_view s) {
  return !s.empty() && s.size() <= 40 &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

// "<digits>.svg" -> the number; nothing for anything else.
std::optional<std::int64_t> badge_task(std::string_view name) {
  constexpr std::string_view kSvg = ".svg";
  if (!name.ends_with(kSvg)) return std::nullopt;
  name.remove_suffix(kSvg.size());
  if (name.empty() || name.size() > 18 || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  std::int64_t id = 0;
  std::from_chars(name.data(), name.data() + name.size(), id);
  return id;
}

Clock or_steady(Clock clock) {
  return clock ? clock : Clock([] { return std::chrono::steady_clock::now(); });
}

}  // namespace

AddressLimiter::AddressLimiter(double burst, double per_second, Clock clock)
    : burst_(burst), per_second_(per_second), clock_(or_steady(std::move(clock))) {}

std::optional<std::chrono::seconds> AddressLimiter::take(const std::string& address) {
  const auto now = clock_();
  const auto refilled = [&](const Bucket& b) {
    const double elapsed = std::chrono::duration<double>(now - b.at).count();
    return std::min(burst_, b.tokens + std::max(0.0, elapsed) * per_second_);
  };
  std::lock_guard lock(mutex_);
  if (buckets_.size() >= kMaxBuckets && !buckets_.contains(address)) {
    std::erase_if(buckets_, [&](const auto& entry) { return refilled(entry.second) >= burst_; });
    // Every bucket busy (a flood from many addresses): start afresh rather than grow.
    if (buckets_.size() >= kMaxBuckets) buckets_.clear();
  }
  auto [it, added] = buckets_.try_emplace(address, Bucket{burst_, now});
  Bucket& bucket = it->second;
  bucket.tokens = refilled(bucket);
  bucket.at = now;
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    return std::nullopt;
  }
  return std::chrono::seconds(static_cast<std::int64_t>(std::ceil((1 - bucket.tokens) / per_second_)));
}

StatusRoutes::StatusRoutes(StatusPages pages, Clock clock)
    : pages_(std::move(pages)), clock_(or_steady(std::move(clock))), limiter_(kBurst, kPerSecond, clock_) {}

bool StatusRoutes::handles(const http::Request& req) {
  return (req.method == "GET" || req.method == "HEAD") && req.path.starts_with(kPrefix);
}

std::optional<std::string> StatusRoutes::cached(const std::string& key,
                                                const std::function<std::optional<std::string>()>& build) {
  {
    std::lock_guard lock(mutex_);
    if (auto it = cache_.find(key); it != cache_.end() && clock_() < it->second.until) return it->second.body;
  }
  // Built outside the lock: a slow page does not hold up the others.
  auto body = build();
  if (!body) return std::nullopt;
  const auto now = clock_();
  std::lock_guard lock(mutex_);
  if (cache_.size() >= kMaxCached) std::erase_if(cache_, [&](const auto& entry) { return entry.second.until <= now; });
  cache_[key] = Cached{*body, now + kFresh};
  return body;
}

http::Response StatusRoutes::answer(const http::Request& req) {
  const std::string_view rest = std::string_view(req.path).substr(kPrefix.size());
  // Fixed text, fetched with each page: not counted.
  if (rest == "status.css")
    return fresh(with_policy(http::Response::text(200, pages_.stylesheet, "text/css; charset=utf-8"), kPagePolicy));
  if (const auto wait = limiter_.take(req.remote)) {
    auto res = plain_page(429, "请求过于频繁", "请稍后再试。");
    res.headers.emplace_back("Retry-After", std::to_string(wait->count()));
    return res;
  }

  const auto badge_at = rest.find(kBadge);
  const std::string slug(rest.substr(0, badge_at));
  if (!slug_like(slug)) return not_found();
  if (badge_at == std::string_view::npos) {
    if (!pages_.page) return not_found();
    const auto body = cached("page/" + slug, [&] { return pages_.page(slug); });
    if (!body) return not_found();
    return fresh(with_policy(http::Response::text(200, *body, kHtml), kPagePolicy));
  }
  const auto task = badge_task(rest.substr(badge_at + kBadge.size()));
  if (!task || !pages_.badge) return not_found();
  const auto body = cached("badge/" + slug + "/" + std::to_string(*task), [&] { return pages_.badge(slug, *task); });
  if (!body) return not_found();
  auto res = fresh(with_policy(http::Response::text(200, *body, "image/svg+xml"), kBadgePolicy));
  // Any site may show it in an image.
  res.headers.emplace_back("Cross-Origin-Resource-Policy", "cross-origin");
  return res;
}

}  // namespace rivi
