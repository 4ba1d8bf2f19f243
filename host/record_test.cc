#include "host/record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace rivi {
namespace {

// `depth` lists, each the only item of the one around it, with `inner` at the centre.
std::string nested_lists(int depth, const std::string& inner = "1") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

// The same with records: {"k": {"k": ... inner ...}}.
std::string nested_records(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += R"({"k": )";
  return text + "1" + std::string(depth, '}');
}

// A list `depth` levels deep, built in place without copying (a copy would recurse).
Record built_lists(int depth) {
  Record top = Record::array();
  Record* inner = &top;
  for (int i = 1; i < depth; ++i) {
    inner->push_back(Record::array());
    inner = &inner->back();
  }
  return top;
}

// Expects `text` to be refused the way every malformed text is.
void expect_invalid_json(const std::string& text, const std::string& label) {
  try {
    decode(text);
    ADD_FAILURE() << "accepted: " << label;
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind("invalid JSON: ", 0), 0u) << label << ": " << e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << label << " escaped as another error: " << e.what();
  }
}

TEST(Encode, WritesTheStoredDefaultForm) {
  struct Case {
    Record value;
    const char* text;
  };
  const Case cases[] = {
      {Record::parse(R"({"a": 1, "b": [true, null, "x"]})"), R"({"a": 1, "b": [true, null, "x"]})"},
      {Record::array(), "[]"},
      {Record::object(), "{}"},
      {Record("联通"), R"("\u8054\u901a")"},
      {Record("😀"), R"("\ud83d\ude00")"},
      {Record("é\"\\\n\t\x01\x7f"), R"("\u00e9\"\\\n\t\u0001\u007f")"},
      {Record(200.0), "200.0"},
      {Record(0.1), "0.1"},
      {Record(1e-05), "1e-05"},
      {Record(0.0001), "0.0001"},
      {Record(1e16), "1e+16"},
      {Record(123456789012345.6), "123456789012345.6"},
      {Record(-2.5e-300), "-2.5e-300"},
      {Record(12.345), "12.345"},
      {Record(std::numeric_limits<double>::quiet_NaN()), "NaN"},
      {Record(-std::numeric_limits<double>::infinity()), "-Infinity"},
      {Record(-7), "-7"},
      {Record(18446744073709551615ULL), "18446744073709551615"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode(c.value), c.text) << c.text;
}

TEST(Encode, KeepsKeyOrderOfNestedRecords) {
  Record r = Record::object();
  r["z"] = 1;
  r["a"] = Record{{"y", "中"}, {"b", 2.5}};
  EXPECT_EQ(encode(r), R"({"z": 1, "a": {"y": "\u4e2d", "b": 2.5}})");
}

TEST(Encode, RefusesInvalidUtf8) {
  EXPECT_THROW(encode(Record(std::string("\xff\xfe"))), std::invalid_argument);
  EXPECT_THROW(encode(Record(std::string("\xe4\xb8"))), std::invalid_argument);
}

TEST(Decode, KeepsOrderAndLastValueOfRepeatedKeys) {
  const Record r = decode(R"({"b": 1, "a": 2, "b": 3})");
  EXPECT_EQ(encode(r), R"({"b": 3, "a": 2})");
  EXPECT_TRUE(decode("200").is_number_integer());
  EXPECT_TRUE(decode("200.0").is_number_float());
  EXPECT_EQ(decode(R"("\u8054")").get<std::string>(), "联");
  EXPECT_THROW(decode("{nope"), std::invalid_argument);
  EXPECT_THROW(decode(""), std::invalid_argument);
}

TEST(Decode, RefusesNestingDeeperThanSixtyFourLevels) {
  for (const std::string& text : {nested_lists(64), nested_records(64), nested_lists(63, R"({"k": "[[[["})")}) {
    EXPECT_EQ(encode(decode(text)), text);  // brackets inside text are no levels
  }
  expect_invalid_json(nested_lists(65), "65 lists");
  expect_invalid_json(nested_lists(64, "{}"), "a record inside 64 lists");
  expect_invalid_json(nested_records(65), "65 records");
  expect_invalid_json(nested_lists(200000), "200000 lists");
  expect_invalid_json(nested_records(200000), "200000 records");
  expect_invalid_json(std::string(200000, '['), "200000 unclosed lists");
}

TEST(Decode, NumbersBeyondARealAreInvalidJson) {
  for (const char* text : {"1e999", "-3e1888888", R"({"total_time": 1e400})", "[0, -1.7976931348623159e308]"}) {
    expect_invalid_json(text, text);
  }
  EXPECT_EQ(decode("1.7976931348623157e308").get<double>(), std::numeric_limits<double>::max());
}

TEST(Encode, RefusesValuesNestedTooDeepToWrite) {
  EXPECT_EQ(encode(built_lists(128)), std::string(128, '[') + std::string(128, ']'));
  EXPECT_EQ(text_of(built_lists(128)), std::string(128, '[') + std::string(128, ']'));
  for (int depth : {129, 200000}) {
    const Record deep = built_lists(depth);
    EXPECT_THROW(encode(deep), std::invalid_argument) << depth;
    EXPECT_THROW(text_of(deep), std::invalid_argument) << depth;
    Record wrapped = Record::object();
    wrapped["data"] = built_lists(depth - 1);  // moved in: a copy would recurse
    EXPECT_THROW(encode(wrapped), std::invalid_argument) << depth;
  }
}

TEST(Truthy, FollowsThePanelsRules) {
  for (const char* f : {"false", "0", "0.0", "\"\"", "null", "[]", "{}"}) EXPECT_FALSE(truthy(decode(f))) << f;
  for (const char* t : {"true", "1", "-1", "0.5", "\"0\"", "\" \"", "[0]", "{\"a\": null}"}) EXPECT_TRUE(truthy(decode(t))) << t;
}

TEST(ToInt, AcceptsWholeNumbersOnly) {
  EXPECT_EQ(to_int(Record("12")), 12);
  EXPECT_EQ(to_int(Record("  -5 ")), -5);
  EXPECT_EQ(to_int(Record("+7")), 7);
  EXPECT_EQ(to_int(Record("0100000")), 100000);
  EXPECT_EQ(to_int(Record(3)), 3);
  EXPECT_EQ(to_int(Record(2.9)), 2);
  EXPECT_EQ(to_int(Record("-9223372036854775808")), std::numeric_limits<std::int64_t>::min());
  for (const char* bad : {"1.5", "abc", "", "  ", "+", "1 2", "0x10", "1e3"}) {
    EXPECT_THROW(to_int(Record(bad)), std::invalid_argument) << bad;
  }
  EXPECT_THROW(to_int(Record(nullptr)), std::invalid_argument);
  EXPECT_THROW(to_int(Record("99999999999999999999")), std::out_of_range);
}

TEST(TextOf, GivesThePlainTextForm) {
  EXPECT_EQ(text_of(Record("web")), "web");
  EXPECT_EQ(text_of(Record(4)), "4");
  EXPECT_EQ(text_of(Record(200.0)), "200.0");
  EXPECT_EQ(text_of(Record(true)), "True");
  EXPECT_EQ(text_of(Record(nullptr)), "None");
  EXPECT_EQ(text_of(decode(R"(["a", 1, {"k": "it's"}])")), R"(['a', 1, {'k': "it's"}])");
}

TEST(Rounding, IsCorrectFromTheExactDouble) {
  EXPECT_EQ(fixed2(12), "12.00");
  EXPECT_EQ(fixed2(1.5), "1.50");
  EXPECT_EQ(fixed2(0.125), "0.12");   // exact tie, rounds to even
  EXPECT_EQ(fixed2(2.675), "2.67");   // the double lies just below 2.675
  EXPECT_EQ(fixed2(1234567.891), "1234567.89");
  EXPECT_DOUBLE_EQ(round2(55.0 / 3), 18.33);
}

TEST(SameValue, ComparesNumbersByValue) {
  EXPECT_TRUE(same_value(Record(200), Record(200.0)));
  EXPECT_TRUE(same_value(Record(200U), Record(200)));
  EXPECT_FALSE(same_value(Record("200"), Record(200)));
  EXPECT_FALSE(same_value(Record(18446744073709551615ULL), Record(-1)));
  EXPECT_TRUE(same_value(Record("a"), Record("a")));
  EXPECT_FALSE(same_value(Record(nullptr), Record(0)));
}

TEST(LengthOf, CountsTextListsAndRecordsOnly) {
  EXPECT_EQ(length_of(Record("联通")), 2u);
  EXPECT_EQ(length_of(decode("[1, 2]")), 2u);
  EXPECT_EQ(length_of(decode("{}")), 0u);
  EXPECT_THROW(length_of(Record(0)), std::invalid_argument);
  EXPECT_THROW(length_of(Record(nullptr)), std::invalid_argument);
}

}  // namespace
}  // namespace rivi
