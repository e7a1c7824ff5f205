#include "engine/filter/filter_value.h"

#include <cmath>
#include <string_view>

namespace velmoradb {
namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

template <typename T>
std::strong_ordering three_way(const T& a, const T& b) {
  if (a < b) return std::strong_ordering::less;
  if (b < a) return std::strong_ordering::greater;
  return std::strong_ordering::equal;
}

}  // namespace

std::optional<Number> Number::from_double(double value) {
  if (std::isnan(value)) return std::nullopt;
  // Integral values in the integer range become integers (so -0.0 becomes
  // 0); the conversion is exact there.
  if (value >= -kTwoTo63 && value < kTwoTo64 && value == std::trunc(value)) {
    return Number(static_cast<Int>(value));
  }
  return Number(value);
}

std::optional<Number> Number::of(const JsonValue& value) {
  if (const auto* u = std::get_if<std::uint64_t>(&value.v)) return from_uint(*u);
  if (const auto* i = std::get_if<std::int64_t>(&value.v)) return from_int(*i);
  if (const auto* d = std::get_if<double>(&value.v)) return from_double(*d);
  return std::nullopt;
}

std::strong_ordering operator<=>(const Number& a, const Number& b) {
  if (a.integer_ && b.integer_) return three_way(a.int_, b.int_);
  if (!a.integer_ && !b.integer_) return three_way(a.float_, b.float_);
  if (!a.integer_) return 0 <=> (b <=> a);  // reversed
  // An integer against a float that is either outside the integer range
  // (infinities included) or not integral: never equal, and floor() of a
  // float inside the range is exact, so the comparison is exact too.
  const double f = b.float_;
  if (f >= kTwoTo64) return std::strong_ordering::less;
  if (f < -kTwoTo63) return std::strong_ordering::greater;
  return a.int_ <= static_cast<Number::Int>(std::floor(f)) ? std::strong_ordering::less
                                                            : std::strong_ordering::greater;
}

std::strong_ordering operator<=>(const FilterScalar& a, const FilterScalar& b) {
  if (a.v.index() != b.v.index()) return a.v.index() <=> b.v.index();
  switch (a.v.index()) {
    case 1: return three_way(std::get<bool>(a.v), std::get<bool>(b.v));
    case 2: return std::get<Number>(a.v) <=> std::get<Number>(b.v);
    case 3: return std::string_view(std::get<std::string>(a.v)) <=>
                   std::string_view(std::get<std::string>(b.v));
    default: return std::strong_ordering::equal;  // null
  }
}

int type_rank(const JsonValue& value) {
  switch (value.v.index()) {
    case 0: return 0;  // null
    case 1: return 1;  // bool
    case 2:
    case 3: return 2;
    case 4: return std::isnan(std::get<double>(value.v)) ? -1 : 2;
    case 5: return 3;  // string
    default: return -1;  // list, object
  }
}

std::optional<FilterScalar> scalar_of(const JsonValue& value) {
  switch (type_rank(value)) {
    case 0: return FilterScalar{nullptr};
    case 1: return FilterScalar{std::get<bool>(value.v)};
    case 2: return FilterScalar{*Number::of(value)};
    case 3: return FilterScalar{std::get<std::string>(value.v)};
    default: return std::nullopt;
  }
}

std::optional<std::strong_ordering> compare(const JsonValue& value, const FilterScalar& operand) {
  const int rank = type_rank(value);
  if (rank < 0) return std::nullopt;
  if (rank != type_rank(operand)) return rank <=> type_rank(operand);
  switch (rank) {
    case 1: return three_way(std::get<bool>(value.v), std::get<bool>(operand.v));
    case 2: return *Number::of(value) <=> std::get<Number>(operand.v);
    case 3: return std::string_view(std::get<std::string>(value.v)) <=>
                   std::string_view(std::get<std::string>(operand.v));
    default: return std::strong_ordering::equal;  // null
  }
}

std::optional<std::strong_ordering> compare_same_type(const JsonValue& value,
                                                      const FilterScalar& operand) {
  if (type_rank(value) != type_rank(operand)) return std::nullopt;
  return compare(value, operand);
}

}  // namespace velmoradb
