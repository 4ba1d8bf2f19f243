// One probe node's measurement: a single GET of a URL with libcurl, and the node result record
// that describes it. The same code runs in `rivi-node` and in the centre's in-process nodes, either
// blocking (`probe`) or as one transfer among many on a `CurlMulti` (`probe_async`); both prepare
// the transfer and read its result through `ProbeFetch`, so they measure and refuse alike.
#pragma once

#include "dispatch/address_lookup.h"
#include "dispatch/keyword_search.h"
#include "dispatch/probe_checks.h"
#include "dispatch/probe_tls.h"
#include "host/net/curl_handles.h"
#include "host/net/curl_multi.h"
#include "host/net/inner_address.h"
#include "host/net/header_cap.h"
#include "host/record.h"

#include <cstddef>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace rivi::dispatch {

// The text that marks a node that gave no answer.
inline constexpr const char* kNoAnswer = "节点未响应";

// The `error` of every target refused for its inner address.
inline constexpr const char* kInnerRefused = "inner address refused";

struct ProbeOptions {
  std::string isp;               // label written into the result's `isp`
  bool allow_private = false;    // when false, inner addresses are refused before any connection
  // Which addresses are inner ones: is_inner_address; a test narrows it to tell loopback addresses
  // apart, this machine having no other address to reach.
  bool (*is_inner)(const std::string& ip) = &::rivi::is_inner_address;
  long timeout_ms = 20000;       // whole request, including the body
  long connect_timeout_ms = 10000;
  std::size_t max_bytes = 8u << 20;  // body size cap, enforced while reading (headers: HeaderCap's)
  ProbeChecks checks;                // the task's own checks; the default asks for none
  // Authorities trusted for probed sites beside the system's (a private CA file); null: none.
  std::shared_ptr<const ProbeAuthority> authority;
};

// Empty when `url` is a probe-able URL (http or https, at most 2048 bytes, a host present),
// otherwise the reason it is refused, ready to show to the caller.
std::string url_refusal(const std::string& url);

// Whether an address is an inner one (host/net/inner_address.h): the probe refuses those unless
// its node allows them.
using ::rivi::is_inner_address;

// Fetches `url` once and answers its node result, keys in this order: isp, primary_ip, http_code,
// total_time, namelookup_time, connect_time, appconnect_time, starttransfer_time (milliseconds,
// reals), size_download (bytes), speed_download (bytes per second); plus `error` with libcurl's
// reason when the transfer did not complete; then `error_code` (dispatch/error_code.h). Then, as
// extra keys: `addresses` (every address the URL's host resolved to, as texts in the resolver's
// order; an address literal itself; [] when the name did not resolve); when the probe ended on a
// TLS connection whose certificate was seen, `cert` (PeerCertificate::describe; `verify_error` ""
// when the chain verified, else OpenSSL's words, "certificate name mismatch" when only the name
// did not match); when `checks.follow_redirects`, `final_url` and `redirects` (hops followed);
// when `checks.keyword` is set, `keyword_found`.
// Redirects are followed only when the checks ask, up to kMaxRedirects hops to http or https, each
// connection through the inner-address check; `http_code` and `primary_ip` are then the last hop's
// (0 when it gave no answer). TLS certificates are verified (the system's authorities and
// `authority`), and a failed verification is a failed fetch: no request is sent, `error_code` is
// `tls`, the certificate still described. Never throws for a failure of the
// target: a failed resolution leaves `primary_ip` empty, no response gives `http_code` 0. Throws
// std::runtime_error only when libcurl itself cannot be set up.
Record probe(const std::string& url, const ProbeOptions& options);

// What `probe` throws when this process could not make the probe at all: no descriptor left for
// its socket (or no thread or memory for its name lookup). Nothing was measured, so it is no
// failure of the target; the caller answers a refusal of its own. The text says why.
class ProbeUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How an asynchronous probe ended.
struct ProbeOutcome {
  enum class End {
    measured,     // `result` holds the node result, whatever became of the target
    unavailable,  // as ProbeUnavailable: nothing measured; `reason` says why
    cancelled,    // ended by CurlMulti::cancel, or by the multi's end
  };
  End end = End::measured;
  Record result;
  std::string reason;
};

// The same measurement as `probe`, run on `multi`: `done` gets the outcome once, on the thread
// driving `multi`, or at once on the calling thread when `url` is refused. Answers the transfer's id
// for CurlMulti::cancel (0 when none was started). Throws std::runtime_error (and never calls
// `done`) only when libcurl itself cannot be set up.
CurlMulti::TransferId probe_async(CurlMulti& multi, const std::string& url, const ProbeOptions& options,
                                  std::function<void(ProbeOutcome)> done);

// Opens libcurl's socket for `address` as libcurl would (close-on-exec). When the system gives none,
// `error` gets its errno, for `no_socket_reason`. For CURLOPT_OPENSOCKETFUNCTION callbacks.
curl_socket_t open_socket(const curl_sockaddr& address, int& error);
// Why there was no socket when `error` is an errno of this machine's shortage (descriptors of the
// process or the system, buffers, memory), e.g. "Too many open files"; "" for any other.
std::string no_socket_reason(int error);

// One prepared probe: an easy handle carrying every option of the measurement, and the state its
// callbacks write into (the body-size and header counts and the inner-address check). The handle's callbacks
// point into this object, so it must outlive the transfer; it never moves.
class ProbeFetch {
 public:
  // Checks `url` and, when it is probe-able, prepares the handle. Throws std::runtime_error when
  // libcurl cannot be set up.
  ProbeFetch(const std::string& url, ProbeOptions options);
  ProbeFetch(const ProbeFetch&) = delete;
  ProbeFetch& operator=(const ProbeFetch&) = delete;

  // The handle to run, once; empty when the URL was refused (then `result` answers the refusal).
  EasyHandle take_handle() { return std::move(easy_); }
  // The node result once the transfer of the handle `easy` ended with `rc` (`easy` null when
  // nothing ran).
  Record result(CURLcode rc, CURL* easy) const;
  // Why the transfer that ended with `rc` measured nothing because this process could not make it
  // (see ProbeUnavailable); "" when it was measured.
  std::string unavailable(CURLcode rc) const;

  // Whether the lookup of the host's addresses has ended; `wait_for_addresses` waits up to `longest`.
  bool addresses_ready() const { return !lookup_ || lookup_->addresses().has_value(); }
  void wait_for_addresses(std::chrono::milliseconds longest) const {
    if (lookup_) lookup_->wait(longest);
  }

 private:
  static size_t on_body(char* data, size_t size, size_t count, void* self);
  static size_t on_header(char* data, size_t size, size_t count, void* self);
  static curl_socket_t open_probe_socket(void* self, curlsocktype purpose, curl_sockaddr* address);
  // The extra keys (see `probe`) added to `result`.
  void add_findings(Record& result, CURLcode rc, CURL* easy) const;

  ProbeOptions options_;
  std::string refusal_;  // why the URL is refused; empty when it is probe-able
  std::size_t received_ = 0;
  bool capped_ = false;
  HeaderCap headers_;
  std::size_t responses_ = 0;   // status lines received, over every hop
  std::size_t socket_hop_ = 0;  // `responses_` when the last socket was opened: a new hop begins past it
  // Of the current hop:
  bool refused_ = false;       // an inner address was refused a socket
  bool opened_outer_ = false;  // some address was let through
  std::string refused_ip_;
  std::optional<KeywordSearch> keyword_;
  PeerCertificate peer_;
  std::optional<AddressLookup> lookup_;
  int socket_error_ = 0;       // errno of a socket the system did not give
  char error_[CURL_ERROR_SIZE] = {0};
  EasyHandle easy_;
};

// The result listed for a node that failed or missed the deadline: `isp` kNoAnswer, the other
// keys of a node result present and empty ("" or 0), `node` naming the node, `error_code` "no_answer".
Record unanswered(const std::string& node_label);

}  // namespace rivi::dispatch
