#include "tests/support/chat_robots.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <cstdlib>

namespace rivi::testing {
namespace {

std::string raw_hmac(const std::string& key, const std::string& message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
       message.size(), digest, &n);
  return std::string(reinterpret_cast<char*>(digest), n);
}

std::int64_t now_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string feishu_signature(const std::string& timestamp, const std::string& secret) {
  const std::string digest = raw_hmac(timestamp + "\n" + secret, "");
  unsigned char out[64];
  const int len = EVP_EncodeBlock(out, reinterpret_cast<const unsigned char*>(digest.data()), static_cast<int>(digest.size()));
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(len));
}

std::string hex_hmac(const std::string& secret, const std::string& body) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : raw_hmac(secret, body)) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

ChatRobot::ChatRobot(Kind kind, std::string secret) : kind_(kind), secret_(std::move(secret)) {
  const char* path = kind_ == Kind::wecom ? "/cgi-bin/webhook/send" : kind_ == Kind::feishu ? "/open-apis/bot/v2/hook/tok" : "/hook";
  site_.server().Post(path, [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); });
  site_.start();
}

std::string ChatRobot::url() const { return kind_ == Kind::wecom ? url_with_key(secret_) : site_.url(kind_ == Kind::feishu ? "/open-apis/bot/v2/hook/tok" : "/hook"); }

std::string ChatRobot::url_with_key(const std::string& key) const { return site_.url("/cgi-bin/webhook/send?key=" + key); }

void ChatRobot::handle(const httplib::Request& req, httplib::Response& res) {
  using nlohmann::json;
  std::lock_guard lock(mu_);
  const auto answer = [&](const json& body) { res.set_content(body.dump(), "application/json"); };
  json body = json::parse(req.body, nullptr, false);
  if (kind_ == Kind::wecom) {
    if (req.get_param_value("key") != secret_) {
      ++refused_;
      return answer({{"errcode", 93000}, {"errmsg", "invalid webhook url"}});
    }
    if (!body.is_object() || body.size() != 2 || body.value("msgtype", "") != "markdown" || !body["markdown"].is_object() ||
        body["markdown"].size() != 1 || !body["markdown"]["content"].is_string())
      return answer({{"errcode", 40008}, {"errmsg", "invalid message type"}});
    if (fail_next_ > 0) {
      --fail_next_;
      ++failed_;
      return answer({{"errcode", 45009}, {"errmsg", "api freq out of limit"}});
    }
    accepted_.push_back(req.body);
    return answer({{"errcode", 0}, {"errmsg", "ok"}});
  }
  if (kind_ == Kind::feishu) {
    if (!body.is_object() || !(body.value("msg_type", "") == "interactive" || body.value("msg_type", "") == "text" ||
                               body.value("msg_type", "") == "post"))
      return answer({{"code", 9499}, {"msg", "Bad Request"}});
    if (!secret_.empty()) {
      const std::string ts = body.value("timestamp", "");
      const bool fresh = !ts.empty() && std::llabs(std::atoll(ts.c_str()) - now_seconds()) < 3600;
      if (!fresh || body.value("sign", "") != feishu_signature(ts, secret_)) {
        ++refused_;
        return answer({{"code", 19021}, {"msg", "sign match fail or timestamp is not within one hour from current time"}});
      }
    }
    if (fail_next_ > 0) {
      --fail_next_;
      ++failed_;
      return answer({{"code", 11232}, {"msg", "frequency limited"}});
    }
    accepted_.push_back(req.body);
    return answer({{"StatusCode", 0}, {"StatusMessage", "success"}, {"code", 0}, {"msg", "success"}});
  }
  if (!secret_.empty()) {
    const std::string signature = req.get_header_value("X-Rivi-Signature");
    const std::string timestamp = req.get_header_value("X-Rivi-Timestamp");
    const bool stamped = body.is_object() && body.contains("sent_at") && body["sent_at"].is_number() &&
                         std::to_string(body["sent_at"].get<std::int64_t>()) == timestamp;
    if (signature != "sha256=" + hex_hmac(secret_, req.body) || !stamped) {
      ++refused_;
      res.status = 401;
      return;
    }
  }
  if (fail_next_ > 0) {
    --fail_next_;
    ++failed_;
    res.status = 500;
    return;
  }
  accepted_.push_back(req.body);
  headers_.push_back(req.get_header_value("X-Rivi-Signature"));
  res.status = 204;
}

std::vector<std::string> ChatRobot::accepted() const {
  std::lock_guard lock(mu_);
  return accepted_;
}
std::vector<std::string> ChatRobot::headers() const {
  std::lock_guard lock(mu_);
  return headers_;
}
std::size_t ChatRobot::refused() const {
  std::lock_guard lock(mu_);
  return refused_;
}
std::size_t ChatRobot::failed() const {
  std::lock_guard lock(mu_);
  return failed_;
}
void ChatRobot::fail_next(std::size_t n) {
  std::lock_guard lock(mu_);
  fail_next_ = n;
}

}  // namespace rivi::testing
