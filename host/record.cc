#include "host/record.h"

#include "host/utf8.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace rivi {
namespace {

// No stored or exchanged value nests deeper than a few levels; text that nests deeper than this is
// refused as invalid before it is built, so nothing that walks a decoded value recurses far.
constexpr int kMaxDecodeDepth = 64;
// Writing recurses once per level. A decoded value may be wrapped in a few records before it is
// written, hence the margin; a value built deeper than this in code is refused, not written.
constexpr int kMaxWriteDepth = 2 * kMaxDecodeDepth;

void check_write_depth(int depth) {
  if (depth > kMaxWriteDepth)
    throw std::invalid_argument(fmt::format("value nested deeper than {} levels", kMaxWriteDepth));
}

// Appends one code point as \uXXXX (lower-case hex), split into a surrogate pair above U+FFFF.
void append_escape(std::string& out, std::uint32_t cp) {
  if (cp > 0xFFFF) {
    cp -= 0x10000;
    out += fmt::format("\\u{:04x}\\u{:04x}", 0xD800 + (cp >> 10), 0xDC00 + (cp & 0x3FF));
  } else {
    out += fmt::format("\\u{:04x}", cp);
  }
}

// Decodes the UTF-8 sequence starting at s[i]; advances i. Throws on malformed input.
std::uint32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto cp = code_point_at(s, i);
  if (!cp) throw std::invalid_argument("text is not valid UTF-8");
  i += cp->size;
  return cp->value;
}

void encode_string(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const std::uint32_t cp = next_code_point(s, i);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (cp < 0x20 || cp >= 0x7F) append_escape(out, cp);
        else out += static_cast<char>(cp);
    }
  }
  out += '"';
}

void encode_into(std::string& out, const Record& v, int depth) {
  switch (v.type()) {
    case Record::value_t::null: out += "null"; break;
    case Record::value_t::boolean: out += v.get<bool>() ? "true" : "false"; break;
    case Record::value_t::number_integer: out += std::to_string(v.get<std::int64_t>()); break;
    case Record::value_t::number_unsigned: out += std::to_string(v.get<std::uint64_t>()); break;
    case Record::value_t::number_float: out += real_text(v.get<double>()); break;
    case Record::value_t::string: encode_string(out, v.get_ref<const std::string&>()); break;
    case Record::value_t::array: {
      check_write_depth(depth);
      out += '[';
      bool first = true;
      for (const auto& item : v) {
        if (!first) out += ", ";
        first = false;
        encode_into(out, item, depth + 1);
      }
      out += ']';
      break;
    }
    case Record::value_t::object: {
      check_write_depth(depth);
      out += '{';
      bool first = true;
      for (const auto& [key, item] : v.items()) {
        if (!first) out += ", ";
        first = false;
        encode_string(out, key);
        out += ": ";
        encode_into(out, item, depth + 1);
      }
      out += '}';
      break;
    }
    case Record::value_t::binary:
    case Record::value_t::discarded: throw std::invalid_argument("value cannot be encoded as JSON");
  }
}

// The panel's repr of text: single quotes unless the text holds one and no double quote.
std::string repr_text(const std::string& s) {
  const char q = (s.find('\'') != std::string::npos && s.find('"') == std::string::npos) ? '"' : '\'';
  std::string out(1, q);
  for (char c : s) {
    if (c == q || c == '\\') { out += '\\'; out += c; }
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  out += q;
  return out;
}

std::string repr(const Record& v, int depth) {
  if (v.is_string()) return repr_text(v.get<std::string>());
  if (v.is_array() || v.is_object()) check_write_depth(depth);
  if (v.is_array()) {
    std::string out = "[";
    for (std::size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + repr(v[i], depth + 1);
    return out + "]";
  }
  if (v.is_object()) {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, item] : v.items()) {
      out += (first ? "" : ", ") + repr_text(key) + ": " + repr(item, depth + 1);
      first = false;
    }
    return out + "}";
  }
  return text_of(v);
}

const char* type_name(const Record& v) {
  switch (v.type()) {
    case Record::value_t::null: return "NoneType";
    case Record::value_t::boolean: return "bool";
    case Record::value_t::number_integer:
    case Record::value_t::number_unsigned: return "int";
    case Record::value_t::number_float: return "float";
    case Record::value_t::string: return "str";
    case Record::value_t::array: return "list";
    case Record::value_t::object: return "dict";
    default: return "value";
  }
}

}  // namespace

std::string real_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char buf[64];
  // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]x".
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  const auto e = sci.find('e');
  std::string mantissa = sci.substr(0, e);
  const int exponent = std::stoi(sci.substr(e + 1));
  std::string sign;
  if (!mantissa.empty() && mantissa[0] == '-') { sign = "-"; mantissa.erase(0, 1); }
  std::string digits;
  for (char c : mantissa) if (c != '.') digits += c;
  if (exponent < -4 || exponent >= 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    return out + fmt::format("e{}{:02d}", exponent < 0 ? '-' : '+', std::abs(exponent));
  }
  std::string out;
  if (exponent < 0) {
    out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else {
    const auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out = digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  return sign + out;
}

std::string encode(const Record& value) {
  std::string out;
  encode_into(out, value, 1);
  return out;
}

Record decode(std::string_view text) {
  // The parser reports each opening bracket with the number of levels around it; refusing there
  // stops the parse before anything deeper is built.
  const auto bounded = [](int depth, Record::parse_event_t event, Record&) {
    if ((event == Record::parse_event_t::object_start || event == Record::parse_event_t::array_start) &&
        depth >= kMaxDecodeDepth) {
      throw std::invalid_argument(fmt::format("invalid JSON: nested deeper than {} levels", kMaxDecodeDepth));
    }
    return true;
  };
  try {
    // ordered_json keeps insertion order; a repeated key keeps its first place and takes the
    // later value because the parser assigns through operator[].
    return Record::parse(text.begin(), text.end(), bounded);
  } catch (const Record::exception& e) {  // malformed text, and numbers beyond a double's range
    throw std::invalid_argument(std::string("invalid JSON: ") + e.what());
  }
}

bool truthy(const Record& v) {
  switch (v.type()) {
    case Record::value_t::null: return false;
    case Record::value_t::boolean: return v.get<bool>();
    case Record::value_t::number_integer: return v.get<std::int64_t>() != 0;
    case Record::value_t::number_unsigned: return v.get<std::uint64_t>() != 0;
    case Record::value_t::number_float: return v.get<double>() != 0.0;
    case Record::value_t::string:
    case Record::value_t::array:
    case Record::value_t::object: return !v.empty() && !(v.is_string() && v.get_ref<const std::string&>().empty());
    default: return true;
  }
}

bool is_number(const Record& v) { return v.is_number(); }

double as_double(const Record& v) {
  if (!v.is_number()) throw std::invalid_argument(std::string("a number is required, not '") + type_name(v) + "'");
  return v.get<double>();
}

std::int64_t to_int(const Record& v) {
  switch (v.type()) {
    case Record::value_t::boolean: return v.get<bool>() ? 1 : 0;
    case Record::value_t::number_integer: return v.get<std::int64_t>();
    case Record::value_t::number_unsigned: {
      const auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw std::out_of_range("whole number too large: " + std::to_string(u));
      return static_cast<std::int64_t>(u);
    }
    case Record::value_t::number_float: {
      const double d = std::trunc(v.get<double>());
      if (!std::isfinite(d) || d >= 9.2233720368547758e18 || d < -9.2233720368547758e18)
        throw std::out_of_range("cannot convert " + real_text(v.get<double>()) + " to a whole number");
      return static_cast<std::int64_t>(d);
    }
    case Record::value_t::string: {
      const std::string& s = v.get_ref<const std::string&>();
      const auto bad = [&] { return std::invalid_argument("invalid literal for int() with base 10: " + repr_text(s)); };
      const char* ws = " \t\n\r\f\v";
      const auto b = s.find_first_not_of(ws);
      if (b == std::string::npos) throw bad();
      const auto e = s.find_last_not_of(ws);
      std::string_view t(s.data() + b, e - b + 1);
      bool negative = false;
      if (t[0] == '+' || t[0] == '-') { negative = t[0] == '-'; t.remove_prefix(1); }
      if (t.empty()) throw bad();
      for (char c : t) if (c < '0' || c > '9') throw bad();
      std::uint64_t magnitude = 0;
      const auto res = std::from_chars(t.data(), t.data() + t.size(), magnitude);
      const std::uint64_t limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
      if (res.ec == std::errc::result_out_of_range || magnitude > limit)
        throw std::out_of_range("whole number too large: " + s);
      return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    }
    default:
      throw std::invalid_argument(std::string("int() argument must be a string or a number, not '") + type_name(v) + "'");
  }
}

std::string text_of(const Record& v) {
  switch (v.type()) {
    case Record::value_t::null: return "None";
    case Record::value_t::boolean: return v.get<bool>() ? "True" : "False";
    case Record::value_t::number_integer: return std::to_string(v.get<std::int64_t>());
    case Record::value_t::number_unsigned: return std::to_string(v.get<std::uint64_t>());
    case Record::value_t::number_float: {
      const double d = v.get<double>();
      if (std::isnan(d)) return "nan";
      if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
      return real_text(d);
    }
    case Record::value_t::string: return v.get<std::string>();
    default: return repr(v, 1);
  }
}

std::string fixed2(double value) { return fmt::format("{:.2f}", value); }

double round2(double value) { return std::stod(fixed2(value)); }

bool same_value(const Record& a, const Record& b) {
  const auto numeric = [](const Record& v) { return v.is_number() || v.is_boolean(); };
  if (numeric(a) && numeric(b)) {
    if (a.is_number_float() || b.is_number_float()) {
      const double x = a.is_boolean() ? a.get<bool>() : a.get<double>();
      const double y = b.is_boolean() ? b.get<bool>() : b.get<double>();
      return x == y;
    }
    // Integers (and booleans) compare exactly, also beyond 2^63.
    const auto signed_of = [](const Record& v) -> std::int64_t {
      return v.is_boolean() ? (v.get<bool>() ? 1 : 0) : v.get<std::int64_t>();
    };
    if (a.is_number_unsigned() && b.is_number_unsigned()) return a.get<std::uint64_t>() == b.get<std::uint64_t>();
    if (a.is_number_unsigned() || b.is_number_unsigned()) {
      const auto u = (a.is_number_unsigned() ? a : b).get<std::uint64_t>();
      const auto s = signed_of(a.is_number_unsigned() ? b : a);
      return s >= 0 && static_cast<std::uint64_t>(s) == u;
    }
    return signed_of(a) == signed_of(b);
  }
  return a == b;
}

std::size_t length_of(const Record& v) {
  if (v.is_string()) {
    std::size_t n = 0;  // code points, not bytes
    for (unsigned char c : v.get_ref<const std::string&>()) n += (c & 0xC0) != 0x80;
    return n;
  }
  if (v.is_array() || v.is_object()) return v.size();
  throw std::invalid_argument(std::string("object of type '") + type_name(v) + "' has no len()");
}

bool has(const Record& args, std::string_view key) {
  return args.is_object() && args.find(std::string(key)) != args.end();
}

}  // namespace rivi
