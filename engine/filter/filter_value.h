// The values a filter compares with, and how payload values compare with
// them.
//
// Numbers compare by exact value whatever form they were stored in: the
// unsigned and signed 64-bit integers and the 64-bit floats of JsonValue all
// meet on the real line, without rounding (2^53 + 1 is greater than the
// float 2^53). Strings compare by their bytes (UTF-8 byte order equals code
// point order). Booleans and null only equal themselves. Values of different
// types never compare: a filter on numbers does not match a string.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "engine/index/payload.h"

namespace velmoradb {

// A JSON number by value. Canonical: a value has exactly one form (an
// integer for every integral value from -2^63 to 2^64 - 1, whichever form it
// came in, else a float), so equal numbers are equal Numbers and a sorted map
// keyed by Number merges 1, 1.0 and -0.0 with 0. NaN is not a Number.
class Number {
 public:
  static Number from_int(std::int64_t value) { return Number(static_cast<Int>(value)); }
  static Number from_uint(std::uint64_t value) { return Number(static_cast<Int>(value)); }
  // Nothing for NaN.
  static std::optional<Number> from_double(double value);
  // Nothing when `value` is not a number, or is NaN.
  static std::optional<Number> of(const JsonValue& value);

  bool is_integer() const { return integer_; }

  friend std::strong_ordering operator<=>(const Number& a, const Number& b);
  friend bool operator==(const Number& a, const Number& b) { return (a <=> b) == 0; }

 private:
  using Int = __int128;  // holds every int64 and every uint64
  explicit Number(Int value) : int_(value), integer_(true) {}
  explicit Number(double value) : float_(value), integer_(false) {}

  Int int_ = 0;
  double float_ = 0;  // when !integer_: never integral within the integer range
  bool integer_;
};

// A filter operand: null, a boolean, a number or a string.
struct FilterScalar {
  std::variant<std::nullptr_t, bool, Number, std::string> v;

  bool operator==(const FilterScalar& o) const { return v == o.v; }
};

// The type order null < booleans < numbers < strings, then the value within
// a type (false < true). A total order: operand lists are sorted by it.
std::strong_ordering operator<=>(const FilterScalar& a, const FilterScalar& b);

// The scalar of a payload value, if it is one: nothing for a list, an object
// or NaN. Strings are copied; prefer compare() on hot paths.
std::optional<FilterScalar> scalar_of(const JsonValue& value);

// How a payload value stands against an operand in the order above; nothing
// when the value is a list, an object or NaN.
std::optional<std::strong_ordering> compare(const JsonValue& value, const FilterScalar& operand);

// compare() when the value is of the operand's type, else nothing: what
// every operator asks, since values of different types never match.
std::optional<std::strong_ordering> compare_same_type(const JsonValue& value,
                                                      const FilterScalar& operand);

// The type's place in the order above: 0 null, 1 boolean, 2 number, 3
// string; -1 for a list, an object or NaN.
int type_rank(const JsonValue& value);
inline int type_rank(const FilterScalar& s) { return static_cast<int>(s.v.index()); }

}  // namespace velmoradb
