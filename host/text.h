// Text bound for a record: cut to a size and kept to well-formed UTF-8, which a record's text must
// be for `encode` to write it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rivi {

// `text` cut to at most `limit` bytes, keeping only well-formed UTF-8: malformed bytes are dropped,
// and a character that would pass the limit ends the text.
std::string readable_text(std::string_view text, std::size_t limit);

}  // namespace rivi
