#include "host/secret.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <stdexcept>

namespace rivi {

bool same_secret(const std::string& a, const std::string& b) {
  unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
  unsigned int la = 0, lb = 0;
  if (EVP_Digest(a.data(), a.size(), da, &la, EVP_sha256(), nullptr) != 1 ||
      EVP_Digest(b.data(), b.size(), db, &lb, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("OpenSSL: SHA-256 failed");
  }
  return la == lb && CRYPTO_memcmp(da, db, la) == 0;
}

}  // namespace rivi
