// How the `panel` program prints a record for people: the text `encode` writes (", " and ": "
// between items, reals as `encode` writes them), except that characters beyond ASCII appear as
// themselves in UTF-8 rather than as \u escapes. The stored form stays `encode`'s alone.
#pragma once

#include "host/record.h"

#include <string>

namespace rivi {

// `value` as valid JSON: on one line, or with `pretty` one item a line, indented by two blanks a
// level (an empty list or object stays "[]" or "{}"). Control characters and DEL stay escaped.
// Throws what `encode` throws (text that is not UTF-8, nesting too deep).
std::string readable_json(const Record& value, bool pretty = false);

}  // namespace rivi
