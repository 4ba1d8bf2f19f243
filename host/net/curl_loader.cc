#include "host/net/curl_loader.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace rivi {
namespace {

// A library being loaded: closed again when something fails before `keep` is called.
class Library {
 public:
  Library(const char* file, std::string name) : name_(std::move(name)) {
    handle_ = dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) fail(file);
  }
  ~Library() {
    if (handle_) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // Resolves `symbol` into `target`, whose type is the function's own.
  template <typename Function>
  void resolve(const char* symbol, Function& target) {
    dlerror();
    void* found = dlsym(handle_, symbol);
    if (!found) fail(symbol);
    target = reinterpret_cast<Function>(found);
  }

  [[noreturn]] void fail(const std::string& what) const {
    const char* why = dlerror();
    throw std::runtime_error("cannot load " + name_ + ": " + (why ? why : what));
  }

  // Leaves the library loaded for the rest of the process.
  void keep() { handle_ = nullptr; }

 private:
  std::string name_;
  void* handle_ = nullptr;
};

CurlApi load_curl() {
  Library library("libcurl.so.4", "libcurl");
  CurlApi api{};
  library.resolve("curl_global_init", api.global_init);
  library.resolve("curl_easy_init", api.easy_init);
  library.resolve("curl_easy_cleanup", api.easy_cleanup);
  library.resolve("curl_easy_setopt", api.easy_setopt);
  library.resolve("curl_easy_perform", api.easy_perform);
  library.resolve("curl_easy_getinfo", api.easy_getinfo);
  library.resolve("curl_easy_strerror", api.easy_strerror);
  library.resolve("curl_easy_escape", api.easy_escape);
  library.resolve("curl_free", api.free);
  library.resolve("curl_slist_append", api.slist_append);
  library.resolve("curl_slist_free_all", api.slist_free_all);
  library.resolve("curl_mime_init", api.mime_init);
  library.resolve("curl_mime_free", api.mime_free);
  library.resolve("curl_mime_addpart", api.mime_addpart);
  library.resolve("curl_mime_data", api.mime_data);
  library.resolve("curl_mime_type", api.mime_type);
  library.resolve("curl_mime_encoder", api.mime_encoder);
  library.resolve("curl_url", api.url);
  library.resolve("curl_url_cleanup", api.url_cleanup);
  library.resolve("curl_url_set", api.url_set);
  library.resolve("curl_url_get", api.url_get);
  if (const CURLcode rc = api.global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
    throw std::runtime_error(std::string("cannot load libcurl: ") + api.easy_strerror(rc));
  library.keep();
  return api;
}

CryptoApi load_crypto() {
  Library library("libcrypto.so.3", "libcrypto");
  CryptoApi api{};
  library.resolve("EVP_EncodeBlock", api.encode_base64);
  library.resolve("EVP_sha256", api.sha256);
  library.resolve("HMAC", api.hmac);
  library.keep();
  return api;
}

}  // namespace

const CurlApi& curl_api() {
  static const CurlApi api = load_curl();
  return api;
}

const CryptoApi& crypto_api() {
  static const CryptoApi api = load_crypto();
  return api;
}

LoadedEasy loaded_easy() {
  LoadedEasy h(curl_api().easy_init());
  if (!h) throw std::runtime_error("libcurl: cannot create a transfer handle");
  return h;
}

}  // namespace rivi
