// libcurl and libcrypto loaded at their first use instead of at program start. libcurl brings its
// TLS stack and some thirty further libraries, and loading them costs a probe run more than the
// rest of its start together, while a run needs them only to send a report (or to reach an https
// or proxied centre). The host's sender, its webhook judgement and the https path of httpPost go
// through `curl_api()`, the sender's base64 and HMAC through `crypto_api()`; programs that use
// libcurl on every run (the dispatch centre, the probe node) link it directly (host/curl_handles.h).
//
// Each library is loaded once per process, on first call, from its run-time name (libcurl.so.4,
// libcrypto.so.3) and stays loaded until the process ends: transfers may leave resolver threads
// behind, and nothing is gained by unloading.
#pragma once

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <memory>

namespace rivi {

// The libcurl functions the host uses, resolved from the loaded library. Each has the type of
// the function of the same name in <curl/curl.h>.
struct CurlApi {
  decltype(&::curl_global_init) global_init;
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_perform) easy_perform;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_easy_escape) easy_escape;
  decltype(&::curl_free) free;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
  decltype(&::curl_mime_init) mime_init;
  decltype(&::curl_mime_free) mime_free;
  decltype(&::curl_mime_addpart) mime_addpart;
  decltype(&::curl_mime_data) mime_data;
  decltype(&::curl_mime_type) mime_type;
  decltype(&::curl_mime_encoder) mime_encoder;
  decltype(&::curl_url) url;
  decltype(&::curl_url_cleanup) url_cleanup;
  decltype(&::curl_url_set) url_set;
  decltype(&::curl_url_get) url_get;
};

// The loaded library, its global set-up done (thread-safe; the first call loads it). Throws
// std::runtime_error("cannot load libcurl: ...") when the library or one of its functions is
// missing, or its set-up fails; a later call tries again.
const CurlApi& curl_api();

// The libcrypto functions the sender uses, as `CurlApi` is for libcurl.
struct CryptoApi {
  decltype(&::EVP_EncodeBlock) encode_base64;
  decltype(&::EVP_sha256) sha256;
  decltype(&::HMAC) hmac;
};

// The loaded libcrypto; throws std::runtime_error("cannot load libcrypto: ...") as `curl_api`.
const CryptoApi& crypto_api();

// Owners of handles made through `curl_api()`.
struct LoadedEasyCloser {
  void operator()(CURL* h) const { curl_api().easy_cleanup(h); }
};
struct LoadedSlistFreer {
  void operator()(curl_slist* p) const { curl_api().slist_free_all(p); }
};
struct LoadedMimeFreer {
  void operator()(curl_mime* m) const { curl_api().mime_free(m); }
};
struct LoadedUrlCloser {
  void operator()(CURLU* u) const { curl_api().url_cleanup(u); }
};
struct LoadedCurlFreer {
  void operator()(char* p) const { curl_api().free(p); }
};
using LoadedEasy = std::unique_ptr<CURL, LoadedEasyCloser>;
using LoadedSlist = std::unique_ptr<curl_slist, LoadedSlistFreer>;
using LoadedMime = std::unique_ptr<curl_mime, LoadedMimeFreer>;
using LoadedText = std::unique_ptr<char, LoadedCurlFreer>;
using LoadedUrl = std::unique_ptr<CURLU, LoadedUrlCloser>;

// A fresh easy handle from the loaded library; throws std::runtime_error when there is none.
LoadedEasy loaded_easy();

}  // namespace rivi
