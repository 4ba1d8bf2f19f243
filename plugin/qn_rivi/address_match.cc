#include "plugin/qn_rivi/address_match.h"

#include "host/record.h"

#include <arpa/inet.h>

#include <stdexcept>

namespace rivi::address_match {

std::optional<Range> address(std::string_view text) {
  const std::string copy(text);
  Range r;
  if (inet_pton(AF_INET, copy.c_str(), r.bytes.data()) == 1) {
    r.prefix = 32;
    return r;
  }
  if (inet_pton(AF_INET6, copy.c_str(), r.bytes.data()) == 1) {
    r.v6 = true;
    r.prefix = 128;
    return r;
  }
  return std::nullopt;
}

Range range(std::string_view text) {
  const auto slash = text.find('/');
  auto base = address(text.substr(0, slash));
  if (!base) throw std::invalid_argument("not an address or CIDR range: " + std::string(text));
  if (slash == std::string_view::npos) return *base;
  const std::string bits(text.substr(slash + 1));
  const int most = base->v6 ? 128 : 32;
  std::size_t used = 0;
  int prefix = -1;
  try {
    prefix = std::stoi(bits, &used);
  } catch (const std::exception&) {
  }
  if (bits.empty() || used != bits.size() || prefix < 0 || prefix > most)
    throw std::invalid_argument("not an address or CIDR range: " + std::string(text));
  base->prefix = prefix;
  return *base;
}

std::vector<Range> ranges(const std::string& expect) {
  std::vector<std::string> items;
  bool listed = false;
  try {
    const Record value = decode(expect);
    if (value.is_array()) {
      listed = true;
      for (const Record& item : value)
        if (item.is_string()) items.push_back(item.get<std::string>());
    }
  } catch (const std::invalid_argument&) {
  }
  if (!listed) {
    std::string word;
    for (char c : expect + " ") {
      if (c == ',' || c == ';' || c == ' ' || c == '\n' || c == '\r' || c == '\t') {
        if (!word.empty()) items.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
  }
  std::vector<Range> out;
  for (const std::string& item : items) {
    try {
      out.push_back(range(item));
    } catch (const std::invalid_argument&) {
    }
  }
  return out;
}

bool inside(std::string_view text, const std::vector<Range>& ranges) {
  const auto a = address(text);
  if (!a) return false;
  for (const Range& r : ranges) {
    if (r.v6 != a->v6) continue;
    const int whole = r.prefix / 8, rest = r.prefix % 8;
    bool same = true;
    for (int i = 0; i < whole && same; ++i) same = r.bytes[i] == a->bytes[i];
    if (same && rest != 0) {
      const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
      same = (r.bytes[whole] & mask) == (a->bytes[whole] & mask);
    }
    if (same) return true;
  }
  return false;
}

}  // namespace rivi::address_match
