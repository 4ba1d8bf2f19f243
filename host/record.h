// The dynamic value that crosses every boundary of the plug-in, and the helpers that give it
// its semantics. Everything here is written once and used everywhere: the stored-JSON encoder
// and decoder, truthiness, whole-number conversion, plain text form, two-decimal rounding and
// numeric comparison by value.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace rivi {

// Text, integer, real, boolean, null, list, or a record whose keys keep the order they were set in.
using Record = nlohmann::ordered_json;

// Encodes `value` in the stored default form: ", " between items, ": " after keys, every
// non-ASCII character (and DEL and control characters) as a lower-case \uXXXX escape with
// surrogate pairs above U+FFFF, reals as the shortest text that reads back to the same double,
// always with a point or an exponent ("200.0", "1e-05", "1e+16"). Throws std::invalid_argument
// for text that is not valid UTF-8 and for lists and records nested deeper than 128 levels.
std::string encode(const Record& value);

// Decodes JSON text keeping the key order as received; a repeated key keeps its first place and
// its last value. Throws std::invalid_argument("invalid JSON: ...") on every failure: malformed
// text, a number beyond a double's range, and lists and records nested deeper than 64 levels
// (refused before the deeper levels are built).
Record decode(std::string_view text);

// Encodes a real the way `encode` does ("200.0", "0.1", "1e-05", "1e+16", "NaN", "Infinity").
std::string real_text(double value);

// False for false, 0, 0.0, "", null, [] and {}; true for everything else.
bool truthy(const Record& value);

// True for integers and reals (booleans are not numbers here).
bool is_number(const Record& value);

// The value as a double; throws std::invalid_argument when it is not a number.
double as_double(const Record& value);

// Converts to a whole number: integers as they are, reals truncated toward zero, booleans as
// 0/1, text of optional blanks, an optional sign and decimal digits. "1.5", "abc", "" and null
// throw std::invalid_argument("invalid literal for int() with base 10: ..."); a value beyond
// 64 bits throws std::out_of_range.
std::int64_t to_int(const Record& value);

// Plain text form: text as it is, integers in decimal, reals as `real_text`, true/false as
// "True"/"False", null as "None", lists and records in the panel's repr form (['a', 1]). Throws
// std::invalid_argument for lists and records nested deeper than 128 levels.
std::string text_of(const Record& value);

// "{:.2f}": fixed point, two digits, correctly rounded from the exact double.
std::string fixed2(double value);

// `fixed2` read back as a real: round2(0.125) == 0.12, round2(2.675) == 2.67.
double round2(double value);

// Numeric comparison by value: 200 == 200.0; "200" is not 200; non-numbers compare as JSON.
bool same_value(const Record& a, const Record& b);

// Length of a text, list or record; throws std::invalid_argument("object of type '...' has no
// len()") for numbers, booleans and null.
std::size_t length_of(const Record& value);

// True when `args` is a record holding `key`.
bool has(const Record& args, std::string_view key);

}  // namespace rivi
