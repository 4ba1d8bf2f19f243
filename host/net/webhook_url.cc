#include "host/net/webhook_url.h"

#include "host/net/curl_loader.h"
#include "host/net/inner_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace rivi {
namespace {

constexpr const char* kNotHttps = "钉钉 Webhook 地址须以 https:// 开头（http:// 仅限本机回环地址）";
constexpr const char* kInner = "钉钉 Webhook 地址不能指向内部地址（本机、内网、保留地址）";
constexpr std::size_t kMaxUrl = 2048;

bool is_ip(const std::string& host) {
  unsigned char b[16];
  return inet_pton(AF_INET, host.c_str(), b) == 1 || inet_pton(AF_INET6, host.c_str(), b) == 1;
}

// Names that always mean this machine.
bool local_name(std::string_view host) {
  if (host.ends_with('.')) host.remove_suffix(1);
  return host == "localhost" || host.ends_with(".localhost");
}

}  // namespace

WebhookOrigin judge_webhook(const std::string& url) {
  const bool printable = std::none_of(url.begin(), url.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; });
  if (url.empty() || url.size() > kMaxUrl || !printable) throw WebhookRefused(kNotHttps);
  const CurlApi& api = curl_api();
  LoadedUrl parsed(api.url());
  if (!parsed) throw std::runtime_error("libcurl: cannot create a URL handle");
  if (api.url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) throw WebhookRefused(kNotHttps);
  const auto part = [&](CURLUPart which, unsigned int flags = 0) {
    char* text = nullptr;
    if (api.url_get(parsed.get(), which, &text, flags) != CURLUE_OK || !text) return std::string();
    LoadedText owned(text);
    return std::string(owned.get());
  };
  if (!part(CURLUPART_USER).empty() || !part(CURLUPART_PASSWORD).empty()) throw WebhookRefused(kNotHttps);
  const std::string scheme = part(CURLUPART_SCHEME);
  if (scheme != "https" && scheme != "http") throw WebhookRefused(kNotHttps);
  WebhookOrigin origin;
  origin.https = scheme == "https";
  origin.host = part(CURLUPART_HOST);
  std::transform(origin.host.begin(), origin.host.end(), origin.host.begin(), [](unsigned char c) { return std::tolower(c); });
  if (origin.host.size() >= 2 && origin.host.front() == '[' && origin.host.back() == ']')
    origin.host = origin.host.substr(1, origin.host.size() - 2);
  if (origin.host.empty()) throw WebhookRefused(kNotHttps);
  const std::string port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);  // digits, checked by the parser
  origin.port = port.empty() ? 0 : std::stol(port);
  if (origin.https) {
    if (local_name(origin.host) || (is_ip(origin.host) && is_inner_address(origin.host))) throw WebhookRefused(kInner);
  } else if (!local_name(origin.host) && !is_loopback_address(origin.host)) {
    throw WebhookRefused(kNotHttps);
  }
  return origin;
}

bool webhook_address_allowed(bool https, const std::string& ip) {
  return https ? !is_inner_address(ip) : is_loopback_address(ip);
}

}  // namespace rivi
