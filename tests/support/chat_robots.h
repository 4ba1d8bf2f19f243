// Stand-ins on 127.0.0.1 for the chat robots of host/mail/robots.h, each checking its robot's
// rule the way the real one does and keeping the bodies it accepted:
//   - WeCom: POST /cgi-bin/webhook/send?key=<key>; a wrong key gets errcode 93000, a body that is
//     not {"msgtype": "markdown", "markdown": {"content": text}} errcode 40008.
//   - Feishu: POST /open-apis/bot/v2/hook/<token>; with a secret the body's `timestamp` (seconds,
//     within an hour) and `sign` (recomputed here with OpenSSL) must match: code 19021 otherwise.
//   - generic webhook: POST /hook; with a secret X-Rivi-Signature must be sha256=<hex HMAC of the
//     raw body> and X-Rivi-Timestamp the body's `sent_at`: 401 otherwise.
// `fail_next(n)` makes the next n requests fail (WeCom and Feishu answer an error code with HTTP
// 200, the webhook HTTP 500), so that retries can be watched.
#pragma once

#include "tests/support/testing.h"

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace rivi::testing {

class ChatRobot {
 public:
  enum class Kind { wecom, feishu, webhook };
  // Listening on return. `secret`: the WeCom key, or the Feishu / webhook signing secret ("" none).
  ChatRobot(Kind kind, std::string secret);
  ChatRobot(const ChatRobot&) = delete;
  ChatRobot& operator=(const ChatRobot&) = delete;

  // The robot's webhook; for WeCom with `key` (its own unless given).
  std::string url() const;
  std::string url_with_key(const std::string& key) const;
  std::vector<std::string> accepted() const;  // bodies, in order
  std::vector<std::string> headers() const;   // X-Rivi-Signature of each accepted webhook post
  std::size_t refused() const;                // refused for a wrong key or signature
  std::size_t failed() const;                 // answered an error by `fail_next`
  void fail_next(std::size_t n);

 private:
  void handle(const httplib::Request& req, httplib::Response& res);

  Kind kind_;
  std::string secret_;
  mutable std::mutex mu_;
  std::vector<std::string> accepted_, headers_;
  std::size_t refused_ = 0, failed_ = 0, fail_next_ = 0;
  LoopbackSite site_;  // last: stopped before the rest goes
};

// base64(HMAC-SHA256(key = "<timestamp>\n<secret>", message = "")), computed with OpenSSL.
std::string feishu_signature(const std::string& timestamp, const std::string& secret);
// The lower-case hex HMAC-SHA256 of `body` keyed with `secret`, computed with OpenSSL.
std::string hex_hmac(const std::string& secret, const std::string& body);

}  // namespace rivi::testing
