// Owners of libcurl handles: each handle is released by exactly one
// owner, on every path out of the code that made it.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace rivi {

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
struct MimeFreer {
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCloser>;
using UrlHandle = std::unique_ptr<CURLU, UrlCloser>;
using CurlText = std::unique_ptr<char, CurlFreer>;
using SlistHandle = std::unique_ptr<curl_slist, SlistFreer>;
using MimeHandle = std::unique_ptr<curl_mime, MimeFreer>;

// A fresh easy handle; throws std::runtime_error when libcurl cannot make one. libcurl's global
// set-up runs once per process before the first handle (thread-safe since libcurl 7.84).
EasyHandle new_easy();

}  // namespace rivi
