// Every decoder error with its full text and position, and the decoder's
// behaviour on damaged input.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "storage/json/json.h"

namespace velmoradb::json {
namespace {

enum class Record { Payload, WalEntry, Meta };

// What the record's parser says of `text`.
Status parse(Record record, const std::string& text) {
  switch (record) {
    case Record::Payload:
      if (auto r = parse_payload(text); !r) return r.error();
      return {};
    case Record::WalEntry:
      if (auto r = parse_wal_entry(text); !r) return r.error();
      return {};
    case Record::Meta:
      if (auto r = parse_meta(text); !r) return r.error();
      return {};
  }
  return {};
}

struct ErrorCase {
  Record record;
  std::string text;
  std::string error;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.text; }

class DecoderErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(DecoderErrors, HaveTheirTextAndPosition) {
  const Status parsed = parse(GetParam().record, GetParam().text);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().text(), GetParam().error);
  EXPECT_EQ(parsed.error().kind(), VectorError::Kind::IoError);
  EXPECT_TRUE(parsed.error().corrupt());
}

constexpr Record P = Record::Payload;
constexpr Record W = Record::WalEntry;
constexpr Record M = Record::Meta;

INSTANTIATE_TEST_SUITE_P(
    RecordRules, DecoderErrors,
    testing::Values(
        ErrorCase{W, R"({"kind":"Insert","vector":[1.0,2.5],"payload":{"data":{}}})",
                  "missing field `id` at line 1 column 58"},
        ErrorCase{P, "{}", "missing field `data` at line 1 column 2"},
        ErrorCase{M, R"({"dimension":1,"metric":"","vector_count":0})",
                  "missing field `next_id` at line 1 column 44"},
        ErrorCase{W, R"({"kind":"Insert","id":1,"vector":[],"payload":{}})",
                  "missing field `data` at line 1 column 48"},
        ErrorCase{P, R"({"data":{},"data":{}})", "duplicate field `data` at line 1 column 17"},
        ErrorCase{M, R"({"dimension":1,"dimension":1,"metric":"","vector_count":0,"next_id":0})",
                  "duplicate field `dimension` at line 1 column 26"},
        ErrorCase{M, R"([128,"Cosine",0])",
                  "invalid length 3, expected struct CollectionMeta with 4 elements at line 1 column 16"},
        ErrorCase{W, R"(["Insert",1])",
                  "invalid length 2, expected struct WalEntry with 4 elements at line 1 column 12"},
        ErrorCase{P, "[]", "invalid length 0, expected struct Payload with 1 element at line 1 column 2"},
        ErrorCase{W, R"({"kind":"Insertt","id":1})",
                  "unknown variant `Insertt`, expected one of `Insert`, `Update`, `Delete`, "
                  "`Checkpoint` at line 1 column 17"},
        ErrorCase{W, R"({"kind":"insert"})",
                  "unknown variant `insert`, expected one of `Insert`, `Update`, `Delete`, "
                  "`Checkpoint` at line 1 column 16"},
        ErrorCase{W, R"({"kind":"Insert","id":1.5})",
                  "invalid type: floating point `1.5`, expected u64 at line 1 column 25"},
        ErrorCase{W, R"({"kind":"Insert","id":1,"vector":[null]})",
                  "invalid type: null, expected f32 at line 1 column 38"},
        ErrorCase{W, R"({"kind":"Insert","id":1,"vector":[{}]})",
                  "invalid type: map, expected f32 at line 1 column 35"},
        ErrorCase{W, R"({"kind":"Insert","id":1,"vector":["1"]})",
                  "invalid type: string \"1\", expected f32 at line 1 column 37"},
        ErrorCase{W, R"({"kind":"Insert","id":"x"})",
                  "invalid type: string \"x\", expected u64 at line 1 column 25"},
        ErrorCase{W, R"({"kind":"Insert","id":true})",
                  "invalid type: boolean `true`, expected u64 at line 1 column 26"},
        ErrorCase{W, R"({"kind":"Insert","id":1,"vector":5})",
                  "invalid type: integer `5`, expected a sequence at line 1 column 34"},
        ErrorCase{W, R"({"kind":1})", "invalid type: integer `1`, expected enum WalEntryKind at line 1 column 9"},
        ErrorCase{W, R"("entry")", "invalid type: string \"entry\", expected struct WalEntry at line 1 column 7"},
        ErrorCase{P, R"({"data":[]})", "invalid type: sequence, expected a map at line 1 column 9"},
        ErrorCase{M, R"({"dimension":1,"metric":null})",
                  "invalid type: null, expected a string at line 1 column 28"},
        ErrorCase{M, R"({"dimension":128.0})",
                  "invalid type: floating point `128.0`, expected usize at line 1 column 18"},
        ErrorCase{M, R"({"dimension":1e2})",
                  "invalid type: floating point `100.0`, expected usize at line 1 column 16"},
        ErrorCase{M, R"({"dimension":-1})", "invalid value: integer `-1`, expected usize at line 1 column 15"},
        ErrorCase{W, R"({"kind":"Insert","id":-1})",
                  "invalid value: integer `-1`, expected u64 at line 1 column 24"},
        ErrorCase{W, R"({"kind":"Insert","id":18446744073709551616})",
                  "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 42"},
        ErrorCase{M, R"({"dimension":1,"metric":"","vector_count":0,"next_id":-0})",
                  "invalid value: integer `-0`, expected u64 at line 1 column 56"},
        ErrorCase{P, R"({"data":{}}x)", "trailing characters at line 1 column 12"},
        ErrorCase{M, std::string("{\n  \"dimension\": 128,\n  \"metric\": \"Cosine\",\n") +
                         "  \"vector_count\": 0,\n  \"next_id\": 1\n}\n}",
                  "trailing characters at line 7 column 1"},
        ErrorCase{M, "{\n  \"dimension\": 128,\n  \"metric\": 5,",
                  "invalid type: integer `5`, expected a string at line 3 column 13"},
        ErrorCase{W, R"(["Insert",1,[],{"data":{}},5])", "trailing characters at line 1 column 28"}));

INSTANTIATE_TEST_SUITE_P(
    Syntax, DecoderErrors,
    testing::Values(
        ErrorCase{M, "", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{M, " \n ", "EOF while parsing a value at line 2 column 1"},
        ErrorCase{P, R"({"data":)", "EOF while parsing a value at line 1 column 8"},
        ErrorCase{P, R"({"data":{})", "EOF while parsing an object at line 1 column 10"},
        ErrorCase{P, R"({"data":{"a":[1)", "EOF while parsing a list at line 1 column 15"},
        ErrorCase{P, R"({"data":{"a":"x)", "EOF while parsing a string at line 1 column 15"},
        ErrorCase{P, R"({"data" {}})", "expected `:` at line 1 column 9"},
        ErrorCase{P, R"({"data":{} "x":1})", "expected `,` or `}` at line 1 column 12"},
        ErrorCase{P, R"({"data":{"a":[1 2]}})", "expected `,` or `]` at line 1 column 17"},
        ErrorCase{P, R"({"data":{"a":}})", "expected value at line 1 column 14"},
        ErrorCase{P, R"({"data":{"a":nul}})", "expected ident at line 1 column 17"},
        ErrorCase{P, R"({"data":{"a":tru)", "EOF while parsing a value at line 1 column 16"},
        ErrorCase{P, R"({"data":{"a":"\x"}})", "invalid escape at line 1 column 16"},
        ErrorCase{P, R"({"data":{"a":"\u12g4"}})", "invalid escape at line 1 column 19"},
        ErrorCase{P, R"({"data":{"a":01}})", "invalid number at line 1 column 15"},
        ErrorCase{P, R"({"data":{"a":-}})", "invalid number at line 1 column 15"},
        ErrorCase{P, R"({"data":{"a":1.}})", "invalid number at line 1 column 16"},
        ErrorCase{P, R"({"data":{"a":1e+}})", "invalid number at line 1 column 17"},
        ErrorCase{P, R"({"data":{"a":+1}})", "expected value at line 1 column 14"},
        ErrorCase{P, R"({"data":{"a":.5}})", "expected value at line 1 column 14"},
        ErrorCase{P, R"({"data":{"a":1e400}})", "number out of range at line 1 column 18"},
        ErrorCase{W, R"({"kind":"Insert","id":0,"vector":[-1e999]})",
                  "number out of range at line 1 column 40"},
        ErrorCase{P, "{\"data\":{\"a\":\"x\ty\"}}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 16"},
        ErrorCase{P, R"({"data":{1:2}})", "key must be a string at line 1 column 10"},
        ErrorCase{P, R"({"data":{"a":1,}})", "trailing comma at line 1 column 16"},
        ErrorCase{P, R"({"data":{"a":[1,]}})", "trailing comma at line 1 column 17"},
        ErrorCase{P, R"({"data":{"a":"\ud800"}})", "lone leading surrogate in hex escape at line 1 column 21"},
        ErrorCase{P, R"({"data":{"a":"\ud800\u0041"}})",
                  "lone leading surrogate in hex escape at line 1 column 26"},
        ErrorCase{P, R"({"data":{"a":"\udc00"}})", "lone trailing surrogate in hex escape at line 1 column 21"},
        ErrorCase{P, "{\"data\":{\"a\":\"\xff\"}}", "invalid unicode code point at line 1 column 15"},
        ErrorCase{P, "{\"data\":{\"a\":\"\xc0\x80\"}}", "invalid unicode code point at line 1 column 15"},
        ErrorCase{P, "{\"data\":{\"a\":\"\xed\xa0\x80\"}}", "invalid unicode code point at line 1 column 15"},
        ErrorCase{P, "{\"data\":{\"a\":\"\xe2\x82", "invalid unicode code point at line 1 column 15"},
        ErrorCase{P, "{\"data\":{}}\f", "trailing characters at line 1 column 12"},
        ErrorCase{P, "\xef\xbb\xbf{\"data\":{}}", "expected value at line 1 column 1"}));

// Damaged log entries must end in an error text, never in a crash or an
// out-of-bounds read (run under the sanitizers to see the latter).
TEST(DecoderRobustness, DamagedTextsFailCleanly) {
  const std::string valid =
      R"({"kind":"Insert","id":1,"vector":[1.0,2.5e-3,-0.0],"payload":{"data":{"k":[1,-2,"\u00e9\ud83d\ude00",{"x":null,"y":true}]}}})";
  for (std::size_t cut = 0; cut < valid.size(); ++cut) {
    const auto entry = parse_wal_entry(valid.substr(0, cut));
    ASSERT_FALSE(entry) << cut;
    EXPECT_NE(entry.error().text().find(" at line 1 column "), std::string::npos) << entry.error().text();
  }
  std::mt19937_64 random(11);
  for (int i = 0; i < 50'000; ++i) {
    std::string text = valid;
    for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips) {
      text[random() % text.size()] = static_cast<char>(random());
    }
    if (const auto entry = parse_wal_entry(text); !entry) {
      EXPECT_NE(entry.error().text().find(" at line "), std::string::npos) << entry.error().text();
    }
  }
}

}  // namespace
}  // namespace velmoradb::json
