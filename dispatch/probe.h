// One probe node's measurement: a single GET of a URL with libcurl, and the node result record
// that describes it. The same code runs in `rivi-node` and in the centre's in-process nodes, either
// blocking (`probe`) or as one transfer among many on a `CurlMulti` (`probe_async`); both prepare
// the transfer and read its result through `ProbeFetch`, so they measure and refuse alike.
#pragma once

#include "host/net/curl_handles.h"
#include "host/net/curl_multi.h"
#include "host/net/header_cap.h"
#include "host/record.h"

#include <cstddef>
#include <functional>
#include <string>

namespace rivi::dispatch {

// The text that marks a node that gave no answer.
inline constexpr const char* kNoAnswer = "节点未响应";

// The `error` of every target refused for its inner address.
inline constexpr const char* kInnerRefused = "inner address refused";

struct ProbeOptions {
  std::string isp;               // label written into the result's `isp`
  bool allow_private = false;    // when false, inner addresses are refused before any connection
  long timeout_ms = 20000;       // whole request, including the body
  long connect_timeout_ms = 10000;
  std::size_t max_bytes = 8u << 20;  // body size cap, enforced while reading (headers: HeaderCap's)
};

// Empty when `url` is a probe-able URL (http or https, at most 2048 bytes, a host present),
// otherwise the reason it is refused, ready to show to the caller.
std::string url_refusal(const std::string& url);

// True for loopback, private, link-local, carrier-grade NAT, multicast, unspecified and reserved
// addresses (IPv4 and IPv6, with IPv4-mapped and NAT64 forms judged by the IPv4 inside). Text that
// is no address at all counts as inner, so an unknown form is refused rather than let through.
bool is_inner_address(const std::string& ip);

// Fetches `url` once and answers its node result, keys in this order: isp, primary_ip, http_code,
// total_time, namelookup_time, connect_time, appconnect_time, starttransfer_time (milliseconds,
// reals), size_download (bytes), speed_download (bytes per second); plus `error` with libcurl's
// reason when the transfer did not complete; last `error_code` (dispatch/error_code.h). Redirects are not followed; TLS certificates are
// verified, and a failed verification is a failed fetch. Never throws for a failure of the
// target: a failed resolution leaves `primary_ip` empty, no response gives `http_code` 0. Throws
// std::runtime_error only when libcurl itself cannot be set up.
Record probe(const std::string& url, const ProbeOptions& options);

// The same measurement as `probe`, run on `multi`: `done` gets the node result once, on the
// thread driving `multi`, or at once on the calling thread when `url` is refused. Throws
// std::runtime_error (and never calls `done`) only when libcurl itself cannot be set up.
void probe_async(CurlMulti& multi, const std::string& url, const ProbeOptions& options,
                 std::function<void(Record)> done);

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

 private:
  static size_t on_body(char* data, size_t size, size_t count, void* self);
  static curl_socket_t open_outer_socket(void* self, curlsocktype purpose, curl_sockaddr* address);

  ProbeOptions options_;
  std::string refusal_;  // why the URL is refused; empty when it is probe-able
  std::size_t received_ = 0;
  bool capped_ = false;
  HeaderCap headers_;
  bool refused_ = false;       // an inner address was refused a socket
  bool opened_outer_ = false;  // some address was let through
  std::string refused_ip_;
  char error_[CURL_ERROR_SIZE] = {0};
  EasyHandle easy_;
};

// The result listed for a node that failed or missed the deadline: `isp` kNoAnswer, the other
// keys of a node result present and empty ("" or 0), `node` naming the node, `error_code` "no_answer".
Record unanswered(const std::string& node_label);

}  // namespace rivi::dispatch
