// The public status pages of the web server, for visitors without a session:
//   GET /status/status.css                      the pages' stylesheet
//   GET /status/<slug>                          a page as HTML (no script)
//   GET /status/<slug>/badge/<task id>.svg      a task's badge (state and 30-day uptime)
// Owns what serving them to anyone needs: the cache (each page and badge is built at most once in
// 30 s, then answered from memory) and the rate limit (a token bucket per client address; past it,
// 429 with Retry-After). The content comes from the plug-in through `StatusPages`; a page or
// badge that does not exist is 404 with a plain page. Answers carry their own content policy
// (no script at all) and cache headers; cross-origin use is allowed for badges only.
#pragma once

#include "host/web/admin_auth.h"
#include "host/web/http_server.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace rivi {

// How the web server reaches the plug-in's status pages (the host does not link the plug-in).
// Both run on the web server's worker threads, several at once.
struct StatusPages {
  // The page of `slug` as a whole HTML document, or nothing when there is no such page.
  std::function<std::optional<std::string>(const std::string& slug)> page;
  // The badge of task `task` on page `slug` as SVG, or nothing when the task is not on it.
  std::function<std::optional<std::string>(const std::string& slug, std::int64_t task)> badge;
  // Served at /status/status.css.
  std::string stylesheet;
};

// A token bucket per client address: `burst` requests at once, refilled at `per_second`.
class AddressLimiter {
 public:
  AddressLimiter(double burst, double per_second, Clock clock);
  // Takes a token of `address`; when none is left, answers the whole seconds until one is.
  std::optional<std::chrono::seconds> take(const std::string& address);

 private:
  struct Bucket {
    double tokens;
    std::chrono::steady_clock::time_point at;
  };
  double burst_;
  double per_second_;
  Clock clock_;
  std::mutex mutex_;
  std::map<std::string, Bucket> buckets_;
};

class StatusRoutes {
 public:
  static constexpr std::chrono::seconds kFresh{30};  // a page or badge is built again after this
  static constexpr double kBurst = 30;               // requests an address may make at once
  static constexpr double kPerSecond = 1;            // and then one a second

  // An empty `clock` means the steady clock.
  StatusRoutes(StatusPages pages, Clock clock);

  // Whether the request is one of these routes (a GET or HEAD below /status/).
  static bool handles(const http::Request& request);
  // The answer, headers included. May block (it calls the plug-in): run it off the loop.
  http::Response answer(const http::Request& request);

 private:
  struct Cached {
    std::string body;
    std::chrono::steady_clock::time_point until;
  };
  // The body under `key` built at most kFresh ago, else `build()` kept and answered; nothing (and
  // nothing kept) when `build` finds nothing.
  std::optional<std::string> cached(const std::string& key,
                                    const std::function<std::optional<std::string>()>& build);

  StatusPages pages_;
  Clock clock_;
  AddressLimiter limiter_;
  std::mutex mutex_;
  std::map<std::string, Cached> cache_;
};

}  // namespace rivi
