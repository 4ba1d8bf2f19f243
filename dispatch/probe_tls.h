// The TLS side of a probe: the extra authorities a node trusts for the sites it probes (a private
// CA file, beside the system's), and the reading of a site's certificate during the handshake, so
// that an expired, self-signed or misnamed certificate is described and not only refused.
//
// The verification runs in OpenSSL's certificate verification hook, set on each connection's
// context through CURLOPT_SSL_CTX_FUNCTION: the chain is judged against the system's authorities
// (the store libcurl set up), and, when that fails for want of a known issuer, against the extra
// authorities. The peer certificate and the outcome are recorded, the handshake is let finish, and
// libcurl, seeing the verification result, fails the transfer before any request is sent (as a
// failed handshake would: CURLE_PEER_FAILED_VERIFICATION). The name check stays libcurl's.
#pragma once

#include "host/record.h"

#include <curl/curl.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>

namespace rivi::dispatch {

// Authorities added to the system's for probes, read from a PEM file once; shared, read-only.
class ProbeAuthority {
 public:
  // Throws std::runtime_error("cannot read the CA file PATH: REASON") (see read_ca_file).
  static std::shared_ptr<const ProbeAuthority> load(const std::string& path);
  // The same from PEM text already read; `origin` names it in errors.
  static std::shared_ptr<const ProbeAuthority> from_pem(const std::string& pem, const std::string& origin);

  X509_STORE* store() const { return store_.get(); }

 private:
  struct StoreCloser {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
  };
  std::unique_ptr<X509_STORE, StoreCloser> store_;
};

// The `cert` record of `certificate`: not_after (Unix seconds), days_left (whole days from `now`,
// floored: negative exactly when it has expired), subject, issuer, names (the subject alternative
// names: DNS names and IP addresses, at most 100), fingerprint_sha256 (as fingerprint_text) and
// verify_error (as given).
Record describe_certificate(X509* certificate, std::time_t now, const std::string& verify_error);

// What one transfer's handshakes showed of the site's certificate: set as CURLOPT_SSL_CTX_FUNCTION
// (`on_context`) with this object as CURLOPT_SSL_CTX_DATA; it must outlive the transfer and
// never move. Each handshake (each hop of a redirected fetch) replaces what the one before showed.
class PeerCertificate {
 public:
  explicit PeerCertificate(std::shared_ptr<const ProbeAuthority> authority) : authority_(std::move(authority)) {}
  PeerCertificate(const PeerCertificate&) = delete;
  PeerCertificate& operator=(const PeerCertificate&) = delete;

  static CURLcode on_context(CURL* easy, void* ssl_context, void* self);

  // Forgets what an earlier connection showed (a new hop begins).
  void clear();
  bool seen() const { return leaf_ != nullptr; }
  // OpenSSL's words for the chain's failure; "" when it verified.
  std::string chain_error() const;
  // describe_certificate of the certificate seen last; null when none was seen.
  Record describe(std::time_t now, const std::string& verify_error) const {
    return leaf_ ? describe_certificate(leaf_.get(), now, verify_error) : Record(nullptr);
  }

 private:
  static int verify(X509_STORE_CTX* store, void* self);

  struct X509Closer {
    void operator()(X509* x) const { X509_free(x); }
  };
  std::shared_ptr<const ProbeAuthority> authority_;
  std::unique_ptr<X509, X509Closer> leaf_;
  int error_ = X509_V_OK;
};

}  // namespace rivi::dispatch
