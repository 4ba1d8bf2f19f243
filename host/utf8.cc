#include "host/utf8.h"

namespace rivi {

std::optional<CodePoint> code_point_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return CodePoint{lead, 1};
  std::size_t size = 0;
  char32_t value = 0;
  if (lead >= 0xC0 && lead <= 0xDF) {
    size = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    size = 4;
    value = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (pos + size > text.size()) return std::nullopt;
  for (std::size_t i = 1; i < size; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(pos + i) & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};  // by sequence length
  if (value < kLeast[size] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
  return CodePoint{value, size};
}

bool is_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const auto cp = code_point_at(text, pos);
    if (!cp) return false;
    pos += cp->size;
  }
  return true;
}

std::string readable_text(std::string_view text, std::size_t limit) {
  static constexpr std::string_view kCut = "…";
  std::string out;
  for (std::size_t pos = 0; pos < text.size();) {
    const auto cp = code_point_at(text, pos);
    if (!cp) {
      ++pos;
      continue;
    }
    const char32_t c = cp->value;
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
    const std::string_view piece = control ? std::string_view(" ") : text.substr(pos, cp->size);
    if (out.size() + piece.size() > limit) {
      // Room for the mark: drop whole characters from the end.
      while (!out.empty() && out.size() + kCut.size() > limit) {
        std::size_t start = out.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(out[start]) & 0xC0) == 0x80) --start;
        out.resize(start);
      }
      if (out.size() + kCut.size() <= limit) out += kCut;
      return out;
    }
    out += piece;
    pos += cp->size;
  }
  return out;
}

std::size_t utf8_prefix(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

std::string trimmed_blanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  return std::string(text);
}

}  // namespace rivi
