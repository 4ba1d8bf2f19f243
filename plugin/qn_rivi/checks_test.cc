// Task rules: reading them from form fields (statuses, address ranges, bounds), the `checks` a
// dispatch request carries, and the table in a real store.
#include "plugin/qn_rivi/checks.h"

#include "host/public.h"
#include "host/store/store.h"
#include "plugin/qn_rivi/qn_rivi_main.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <string>

namespace rivi::checks {
namespace {

// The message a refused value gives, or "" when it is taken.
std::string refusal(const Record& args) {
  try {
    parse(args);
    return "";
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
}

TEST(ExpectCodes, RangesAndListsReadBackAsWritten) {
  EXPECT_EQ(codes_text(parse_codes("200-299")), "200-299");
  EXPECT_EQ(codes_text(parse_codes(" 200, 301，302\n401-403 ")), "200,301,302,401-403");
  EXPECT_EQ(codes_text(parse_codes("100-599")), "100-599");
  EXPECT_TRUE(parse_codes("").empty());

  Rules r;
  r.expect_codes = parse_codes("200-299,404");
  for (const Record& good : {Record(200), Record(299), Record(404), Record(250.0)}) EXPECT_TRUE(r.accepts(good)) << good;
  for (const Record& bad : {Record(300), Record(403), Record(199), Record("200"), Record(nullptr), Record(200.5)})
    EXPECT_FALSE(r.accepts(bad)) << bad;
  // Without expected statuses, the verdict's set.
  const Rules plain;
  for (int good : {200, 301, 302, 401, 403}) EXPECT_TRUE(plain.accepts(good));
  for (int bad : {201, 404, 500, 0}) EXPECT_FALSE(plain.accepts(bad));
}

TEST(ExpectCodes, BadRowsAreRefusedNamingTheFieldAndTheItem) {
  for (const char* bad : {"abc", "99", "600", "300-200", "200-", "-200", "2OO", "200-299-300", "+200", "0x1F4", "1e2",
                          "200.0", "2000"}) {
    const std::string msg = refusal(Record{{"expect_codes", bad}});
    EXPECT_NE(msg.find("expect_codes"), std::string::npos) << bad << ": " << msg;
    EXPECT_NE(msg.find("期望状态码"), std::string::npos) << bad;
  }
  EXPECT_NE(refusal(Record{{"expect_codes", "200,abc"}}).find("“abc”"), std::string::npos);
  std::string many;
  for (int c = 200; c < 233; ++c) many += std::to_string(c) + ",";
  EXPECT_NE(refusal(Record{{"expect_codes", many}}).find("最多32项"), std::string::npos);
}

TEST(AddressRanges, Ipv4AndIpv6NetworksHoldTheirAddressesOnly) {
  const auto ranges = parse_ranges("10.0.0.0/8, 192.168.1.7 2001:db8::/32\n::1");
  ASSERT_EQ(ranges.size(), 4u);
  EXPECT_TRUE(ranges[0].contains("10.255.1.2"));
  EXPECT_FALSE(ranges[0].contains("11.0.0.1"));
  EXPECT_TRUE(ranges[1].contains("192.168.1.7"));
  EXPECT_FALSE(ranges[1].contains("192.168.1.8"));
  EXPECT_TRUE(ranges[2].contains("2001:db8:ffff::1"));
  EXPECT_FALSE(ranges[2].contains("2001:db9::1"));
  EXPECT_TRUE(ranges[3].contains("::1"));
  // One family never holds the other's addresses, nor text that is no address.
  EXPECT_FALSE(ranges[0].contains("::ffff:10.0.0.1"));
  EXPECT_FALSE(ranges[2].contains("10.0.0.1"));
  EXPECT_FALSE(ranges[0].contains("10.0.0.1 "));
  EXPECT_FALSE(ranges[0].contains(""));
  // Host bits past the prefix are dropped; a whole address is written without one.
  EXPECT_EQ(ranges_text(parse_ranges("10.1.2.3/8,2001:db8::5/64,1.2.3.4/32,0.0.0.0/0")),
            "10.0.0.0/8,2001:db8::/64,1.2.3.4,0.0.0.0/0");
}

TEST(AddressRanges, BadRowsAreRefusedNamingTheField) {
  for (const char* bad : {"10.0.0.0/33", "2001:db8::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0", "example.com",
                          "10.0.0.256", "1.2.3.4/8x", "2001:db8:::1", "10.0.0.0/8/9"}) {
    const std::string msg = refusal(Record{{"dns_expect", bad}});
    EXPECT_NE(msg.find("解析地址（dns_expect）"), std::string::npos) << bad << ": " << msg;
  }
}

TEST(RuleBounds, EachFieldTakesItsRangeAndRefusesBeyond) {
  struct Row {
    const char* field;
    const char* value;
    bool taken;
  };
  const Row rows[] = {
      {"timeout_ms", "1000", true},   {"timeout_ms", "30000", true},  {"timeout_ms", "999", false},
      {"timeout_ms", "30001", false}, {"timeout_ms", "0", true},      {"timeout_ms", "", true},
      {"timeout_ms", "1.5", false},   {"timeout_ms", "abc", false},   {"slow_ms", "0", true},
      {"slow_ms", "60000", true},     {"slow_ms", "60001", false},    {"slow_ms", "-1", false},
      {"cert_warn_days", "0", true},  {"cert_warn_days", "365", true}, {"cert_warn_days", "366", false},
      {"follow_redirects", "1", true}, {"follow_redirects", "0", true}, {"follow_redirects", "2", false},
      {"follow_redirects", "yes", false}, {"keyword_mode", "absent", true}, {"keyword_mode", "none", false},
      {"keyword", "成功 ok", true},  {"keyword", "a\nb", false},
  };
  for (const Row& row : rows) {
    const std::string msg = refusal(Record{{row.field, row.value}});
    EXPECT_EQ(msg.empty(), row.taken) << row.field << "=" << row.value << ": " << msg;
    if (!row.taken) {
      EXPECT_NE(msg.find(row.field), std::string::npos) << msg;
    }
  }
  EXPECT_EQ(refusal(Record{{"keyword", std::string(100, 'k')}}), "");
  EXPECT_NE(refusal(Record{{"keyword", std::string(101, 'k')}}), "");
  EXPECT_NE(refusal(Record{{"keyword", std::string("\xff\xfe")}}).find("UTF-8"), std::string::npos);
}

TEST(RuleFields, AbsentFieldsStayEmptyOnesTakeTheirDefaults) {
  Rules base = parse(Record{{"expect_codes", "200"}, {"slow_ms", "800"}, {"cert_warn_days", "30"}});
  const Rules changed = parse(Record{{"slow_ms", ""}, {"keyword", "ok"}}, base);
  EXPECT_EQ(codes_text(changed.expect_codes), "200");
  EXPECT_EQ(changed.slow_ms, 0);
  EXPECT_EQ(changed.cert_warn_days, 30);
  EXPECT_EQ(parse(Record{{"cert_warn_days", ""}}, base).cert_warn_days, kDefaultCertWarnDays);
  // A mode without a keyword is no rule.
  EXPECT_TRUE(parse(Record{{"keyword_mode", "absent"}}).is_default());
}

TEST(NodeChecks, OnlyTheRulesANodeAppliesAndOnlyWhenSet) {
  EXPECT_FALSE(node_checks(Rules{}));
  // Rules judged in the plug-in send nothing.
  EXPECT_FALSE(node_checks(parse(Record{{"expect_codes", "200-299"}, {"slow_ms", "100"}, {"dns_expect", "10.0.0.0/8"},
                                        {"cert_warn_days", "3"}})));
  const auto all = node_checks(parse(Record{{"follow_redirects", "1"}, {"keyword", "欢迎"}, {"keyword_mode", "absent"},
                                            {"timeout_ms", "5000"}}));
  ASSERT_TRUE(all);
  EXPECT_EQ(encode(*all), R"({"follow_redirects": true, "keyword": "\u6b22\u8fce", "keyword_mode": "absent", "timeout_ms": 5000})");
  EXPECT_EQ(encode(*node_checks(parse(Record{{"keyword", "x"}}))), R"({"keyword": "x", "keyword_mode": "present"})");
}

TEST(RuleTable, StoredRulesReadBackAndDefaultsLeaveNoRow) {
  testing::TempRoot root;
  load_qn_rivi_module();
  qn_rivi_main plugin;
  Query table = public_::M("rivi_check");
  Connection& db = table.connection();
  EXPECT_TRUE(load(db, 7).is_default());
  const Rules rules = parse(Record{{"expect_codes", "200-299,404"}, {"follow_redirects", "1"}, {"keyword", "「好」"},
                                   {"keyword_mode", "absent"}, {"slow_ms", "1500"}, {"timeout_ms", "8000"},
                                   {"dns_expect", "10.0.0.0/8,2001:db8::/32"}, {"cert_warn_days", "0"}});
  save(db, 7, rules, 100);
  EXPECT_EQ(load(db, 7), rules);
  EXPECT_EQ(with_rules(db, {6, 7, 8}), std::vector<std::int64_t>{7});
  save(db, 7, Rules{}, 101);
  EXPECT_TRUE(db.query("SELECT * FROM rivi_check").empty());
  std::filesystem::current_path(testing::build_dir());
}

}  // namespace
}  // namespace rivi::checks
