// A real SMTP server on loopback for tests (tests/support/smtp_sink.py under Debian's Python with
// aiosmtpd), and a self-signed certificate for its TLS modes. The server runs as a child process
// and is stopped, with its files removed, on destruction.
#pragma once

#include "tests/support/testing.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace rivi::testing {

// A certificate and key for the name and address 127.0.0.1, valid for two days, made with the
// openssl program in `dir`.
struct Certificate {
  std::string cert;  // PEM file; doubles as the CA file a client trusts
  std::string key;
};
Certificate make_certificate(const std::filesystem::path& dir);

struct SmtpSinkOptions {
  std::string mode = "plain";  // plain, starttls, ssl or hang
  std::string user;            // when set, AUTH with user/password is required
  std::string password;
  std::vector<std::string> reject_rcpt;  // recipients answered with 550
  Certificate certificate;               // for starttls and ssl
  int stall_seconds = 0;                 // each message's answer comes this much later
};

class SmtpSink {
 public:
  explicit SmtpSink(SmtpSinkOptions options = {});
  ~SmtpSink();
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;

  int port() const { return port_; }
  // The messages accepted so far, oldest first, each the record the sink wrote (mail_from,
  // rcpt_tos, subject, from, to, mime_version, has_date, content_type, transfer_encoding, html,
  // bare_lf, tls, login).
  std::vector<nlohmann::json> messages() const;
  // While refusing, every message is answered "451" (try again later) before its recipients.
  void set_refusing(bool refusing);
  // Messages whose answer is being held back (with `stall_seconds`) or was, so far.
  int stalls() const;

 private:
  std::filesystem::path dir_;
  int port_ = 0;
  std::unique_ptr<Child> child_;
};

}  // namespace rivi::testing
