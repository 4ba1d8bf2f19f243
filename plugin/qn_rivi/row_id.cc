#include "plugin/qn_rivi/row_id.h"

#include <charconv>
#include <cmath>
#include <regex>
#include <stdexcept>
#include <string>

namespace rivi {
namespace {

// 2^63: the first whole real that no 64-bit id reaches.
constexpr double kBeyondInt64 = 9223372036854775808.0;

std::optional<std::int64_t> whole(double d) {
  if (!std::isfinite(d) || d != std::trunc(d) || d >= kBeyondInt64 || d < -kBeyondInt64) return std::nullopt;
  return static_cast<std::int64_t>(d);
}

// A decimal real with blanks around it, as `to_int` allows blanks around digits; no hex, no
// "inf" or "nan", which std::strtod would take.
std::optional<double> decimal_real(const std::string& text) {
  static const std::regex kReal(R"([ \t\n\r\f\v]*([+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?)[ \t\n\r\f\v]*)");
  std::smatch m;
  if (!std::regex_match(text, m, kReal)) return std::nullopt;
  const std::string number = m[1].str();
  double d = 0;
  const char* first = number.data() + (number[0] == '+' ? 1 : 0);
  const auto [end, ec] = std::from_chars(first, number.data() + number.size(), d);
  if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return d;
}

}  // namespace

std::optional<std::int64_t> row_id(const Record& value) {
  switch (value.type()) {
    case Record::value_t::number_integer:
    case Record::value_t::number_unsigned:
      try {
        return to_int(value);
      } catch (const std::out_of_range&) {
        return std::nullopt;
      }
    case Record::value_t::number_float: return whole(value.get<double>());
    case Record::value_t::string:
      try {
        return to_int(value);
      } catch (const std::out_of_range&) {
        return std::nullopt;
      } catch (const std::invalid_argument&) {
        const auto real = decimal_real(value.get_ref<const std::string&>());
        return real ? whole(*real) : std::nullopt;
      }
    default: return std::nullopt;
  }
}

}  // namespace rivi
