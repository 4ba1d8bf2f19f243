// HTTPS between the centre and a node. A node serves HTTPS with its own certificate and key; the
// centre trusts it one of three ways, named per node in its configuration:
//   - a CA file: the node's certificate must chain to a certificate in that file (and no other)
//     and name the address the centre uses for it;
//   - a pinned SHA-256 fingerprint of the node's certificate: that certificate and no other is
//     taken, whoever signed it and whatever name it holds (a self-signed node certificate needs
//     nothing more);
//   - neither: the system's certificate authorities, as for any site.
// The fingerprint is the SHA-256 of the certificate's DER form, written as `openssl x509
// -fingerprint -sha256` prints it and as `rivi-node` prints it at start.
#pragma once

#include <curl/curl.h>
#include <openssl/x509.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rivi::dispatch {

using Fingerprint = std::array<unsigned char, 32>;

struct X509Closer {
  void operator()(X509* x) const { X509_free(x); }
};
using Certificate = std::unique_ptr<X509, X509Closer>;

// The certificates in the PEM text `pem`, in order; none when it holds none.
std::vector<Certificate> pem_certificates(const std::string& pem);

// The SHA-256 fingerprint of `certificate`. Throws std::runtime_error with OpenSSL's reason.
Fingerprint fingerprint_of(X509* certificate);

struct NodeTls {
  bool on = false;                          // ask the node over HTTPS
  std::string ca_pem;                       // trusted authorities (PEM); empty: the system's
  std::shared_ptr<const Fingerprint> pin;   // the one certificate taken; null: none pinned
  // Until then every request makes a connection of its own and keeps none: the trust changed
  // (see `keep_trust_change`), and no connection checked under the old one may be reused.
  std::chrono::steady_clock::time_point fresh_until{};
};

// Whether `a` and `b` take the same certificates.
bool same_trust(const NodeTls& a, const NodeTls& b);

// Connections idle longer than this are not reused, and the time after a change of trust during
// which no connection is reused: longer, so that every connection made before the change has
// been idle past the limit by its end.
inline constexpr std::chrono::seconds kNodeConnectionIdle{60};
inline constexpr std::chrono::seconds kTrustChangeWindow{90};

// Sets `fresh.fresh_until` as a reload must: `now` plus the window when `fresh` trusts otherwise
// than `old`, else what `old` had.
void keep_trust_change(const NodeTls& old, NodeTls& fresh, std::chrono::steady_clock::time_point now);

// "AB:CD:…": 32 bytes as upper-case hex pairs joined by colons.
std::string fingerprint_text(const Fingerprint& fingerprint);

// The SHA-256 fingerprint of the first certificate in the PEM file at `path`. Throws
// std::runtime_error("cannot read the certificate PATH: REASON").
Fingerprint certificate_fingerprint(const std::string& path);

// Reads 64 hex digits, in either case, optionally in pairs separated by colons. Throws
// std::invalid_argument when `text` is anything else.
Fingerprint parse_fingerprint(std::string_view text);

// The CA file at `path` as PEM text holding at least one certificate. Throws
// std::runtime_error("cannot read the CA file PATH: REASON").
std::string read_ca_file(const std::string& path);

// Sets `easy` up to ask a node over HTTPS as `tls` says: TLS 1.2 or later, the peer verified, and
// only the trust `tls` names; no connection reused while `tls.fresh_until` has not passed. With a pin, `easy` refers to `*tls.pin`, which must live until the
// transfer ends. Throws std::runtime_error when libcurl cannot do what is asked.
void apply_node_tls(CURL* easy, const NodeTls& tls);

}  // namespace rivi::dispatch
