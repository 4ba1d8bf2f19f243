// The journal's prefix rule: which JOURNAL_STREAM names standard error, and how a text becomes
// prefixed lines.
#include "host/journal.h"

#include <gtest/gtest.h>

namespace rivi::journal {
namespace {

TEST(Journal, TheStreamMustNameTheVeryFile) {
  EXPECT_TRUE(names_stream("2049:123456", 2049, 123456));
  EXPECT_FALSE(names_stream("2049:123456", 2049, 123457)) << "another file of the same device";
  EXPECT_FALSE(names_stream("2050:123456", 2049, 123456));
  for (const char* bad : {"", ":", "2049", "2049:", ":123456", "2049:123456x", "x2049:123456", "-1:5", "2049:12:3"}) {
    EXPECT_FALSE(names_stream(bad, 2049, 123456)) << bad;
  }
}

TEST(Journal, EachLineOfATextCarriesThePriority) {
  EXPECT_EQ(lines(Priority::err, "failed", true), "<3>failed\n");
  EXPECT_EQ(lines(Priority::notice, "one\ntwo\n", true), "<5>one\n<5>two\n") << "a trailing line feed adds no line";
  EXPECT_EQ(lines(Priority::debug, "a\n\nb", true), "<7>a\n<7>\n<7>b\n");
  EXPECT_EQ(lines(Priority::warning, "", true), "<4>\n");
  EXPECT_EQ(lines(Priority::info, "one\ntwo", false), "one\ntwo\n") << "plain for a terminal or a file";
}

}  // namespace
}  // namespace rivi::journal
