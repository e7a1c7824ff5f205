#include "engine/filter/filter.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "engine/filter_reference.h"
#include "engine/index/payload_index.h"

namespace velmoradb {
namespace {

JsonValue json(std::string_view text) {
  auto value = filter_reference::parse_json(text);
  EXPECT_TRUE(value.has_value()) << "bad JSON in the test: " << text;
  return value.value_or(JsonValue{});
}

Payload payload_of(std::string_view text) {
  const JsonValue object = json(text);
  Payload p;
  for (const auto& [key, value] : std::get<JsonObject>(object.v)) p.data.emplace(key, value);
  return p;
}

std::string compile_error(const JsonValue& where) {
  auto filter = Filter::compile(where);
  if (filter) return "(compiled)";
  EXPECT_EQ(filter.error().kind(), VectorError::Kind::CollectionError);
  return filter.error().text();
}

// ---- What each filter means: compiled, the reference and the index agree
// with the expected answer on a one-record collection.

struct MatchCase {
  const char* filter;
  const char* payload;
  bool expected;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << c.filter << " on " << c.payload;
}

class FilterMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(FilterMatch, CompiledReferenceAndIndexAgree) {
  const MatchCase& c = GetParam();
  const JsonValue where = json(c.filter);
  const Payload payload = payload_of(c.payload);
  auto filter = Filter::compile(where);
  ASSERT_TRUE(filter) << filter.error().text();
  EXPECT_EQ(filter->matches(payload), c.expected);
  EXPECT_EQ(filter_reference::matches(where, payload), c.expected);

  PayloadIndex index;
  ASSERT_TRUE(index.add(0, payload));
  SlotBitmap bits = index.evaluate(*filter, 1, [&](std::uint32_t) { return &payload; });
  EXPECT_EQ(bits.test(0), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Equality, FilterMatch, ::testing::Values(
    MatchCase{R"({})", R"({})", true},
    MatchCase{R"({"a": 1})", R"({"a": 1})", true},
    MatchCase{R"({"a": 1})", R"({"a": 1.0})", true},
    MatchCase{R"({"a": 1.0})", R"({"a": 1})", true},
    MatchCase{R"({"a": 0})", R"({"a": -0.0})", true},
    MatchCase{R"({"a": 1})", R"({"a": "1"})", false},
    MatchCase{R"({"a": 1})", R"({"a": true})", false},
    MatchCase{R"({"a": true})", R"({"a": 1})", false},
    MatchCase{R"({"a": false})", R"({"a": 0})", false},
    MatchCase{R"({"a": null})", R"({"a": null})", true},
    MatchCase{R"({"a": null})", R"({})", false},
    MatchCase{R"({"a": null})", R"({"a": false})", false},
    MatchCase{R"({"a": "x", "b": 2})", R"({"a": "x", "b": 2})", true},
    MatchCase{R"({"a": "x", "b": 2})", R"({"a": "x", "b": 3})", false},
    MatchCase{R"({"a": {"$eq": "x"}})", R"({"a": "x"})", true},
    MatchCase{R"({"a": "é"})", R"({"a": "é"})", true}));

// Integers and floats meet exactly: no rounding through double.
INSTANTIATE_TEST_SUITE_P(Numbers, FilterMatch, ::testing::Values(
    MatchCase{R"({"a": 9007199254740992.0})", R"({"a": 9007199254740993})", false},
    MatchCase{R"({"a": {"$gt": 9007199254740992.0}})", R"({"a": 9007199254740993})", true},
    MatchCase{R"({"a": {"$lt": 9007199254740993}})", R"({"a": 9007199254740992.0})", true},
    MatchCase{R"({"a": 18446744073709551615})", R"({"a": 1.8446744073709552e19})", false},
    MatchCase{R"({"a": {"$lt": 1.8446744073709552e19}})", R"({"a": 18446744073709551615})", true},
    MatchCase{R"({"a": -9223372036854775808})", R"({"a": -9.223372036854775808e18})", true},
    MatchCase{R"({"a": {"$gt": -9223372036854775807}})", R"({"a": -9.223372036854775808e18})",
              false},
    MatchCase{R"({"a": {"$gt": 0, "$lt": 1}})", R"({"a": 0.5})", true},
    MatchCase{R"({"a": {"$gte": 1, "$lte": 1}})", R"({"a": 1.0})", true},
    MatchCase{R"({"a": {"$gt": 1e300}})", R"({"a": 18446744073709551615})", false},
    MatchCase{R"({"a": {"$lt": -1e300}})", R"({"a": -9223372036854775808})", false},
    MatchCase{R"({"a": {"$gt": 2.5}})", R"({"a": 3})", true},
    MatchCase{R"({"a": {"$gt": -2.5}})", R"({"a": -2})", true},
    MatchCase{R"({"a": {"$lt": -2.5}})", R"({"a": -3})", true}));

// Strings by bytes; ranges never cross types.
INSTANTIATE_TEST_SUITE_P(Ranges, FilterMatch, ::testing::Values(
    MatchCase{R"({"a": {"$gt": "a"}})", R"({"a": "b"})", true},
    MatchCase{R"({"a": {"$gt": "a"}})", R"({"a": "a"})", false},
    MatchCase{R"({"a": {"$gte": "a"}})", R"({"a": "a"})", true},
    MatchCase{R"({"a": {"$gt": "z"}})", R"({"a": "é"})", true},
    MatchCase{R"({"a": {"$lt": "9"}})", R"({"a": "10"})", true},
    MatchCase{R"({"a": {"$lt": "a"}})", R"({"a": ""})", true},
    MatchCase{R"({"a": {"$gt": 1}})", R"({"a": "5"})", false},
    MatchCase{R"({"a": {"$lt": "5"}})", R"({"a": 1})", false},
    MatchCase{R"({"a": {"$gt": 0}})", R"({"a": true})", false},
    MatchCase{R"({"a": {"$lt": 0}})", R"({"a": null})", false},
    MatchCase{R"({"a": {"$gt": 0}})", R"({})", false}));

// A missing field or one of another type matches no positive operator, so
// the negations match it.
INSTANTIATE_TEST_SUITE_P(Negations, FilterMatch, ::testing::Values(
    MatchCase{R"({"a": {"$ne": 1}})", R"({})", true},
    MatchCase{R"({"a": {"$ne": 1}})", R"({"a": "1"})", true},
    MatchCase{R"({"a": {"$ne": 1}})", R"({"a": 1.0})", false},
    MatchCase{R"({"a": {"$ne": null}})", R"({})", true},
    MatchCase{R"({"a": {"$ne": null}})", R"({"a": null})", false},
    MatchCase{R"({"a": {"$nin": [1, 2]}})", R"({})", true},
    MatchCase{R"({"a": {"$nin": [1, 2]}})", R"({"a": 2})", false},
    MatchCase{R"({"a": {"$nin": []}})", R"({})", true},
    MatchCase{R"({"a": {"$in": []}})", R"({"a": 1})", false},
    MatchCase{R"({"a": {"$in": [null, "x", 2.0]}})", R"({"a": 2})", true},
    MatchCase{R"({"a": {"$in": [false]}})", R"({"a": 0})", false},
    MatchCase{R"({"a": {"$not": {"$gt": 5}}})", R"({})", true},
    MatchCase{R"({"a": {"$not": {"$gt": 5}}})", R"({"a": 7})", false},
    MatchCase{R"({"a": {"$not": {"$gt": 5, "$lt": 9}}})", R"({"a": 9})", true},
    MatchCase{R"({"$not": {"a": 1}})", R"({"a": 2})", true},
    MatchCase{R"({"$not": {"a": 1}})", R"({"a": 1})", false}));

INSTANTIATE_TEST_SUITE_P(Exists, FilterMatch, ::testing::Values(
    MatchCase{R"({"a": {"$exists": true}})", R"({"a": null})", true},
    MatchCase{R"({"a": {"$exists": true}})", R"({"a": []})", true},
    MatchCase{R"({"a": {"$exists": true}})", R"({"b": 1})", false},
    MatchCase{R"({"a": {"$exists": false}})", R"({"b": 1})", true},
    MatchCase{R"({"a.b": {"$exists": true}})", R"({"a": {"b": {}}})", true},
    MatchCase{R"({"a.b": {"$exists": false}})", R"({"a": {"c": 1}})", true}));

// A dotted name reaches into objects, not into lists nor through scalars,
// and a key holding a dot cannot be named.
INSTANTIATE_TEST_SUITE_P(DottedNames, FilterMatch, ::testing::Values(
    MatchCase{R"({"author.name": "Ann"})", R"({"author": {"name": "Ann"}})", true},
    MatchCase{R"({"author.name": "Ann"})", R"({"author": "Ann"})", false},
    MatchCase{R"({"a.b.c": 3})", R"({"a": {"b": {"c": 3}}})", true},
    MatchCase{R"({"a.b.c": {"$ne": 3}})", R"({"a": {"b": 3}})", true},
    MatchCase{R"({"a.b": 1})", R"({"a": [{"b": 1}]})", false},
    MatchCase{R"({"a.b": 1})", R"({"a.b": 1})", false}));

// A list matches a positive operator when one element does; $ne and $nin on
// a list mean that no element equals.
INSTANTIATE_TEST_SUITE_P(Lists, FilterMatch, ::testing::Values(
    MatchCase{R"({"tags": "b"})", R"({"tags": ["a", "b"]})", true},
    MatchCase{R"({"tags": "c"})", R"({"tags": ["a", "b"]})", false},
    MatchCase{R"({"tags": {"$in": ["c", "a"]}})", R"({"tags": ["a", "b"]})", true},
    MatchCase{R"({"tags": {"$ne": "a"}})", R"({"tags": ["a", "b"]})", false},
    MatchCase{R"({"tags": {"$ne": "c"}})", R"({"tags": ["a", "b"]})", true},
    MatchCase{R"({"tags": {"$nin": ["b"]}})", R"({"tags": ["a", "b"]})", false},
    MatchCase{R"({"n": {"$gt": 5}})", R"({"n": [1, 7]})", true},
    MatchCase{R"({"n": {"$gt": 5, "$lt": 3}})", R"({"n": [1, 7]})", true},
    MatchCase{R"({"n": {"$gt": 5}})", R"({"n": []})", false},
    MatchCase{R"({"n": 1})", R"({"n": [[1]]})", false},
    MatchCase{R"({"n": 1})", R"({"n": [{"a": 1}]})", false},
    MatchCase{R"({"n": null})", R"({"n": [null]})", true}));

INSTANTIATE_TEST_SUITE_P(Combinators, FilterMatch, ::testing::Values(
    MatchCase{R"({"$and": [{"a": 1}, {"b": 2}]})", R"({"a": 1, "b": 2})", true},
    MatchCase{R"({"$and": [{"a": 1}, {"b": 2}]})", R"({"a": 1})", false},
    MatchCase{R"({"$or": [{"a": 1}, {"b": 2}]})", R"({"b": 2})", true},
    MatchCase{R"({"$or": [{"a": 1}, {"b": 2}]})", R"({"a": 2})", false},
    MatchCase{R"({"$or": [{"a": 1}], "b": 2})", R"({"a": 1})", false},
    MatchCase{R"({"$or": [{}]})", R"({})", true},
    MatchCase{R"({"$not": {}})", R"({})", false},
    MatchCase{R"({"$and": [{"$or": [{"a": 1}, {"a": 2}]}, {"$not": {"b": 3}}]})",
              R"({"a": 2, "b": 4})", true}));

// ---- Errors: named, with the place, before any record is read.

struct ErrorCase {
  const char* filter;
  const char* message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.filter; }

class FilterError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FilterError, IsNamedWithItsPlace) {
  EXPECT_EQ(compile_error(json(GetParam().filter)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Malformed, FilterError, ::testing::Values(
    ErrorCase{R"([])", "a filter must be an object, not a list at where"},
    ErrorCase{R"("a")", "a filter must be an object, not a string at where"},
    ErrorCase{R"({"a": {"$foo": 1}})", "unknown operator '$foo' at where['a']"},
    ErrorCase{R"({"$foo": 1})", "unknown operator '$foo' at where"},
    ErrorCase{R"({"$gt": 1})",
              "operator '$gt' applies to a field, as in {\"field\": {$gt: ...}} at where"},
    ErrorCase{R"({"tags": {"$in": 5}})", "$in needs a list, not a number at where['tags']"},
    ErrorCase{R"({"tags": {"$nin": [1, [2]]}})",
              "$nin element 1 needs null, a boolean, a number or a string, not a list "
              "at where['tags']"},
    ErrorCase{R"({"a": {"$gt": true}})", "$gt needs a number or a string, not a boolean at where['a']"},
    ErrorCase{R"({"a": {"$lte": null}})", "$lte needs a number or a string, not null at where['a']"},
    ErrorCase{R"({"a": {"$eq": {"b": 1}}})",
              "$eq needs null, a boolean, a number or a string, not an object at where['a']"},
    ErrorCase{R"({"a": [1, 2]})",
              "a field's value must be null, a boolean, a number, a string or an object of "
              "operators, not a list (use $in to match any of several values) at where['a']"},
    ErrorCase{R"({"a": {}})", "an empty object of operators at where['a']"},
    ErrorCase{R"({"a": {"b": 1}})",
              "'b' is not an operator (a nested field is reached with a dotted name, as in "
              "'a.b') at where['a']"},
    ErrorCase{R"({"a": {"$exists": 1}})", "$exists needs true or false, not a number at where['a']"},
    ErrorCase{R"({"a": {"$not": 1}})", "$not needs an object of operators, not a number at where['a']"},
    ErrorCase{R"({"a": {"$not": {"$bad": 1}}})", "unknown operator '$bad' at where['a']['$not']"},
    ErrorCase{R"({"a": {"$or": [{"b": 1}]}})",
              "operator '$or' combines filters and cannot follow a field at where['a']"},
    ErrorCase{R"({"$and": []})", "$and needs a non-empty list of filters at where['$and']"},
    ErrorCase{R"({"$or": {}})", "$or needs a non-empty list of filters at where['$or']"},
    ErrorCase{R"({"$or": [{"a": 1}, 5]})", "a filter must be an object, not a number at where['$or'][1]"},
    ErrorCase{R"({"$not": [1]})", "a filter must be an object, not a list at where['$not']"},
    ErrorCase{R"({"$and": [{"$or": [{"x": {"$in": 1}}]}]})",
              "$in needs a list, not a number at where['$and'][0]['$or'][0]['x']"},
    ErrorCase{R"({"a..b": 1})", "empty part in a field name at where['a..b']"},
    ErrorCase{R"({".a": 1})", "empty part in a field name at where['.a']"},
    ErrorCase{R"({"a.": 1})", "empty part in a field name at where['a.']"},
    ErrorCase{R"({"": 1})", "empty part in a field name at where['']"},
    ErrorCase{R"({"it's\\": {"$x": 1}})", "unknown operator '$x' at where['it\\'s\\\\']"}));

TEST(FilterErrorText, KeysAreEscapedAndCutIntoValidUtf8) {
  JsonObject where;
  where["\xff\x01\xc3"] = JsonObject{{"$x", 1}};
  EXPECT_EQ(compile_error(where), "unknown operator '$x' at where['\\xff\\x01\\xc3']");
  where.clear();
  where[std::string(59, 'k') + "\xc3\xa9" + "tail"] = JsonObject{{"$x", 1}};
  EXPECT_EQ(compile_error(where),
            "unknown operator '$x' at where['" + std::string(59, 'k') + "\xc3\xa9...']");
}

TEST(FilterErrorText, NonFiniteOperandsAreRefused) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(compile_error(JsonObject{{"a", inf}}), "equality needs a finite number at where['a']");
  EXPECT_EQ(compile_error(JsonObject{{"a", JsonObject{{"$in", JsonArray{1, std::nan("")}}}}}),
            "$in element 1 needs a finite number at where['a']");
}

JsonValue nested_not(int levels) {
  JsonValue filter = JsonObject{{"a", 1}};
  for (int i = 0; i < levels; ++i) filter = JsonObject{{"$not", filter}};
  return filter;
}

TEST(FilterLimits, NestingIsBounded) {
  EXPECT_TRUE(Filter::compile(nested_not(Filter::kMaxDepth)));
  const std::string error = compile_error(nested_not(Filter::kMaxDepth + 1));
  EXPECT_EQ(error.rfind("filter nested deeper than 32 levels at where['$not']['$not']", 0), 0u)
      << error;
  // Field-level $not counts as a level too.
  JsonValue ops = JsonObject{{"$eq", 1}};
  for (int i = 0; i <= Filter::kMaxDepth; ++i) ops = JsonObject{{"$not", ops}};
  EXPECT_NE(compile_error(JsonObject{{"a", ops}}).find("nested deeper"), std::string::npos);
}

TEST(FilterLimits, FieldNamesHaveAtMost128Parts) {
  std::string name = "p";
  for (std::size_t i = 1; i < Filter::kMaxPathParts; ++i) name += ".p";
  EXPECT_TRUE(Filter::compile(JsonObject{{name, 1}}));
  EXPECT_EQ(compile_error(JsonObject{{name + ".p", 1}}).rfind("field name of more than 128 parts", 0),
            0u);
}

TEST(FilterCompile, NegationsAndDuplicateOperandsCompileToTheirPositiveForm) {
  auto filter = Filter::compile(json(R"({"a": {"$nin": [2, 1, 2.0, "x", 1]}})"));
  ASSERT_TRUE(filter);
  const FilterNode& root = filter->root();
  ASSERT_EQ(root.kind, FilterNode::Kind::Not);
  const FilterNode& in = root.children.at(0);
  EXPECT_EQ(in.kind, FilterNode::Kind::In);
  EXPECT_EQ(in.operands.size(), 3u);  // 1, 2, "x": 2 and 2.0 are one value
  EXPECT_TRUE(Filter().matches_everything());
  EXPECT_TRUE(Filter::compile(json("{}"))->matches_everything());
}

}  // namespace
}  // namespace velmoradb
