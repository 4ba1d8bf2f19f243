// The page arguments and limit text shared by every paged answer of the plug-in (the task list,
// the probe log, the overview, the incidents).
#pragma once

#include "host/record.h"

#include <fmt/format.h>

#include <cstdint>
#include <string>

namespace rivi::paging {

// Takes `args.p` (the text "1" when absent) as a whole number, stores the number back and
// answers it. Throws what `to_int` throws for a `p` that is not a whole number.
inline std::int64_t page_number(Record& args) {
  if (!has(args, "p")) args["p"] = "1";
  const std::int64_t p = to_int(args["p"]);
  args["p"] = p;
  return p;
}

// The limit text "offset,count" of a paging record.
inline std::string limit_text(const Record& page) {
  return fmt::format("{},{}", to_int(page.at("shift")), to_int(page.at("row")));
}

}  // namespace rivi::paging
