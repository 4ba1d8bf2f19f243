// The checks a task asks of a probe beyond the status: following redirects, a keyword in the body,
// a time-out of its own. They travel as the JSON object of the dispatch form's `checks` field, from
// the plug-in to the centre and on to every node; both judge the text alike with `parse_checks`.
// A probe without checks is measured as ever: no redirect followed, the node's time-outs, no
// keyword.
#pragma once

#include <string>

namespace rivi::dispatch {

struct ProbeChecks {
  bool follow_redirects = false;  // up to kMaxRedirects hops, each through the inner-address check
  std::string keyword;            // searched as plain bytes in the body's first kKeywordWindow bytes
  std::string keyword_mode = "present";  // `present` or `absent`: the plug-in's to judge
  long timeout_ms = 0;            // this task's probe time-out; 0: the node's and the centre's own
};

inline constexpr long kMaxRedirects = 5;
inline constexpr std::size_t kKeywordWindow = 1u << 20;
inline constexpr std::size_t kMaxKeywordBytes = 1024;
inline constexpr long kChecksTimeoutLow = 1000;
inline constexpr long kChecksTimeoutHigh = 30000;

// Reads the `checks` field: a JSON object with any of `follow_redirects` (0/1, or true/false),
// `keyword` (UTF-8 text of at most kMaxKeywordBytes bytes; "" asks for none), `keyword_mode`
// (`present` or `absent`), `timeout_ms` (kChecksTimeoutLow to kChecksTimeoutHigh); other keys are
// left to the plug-in. Throws
// std::invalid_argument with a message in Chinese that names the field at fault.
ProbeChecks parse_checks(const std::string& text);

// The JSON text of `checks` that `parse_checks` reads back the same; "" when it asks for nothing.
std::string checks_text(const ProbeChecks& checks);

}  // namespace rivi::dispatch
