#include "host/curl_loader.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace rivi {
namespace {

constexpr const char* kLibrary = "libcurl.so.4";

// Resolves `name` from `library` into `target`, whose type is the function's own.
template <typename Function>
void resolve(void* library, const char* name, Function& target) {
  dlerror();
  void* symbol = dlsym(library, name);
  if (!symbol) {
    const char* why = dlerror();
    throw std::runtime_error(std::string("cannot load libcurl: ") + (why ? why : name));
  }
  target = reinterpret_cast<Function>(symbol);
}

CurlApi load() {
  void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = dlerror();
    throw std::runtime_error(std::string("cannot load libcurl: ") + (why ? why : kLibrary));
  }
  try {
    CurlApi api{};
    resolve(library, "curl_global_init", api.global_init);
    resolve(library, "curl_easy_init", api.easy_init);
    resolve(library, "curl_easy_cleanup", api.easy_cleanup);
    resolve(library, "curl_easy_setopt", api.easy_setopt);
    resolve(library, "curl_easy_perform", api.easy_perform);
    resolve(library, "curl_easy_getinfo", api.easy_getinfo);
    resolve(library, "curl_easy_strerror", api.easy_strerror);
    resolve(library, "curl_easy_escape", api.easy_escape);
    resolve(library, "curl_free", api.free);
    resolve(library, "curl_slist_append", api.slist_append);
    resolve(library, "curl_slist_free_all", api.slist_free_all);
    resolve(library, "curl_mime_init", api.mime_init);
    resolve(library, "curl_mime_free", api.mime_free);
    resolve(library, "curl_mime_addpart", api.mime_addpart);
    resolve(library, "curl_mime_data", api.mime_data);
    resolve(library, "curl_mime_type", api.mime_type);
    resolve(library, "curl_mime_encoder", api.mime_encoder);
    if (const CURLcode rc = api.global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK)
      throw std::runtime_error(std::string("cannot load libcurl: ") + api.easy_strerror(rc));
    return api;
  } catch (...) {
    dlclose(library);
    throw;
  }
}

}  // namespace

const CurlApi& curl_api() {
  static const CurlApi api = load();
  return api;
}

LoadedEasy loaded_easy() {
  LoadedEasy h(curl_api().easy_init());
  if (!h) throw std::runtime_error("libcurl: cannot create a transfer handle");
  return h;
}

}  // namespace rivi
