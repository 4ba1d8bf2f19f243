#include "host/cli_json.h"

#include <cstdint>
#include <string_view>

namespace rivi {
namespace {

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  }
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

std::uint32_t hex4(std::string_view s, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t k = at; k < at + 4; ++k) {
    const char c = s[k];
    v = v * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return v;
}

// Copies the string literal that starts at text[i] (its opening quote) to `out`, turning the
// escapes of code points from U+0080 up into UTF-8; advances i past the closing quote. `encode`
// writes only well-formed escapes, and surrogates only in pairs.
void copy_string(std::string& out, std::string_view text, std::size_t& i) {
  out += text[i++];
  while (text[i] != '"') {
    if (text[i] != '\\') {
      out += text[i++];
      continue;
    }
    if (text[i + 1] != 'u') {
      out.append(text.substr(i, 2));
      i += 2;
      continue;
    }
    std::uint32_t cp = hex4(text, i + 2);
    if (cp < 0x80) {
      out.append(text.substr(i, 6));
      i += 6;
      continue;
    }
    i += 6;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4(text, i + 2) - 0xDC00);
      i += 6;
    }
    append_utf8(out, cp);
  }
  out += text[i++];
}

void new_line(std::string& out, int depth) {
  out += '\n';
  out.append(static_cast<std::size_t>(2 * depth), ' ');
}

}  // namespace

std::string readable_json(const Record& value, bool pretty) {
  const std::string text = encode(value);
  std::string out;
  out.reserve(text.size());
  int depth = 0;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '"') {
      copy_string(out, text, i);
      continue;
    }
    ++i;
    if (!pretty) {
      out += c;
      continue;
    }
    // Outside strings `encode` writes blanks only after ',' and ':'.
    switch (c) {
      case ' ': break;
      case '[':
      case '{':
        out += c;
        if (text[i] == ']' || text[i] == '}') {
          out += text[i++];
        } else {
          new_line(out, ++depth);
        }
        break;
      case ']':
      case '}':
        new_line(out, --depth);
        out += c;
        break;
      case ',':
        out += ',';
        new_line(out, depth);
        break;
      case ':': out += ": "; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace rivi
