#include "storage/payload_decode_cache.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmoradb {
namespace {

Payload tagged(const std::string& tag) {
  Payload p;
  p.data.emplace("tag", JsonValue(tag));
  return p;
}

std::string text_of(const std::string& tag) { return R"({"data":{"tag":")" + tag + R"("}})"; }

// "u0", "u1", ...: tags that never repeat.
std::string unique_tag(std::size_t i) {
  std::string tag = "u";
  tag += std::to_string(i);
  return tag;
}

// What was kept is found by its exact text, and stays where it was handed
// out while more is kept; texts beyond the limits are decoded each time.
TEST(PayloadDecodeCache, FindsKeptTextsWithinItsLimits) {
  PayloadDecodeCache cache;
  EXPECT_EQ(cache.find(text_of("a")), nullptr);
  const std::string a_text = text_of("a");
  const PayloadDecodeCache::Entry* kept = cache.keep(a_text, tagged("a"));
  const PayloadDecodeCache::Entry* a = cache.find(text_of("a"));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, kept);
  EXPECT_EQ(a->second, tagged("a"));
  EXPECT_EQ(a->first, a_text);
  EXPECT_NE(a->first.data(), a_text.data());  // a copy of its own: the caller's text may go
  EXPECT_EQ(cache.find(R"({"data":{"tag": "a"}})"), nullptr);  // another spelling is another text
  for (std::size_t i = 1; i < PayloadDecodeCache::kMaxTexts + 10; ++i) {
    cache.keep(text_of(std::to_string(i)), tagged(std::to_string(i)));
  }
  EXPECT_EQ(cache.find(text_of("a")), a);
  EXPECT_NE(cache.find(text_of(std::to_string(PayloadDecodeCache::kMaxTexts - 1))), nullptr);
  EXPECT_EQ(cache.find(text_of(std::to_string(PayloadDecodeCache::kMaxTexts))), nullptr);

  PayloadDecodeCache fresh;
  const std::string long_tag(PayloadDecodeCache::kMaxTextBytes, 'x');
  EXPECT_EQ(fresh.keep(text_of(long_tag), tagged(long_tag)), nullptr);
  EXPECT_EQ(fresh.find(text_of(long_tag)), nullptr);
}

// Texts that hardly repeat: the cache stops looking once the trial shows
// it, and what it handed out stays valid. Texts that repeat keep it looking.
TEST(PayloadDecodeCache, StopsLookingWhereTextsDoNotRepeat) {
  PayloadDecodeCache unique;
  unique.keep(text_of("kept"), tagged("kept"));
  const PayloadDecodeCache::Entry* kept = unique.find(text_of("kept"));
  ASSERT_NE(kept, nullptr);
  for (std::size_t i = 0; i < PayloadDecodeCache::kTrialLookups; ++i) {
    EXPECT_EQ(unique.find(text_of(unique_tag(i))), nullptr);
  }
  EXPECT_EQ(unique.find(text_of("kept")), nullptr);  // no longer looking
  EXPECT_EQ(kept->second, tagged("kept"));

  PayloadDecodeCache repeated;
  repeated.keep(text_of("r"), tagged("r"));
  for (std::size_t i = 0; i < 2 * PayloadDecodeCache::kTrialLookups; ++i) {
    const std::string tag = i % 4 == 0 ? "r" : unique_tag(i);
    EXPECT_EQ(repeated.find(text_of(tag)) != nullptr, tag == "r") << i;
  }
}

}  // namespace
}  // namespace velmoradb
