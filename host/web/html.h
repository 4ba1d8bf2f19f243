// Escaping text for HTML: the one place where values from users and probes become markup
// (the anomaly report, the login page).
#pragma once

#include <string>
#include <string_view>

namespace rivi {

// Replaces & < > " ' with character references; every other byte passes unchanged. None of the
// linked libraries offers an HTML escaper, and these five are all that matter inside element
// content and quoted attributes.
std::string html_escape(std::string_view text);

}  // namespace rivi
