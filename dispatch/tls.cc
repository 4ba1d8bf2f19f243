// pem_certificates, fingerprint_of, fingerprint_text, certificate_fingerprint, parse_fingerprint, read_ca_file, apply_node_tls.
#include "dispatch/tls.h"

#include "host/public.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace rivi::dispatch {

namespace {

struct BioCloser {
  void operator()(BIO* b) const { BIO_free(b); }
};
std::string openssl_reason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no PEM certificate in it";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string read_text(const std::string& path, const std::string& what) {
  auto text = public_::ReadFile(path);
  if (!text) throw std::runtime_error("cannot read the " + what + " " + path + ": no such readable file");
  return std::move(*text);
}

}  // namespace

std::vector<Certificate> pem_certificates(const std::string& pem) {
  std::unique_ptr<BIO, BioCloser> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) throw std::runtime_error("out of memory");
  std::vector<Certificate> out;
  while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) out.emplace_back(x);
  ERR_clear_error();  // the end of the text reads as an error
  return out;
}

namespace {

// Takes the peer exactly when its certificate is the pinned one; the chain and the name are not
// looked at, the pin being stronger than both.
int verify_pin(X509_STORE_CTX* store, void* pin) {
  X509* cert = X509_STORE_CTX_get0_cert(store);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (cert && X509_digest(cert, EVP_sha256(), digest, &size) == 1 && size == sizeof(Fingerprint) &&
      CRYPTO_memcmp(digest, static_cast<const Fingerprint*>(pin)->data(), size) == 0) {
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
  }
  X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
  return 0;
}

CURLcode pin_context(CURL*, void* ssl_context, void* pin) {
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(ssl_context), verify_pin, pin);
  return CURLE_OK;
}

void set(CURL* easy, CURLoption option, auto value, const char* what) {
  if (curl_easy_setopt(easy, option, value) != CURLE_OK) {
    throw std::runtime_error(std::string("libcurl cannot ") + what + " (is it built with OpenSSL?)");
  }
}

}  // namespace

std::string fingerprint_text(const Fingerprint& fingerprint) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char byte : fingerprint) {
    if (!out.empty()) out += ':';
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}

Fingerprint certificate_fingerprint(const std::string& path) {
  const auto all = pem_certificates(read_text(path, "certificate"));
  if (all.empty()) throw std::runtime_error("cannot read the certificate " + path + ": no PEM certificate in it");
  try {
    return fingerprint_of(all.front().get());
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("cannot read the certificate " + path + ": " + e.what());
  }
}

Fingerprint fingerprint_of(X509* certificate) {
  Fingerprint out{};
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), out.data(), &size) != 1 || size != out.size()) {
    throw std::runtime_error(openssl_reason());
  }
  return out;
}

Fingerprint parse_fingerprint(std::string_view text) {
  const std::string hex(text);
  long size = 0;
  // OpenSSL reads hex digits in pairs, each pair optionally followed by one ':'.
  std::unique_ptr<unsigned char, decltype([](unsigned char* p) { OPENSSL_free(p); })> bytes(
      hex.empty() ? nullptr : OPENSSL_hexstr2buf(hex.c_str(), &size));
  ERR_clear_error();
  Fingerprint out{};
  if (!bytes || size != static_cast<long>(out.size())) {
    throw std::invalid_argument("a SHA-256 fingerprint is 64 hex digits, in pairs joined by ':' or not");
  }
  std::copy_n(bytes.get(), out.size(), out.begin());
  return out;
}

std::string read_ca_file(const std::string& path) {
  std::string pem = read_text(path, "CA file");
  if (pem_certificates(pem).empty()) throw std::runtime_error("cannot read the CA file " + path + ": no PEM certificate in it");
  return pem;
}

bool same_trust(const NodeTls& a, const NodeTls& b) {
  const bool same_pin = a.pin && b.pin ? *a.pin == *b.pin : !a.pin && !b.pin;
  return a.on == b.on && a.ca_pem == b.ca_pem && same_pin;
}

void keep_trust_change(const NodeTls& old, NodeTls& fresh, std::chrono::steady_clock::time_point now) {
  fresh.fresh_until = same_trust(old, fresh) ? old.fresh_until : now + kTrustChangeWindow;
}

void apply_node_tls(CURL* easy, const NodeTls& tls) {
  if (std::chrono::steady_clock::now() < tls.fresh_until) {
    set(easy, CURLOPT_FRESH_CONNECT, 1L, "make a new connection");
    set(easy, CURLOPT_FORBID_REUSE, 1L, "keep no connection");
  }
  set(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2), "ask for TLS 1.2");
  set(easy, CURLOPT_SSL_VERIFYPEER, 1L, "verify the node");
  set(easy, CURLOPT_SSL_VERIFYHOST, tls.pin ? 0L : 2L, "verify the node's name");
  if (!tls.ca_pem.empty() || tls.pin) {
    // Only the trust configured for this node: not the system's authorities beside it.
    set(easy, CURLOPT_CAINFO, static_cast<const char*>(nullptr), "leave the system's authorities out");
    set(easy, CURLOPT_CAPATH, static_cast<const char*>(nullptr), "leave the system's authorities out");
  }
  if (!tls.ca_pem.empty()) {
    curl_blob blob{const_cast<char*>(tls.ca_pem.data()), tls.ca_pem.size(), CURL_BLOB_COPY};
    set(easy, CURLOPT_CAINFO_BLOB, &blob, "take the node's CA");
  }
  if (tls.pin) {
    set(easy, CURLOPT_SSL_CTX_FUNCTION, &pin_context, "pin the node's certificate");
    set(easy, CURLOPT_SSL_CTX_DATA, const_cast<Fingerprint*>(tls.pin.get()), "pin the node's certificate");
  }
}

}  // namespace rivi::dispatch
