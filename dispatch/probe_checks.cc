// parse_checks, checks_text.
#include "dispatch/probe_checks.h"

#include "host/record.h"
#include "host/utf8.h"

#include <fmt/format.h>

#include <stdexcept>

namespace rivi::dispatch {

namespace {

[[noreturn]] void refuse(const std::string& why) { throw std::invalid_argument(why); }

}  // namespace

ProbeChecks parse_checks(const std::string& text) {
  Record doc;
  try {
    doc = decode(text);
  } catch (const std::exception&) {
    refuse("checks必须是JSON对象");
  }
  if (!doc.is_object()) refuse("checks必须是JSON对象");
  ProbeChecks c;
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    const std::string& key = it.key();
    const Record& v = it.value();
    if (key == "follow_redirects") {
      if (v.is_boolean()) {
        c.follow_redirects = v.get<bool>();
      } else if (v.is_number_integer() && (v == 0 || v == 1)) {
        c.follow_redirects = v == 1;
      } else {
        refuse("checks.follow_redirects必须是0或1");
      }
    } else if (key == "keyword") {
      if (!v.is_string()) refuse("checks.keyword必须是文本");
      c.keyword = v.get<std::string>();
      if (c.keyword.size() > kMaxKeywordBytes) refuse(fmt::format("checks.keyword过长（最多{}字节）", kMaxKeywordBytes));
      if (!is_utf8(c.keyword)) refuse("checks.keyword不是有效的UTF-8文本");
    } else if (key == "keyword_mode") {
      if (!v.is_string() || (v != "present" && v != "absent")) refuse("checks.keyword_mode必须是present或absent");
      c.keyword_mode = v.get<std::string>();
    } else if (key == "timeout_ms") {
      if (!v.is_number_integer() || v.get<std::int64_t>() < kChecksTimeoutLow ||
          v.get<std::int64_t>() > kChecksTimeoutHigh) {
        refuse(fmt::format("checks.timeout_ms必须是{}到{}之间的整数", kChecksTimeoutLow, kChecksTimeoutHigh));
      }
      c.timeout_ms = static_cast<long>(v.get<std::int64_t>());
    }
    // Other keys are rules the plug-in judges itself: nothing for a node to measure.
  }
  return c;
}

std::string checks_text(const ProbeChecks& checks) {
  Record r = Record::object();
  if (checks.follow_redirects) r["follow_redirects"] = 1;
  if (!checks.keyword.empty()) {
    r["keyword"] = checks.keyword;
    r["keyword_mode"] = checks.keyword_mode;
  }
  if (checks.timeout_ms > 0) r["timeout_ms"] = checks.timeout_ms;
  return r.empty() ? std::string() : encode(r);
}

}  // namespace rivi::dispatch
