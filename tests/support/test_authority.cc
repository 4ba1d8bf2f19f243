// TestAuthority, HttpsSite.
#include "tests/support/test_authority.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace rivi::testing {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test authority: cannot ") + what);
}

Key new_key() {
  Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  check(key != nullptr, "make a key");
  return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> ext(
      X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()), &X509_EXTENSION_free);
  check(ext && X509_add_ext(cert, ext.get(), -1) == 1, "add an extension");
}

Cert new_certificate(const std::string& cn, EVP_PKEY* key, long from_s, long until_s) {
  Cert cert(X509_new(), &X509_free);
  check(cert != nullptr, "make a certificate");
  static std::atomic<long> serial{1};
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++ + std::time(nullptr));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), from_s);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), until_s);
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_pubkey(cert.get(), key);
  return cert;
}

void write_pem(const std::string& path, auto write) {
  std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(path.c_str(), "w"), &std::fclose);
  check(f && write(f.get()) == 1, ("write " + path).c_str());
}

CertificateFiles write_files(const std::filesystem::path& dir, const std::string& name, X509* cert, EVP_PKEY* key) {
  CertificateFiles files{(dir / (name + ".pem")).string(), (dir / (name + ".key")).string()};
  write_pem(files.certificate, [&](FILE* f) { return PEM_write_X509(f, cert); });
  write_pem(files.key, [&](FILE* f) { return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr); });
  return files;
}

Key read_key(const std::string& path) {
  std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(path.c_str(), "r"), &std::fclose);
  check(f != nullptr, "read the authority's key");
  Key key(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
  check(key != nullptr, "read the authority's key");
  return key;
}

Cert read_cert(const std::string& path) {
  std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(path.c_str(), "r"), &std::fclose);
  check(f != nullptr, "read the authority's certificate");
  Cert cert(PEM_read_X509(f.get(), nullptr, nullptr, nullptr), &X509_free);
  check(cert != nullptr, "read the authority's certificate");
  return cert;
}

}  // namespace

TestAuthority::TestAuthority(const std::filesystem::path& dir, const std::string& name) : dir_(dir) {
  Key key = new_key();
  Cert cert = new_certificate(name, key.get(), -3600, 30L * 86400);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  add_extension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_extension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "sign the authority");
  ca_ = write_files(dir, name, cert.get(), key.get());
}

CertificateFiles TestAuthority::issue(const std::string& name, const std::vector<std::string>& names,
                                      std::chrono::seconds valid_for) const {
  Key ca_key = read_key(ca_.key);
  Cert ca_cert = read_cert(ca_.certificate);
  Key key = new_key();
  const long until = static_cast<long>(valid_for.count());
  Cert cert = new_certificate(names.empty() ? name : names.front(), key.get(), std::min(-3600L, until - 3600), until);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(ca_cert.get()));
  std::string alt;
  for (const std::string& n : names) {
    unsigned char bytes[16];
    const bool ip = inet_pton(AF_INET, n.c_str(), bytes) == 1 || inet_pton(AF_INET6, n.c_str(), bytes) == 1;
    alt += (alt.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + n;
  }
  if (!alt.empty()) add_extension(cert.get(), ca_cert.get(), NID_subject_alt_name, alt);
  add_extension(cert.get(), ca_cert.get(), NID_authority_key_identifier, "keyid");
  check(X509_sign(cert.get(), ca_key.get(), EVP_sha256()) > 0, "sign a certificate");
  return write_files(dir_, name, cert.get(), key.get());
}

HttpsSite::HttpsSite(const CertificateFiles& files, std::string body)
    : body_(std::move(body)), server_([this](http::Request&, http::Reply reply) {
        ++requests_;
        reply(http::Response::text(200, body_));
      }) {
  server_.use_tls(files.certificate, files.key);
  port_ = server_.bind("127.0.0.1", 0);
  server_.start();
}

std::string HttpsSite::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace rivi::testing
