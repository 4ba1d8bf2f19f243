// UTF-8 text as the host judges it: one decoder of well-formed sequences (no overlong forms, no
// surrogates, nothing above U+10FFFF), whether a text is made of them, and a bounded, printable
// rendering of text from outside (a peer's answer, a stored code) for messages and reasons.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rivi {

struct CodePoint {
  char32_t value;
  std::size_t size;  // bytes of its sequence
};

// The well-formed sequence at byte `pos` of `text` (pos < text.size()), or nothing.
std::optional<CodePoint> code_point_at(std::string_view text, std::size_t pos);

// The longest prefix of `text` of at most `limit` bytes that ends at a character boundary (no
// sequence cut in two), as its length.
std::size_t utf8_prefix(std::string_view text, std::size_t limit);

// Whether every byte of `text` belongs to a well-formed sequence.
bool is_utf8(std::string_view text);

// `text` without the ASCII blanks (space, \t, \n, \v, \f, \r) that lead and trail it.
std::string trimmed_blanks(std::string_view text);

// `text` with malformed bytes dropped and control characters (C0, DEL, C1, U+2028, U+2029) turned
// into blanks, cut at a character boundary to at most `limit` bytes; "…" marks a cut.
std::string readable_text(std::string_view text, std::size_t limit);

}  // namespace rivi
