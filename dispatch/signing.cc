// request_signature, signed_headers, SignatureCheck, read_key_file, key_file_warning.
#include "dispatch/signing.h"

#include "host/secret.h"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rivi::dispatch {

namespace {

std::string hex(const unsigned char* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

long long unix_seconds(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

std::string request_signature(const std::string& key, const std::string& method, const std::string& target,
                              const std::string& timestamp, const std::string& nonce, const std::string& body) {
  // The scheme's name first: no text signed under another scheme can pass for this one's.
  const std::string text = std::string("rivi-signature-v") + kSignatureVersion + '\n' + method + '\n' + target + '\n' +
                           timestamp + '\n' + nonce + '\n' + body;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
            text.size(), mac, &len)) {
    throw std::runtime_error("OpenSSL: cannot compute an HMAC");
  }
  return hex(mac, len);
}

std::vector<std::pair<std::string, std::string>> signed_headers(const std::string& key, const std::string& method,
                                                                const std::string& target, const std::string& body) {
  unsigned char random[16];
  if (RAND_bytes(random, sizeof random) != 1) throw std::runtime_error("OpenSSL: no random bytes for a nonce");
  const std::string nonce = hex(random, sizeof random);
  const std::string timestamp = std::to_string(unix_seconds(std::chrono::system_clock::now()));
  return {{"X-Rivi-Signature-Version", kSignatureVersion},
          {"X-Rivi-Timestamp", timestamp},
          {"X-Rivi-Nonce", nonce},
          {"X-Rivi-Signature", request_signature(key, method, target, timestamp, nonce, body)}};
}

std::optional<std::string> SignatureCheck::refusal(const http::Request& request,
                                                   std::chrono::system_clock::time_point now) {
  const std::string timestamp = request.header("X-Rivi-Timestamp");
  const std::string nonce = request.header("X-Rivi-Nonce");
  const std::string signature = request.header("X-Rivi-Signature");
  const std::string version = request.header("X-Rivi-Signature-Version");
  if (timestamp.empty() || nonce.empty() || signature.empty()) return "请求未签名";
  if (version.empty()) return kOldCentreRefusal;
  if (version != kSignatureVersion) {
    return fmt::format("未知的签名方案（本节点支持方案 {}）：请升级拨测节点",
                       kSignatureVersion);
  }
  if (nonce.size() > 128) return "请求签名无效";
  long long sent = 0;
  try {
    std::size_t used = 0;
    sent = std::stoll(timestamp, &used);
    if (used != timestamp.size()) return "请求签名无效";
  } catch (const std::exception&) {
    return "请求签名无效";
  }
  const std::string expected =
      request_signature(key_, request.method, request.target, timestamp, nonce, request.body);
  if (!same_secret(expected, signature)) return "请求签名错误";
  const long long now_s = unix_seconds(now);
  const long long window = kSignatureWindow.count();
  if (sent < now_s - window || sent > now_s + window) return "请求时间戳超出允许范围";

  std::lock_guard lock(mutex_);
  expire(now_s);
  if (seen_.count(nonce)) return "请求重放";
  if (seen_.size() >= max_nonces_) return "请求过多，请稍后再试";
  seen_.insert(nonce);
  // A nonce is kept until the timestamps it could be replayed with are all outside the window.
  order_.emplace_back(std::max(now_s, sent), nonce);
  return std::nullopt;
}

void SignatureCheck::expire(long long now_s) {
  // Times are appended in order except for timestamps from the future, which keep their own: such
  // an entry only delays the expiry of those behind it, never hastens it.
  while (!order_.empty() && order_.front().first + kSignatureWindow.count() < now_s) {
    seen_.erase(order_.front().second);
    order_.pop_front();
  }
}

std::size_t SignatureCheck::remembered() const {
  std::lock_guard lock(mutex_);
  return seen_.size();
}

std::string read_key_file(const std::string& path) {
  const auto fail = [&](const std::string& why) {
    throw std::runtime_error("cannot read the key file " + path + ": " + why);
  };
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec) fail(ec.message());
  if (!std::filesystem::is_regular_file(status)) fail("not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  std::string key = text.str();
  key.erase(key.find_last_not_of(" \t\r\n") + 1);
  if (key.empty()) fail("the file is empty");
  return key;
}

std::optional<std::string> key_file_warning(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  const bool read = st.st_mode & S_IROTH;
  const bool write = st.st_mode & S_IWOTH;
  if (!read && !write) return std::nullopt;
  return fmt::format("the key file {} is {} by every user (mode {:04o}): chmod o-rwx {}", path,
                     read && write ? "readable and writable" : read ? "readable" : "writable", st.st_mode & 07777, path);
}

}  // namespace rivi::dispatch
