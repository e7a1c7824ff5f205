// The one UTF-8 check: every way a sequence can be ill-formed, at the
// edges of the ranges.
#include "engine/support/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace velmoradb {
namespace {

struct Utf8Case {
  std::string text;
  std::size_t first_length;  // utf8_sequence_length(text, 0)
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, SequenceLengthAndWholeText) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(utf8_sequence_length(c.text, 0), c.first_length);
  EXPECT_EQ(is_utf8(c.text), c.first_length == c.text.size());
  // The same sequence after ASCII text, and cut short by one byte.
  EXPECT_EQ(utf8_sequence_length("ab" + c.text, 2), c.first_length);
  if (c.text.size() > 1) {
    EXPECT_EQ(utf8_sequence_length(c.text.substr(0, c.text.size() - 1), 0), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8,
    ::testing::Values(Utf8Case{"a", 1}, Utf8Case{std::string(1, '\0'), 1}, Utf8Case{"\x7f", 1},
                      Utf8Case{"\xc2\x80", 2}, Utf8Case{"\xdf\xbf", 2},
                      Utf8Case{"\xe0\xa0\x80", 3}, Utf8Case{"\xed\x9f\xbf", 3}, Utf8Case{"\xef\xbf\xbf", 3},
                      Utf8Case{"\xf0\x90\x80\x80", 4}, Utf8Case{"\xf4\x8f\xbf\xbf", 4},
                      // A continuation byte alone, overlong forms, surrogates, beyond
                      // U+10FFFF, lead bytes that never start a sequence.
                      Utf8Case{"\x80", 0}, Utf8Case{"\xc0\x80", 0}, Utf8Case{"\xc1\xbf", 0},
                      Utf8Case{"\xe0\x9f\xbf", 0}, Utf8Case{"\xed\xa0\x80", 0}, Utf8Case{"\xed\xbf\xbf", 0},
                      Utf8Case{"\xf0\x8f\xbf\xbf", 0}, Utf8Case{"\xf4\x90\x80\x80", 0},
                      Utf8Case{"\xf5\x80\x80\x80", 0}, Utf8Case{"\xff", 0},
                      // A later byte that is not a continuation.
                      Utf8Case{"\xc3\x28", 0}, Utf8Case{"\xe2\x82\x28", 0}, Utf8Case{"\xf0\x9f\x98\x28", 0}));

TEST(Utf8Text, WholeTexts) {
  EXPECT_TRUE(is_utf8(""));
  EXPECT_TRUE(is_utf8("plain \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 text"));
  EXPECT_FALSE(is_utf8("good \xc3\xa9 then \xc3"));
  EXPECT_FALSE(is_utf8("\xc3\xa9\xa9"));
}

}  // namespace
}  // namespace velmoradb
