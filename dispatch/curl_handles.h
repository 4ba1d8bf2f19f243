// Owners of libcurl handles for the dispatch programs: each handle is released by exactly one
// owner, on every path out of the code that made it.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace rivi::dispatch {

struct EasyCloser {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct UrlCloser {
  void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct CurlFreer {
  void operator()(char* p) const { curl_free(p); }
};
struct SlistFreer {
  void operator()(curl_slist* p) const { curl_slist_free_all(p); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCloser>;
using UrlHandle = std::unique_ptr<CURLU, UrlCloser>;
using CurlText = std::unique_ptr<char, CurlFreer>;
using SlistHandle = std::unique_ptr<curl_slist, SlistFreer>;

// A fresh easy handle; throws std::runtime_error when libcurl cannot make one. libcurl's global
// set-up runs once per process before the first handle (thread-safe since libcurl 7.84).
EasyHandle new_easy();

}  // namespace rivi::dispatch
