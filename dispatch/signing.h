// Signed requests from the centre to a node. The centre signs each request with the node's shared
// key: an HMAC-SHA256 over "rivi-signature-v2\nMETHOD\nTARGET\nTIMESTAMP\nNONCE\nBODY", where
// TARGET is the request target as sent (path and query), sent as hex in the header
// `X-Rivi-Signature` beside `X-Rivi-Signature-Version` ("2"), `X-Rivi-Timestamp` (Unix seconds)
// and `X-Rivi-Nonce`. The key itself never travels. A node takes a request only when the signature
// matches, the timestamp lies within `kSignatureWindow` of its own clock and the nonce has not been
// seen within that window, so a request caught on the wire can be neither altered (its body, its
// path or its query) nor sent again.
//
// Centres before version 2 signed the path alone, without a version header. A node refuses such a
// request with `kOldCentreRefusal`, and a version it does not know with a message asking for a newer
// node; a node before version 2 finds a version-2 signature wrong ("请求签名错误"). Either way the
// request is refused, never read under the other side's rules. Key files' permissions are checked
// here too (`key_file_warning`).
#pragma once

#include "host/web/http_server.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace rivi::dispatch {

inline constexpr std::chrono::seconds kSignatureWindow{60};
inline constexpr const char* kSignatureVersion = "2";
// The refusal of a request signed the way centres before version 2 signed. ASCII first: an old
// centre shows a node's refusal as the raw JSON text, where other characters come escaped.
inline constexpr const char* kOldCentreRefusal =
    "signature scheme 1 is no longer accepted: upgrade the dispatch centre (请升级调度中心)";

// Hex HMAC-SHA256 of the signed text of a request. `target` is the request target as sent: the
// path and, when there is one, '?' and the query. Throws std::runtime_error when OpenSSL fails.
std::string request_signature(const std::string& key, const std::string& method, const std::string& target,
                              const std::string& timestamp, const std::string& nonce, const std::string& body);

// The four headers signing a request to `target` made now with a fresh random nonce.
std::vector<std::pair<std::string, std::string>> signed_headers(const std::string& key, const std::string& method,
                                                                const std::string& target, const std::string& body);

// Checks signed requests against one key and remembers the nonces of the last window. Thread-safe.
// At most `max_nonces` nonces are kept: past that, requests are refused until older ones expire,
// so that a flood cannot push out a nonce that could then be replayed.
class SignatureCheck {
 public:
  explicit SignatureCheck(std::string key, std::size_t max_nonces = 100000)
      : key_(std::move(key)), max_nonces_(max_nonces) {}

  // Why `request` is refused, or nothing when it passes; `now` is the node's clock.
  std::optional<std::string> refusal(const http::Request& request,
                                     std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

  // Nonces remembered now (tests).
  std::size_t remembered() const;

 private:
  void expire(long long now_s);

  std::string key_;
  std::size_t max_nonces_;
  mutable std::mutex mutex_;
  std::deque<std::pair<long long, std::string>> order_;  // (time seen, nonce), oldest first
  std::unordered_set<std::string> seen_;
};

// The key in the file at `path`, without trailing blanks and line breaks. Throws
// std::runtime_error("cannot read the key file PATH: REASON") when it cannot be read or holds no key.
std::string read_key_file(const std::string& path);

// A warning when the file at `path`, which holds a key, is readable or writable by every user of
// the machine ("the key file PATH is readable by every user (mode 0644): chmod o-rwx PATH"); nothing
// when it is not, or when its mode cannot be read (reading it reports that).
std::optional<std::string> key_file_warning(const std::string& path);

}  // namespace rivi::dispatch
