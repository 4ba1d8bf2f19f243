#include "host/net/curl_handles.h"

namespace rivi {

EasyHandle new_easy() {
  static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (global != CURLE_OK) throw std::runtime_error(std::string("libcurl: ") + curl_easy_strerror(global));
  EasyHandle h(curl_easy_init());
  if (!h) throw std::runtime_error("libcurl: cannot create a transfer handle");
  return h;
}

}  // namespace rivi
