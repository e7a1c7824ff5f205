// The exact bytes of the compact and pretty encoders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "storage/json/json.h"

namespace velmoradb::json {
namespace {

std::string entry_with_vector(std::vector<float> vector) {
  WalEntry entry;
  entry.kind = WalEntryKind::Insert;
  entry.id = 1;
  entry.vector = std::move(vector);
  return encode_wal_entry(entry);
}

std::string expected_entry(const std::string& vector_text) {
  return R"({"kind":"Insert","id":1,"vector":)" + vector_text + R"(,"payload":{"data":{}}})";
}

std::string value_text(const JsonValue& value) {
  std::string out;
  append_value(out, value);
  return out;
}

TEST(JsonEncode, InsertEntryIsTheSixtyFiveByteText) {
  const std::string text = entry_with_vector({1.0f, 2.5f});
  EXPECT_EQ(text, R"({"kind":"Insert","id":1,"vector":[1.0,2.5],"payload":{"data":{}}})");
  EXPECT_EQ(text.size(), 65u);
}

TEST(JsonEncode, CheckpointEntryIsTheSixtyTwoByteText) {
  WalEntry entry;
  entry.kind = WalEntryKind::Checkpoint;
  const std::string text = encode_wal_entry(entry);
  EXPECT_EQ(text, R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}})");
  EXPECT_EQ(text.size(), 62u);
}

TEST(JsonEncode, EveryKindIsWrittenByName) {
  for (const auto& [kind, name] : std::vector<std::pair<WalEntryKind, std::string>>{
           {WalEntryKind::Insert, "Insert"},
           {WalEntryKind::Update, "Update"},
           {WalEntryKind::Delete, "Delete"},
           {WalEntryKind::Checkpoint, "Checkpoint"}}) {
    WalEntry entry;
    entry.kind = kind;
    entry.id = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(encode_wal_entry(entry), R"({"kind":")" + name +
                                           R"(","id":18446744073709551615,"vector":[],"payload":{"data":{}}})");
  }
}

TEST(JsonEncode, MetaIsTheEightyOneBytePrettyText) {
  const std::string text = encode_meta({128, "Cosine", 0, 1});
  EXPECT_EQ(text,
            "{\n"
            "  \"dimension\": 128,\n"
            "  \"metric\": \"Cosine\",\n"
            "  \"vector_count\": 0,\n"
            "  \"next_id\": 1\n"
            "}");
  EXPECT_EQ(text.size(), 81u);
}

TEST(JsonEncode, MetaEscapesItsMetricText) {
  EXPECT_EQ(encode_meta({0, "a\"b\n", 7, 18446744073709551615u}),
            "{\n  \"dimension\": 0,\n  \"metric\": \"a\\\"b\\n\",\n  \"vector_count\": 7,\n"
            "  \"next_id\": 18446744073709551615\n}");
}

struct VectorCase {
  std::vector<float> vector;
  std::string text;
};

void PrintTo(const VectorCase& c, std::ostream* os) { *os << c.text; }

class JsonVectorText : public testing::TestWithParam<VectorCase> {};

TEST_P(JsonVectorText, IsWrittenExactly) {
  EXPECT_EQ(entry_with_vector(GetParam().vector), expected_entry(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(
    EncodingTable, JsonVectorText,
    testing::Values(VectorCase{{1.0f, 2.5f}, "[1.0,2.5]"}, VectorCase{{0.1f}, "[0.1]"},
                    VectorCase{{-0.0f}, "[-0.0]"}, VectorCase{{1e-7f, 1e13f}, "[1e-7,1e+13]"},
                    VectorCase{{std::nanf("")}, "[null]"},
                    VectorCase{{std::numeric_limits<float>::infinity()}, "[null]"},
                    VectorCase{{-std::numeric_limits<float>::infinity(), 1.0f}, "[null,1.0]"},
                    VectorCase{{}, "[]"}));

TEST(JsonEncode, EmptyPayloadIsElevenBytes) {
  EXPECT_EQ(encode_payload(Payload{}), R"({"data":{}})");
  EXPECT_EQ(encoded_payload_length(Payload{}), 11u);
}

TEST(JsonEncode, PayloadWithOneStringMember) {
  Payload payload;
  payload.data["tag"] = "a";
  EXPECT_EQ(encode_payload(payload), R"({"data":{"tag":"a"}})");
}

TEST(JsonEncode, NestedObjectsAreWrittenSortedByKey) {
  const auto payload = parse_payload(R"({"data":{"o":{"b":1,"a":2,"B":[{"y":0,"x":1}]}}})");
  ASSERT_TRUE(payload);
  EXPECT_EQ(encode_payload(*payload), R"({"data":{"o":{"B":[{"x":1,"y":0}],"a":2,"b":1}}})");
}

TEST(JsonEncode, TopLevelDataMembersMayComeInAnyOrder) {
  Payload payload;
  payload.data["one"] = std::uint64_t{1};
  payload.data["two"] = std::uint64_t{2};
  const std::string text = encode_payload(payload);
  EXPECT_TRUE(text == R"({"data":{"one":1,"two":2}})" || text == R"({"data":{"two":2,"one":1}})")
      << text;
  for (const char* order : {R"({"data":{"one":1,"two":2}})", R"({"data":{"two":2,"one":1}})"}) {
    const auto decoded = parse_payload(order);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, payload);
  }
}

struct StringCase {
  std::string text;
  std::string json;
};

void PrintTo(const StringCase& c, std::ostream* os) { *os << c.json; }

class JsonStringText : public testing::TestWithParam<StringCase> {};

TEST_P(JsonStringText, IsEscapedExactly) {
  std::string out;
  append_string(out, GetParam().text);
  EXPECT_EQ(out, GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, JsonStringText,
    testing::Values(StringCase{"", R"("")"}, StringCase{"plain", R"("plain")"},
                    StringCase{"a\nb\tc", R"("a\nb\tc")"}, StringCase{"\x1b", R"("\u001b")"},
                    StringCase{"\x01", R"("\u0001")"}, StringCase{"\x1f", R"("\u001f")"},
                    StringCase{std::string(1, '\0'), R"("\u0000")"},
                    StringCase{"\b\f\r", R"("\b\f\r")"}, StringCase{"\"\\", R"("\"\\")"},
                    StringCase{"\xc3\xa9/\x7f", "\"\xc3\xa9/\x7f\""},
                    StringCase{"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""}));

TEST(JsonEncode, EveryControlByteHasItsEscape) {
  const char* const named[] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               "\\b",   "\\t",   "\\n",   nullptr, "\\f",   "\\r"};
  for (int byte = 0; byte < 0x20; ++byte) {
    SCOPED_TRACE(byte);
    std::string out;
    append_string(out, std::string(1, static_cast<char>(byte)));
    char unicode[8];
    std::snprintf(unicode, sizeof unicode, "\\u%04x", byte);
    const char* escape = byte < 14 && named[byte] != nullptr ? named[byte] : unicode;
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on literal + std::string&&.
    EXPECT_EQ(out, std::string("\"") + escape + "\"");
  }
}

struct ValueCase {
  JsonValue value;
  std::string text;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << c.text; }

class JsonValueText : public testing::TestWithParam<ValueCase> {};

TEST_P(JsonValueText, IsWrittenCompactly) { EXPECT_EQ(value_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, JsonValueText,
    testing::Values(
        ValueCase{nullptr, "null"}, ValueCase{true, "true"}, ValueCase{false, "false"},
        ValueCase{std::uint64_t{0}, "0"},
        ValueCase{std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
        ValueCase{std::int64_t{-1}, "-1"},
        ValueCase{std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        ValueCase{2.5, "2.5"}, ValueCase{1e16, "1e+16"}, ValueCase{-0.0, "-0.0"},
        ValueCase{std::nan(""), "null"}, ValueCase{JsonArray{}, "[]"},
        ValueCase{JsonObject{}, "{}"},
        ValueCase{JsonArray{std::uint64_t{1}, "x", JsonArray{nullptr}, JsonObject{{"k", false}}},
                  R"([1,"x",[null],{"k":false}])"}));

// The data file recomputes a payload's length without building its text.
TEST(JsonEncode, EncodedPayloadLengthMatchesTheText) {
  std::vector<Payload> payloads(6);
  payloads[1].data["tag"] = "a";
  payloads[2].data["esc\n\"\x01"] = "\\\t\x1f\xc3\xa9";
  payloads[3].data["n"] = std::int64_t{-42};
  payloads[3].data["u"] = std::uint64_t{18446744073709551615u};
  payloads[3].data["f"] = 1.0 / 3.0;
  payloads[3].data["g"] = std::numeric_limits<double>::infinity();
  payloads[4].data["nested"] =
      JsonObject{{"a", JsonArray{true, false, nullptr, 1e-300, JsonArray{}}}, {"b", JsonObject{}}};
  payloads[5].data["x"] = JsonArray{"", -0.0, 123456789.0, std::uint64_t{7}};
  payloads[5].data["y"] = JsonObject{{"", ""}};
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(encoded_payload_length(payloads[i]), encode_payload(payloads[i]).size());
  }
}

TEST(JsonEncode, EntryPayloadIsEncodedInPlace) {
  WalEntry entry;
  entry.kind = WalEntryKind::Update;
  entry.id = 9;
  entry.vector = {-1.5f, 3.4028235e38f};
  entry.payload.data["k"] = JsonArray{std::uint64_t{1}, 0.5};
  EXPECT_EQ(encode_wal_entry(entry),
            R"({"kind":"Update","id":9,"vector":[-1.5,3.4028235e+38],"payload":{"data":{"k":[1,0.5]}}})");
}

}  // namespace
}  // namespace velmoradb::json
