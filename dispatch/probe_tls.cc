// ProbeAuthority, PeerCertificate, describe_certificate.
#include "dispatch/probe_tls.h"

#include "dispatch/tls.h"
#include "host/utf8.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace rivi::dispatch {

namespace {

constexpr std::size_t kMostNames = 100;
constexpr std::size_t kMostNameBytes = 512;

// Failures that mean the system's authorities do not know the chain's issuer: the chain may still
// lead to an extra authority.
bool unknown_issuer(int error) {
  return error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT || error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
         error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN || error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
         error == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE;
}

std::string name_text(const X509_NAME* name) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio || !name) return "";
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return readable_text(std::string_view(data, size > 0 ? static_cast<std::size_t>(size) : 0), kMostNameBytes);
}

Record alternative_names(X509* cert) {
  Record names = Record::array();
  using Names = std::unique_ptr<GENERAL_NAMES, decltype([](GENERAL_NAMES* n) { GENERAL_NAMES_free(n); })>;
  Names all(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  if (!all) return names;
  for (int i = 0; i < sk_GENERAL_NAME_num(all.get()) && names.size() < kMostNames; ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(all.get(), i);
    if (n->type == GEN_DNS) {
      const ASN1_STRING* s = n->d.dNSName;
      names.push_back(readable_text(
          std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), ASN1_STRING_length(s)), 255));
    } else if (n->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* s = n->d.iPAddress;
      char text[INET6_ADDRSTRLEN] = "";
      const int size = ASN1_STRING_length(s);
      if (size == 4 || size == 16) {
        inet_ntop(size == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(s), text, sizeof text);
        names.push_back(std::string(text));
      }
    }
  }
  return names;
}

}  // namespace

std::shared_ptr<const ProbeAuthority> ProbeAuthority::load(const std::string& path) {
  return from_pem(read_ca_file(path), path);
}

std::shared_ptr<const ProbeAuthority> ProbeAuthority::from_pem(const std::string& pem, const std::string& origin) {
  auto authority = std::make_shared<ProbeAuthority>();
  authority->store_.reset(X509_STORE_new());
  if (!authority->store_) throw std::runtime_error("out of memory");
  const auto certificates = pem_certificates(pem);
  if (certificates.empty()) throw std::runtime_error("cannot read the CA file " + origin + ": no PEM certificate in it");
  for (const Certificate& c : certificates) {
    if (X509_STORE_add_cert(authority->store_.get(), c.get()) != 1) {
      ERR_clear_error();  // the same certificate twice: taken once
    }
  }
  return authority;
}

CURLcode PeerCertificate::on_context(CURL*, void* ssl_context, void* self) {
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(ssl_context), verify, self);
  return CURLE_OK;
}

int PeerCertificate::verify(X509_STORE_CTX* store, void* self) {
  auto* peer = static_cast<PeerCertificate*>(self);
  int ok = X509_verify_cert(store);
  int error = X509_STORE_CTX_get_error(store);
  if (ok != 1 && peer->authority_ && unknown_issuer(error)) {
    using StoreCtx = std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)>;
    StoreCtx again(X509_STORE_CTX_new(), &X509_STORE_CTX_free);
    if (again && X509_STORE_CTX_init(again.get(), peer->authority_->store(), X509_STORE_CTX_get0_cert(store),
                                     X509_STORE_CTX_get0_untrusted(store)) == 1) {
      X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(again.get()), X509_STORE_CTX_get0_param(store));
      ok = X509_verify_cert(again.get());
      error = X509_STORE_CTX_get_error(again.get());
    }
  }
  ERR_clear_error();
  peer->error_ = ok == 1 ? X509_V_OK : error != X509_V_OK ? error : X509_V_ERR_UNSPECIFIED;
  X509_STORE_CTX_set_error(store, peer->error_);
  if (X509* leaf = X509_STORE_CTX_get0_cert(store); leaf && X509_up_ref(leaf) == 1) peer->leaf_.reset(leaf);
  // The handshake goes on whatever the outcome: libcurl reads the result kept in the connection
  // and fails the transfer before it sends a request, the certificate having been seen.
  return 1;
}

void PeerCertificate::clear() {
  leaf_.reset();
  error_ = X509_V_OK;
}

std::string PeerCertificate::chain_error() const {
  return error_ == X509_V_OK ? std::string() : std::string(X509_verify_cert_error_string(error_));
}

Record describe_certificate(X509* cert, std::time_t now, const std::string& verify_error) {
  Record r = Record::object();
  std::tm end{};
  std::int64_t not_after = 0;
  if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &end) == 1) not_after = timegm(&end);
  r["not_after"] = not_after;
  // Floored: negative exactly when the certificate has expired.
  const std::int64_t left = not_after - static_cast<std::int64_t>(now);
  r["days_left"] = left >= 0 ? left / 86400 : -((-left + 86399) / 86400);
  r["subject"] = name_text(X509_get_subject_name(cert));
  r["issuer"] = name_text(X509_get_issuer_name(cert));
  r["names"] = alternative_names(cert);
  try {
    r["fingerprint_sha256"] = fingerprint_text(fingerprint_of(cert));
  } catch (const std::runtime_error&) {
    r["fingerprint_sha256"] = "";
  }
  r["verify_error"] = verify_error;
  return r;
}

}  // namespace rivi::dispatch
