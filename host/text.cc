// readable_text.
#include "host/text.h"

namespace rivi {

std::string readable_text(std::string_view text, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t size = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    bool ok = size > 0 && i + size <= text.size();
    for (std::size_t k = 1; ok && k < size; ++k) ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (ok && size == 3) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);  // overlong, surrogate
    }
    if (ok && size == 4) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      ok = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);  // overlong, beyond U+10FFFF
    }
    if (!ok) {
      ++i;
      continue;
    }
    if (out.size() + size > limit) break;
    out.append(text.substr(i, size));
    i += size;
  }
  return out;
}

}  // namespace rivi
