// Row ids taken from requests. A request carries an id as text (or, from the worker and internal
// callers, as a number); the plug-in turns it into the stored integer once, where it enters, so
// that every selection and every job key ("rivi_id_<id>") names the same task.
#pragma once

#include "host/record.h"

#include <cstdint>
#include <optional>

namespace rivi {

// The whole number that `value` denotes, or nothing when it denotes none:
// - integers as they are;
// - reals that are whole (2.0);
// - text that `to_int` accepts (blanks, an optional sign, decimal digits: "01", " 3", "+4");
// - text that reads as a decimal real and is whole ("2.0", "1e3"), as the store itself would
//   compare it with an integer column.
// Booleans, null, lists, records, other text, and values beyond 64 bits denote no id.
std::optional<std::int64_t> row_id(const Record& value);

}  // namespace rivi
