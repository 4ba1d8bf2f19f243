// A plain-HTTP POST without libcurl, for the one request every probe run makes (to the dispatch
// centre): one connection, one HTTP/1.1 request, the whole exchange (name lookup excepted: that
// is the system resolver's, with its own time-outs) under one deadline, and the answer read only
// up to a cap. A process that makes only such requests never loads libcurl and its TLS stack.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace rivi {

// The parts of a plain http:// URL that this client takes: `http://host[:port][/path][?query]`,
// the host a name or an IPv4 address or a bracketed IPv6 address. Anything else (another scheme,
// user information, blanks or control characters) is left to libcurl.
struct HttpUrl {
  std::string host;         // without brackets
  std::string port = "80";  // decimal, 1..65535
  std::string target;       // path and query, "/" at least
  std::string host_header;  // the Host field: host, bracketed when IPv6, ":port" unless 80
};

// The parts of `url`, or nothing when it is not a plain http URL this client handles.
std::optional<HttpUrl> parse_http_url(std::string_view url);

// The answer was longer than the cap; reading stopped as soon as that was known.
class AnswerTooLarge : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// POSTs `body` as `content_type` to `url` and answers the body of the final reply (1xx interim
// replies are skipped), whatever its status. Throws AnswerTooLarge when the reply's declared
// length, or the part read so far, passes `cap` bytes; std::runtime_error saying why for any
// other failure: the name does not resolve, no address takes the connection, the peer closes
// early or sends no HTTP, the reply's framing is refused ("the answer is refused: ..."; as the
// server core refuses a request: a chunk extension past 256 bytes, a chunk line or trailer
// section past 64 KiB, a Transfer-Encoding other than chunked alone), or the exchange is not over
// within `timeout` (from the call on).
std::string http_post(const HttpUrl& url, std::string_view content_type, std::string_view body,
                      std::chrono::milliseconds timeout, std::size_t cap);

}  // namespace rivi
