// get_nodes: the dispatch centre's probe nodes, asked with the identity every probe sends.
#include "host/net/curl_handles.h"
#include "host/net/header_cap.h"
#include "host/panel_auth.h"
#include "host/public.h"
#include "plugin/qn_rivi/qn_rivi_main.h"

#include <fmt/format.h>

#include <iostream>
#include <stdexcept>
#include <string>

namespace rivi {
namespace {

constexpr long kTimeoutSeconds = 10;
constexpr std::size_t kMaxAnswer = 4u << 20;

struct Body {
  std::string text;
  bool over = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  if (body->text.size() + size * count > kMaxAnswer) {
    body->over = true;
    return 0;
  }
  body->text.append(data, size * count);
  return size * count;
}

struct Answer {
  long status = 0;
  std::string body;
};

// POSTs the url-encoded `form` to `url` and answers the status and body; throws std::runtime_error
// when no answer came. `url` must hold no secret: failures name it.
Answer http_post_form(const std::string& url, const std::string& form) {
  EasyHandle curl = new_easy();
  Body body;
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(curl.get(), CURLOPT_COPYPOSTFIELDS, form.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, kTimeoutSeconds);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  HeaderCap header_cap;
  curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, HeaderCap::take);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &header_cap);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
  const CURLcode rc = curl_easy_perform(curl.get());
  if (body.over) throw std::runtime_error("POST " + url + ": answer too large");
  if (header_cap.over)
    throw std::runtime_error(fmt::format("POST {}: the answer's header lines pass {} bytes", url, header_cap.limit));
  if (rc != CURLE_OK) throw std::runtime_error(fmt::format("POST {} failed: {}", url, *error ? error : curl_easy_strerror(rc)));
  Answer answer{0, std::move(body.text)};
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

std::string form_escape(const std::string& text) {
  CurlText escaped(curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
  if (!escaped) throw std::runtime_error("cannot escape a form value");
  return escaped.get();
}

}  // namespace

Record qn_rivi_main::get_nodes(Record&) {
  // An unusable configuration file reaches the host, as with a probe run.
  const std::string host = dispatch_centre_host();
  const std::string url = "http://" + host + "/api/local/rivi/nodes";
  // The identity (with the access key) rides in the body: a URL ends up in logs and messages.
  std::string form;
  const Record identity = panelAuth().create_serverid(nullptr);
  for (const auto& [key, value] : identity.items()) {
    if (!form.empty()) form += '&';
    form += form_escape(key) + "=" + form_escape(text_of(value));
  }
  try {
    const auto [status, body] = http_post_form(url, form);
    Record answer;
    try {
      answer = decode(body);
    } catch (const std::exception&) {
      if (status == 200) throw;  // otherwise the status says more than the body
    }
    // The centre refuses a caller (403) with a status record, which the page shows as it is.
    if (answer.is_object() && answer.contains("status")) return answer;
    if (status != 200) throw std::runtime_error(fmt::format("POST {} answered status {}", url, status));
    if (!answer.is_array()) throw std::invalid_argument("the dispatch centre answered neither a node list nor a status record");
    return answer;
  } catch (const std::exception&) {
    std::cout << public_::get_error_info() << '\n' << std::flush;
    return public_::returnMsg(false, "连接调度中心失败!");
  }
}

}  // namespace rivi
