// readable_json: what `panel call` prints. Exact bytes, and the text reads back to the same record.
#include "host/cli_json.h"

#include <gtest/gtest.h>

namespace rivi {
namespace {

TEST(ReadableJson, TextBeyondAsciiAppearsAsItselfOnOneLine) {
  struct Case {
    Record value;
    std::string printed;
  };
  const Case cases[] = {
      {Record{{"status", true}, {"msg", "添加成功!"}}, R"({"status": true, "msg": "添加成功!"})"},
      {"é😀", "\"é😀\""},                                    // two bytes; four bytes (a surrogate pair in encode)
      {"a\\u00e9", R"("a\\u00e9")"},                        // a backslash before "u00e9" is text, not an escape
      {"\\\xe4\xb8\xad", R"("\\中")"},                       // an escaped backslash right before a character
      {"tab\t\x01\x7f", R"("tab\t\u0001\u007f")"},           // control characters and DEL stay escaped
      {"\"quoted\"", R"("\"quoted\"")"},
      {Record{{"键", Record::array({200.0, 1e-05, nullptr})}}, R"({"键": [200.0, 1e-05, null]})"},
  };
  for (const Case& c : cases) {
    const std::string printed = readable_json(c.value);
    EXPECT_EQ(printed, c.printed);
    EXPECT_EQ(decode(printed), c.value) << printed;
  }
}

TEST(ReadableJson, PrettyIndentsOneItemALineAndLeavesStringsAlone) {
  Record value = Record::object();
  value["page"] = Record{{"p", 1}, {"rows", Record::array()}};
  value["data"] = Record::array({Record{{"name", "a, {b}: [c]"}}, Record::object()});
  value["msg"] = "成功";
  const std::string printed = readable_json(value, true);
  EXPECT_EQ(printed,
            "{\n"
            "  \"page\": {\n"
            "    \"p\": 1,\n"
            "    \"rows\": []\n"
            "  },\n"
            "  \"data\": [\n"
            "    {\n"
            "      \"name\": \"a, {b}: [c]\"\n"
            "    },\n"
            "    {}\n"
            "  ],\n"
            "  \"msg\": \"成功\"\n"
            "}");
  EXPECT_EQ(decode(printed), value);
  EXPECT_EQ(readable_json(Record::array(), true), "[]");
  EXPECT_EQ(readable_json(7, true), "7");
}

TEST(ReadableJson, RefusesWhatEncodeRefuses) {
  EXPECT_THROW(readable_json(std::string("\xff")), std::invalid_argument);
}

}  // namespace
}  // namespace rivi
