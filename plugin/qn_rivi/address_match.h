// The addresses and CIDR ranges a task's name may resolve to (`dns_expect` of its rules), and
// whether a resolved address is one of them. IPv4 and IPv6; an address without a prefix length is
// a range of that one address.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rivi::address_match {

// One address family's range: the first `prefix` bits of `bytes` (4 of them used for IPv4).
struct Range {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};
  int prefix = 0;
};

// The bytes of an IP address text (v6 for IPv6); nothing when it is not one.
std::optional<Range> address(std::string_view text);

// "1.2.3.0/24", "2001:db8::/32" or a bare address. Throws std::invalid_argument naming the text
// when it is neither.
Range range(std::string_view text);

// The ranges of a `dns_expect` value: a JSON list of texts, or texts apart by commas, semicolons
// or blanks. Entries that are no range are skipped (the rules' form refuses them).
std::vector<Range> ranges(const std::string& expect);

// Whether `text` is an address inside one of `ranges`; false for a text that is no address.
bool inside(std::string_view text, const std::vector<Range>& ranges);

}  // namespace rivi::address_match
