// url_refusal, ProbeFetch, probe, probe_async, unanswered.
#include "dispatch/probe.h"

#include "dispatch/error_code.h"
#include "host/net/curl_handles.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>

namespace rivi::dispatch {

namespace {

constexpr std::size_t kMaxUrlLength = 2048;
// How long a multi handle keeps the system's authorities once read, in seconds.
constexpr long kAuthoritiesKeptSeconds = 600;

// Whether libcurl's built-in authorities bundle is a file that is there. Where it is not (a build
// that names only a directory), the directory stays libcurl's source of authorities.
bool authorities_bundle_present() {
  static const bool present = [] {
    EasyHandle easy = new_easy();
    const char* bundle = nullptr;
    if (!easy || curl_easy_getinfo(easy.get(), CURLINFO_CAINFO, &bundle) != CURLE_OK || !bundle) return false;
    std::error_code ignored;
    return std::filesystem::is_regular_file(bundle, ignored);
  }();
  return present;
}

double millis(CURL* h, CURLINFO what) {
  curl_off_t us = 0;
  curl_easy_getinfo(h, what, &us);
  return static_cast<double>(us) / 1000.0;
}

curl_off_t off_info(CURL* h, CURLINFO what) {
  curl_off_t v = 0;
  curl_easy_getinfo(h, what, &v);
  return v;
}

// The text form of a socket address libcurl is about to connect to; "" for a family it has none for.
std::string address_text(const curl_sockaddr& a) {
  char text[INET6_ADDRSTRLEN] = "";
  if (a.family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&a.addr)->sin_addr, text, sizeof text);
  } else if (a.family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&a.addr)->sin6_addr, text, sizeof text);
  }
  return text;
}

Record empty_result(const std::string& isp) {
  Record r = Record::object();
  r["isp"] = isp;
  r["primary_ip"] = "";
  r["http_code"] = 0;
  r["total_time"] = 0.0;
  r["namelookup_time"] = 0.0;
  r["connect_time"] = 0.0;
  r["appconnect_time"] = 0.0;
  r["starttransfer_time"] = 0.0;
  r["size_download"] = 0;
  r["speed_download"] = 0;
  return r;
}

// The host part of a probe-able URL (an IPv6 literal in brackets).
std::string url_host(const std::string& url) {
  UrlHandle u(curl_url());
  char* raw = nullptr;
  if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(u.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK) {
    return "";
  }
  CurlText host(raw);
  return host.get();
}

}  // namespace

std::string url_refusal(const std::string& url) {
  if (url.empty()) return "缺少URL地址";
  if (url.size() > kMaxUrlLength) return fmt::format("URL地址过长（最多{}字节）", kMaxUrlLength);
  UrlHandle u(curl_url());
  if (!u) throw std::runtime_error("libcurl: cannot create a URL handle");
  if (curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return "URL地址无效";
  char* raw = nullptr;
  if (curl_url_get(u.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) return "URL地址无效";
  CurlText scheme(raw);
  const std::string s = scheme.get();
  if (s != "http" && s != "https") return "只能拨测http://或https://地址";
  raw = nullptr;
  if (curl_url_get(u.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK) return "URL地址缺少主机名";
  CurlText host(raw);
  if (std::string(host.get()).empty()) return "URL地址缺少主机名";
  return "";
}

size_t ProbeFetch::on_body(char* data, size_t size, size_t count, void* self) {
  auto* f = static_cast<ProbeFetch*>(self);
  const size_t len = size * count;
  if (f->received_ + len > f->options_.max_bytes) {
    f->capped_ = true;
    return 0;  // aborts the transfer with CURLE_WRITE_ERROR
  }
  f->received_ += len;
  if (f->keyword_) f->keyword_->feed(std::string_view(data, len));
  return len;
}

// Counts the status lines, which tell the hops of a redirected fetch apart, and caps the lines.
size_t ProbeFetch::on_header(char* data, size_t size, size_t count, void* self) {
  auto* f = static_cast<ProbeFetch*>(self);
  if (std::string_view(data, size * count).starts_with("HTTP/")) ++f->responses_;
  return HeaderCap::take(data, size, count, &f->headers_);
}

curl_socket_t open_socket(const curl_sockaddr& address, int& error) {
  const int fd = ::socket(address.family, address.socktype | SOCK_CLOEXEC, address.protocol);
  if (fd < 0) error = errno;
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

std::string no_socket_reason(int error) {
  if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return "";
  return std::system_category().message(error);
}

// Opens every socket of the transfer. Without `allow_private` each address is judged before
// anything is sent to it: an inner address gets no connection at all, and an open port cannot be
// told from a closed one. A socket the system does not give is noted: that is no failure of the
// target.
curl_socket_t ProbeFetch::open_probe_socket(void* self, curlsocktype, curl_sockaddr* address) {
  auto* f = static_cast<ProbeFetch*>(self);
  if (f->responses_ != f->socket_hop_) {
    // The first connection of a redirect's hop: what is judged is this hop alone.
    f->socket_hop_ = f->responses_;
    f->refused_ = f->opened_outer_ = false;
    f->refused_ip_.clear();
    f->peer_.clear();
  }
  if (!f->options_.allow_private) {
    const std::string ip = address_text(*address);
    if (f->options_.is_inner(ip)) {
      f->refused_ = true;
      f->refused_ip_ = ip;
      return CURL_SOCKET_BAD;
    }
    f->opened_outer_ = true;
  }
  return open_socket(*address, f->socket_error_);
}

ProbeFetch::ProbeFetch(const std::string& url, ProbeOptions options)
    : options_(std::move(options)), refusal_(url_refusal(url)), peer_(options_.authority) {
  if (!refusal_.empty()) return;
  lookup_.emplace(url_host(url));
  if (!options_.checks.keyword.empty()) keyword_.emplace(options_.checks.keyword, kKeywordWindow);
  easy_ = new_easy();
  CURL* c = easy_.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  if (options_.checks.follow_redirects) {
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  } else {
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  }
  curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, PeerCertificate::on_context);
  curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &peer_);
  curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");  // measure the target, never a proxy from the environment
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, options_.timeout_ms);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.max_bytes));
  curl_easy_setopt(c, CURLOPT_USERAGENT, "rivi-node/1");
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
  // Every probe measures a whole fetch of its own: no connection, name or TLS session is taken
  // from an earlier transfer of the same multi handle, and none is left for a later one. That also
  // keeps the inner-address check whole: a probe that may reach inner addresses leaves no open
  // connection that a probe which may not could reuse.
  curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(c, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  // The system's authorities are read once and kept by the multi handle for the probes that
  // follow, instead of parsed again for every connection (about 20 ms of CPU each). libcurl keeps
  // them only when they come from the bundle file alone, so where the bundle is there the hashed
  // directory, which holds the same certificates, is not named; a changed bundle is read again
  // within ten minutes.
  if (authorities_bundle_present()) curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(c, CURLOPT_CA_CACHE_TIMEOUT, kAuthoritiesKeptSeconds);
  curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, open_probe_socket);
  curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, this);
}

std::string ProbeFetch::unavailable(CURLcode rc) const {
  if (rc == CURLE_OK) return "";
  if (std::string why = no_socket_reason(socket_error_); !why.empty()) return "no socket for the probe: " + why;
  if (rc == CURLE_COULDNT_RESOLVE_HOST) {
    // A name lookup runs on a thread of libcurl's with a socket pair of its own: when this process
    // has no descriptor left as the lookup fails, or the thread cannot start, the name was never
    // asked.
    const int spare = ::eventfd(0, EFD_CLOEXEC);
    const int spare_error = errno;
    if (spare >= 0) {
      ::close(spare);
    } else if (std::string why = no_socket_reason(spare_error); !why.empty()) {
      return "no descriptor for the name lookup: " + why;
    }
    if (std::string_view(error_).starts_with("getaddrinfo() thread failed to start")) {
      return "the name lookup could not start";
    }
  }
  return "";
}

Record ProbeFetch::result(CURLcode rc, CURL* c) const {
  Record result = empty_result(options_.isp);
  if (!refusal_.empty()) {
    result["error"] = refusal_;
    result["error_code"] = "connect";
    return result;
  }
  if (c == nullptr) {
    result["error"] = curl_easy_strerror(rc);
    result["error_code"] = error_code(rc, 0, false, false);
    return result;
  }
  if (rc != CURLE_OK && refused_ && !opened_outer_) {
    // Nothing was measured: every refused target answers the same record, whatever lies behind it.
    result["primary_ip"] = refused_ip_;
    result["error"] = kInnerRefused;
    result["error_code"] = error_code(rc, 0, true, false);
    add_findings(result, rc, c);
    return result;
  }

  char* ip = nullptr;
  curl_easy_getinfo(c, CURLINFO_PRIMARY_IP, &ip);
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  long hops = 0;
  curl_easy_getinfo(c, CURLINFO_REDIRECT_COUNT, &hops);
  if (hops > 0 && responses_ <= static_cast<std::size_t>(hops)) code = 0;  // the last hop gave no answer
  result["primary_ip"] = ip ? ip : "";
  result["http_code"] = code;
  result["total_time"] = millis(c, CURLINFO_TOTAL_TIME_T);
  result["namelookup_time"] = millis(c, CURLINFO_NAMELOOKUP_TIME_T);
  result["connect_time"] = millis(c, CURLINFO_CONNECT_TIME_T);
  result["appconnect_time"] = millis(c, CURLINFO_APPCONNECT_TIME_T);
  result["starttransfer_time"] = millis(c, CURLINFO_STARTTRANSFER_TIME_T);
  result["size_download"] = static_cast<std::int64_t>(off_info(c, CURLINFO_SIZE_DOWNLOAD_T));
  result["speed_download"] = static_cast<std::int64_t>(off_info(c, CURLINFO_SPEED_DOWNLOAD_T));
  if (rc != CURLE_OK) {
    if (capped_ || rc == CURLE_FILESIZE_EXCEEDED) {
      result["error"] = fmt::format("response larger than {} bytes", options_.max_bytes);
    } else if (headers_.over) {
      result["error"] = fmt::format("response header lines larger than {} bytes", headers_.limit);
    } else if (rc == CURLE_PEER_FAILED_VERIFICATION && !peer_.chain_error().empty()) {
      result["error"] = "SSL certificate problem: " + peer_.chain_error();  // as a refused handshake words it
    } else {
      result["error"] = error_[0] ? std::string(error_) : std::string(curl_easy_strerror(rc));
    }
  }
  result["error_code"] = error_code(rc, code, false, capped_ || headers_.over);
  add_findings(result, rc, c);
  return result;
}

void ProbeFetch::add_findings(Record& result, CURLcode rc, CURL* c) const {
  Record addresses = Record::array();
  if (auto found = lookup_ ? lookup_->addresses() : std::nullopt) {
    for (std::string& a : *found) addresses.push_back(std::move(a));
  } else if (const std::string& ip = result["primary_ip"].get_ref<const std::string&>(); !ip.empty()) {
    addresses.push_back(ip);  // the lookup has not ended: the one address known
  }
  result["addresses"] = std::move(addresses);
  if (peer_.seen()) {
    std::string verify_error = peer_.chain_error();
    if (verify_error.empty() && rc == CURLE_PEER_FAILED_VERIFICATION) {
      // The chain verified: libcurl refused the name.
      verify_error = std::string_view(error_).find("match") != std::string_view::npos ? "certificate name mismatch"
                                                                                      : std::string(error_);
    }
    result["cert"] = peer_.describe(std::time(nullptr), verify_error);
  }
  if (options_.checks.follow_redirects) {
    char* last = nullptr;
    curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &last);
    long hops = 0;
    curl_easy_getinfo(c, CURLINFO_REDIRECT_COUNT, &hops);
    result["final_url"] = last ? last : "";
    result["redirects"] = hops;
  }
  if (keyword_) result["keyword_found"] = keyword_->found();
}

namespace {

// How long a result waits for the lookup of its host's addresses once the transfer has ended
// (libcurl's own lookup of the same name ended before), and how often the loop looks.
constexpr std::chrono::milliseconds kLookupGrace{1000};
constexpr std::chrono::milliseconds kLookupPoll{10};

// Hands on the result once the address lookup has ended, or when `tries` run out, looking again
// on `multi`'s timer meanwhile: the loop is never held up.
void answer_when_looked_up(CurlMulti& multi, std::shared_ptr<ProbeFetch> fetch, CURLcode rc,
                           std::shared_ptr<EasyHandle> easy, std::function<void(ProbeOutcome)> done, long tries) {
  if (fetch->addresses_ready() || tries <= 0) return done({ProbeOutcome::End::measured, fetch->result(rc, easy->get()), ""});
  multi.after(kLookupPoll, [&multi, fetch, rc, easy, done = std::move(done), tries]() mutable {
    answer_when_looked_up(multi, fetch, rc, easy, std::move(done), tries - 1);
  });
}

}  // namespace

Record probe(const std::string& url, const ProbeOptions& options) {
  ProbeFetch fetch(url, options);
  EasyHandle easy = fetch.take_handle();
  if (!easy) return fetch.result(CURLE_OK, nullptr);
  const CURLcode rc = curl_easy_perform(easy.get());
  if (std::string why = fetch.unavailable(rc); !why.empty()) throw ProbeUnavailable(why);
  fetch.wait_for_addresses(kLookupGrace);
  return fetch.result(rc, easy.get());
}

CurlMulti::TransferId probe_async(CurlMulti& multi, const std::string& url, const ProbeOptions& options,
                                  std::function<void(ProbeOutcome)> done) {
  auto fetch = std::make_shared<ProbeFetch>(url, options);
  EasyHandle easy = fetch->take_handle();
  if (!easy) {
    done({ProbeOutcome::End::measured, fetch->result(CURLE_OK, nullptr), ""});
    return 0;
  }
  return multi.add(std::move(easy), [fetch, &multi, done = std::move(done)](CURLcode rc, EasyHandle handle) mutable {
    if (rc == CURLE_ABORTED_BY_CALLBACK) return done({ProbeOutcome::End::cancelled, nullptr, ""});
    if (std::string why = fetch->unavailable(rc); !why.empty()) {
      return done({ProbeOutcome::End::unavailable, nullptr, std::move(why)});
    }
    answer_when_looked_up(multi, fetch, rc, std::make_shared<EasyHandle>(std::move(handle)), std::move(done),
                          kLookupGrace / kLookupPoll);
  });
}

Record unanswered(const std::string& node_label) {
  Record r = empty_result(kNoAnswer);
  r["node"] = node_label;
  r["error_code"] = kNoAnswerCode;
  return r;
}

}  // namespace rivi::dispatch
