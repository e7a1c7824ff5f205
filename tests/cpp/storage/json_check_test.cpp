// Which payloads check_payload refuses, and with which text.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "storage/json/json.h"

namespace velmoradb::json {
namespace {

JsonValue nested_lists(int levels) {
  JsonValue value = JsonArray{};
  for (int i = 1; i < levels; ++i) value = JsonArray{value};
  return value;
}

struct CheckCase {
  const char* name;
  Payload payload;
  std::string error;  // empty: accepted
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class CheckPayload : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckPayload, RefusesWhatWouldNotComeBack) {
  const Status checked = check_payload(GetParam().payload);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(checked) << checked.error().text();
    return;
  }
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().kind(), VectorError::Kind::CollectionError);
  EXPECT_EQ(checked.error().text(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, CheckPayload,
    ::testing::Values(
        CheckCase{"Plain", Payload{{{"a", JsonValue(1.5)}, {"b", JsonValue("\xc3\xa9")}}}, ""},
        CheckCase{"DeepestAccepted", Payload{{{"k", nested_lists(125)}}}, ""},
        CheckCase{"TooDeep", Payload{{{"k", nested_lists(126)}}},
                  "a payload nests lists and objects deeper than 125 levels (under the key \"k\")"},
        CheckCase{"NaN", Payload{{{"x", JsonValue(JsonArray{std::numeric_limits<double>::quiet_NaN()})}}},
                  "a payload number is NaN or infinite (under the key \"x\")"},
        CheckCase{"Infinite", Payload{{{"x", JsonValue(-std::numeric_limits<double>::infinity())}}},
                  "a payload number is NaN or infinite (under the key \"x\")"},
        CheckCase{"StringNotUtf8", Payload{{{"s", JsonValue("a\xed\xa0\x80")}}},
                  "a payload string is not valid UTF-8 (under the key \"s\")"},
        CheckCase{"NestedKeyNotUtf8", Payload{{{"o", JsonValue(JsonObject{{"\xc0\x80", nullptr}})}}},
                  "a payload key is not valid UTF-8 (under the key \"o\")"},
        CheckCase{"KeyNotUtf8", Payload{{{"\xff", nullptr}}}, "a payload key is not valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmoradb::json
