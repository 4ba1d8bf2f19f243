#include "plugin/qn_rivi/row_id.h"

#include <gtest/gtest.h>

#include <optional>

namespace rivi {
namespace {

TEST(RowId, WholeNumbersInEveryFormAndNothingElse) {
  struct Case {
    Record value;
    std::optional<std::int64_t> id;
  };
  const Case cases[] = {
      {7, 7},           {7.0, 7},          {"007", 7},       {" \t7\n", 7},        {"+7", 7},
      {"-7", -7},       {" 7.000 ", 7},    {"7.", 7},        {"+.7e1", 7},         {"7e2", 700},
      {7.5, std::nullopt},    {"7.5", std::nullopt},  {"0x7", std::nullopt},   {"7 7", std::nullopt},
      {"", std::nullopt},     {".", std::nullopt},    {"inf", std::nullopt},   {"nan", std::nullopt},
      {"1e999", std::nullopt}, {"9223372036854775808", std::nullopt},        {9223372036854775808.0, std::nullopt},
      {true, std::nullopt},   {nullptr, std::nullopt}, {Record::array({7}), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(row_id(c.value), c.id) << c.value.dump();
}

}  // namespace
}  // namespace rivi
