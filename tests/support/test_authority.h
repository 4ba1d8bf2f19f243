// A certificate authority made for a test, with the OpenSSL library rather than the openssl
// program, so that certificates with any validity (expired, expiring in a few days) and any names
// can be issued: `dir`/NAME.pem and `dir`/NAME.key (PEM), for loopback HTTPS sites. Also an HTTPS
// site on 127.0.0.1 serving one such certificate and counting the requests that reach it.
#pragma once

#include "host/web/http_server.h"
#include "tests/support/testing.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace rivi::testing {

class TestAuthority {
 public:
  // Makes the authority's key and self-signed certificate: `dir`/`name`.pem (its `ca_file`).
  TestAuthority(const std::filesystem::path& dir, const std::string& name);
  const std::string& ca_file() const { return ca_.certificate; }

  // A certificate for `names` (IP addresses or DNS names, as subject alternative names; the first
  // is the subject's CN) valid from an hour before now until `valid_for` from now (negative: it
  // has expired), signed by this authority.
  CertificateFiles issue(const std::string& name, const std::vector<std::string>& names,
                         std::chrono::seconds valid_for) const;

 private:
  std::filesystem::path dir_;
  CertificateFiles ca_;
};

// An HTTPS site on 127.0.0.1 with the certificate `files`: every request answers 200 `body`.
class HttpsSite {
 public:
  HttpsSite(const CertificateFiles& files, std::string body = "secure page");
  std::string url(const std::string& path = "/") const;
  // Requests that reached it (a refused handshake sends none).
  int requests() const { return requests_.load(); }

 private:
  std::string body_;
  std::atomic<int> requests_{0};
  http::Server server_;  // last: stopped before what its handler touches goes
  int port_ = 0;
};

}  // namespace rivi::testing
