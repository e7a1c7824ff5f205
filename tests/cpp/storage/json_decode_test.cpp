// Reading records back: both record forms, skipped members, number forms,
// string escapes, the nesting limit, and re-encoding round trips.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "storage/json/json.h"

namespace velmoradb::json {
namespace {

constexpr char kMetaText[] =
    "{\n  \"dimension\": 128,\n  \"metric\": \"Cosine\",\n  \"vector_count\": 0,\n  \"next_id\": 1\n}";

WalEntry insert_entry() {
  WalEntry entry;
  entry.kind = WalEntryKind::Insert;
  entry.id = 1;
  entry.vector = {1.0f, 2.5f};
  return entry;
}

// The text of a parse's error, or nothing: what an assertion prints.
template <typename T>
std::string error_of(const Result<T>& parsed) {
  return parsed ? std::string() : parsed.error().text();
}

JsonValue data_value(const std::string& value_text) {
  auto payload = parse_payload(R"({"data":{"v":)" + value_text + "}}");
  EXPECT_TRUE(payload) << value_text << ": " << error_of(payload);
  return payload ? payload->data["v"] : JsonValue{};
}

float component(const std::string& number_text) {
  const auto entry = parse_wal_entry(
      R"({"kind":"Insert","id":1,"vector":[)" + number_text + R"(],"payload":{"data":{}}})");
  EXPECT_TRUE(entry) << number_text << ": " << error_of(entry);
  return !entry || entry->vector.empty() ? std::nanf("") : entry->vector[0];
}

TEST(JsonDecode, MetaFileReadsBackAndReencodesToTheSameBytes) {
  const auto meta = parse_meta(kMetaText);
  ASSERT_TRUE(meta) << error_of(meta);
  EXPECT_EQ(*meta, (CollectionMeta{128, "Cosine", 0, 1}));
  EXPECT_EQ(encode_meta(*meta), kMetaText);
}

class MetaVariants : public testing::TestWithParam<std::string> {};

TEST_P(MetaVariants, DecodeToTheSameRecord) {
  const auto meta = parse_meta(GetParam());
  ASSERT_TRUE(meta) << error_of(meta);
  EXPECT_EQ(*meta, (CollectionMeta{128, "Cosine", 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    OtherLayouts, MetaVariants,
    testing::Values(std::string(kMetaText) + "\n", std::string(kMetaText) + " \t\r\n",
                    R"({"dimension":128,"metric":"Cosine","vector_count":0,"next_id":1})",
                    R"({"next_id":1,"vector_count":0,"metric":"Cosine","dimension":128})",
                    R"({"dimension":128,"extra":{"a":[1,{"b":null}],"c":"\u0000"},"metric":"Cosine","vector_count":0,"next_id":1,"more":-1.5e300})",
                    R"([128,"Cosine",0,1])", "\r\n\t [ 128 , \"Cosine\" , 0 , 1 ] \n",
                    R"({"dim\u0065nsion":128,"metric":"\u0043osine","vector_count":0,"next_id":1})"));

TEST(JsonDecode, MetaAcceptsAnyMetricText) {
  for (const std::string metric : {"cosine", "no metric at all", ""}) {
    const auto meta =
        parse_meta(R"({"dimension":3,"metric":")" + metric + R"(","vector_count":0,"next_id":0})");
    ASSERT_TRUE(meta) << error_of(meta);
    EXPECT_EQ(meta->metric, metric);
  }
}

TEST(JsonDecode, MetaCountersTakeTheWholeUnsignedRange) {
  const auto meta = parse_meta(R"([18446744073709551615,"",18446744073709551615,0])");
  ASSERT_TRUE(meta) << error_of(meta);
  EXPECT_EQ(meta->vector_count, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(meta->dimension, std::numeric_limits<std::size_t>::max());
}

class WalEntryForms : public testing::TestWithParam<std::string> {};

TEST_P(WalEntryForms, DecodeToTheInsertEntry) {
  const auto entry = parse_wal_entry(GetParam());
  ASSERT_TRUE(entry) << error_of(entry);
  EXPECT_EQ(*entry, insert_entry());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, WalEntryForms,
    testing::Values(R"({"kind":"Insert","id":1,"vector":[1.0,2.5],"payload":{"data":{}}})",
                    R"({"payload":{"data":{}},"vector":[1,2.5e0],"id":1,"kind":"Insert"})",
                    R"(["Insert",1,[1.0,2.5],{"data":{}}])", R"(["Insert",1,[1.0,2.5],[{}]])",
                    R"({"kind":"Insert","skip":[true,false,null,"x",{}],"id":1,"vector":[0.1e1,25E-1],"payload":{"data":{},"x":0}})",
                    " {\t\"kind\" :\n\"Insert\" ,\r\"id\": 1 , \"vector\" : [ 1.0 , 2.5 ] ,"
                    " \"payload\" : { \"data\" : { } } } \n"));

TEST(JsonDecode, EveryKindNameReadsBack) {
  for (const auto kind : {WalEntryKind::Insert, WalEntryKind::Update, WalEntryKind::Delete,
                          WalEntryKind::Checkpoint}) {
    WalEntry entry;
    entry.kind = kind;
    const auto decoded = parse_wal_entry(encode_wal_entry(entry));
    ASSERT_TRUE(decoded) << error_of(decoded);
    EXPECT_EQ(*decoded, entry);
  }
}

TEST(JsonDecode, PayloadEdgeCases) {
  for (const char* empty : {R"({"data":{}} )", "[{}]"}) {
    const auto payload = parse_payload(empty);
    ASSERT_TRUE(payload) << empty << ": " << error_of(payload);
    EXPECT_TRUE(payload->empty());
  }
  const auto payload = parse_payload(R"({"data":{"k":1},"extra":{"deep":[[[]]]}})");
  ASSERT_TRUE(payload) << error_of(payload);
  EXPECT_EQ(payload->data.at("k"), JsonValue(std::uint64_t{1}));
  EXPECT_EQ(payload->data.size(), 1u);
}

TEST(JsonDecode, RepeatedDataKeyKeepsTheLaterValue) {
  const auto payload = parse_payload(R"({"data":{"k":1,"j":true,"k":"two"}})");
  ASSERT_TRUE(payload) << error_of(payload);
  EXPECT_EQ(payload->data.size(), 2u);
  EXPECT_EQ(payload->data.at("k"), JsonValue("two"));
  EXPECT_EQ(data_value(R"({"a":1,"a":[2]})"), JsonValue(JsonObject{{"a", JsonArray{std::uint64_t{2}}}}));
}

struct NumberCase {
  std::string text;
  JsonValue value;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.text; }

class NumberForms : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberForms, KeepTheFormTheyWereReadIn) {
  const JsonValue value = data_value(GetParam().text);
  EXPECT_EQ(value.v.index(), GetParam().value.v.index());
  EXPECT_EQ(value, GetParam().value);
  if (const auto* d = std::get_if<double>(&value.v)) {
    EXPECT_EQ(std::signbit(*d), std::signbit(std::get<double>(GetParam().value.v)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, NumberForms,
    testing::Values(
        NumberCase{"0", std::uint64_t{0}}, NumberCase{"7", std::uint64_t{7}},
        NumberCase{"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        NumberCase{"18446744073709551616", 18446744073709551616.0},
        NumberCase{"-1", std::int64_t{-1}},
        NumberCase{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        NumberCase{"-9223372036854775809", -9223372036854775809.0}, NumberCase{"-0", -0.0},
        NumberCase{"1.0", 1.0}, NumberCase{"1e2", 100.0}, NumberCase{"1E+2", 100.0},
        NumberCase{"-2.5e-3", -0.0025}, NumberCase{"0.1", 0.1},
        NumberCase{"1e-400", 0.0}, NumberCase{"-1e-400", -0.0},
        NumberCase{"0.000000000000000000000000000000000000000000000000000000000000000000000000001e-300",
                   0.0},
        NumberCase{"4.9e-324", std::numeric_limits<double>::denorm_min()},
        NumberCase{"1.7976931348623157e308", std::numeric_limits<double>::max()},
        NumberCase{"123456789012345678901234567890", 123456789012345678901234567890.0}));

struct ComponentCase {
  std::string text;
  float value;
};

void PrintTo(const ComponentCase& c, std::ostream* os) { *os << c.text; }

class VectorComponents : public testing::TestWithParam<ComponentCase> {};

TEST_P(VectorComponents, AreRoundedThroughA64BitFloat) {
  const float value = component(GetParam().text);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(GetParam().value))
      << value;
}

INSTANTIATE_TEST_SUITE_P(
    Components, VectorComponents,
    testing::Values(
        ComponentCase{"1", 1.0f}, ComponentCase{"-0.0", -0.0f}, ComponentCase{"-0", -0.0f},
        ComponentCase{"0.1", 0.1f}, ComponentCase{"3.4028235e38", FLT_MAX},
        ComponentCase{"3.40282356e38", FLT_MAX},
        // Exactly halfway between the largest float and 2^128: ties to even, infinity.
        ComponentCase{"340282356779733661637539395458142568448", INFINITY},
        ComponentCase{"1e39", INFINITY}, ComponentCase{"-1e39", -INFINITY},
        ComponentCase{"1e-50", 0.0f}, ComponentCase{"-1e-50", -0.0f},
        ComponentCase{"18446744073709551615", 18446744073709551616.0f},
        ComponentCase{"16777217", 16777216.0f},
        // Above the halfway point between 1 and the next float, but the 64-bit
        // float it is read as first is the halfway point itself: ties to even.
        ComponentCase{"1.0000000596046447753906250000008", 1.0f}));

struct StringDecodeCase {
  std::string json;
  std::string text;
};

void PrintTo(const StringDecodeCase& c, std::ostream* os) { *os << c.json; }

class StringEscapes : public testing::TestWithParam<StringDecodeCase> {};

TEST_P(StringEscapes, DecodeToUtf8) {
  EXPECT_EQ(data_value(GetParam().json), JsonValue(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, StringEscapes,
    testing::Values(StringDecodeCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
                    StringDecodeCase{R"("\u0041\u00e9\u20AC")", "A\xc3\xa9\xe2\x82\xac"},
                    StringDecodeCase{R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
                    StringDecodeCase{R"("\uDBFF\uDFFF")", "\xf4\x8f\xbf\xbf"},
                    StringDecodeCase{R"("a\u0000b")", std::string("a\0b", 3)},
                    StringDecodeCase{"\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\"",
                                     "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f"}));

std::string nested_payload(int levels) {
  return R"({"data":{"k":)" + std::string(static_cast<std::size_t>(levels), '[') +
         std::string(static_cast<std::size_t>(levels), ']') + "}}";
}

TEST(JsonDecode, NestingUpTo128LevelsIsAccepted) {
  // The payload object and its data object are the first two levels.
  EXPECT_EQ(error_of(parse_payload(nested_payload(126))), "");
  EXPECT_EQ(error_of(parse_payload(nested_payload(127))),
            "recursion limit exceeded at line 1 column 140");
}

// A deep input must end in the limit, never in a stack overflow.
TEST(JsonDecode, VeryDeepInputStopsAtTheLimit) {
  const std::string deep(1'000'000, '[');
  EXPECT_EQ(error_of(parse_payload(R"({"data":{"k":)" + deep)),
            "recursion limit exceeded at line 1 column 140");
  EXPECT_EQ(error_of(parse_wal_entry(R"({"skipped":)" + deep)),
            "recursion limit exceeded at line 1 column 139");
  EXPECT_EQ(error_of(parse_wal_entry("[[[[" + deep)),
            "invalid type: sequence, expected enum WalEntryKind at line 1 column 2");
}

TEST(JsonDecode, EncoderOutputRoundTrips) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<float> component_value(-1e6f, 1e6f);
  for (int i = 0; i < 200; ++i) {
    SCOPED_TRACE(i);
    WalEntry entry;
    entry.kind = static_cast<WalEntryKind>(1 + i % 4);
    entry.id = random();
    for (int c = 0; c < i % 17; ++c) entry.vector.push_back(component_value(random));
    entry.vector.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(random()) & 0x7f7fffffu));
    entry.payload.data["u"] = std::uint64_t{random()};
    entry.payload.data["i"] = -static_cast<std::int64_t>(random() >> 1) - 1;
    entry.payload.data["f"] = std::bit_cast<double>(random() & 0x7fefffffffffffffu);
    entry.payload.data["s"] = std::string("k\x01\"\\\n\xc3\xa9") + std::to_string(i);
    entry.payload.data["o"] = JsonObject{{"z", JsonArray{nullptr, true}}, {"a", 1e-7}};
    const std::string text = encode_wal_entry(entry);
    const auto decoded = parse_wal_entry(text);
    ASSERT_TRUE(decoded) << text << ": " << error_of(decoded);
    EXPECT_EQ(*decoded, entry);
    const std::string again = encode_wal_entry(*decoded);
    EXPECT_EQ(again.size(), text.size());
    const auto payload = parse_payload(encode_payload(entry.payload));
    ASSERT_TRUE(payload) << error_of(payload);
    EXPECT_EQ(encoded_payload_length(*payload), encode_payload(entry.payload).size());
  }
}

}  // namespace
}  // namespace velmoradb::json
