// Success rules of a task: reading them from a request, the table, the dispatch request's `checks`,
// and the web methods get_checks and set_checks.
#include "plugin/qn_rivi/checks.h"

#include "host/public.h"
#include "host/store/store.h"
#include "host/utf8.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "plugin/qn_rivi/row_id.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace rivi::checks {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rivi_check ("
    "pid INTEGER PRIMARY KEY, expect_codes TEXT NOT NULL DEFAULT '', follow_redirects INTEGER NOT NULL DEFAULT 0, "
    "keyword TEXT NOT NULL DEFAULT '', keyword_mode TEXT NOT NULL DEFAULT 'present', "
    "slow_ms INTEGER NOT NULL DEFAULT 0, timeout_ms INTEGER NOT NULL DEFAULT 0, "
    "dns_expect TEXT NOT NULL DEFAULT '', cert_warn_days INTEGER NOT NULL DEFAULT 14, "
    "addtime INTEGER NOT NULL DEFAULT 0);";

constexpr int kLowestCode = 100, kHighestCode = 599;

// The page shows the message as it is: it names the field in words and by its key.
std::invalid_argument refused(const std::string& why) { return std::invalid_argument(why); }

// The items of a list written with commas (ASCII or full-width), blanks or line breaks between
// them; empty items are skipped.
std::vector<std::string> items_of(std::string_view text) {
  std::string flat(text);
  for (std::size_t at; (at = flat.find("，")) != std::string::npos;) flat.replace(at, 3, ",");
  std::vector<std::string> items;
  std::string item;
  for (char c : flat + ",") {
    if (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!item.empty()) items.push_back(std::move(item));
      item.clear();
    } else {
      item += c;
    }
  }
  return items;
}

// A status of 100..599 written in decimal digits alone.
std::optional<int> code_of(std::string_view text) {
  int value = 0;
  if (text.empty() || text.size() > 3) return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < kLowestCode || value > kHighestCode) return std::nullopt;
  return value;
}

// A whole number within low..high (`words` name the field); "" is `fallback`.
std::int64_t whole_in(const Record& value, std::string_view words, std::int64_t low,
                      std::int64_t high, std::int64_t fallback) {
  const std::string text = trimmed_blanks(text_of(value));
  if (text.empty()) return fallback;
  const auto bad = [&] { return refused(fmt::format("{}应为{}到{}之间的整数", words, low, high)); };
  std::int64_t n = 0;
  try {
    n = to_int(Record(text));
  } catch (const std::exception&) {
    throw bad();
  }
  if (n < low || n > high) throw bad();
  return n;
}

bool flag_of(const Record& value) {
  if (value.is_boolean()) return value.get<bool>();
  const std::string text = trimmed_blanks(text_of(value));
  if (text.empty() || text == "0" || text == "false") return false;
  if (text == "1" || text == "true") return true;
  throw refused("跟随跳转（follow_redirects）应为0或1");
}

std::string keyword_of(const Record& value) {
  const std::string text = value.is_string() ? value.get<std::string>() : text_of(value);
  if (!is_utf8(text)) throw refused("关键字（keyword）不是有效的UTF-8文本");
  std::size_t chars = 0;
  for (std::size_t at = 0; at < text.size();) {
    const CodePoint cp = *code_point_at(text, at);
    if (cp.value < 0x20 || cp.value == 0x7f) throw refused("关键字（keyword）不能包含控制字符");
    at += cp.size;
    ++chars;
  }
  if (chars > kMaxKeywordChars) throw refused(fmt::format("关键字（keyword）最长{}个字符", kMaxKeywordChars));
  return text;
}

std::string mode_of(const Record& value) {
  const std::string text = trimmed_blanks(text_of(value));
  if (text.empty()) return "present";
  if (text == "present" || text == "absent") return text;
  throw refused("关键字模式（keyword_mode）应为present或absent");
}

// Zeroes the bits of `r` past its prefix.
void mask(AddressRange& r) {
  const int width = r.v6 ? 128 : 32;
  for (int bit = r.prefix; bit < width; ++bit) r.bytes[bit / 8] &= static_cast<unsigned char>(~(0x80 >> (bit % 8)));
}

// The bytes of an IPv4 or IPv6 text, with whether it is IPv6; nothing for other text.
std::optional<std::pair<bool, std::array<unsigned char, 16>>> address_bytes(std::string_view text) {
  if (text.empty() || text.size() > 45) return std::nullopt;
  const std::string s(text);
  std::array<unsigned char, 16> bytes{};
  if (inet_pton(AF_INET, s.c_str(), bytes.data()) == 1) return std::pair{false, bytes};
  if (inet_pton(AF_INET6, s.c_str(), bytes.data()) == 1) return std::pair{true, bytes};
  return std::nullopt;
}

}  // namespace

bool AddressRange::contains(std::string_view address) const {
  const auto parsed = address_bytes(address);
  if (!parsed || parsed->first != v6) return false;
  AddressRange other = *this;
  other.bytes = parsed->second;
  mask(other);
  return other.bytes == bytes;
}

bool Rules::accepts(const Record& http_code) const {
  if (!http_code.is_number()) return false;
  if (expect_codes.empty()) {
    for (int good : {200, 301, 302, 401, 403})
      if (same_value(http_code, good)) return true;
    return false;
  }
  const double code = as_double(http_code);
  return std::any_of(expect_codes.begin(), expect_codes.end(),
                     [&](const CodeRange& r) { return code == static_cast<int>(code) && code >= r.low && code <= r.high; });
}

std::vector<CodeRange> parse_codes(std::string_view text) {
  std::vector<CodeRange> codes;
  for (const std::string& item : items_of(text)) {
    const auto dash = item.find('-');
    const auto low = code_of(std::string_view(item).substr(0, dash));
    const auto high = dash == std::string::npos ? low : code_of(std::string_view(item).substr(dash + 1));
    if (!low || !high || *low > *high) {
      throw refused(fmt::format("期望状态码（expect_codes）中的“{}”不是{}到{}之间的状态码或范围",
                                       readable_text(item, 40), kLowestCode, kHighestCode));
    }
    codes.push_back({*low, *high});
  }
  if (codes.size() > kMaxItems) throw refused(fmt::format("期望状态码（expect_codes）最多{}项", kMaxItems));
  return codes;
}

std::vector<AddressRange> parse_ranges(std::string_view text) {
  std::vector<AddressRange> ranges;
  for (const std::string& item : items_of(text)) {
    const auto slash = item.find('/');
    const auto parsed = address_bytes(std::string_view(item).substr(0, slash));
    const auto bad = [&] {
      return refused(fmt::format("解析地址（dns_expect）中的“{}”不是IPv4或IPv6地址或CIDR网段",
                                        readable_text(item, 60)));
    };
    if (!parsed) throw bad();
    AddressRange r;
    r.v6 = parsed->first;
    r.bytes = parsed->second;
    const int width = r.v6 ? 128 : 32;
    r.prefix = width;
    if (slash != std::string::npos) {
      const std::string_view digits = std::string_view(item).substr(slash + 1);
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), r.prefix);
      if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || r.prefix < 0 || r.prefix > width)
        throw bad();
    }
    mask(r);
    ranges.push_back(r);
  }
  if (ranges.size() > kMaxItems) throw refused(fmt::format("解析地址（dns_expect）最多{}项", kMaxItems));
  return ranges;
}

std::string codes_text(const std::vector<CodeRange>& codes) {
  std::string out;
  for (const CodeRange& c : codes) {
    if (!out.empty()) out += ",";
    out += c.low == c.high ? std::to_string(c.low) : fmt::format("{}-{}", c.low, c.high);
  }
  return out;
}

std::string ranges_text(const std::vector<AddressRange>& ranges) {
  std::string out;
  for (const AddressRange& r : ranges) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(r.v6 ? AF_INET6 : AF_INET, r.bytes.data(), text, sizeof text);
    if (!out.empty()) out += ",";
    out += text;
    if (r.prefix != (r.v6 ? 128 : 32)) out += "/" + std::to_string(r.prefix);
  }
  return out;
}

Rules parse(const Record& args, Rules base) {
  Rules r = std::move(base);
  const auto given = [&](const char* key) -> const Record* { return has(args, key) ? &args.at(key) : nullptr; };
  if (const Record* v = given("expect_codes")) r.expect_codes = parse_codes(text_of(*v));
  if (const Record* v = given("follow_redirects")) r.follow_redirects = flag_of(*v);
  if (const Record* v = given("keyword")) r.keyword = keyword_of(*v);
  if (const Record* v = given("keyword_mode")) r.keyword_mode = mode_of(*v);
  if (const Record* v = given("slow_ms")) r.slow_ms = whole_in(*v, "慢响应阈值（slow_ms）毫秒数", 0, kMaxSlowMs, 0);
  if (const Record* v = given("timeout_ms")) {
    r.timeout_ms = whole_in(*v, "超时时间（timeout_ms）毫秒数", 0, kMaxTimeoutMs, 0);
    if (r.timeout_ms != 0 && r.timeout_ms < kMinTimeoutMs) {
      throw refused(fmt::format("超时时间（timeout_ms）毫秒数应为{}到{}之间的整数", kMinTimeoutMs, kMaxTimeoutMs));
    }
  }
  if (const Record* v = given("dns_expect")) r.dns_expect = parse_ranges(text_of(*v));
  if (const Record* v = given("cert_warn_days"))
    r.cert_warn_days = whole_in(*v, "证书预警天数（cert_warn_days）", 0, kMaxCertWarnDays, kDefaultCertWarnDays);
  // Without a keyword its mode says nothing; the default keeps such rules equal to none.
  if (r.keyword.empty()) r.keyword_mode = "present";
  return r;
}

Record to_record(const Rules& rules) {
  return Record{{"expect_codes", codes_text(rules.expect_codes)},
                {"follow_redirects", rules.follow_redirects ? 1 : 0},
                {"keyword", rules.keyword},
                {"keyword_mode", rules.keyword_mode},
                {"slow_ms", rules.slow_ms},
                {"timeout_ms", rules.timeout_ms},
                {"dns_expect", ranges_text(rules.dns_expect)},
                {"cert_warn_days", rules.cert_warn_days}};
}

std::optional<Record> node_checks(const Rules& rules) {
  Record c = Record::object();
  if (rules.follow_redirects) c["follow_redirects"] = true;
  if (!rules.keyword.empty()) {
    c["keyword"] = rules.keyword;
    c["keyword_mode"] = rules.keyword_mode;
  }
  if (rules.timeout_ms > 0) c["timeout_ms"] = rules.timeout_ms;
  if (c.empty()) return std::nullopt;
  return c;
}

Rules load(Connection& db, std::int64_t pid) {
  Record found;
  try {
    found = db.query("SELECT * FROM rivi_check WHERE pid = ?", Record::array({pid}));
  } catch (const std::runtime_error& e) {
    if (std::string_view(e.what()).find("no such table") == std::string_view::npos) throw;
    return {};
  }
  if (found.empty()) return {};
  // Stored rows were written by `save` from parsed rules, so they read back the same way.
  const Record& row = found[0];
  return parse(Record{{"expect_codes", row["expect_codes"]},
                      {"follow_redirects", row["follow_redirects"]},
                      {"keyword", row["keyword"]},
                      {"keyword_mode", row["keyword_mode"]},
                      {"slow_ms", row["slow_ms"]},
                      {"timeout_ms", row["timeout_ms"]},
                      {"dns_expect", row["dns_expect"]},
                      {"cert_warn_days", row["cert_warn_days"]}});
}

std::vector<std::int64_t> with_rules(Connection& db, const std::vector<std::int64_t>& pids) {
  std::vector<std::int64_t> out;
  if (pids.empty()) return out;
  Record params = Record::array();
  std::string marks;
  for (std::int64_t pid : pids) {
    params.push_back(pid);
    marks += marks.empty() ? "?" : ", ?";
  }
  for (const Record& r : db.query("SELECT pid FROM rivi_check WHERE pid IN (" + marks + ")", params))
    out.push_back(to_int(r["pid"]));
  return out;
}

void save(Connection& db, std::int64_t pid, const Rules& rules, std::int64_t now) {
  if (rules.is_default()) {
    db.run("DELETE FROM rivi_check WHERE pid = ?", Record::array({pid}));
    return;
  }
  Record row = to_record(rules);
  Record params = Record::array({pid});
  for (const auto& [key, value] : row.items()) params.push_back(value);
  params.push_back(now);
  db.run("INSERT OR REPLACE INTO rivi_check (pid, expect_codes, follow_redirects, keyword, keyword_mode, slow_ms, "
         "timeout_ms, dns_expect, cert_warn_days, addtime) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
         params);
}

void forget_task(std::int64_t pid) { public_::M("rivi_check").where("pid=?", Record::array({pid})).delete_(); }

const std::vector<std::string>& schema_names() {
  static const std::vector<std::string> names{"rivi_check"};
  return names;
}

void create_tables(Connection& db) { db.exec_script(kSchema); }

}  // namespace rivi::checks

// The web methods get_checks and set_checks.
namespace rivi {
namespace {

constexpr const char* kLogType = "拔测监控";
constexpr const char* kNoSuchTask = "指定任务不存在!";

// The task a request's `pid` names, when it is one.
std::optional<std::int64_t> requested_task(const Record& args) {
  if (!has(args, "pid")) return std::nullopt;
  const auto pid = row_id(args.at("pid"));
  if (!pid || public_::M("rivi_task").where("id=?", *pid).count() == 0) return std::nullopt;
  return pid;
}

Record rules_answer(Record answer, std::int64_t pid, const checks::Rules& rules) {
  Record data = Record{{"pid", pid}, {"has_rules", !rules.is_default()}};
  data.update(checks::to_record(rules));
  answer["data"] = std::move(data);
  return answer;
}

}  // namespace

Record qn_rivi_main::get_checks(Record& args) {
  if (!has(args, "pid")) return public_::returnMsg(false, "错误的参数!");
  const auto pid = requested_task(args);
  if (!pid) return public_::returnMsg(false, kNoSuchTask);
  Query table = public_::M("rivi_check");
  return rules_answer(public_::returnMsg(true, ""), *pid, checks::load(table.connection(), *pid));
}

Record qn_rivi_main::set_checks(Record& args) {
  if (!has(args, "pid")) return public_::returnMsg(false, "错误的参数!");
  const auto pid = requested_task(args);
  if (!pid) return public_::returnMsg(false, kNoSuchTask);
  transaction tx;
  Query table = public_::M("rivi_check");
  checks::Rules rules;
  try {
    rules = checks::parse(args, checks::load(table.connection(), *pid));
  } catch (const std::invalid_argument& e) {
    return public_::returnMsg(false, e.what());
  }
  checks::save(table.connection(), *pid, rules, public_::now());
  const Record name = public_::M("rivi_task").where("id=?", *pid).getField("name");
  public_::WriteLog(kLogType, fmt::format("修改拨测任务[{}]的检查规则", text_of(name)));
  tx.commit();
  return rules_answer(public_::returnMsg(true, "检查规则已保存"), *pid, rules);
}

}  // namespace rivi
