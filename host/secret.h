// Comparing secrets (keys, CSRF tokens) without letting the time of the comparison tell anything.
#pragma once

#include <string>

namespace rivi {

// True when `a` and `b` are the same text. Both are hashed first, so the time depends on neither
// their content nor a common prefix nor (beyond hashing) their lengths. Throws std::runtime_error
// when OpenSSL cannot hash.
bool same_secret(const std::string& a, const std::string& b);

}  // namespace rivi
