#include "host/secret.h"

#include <gtest/gtest.h>

namespace rivi {
namespace {

TEST(SameSecret, ComparesWholeTexts) {
  EXPECT_TRUE(same_secret("abc", "abc"));
  EXPECT_FALSE(same_secret("abc", "abd"));
  EXPECT_FALSE(same_secret("abc", "abcd"));
  EXPECT_FALSE(same_secret("abc", "ab"));
  EXPECT_FALSE(same_secret("abc", ""));
  EXPECT_FALSE(same_secret("", "a"));
  EXPECT_TRUE(same_secret("", ""));
}

}  // namespace
}  // namespace rivi
