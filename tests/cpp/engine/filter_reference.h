// A reference matcher for filters, written from the documented rules and
// nothing else: it reads the filter's JSON as given (no compiled tree, no
// canonical numbers) and compares numbers as long double, whose 64-bit
// significand holds every int64, uint64 and double exactly. Slow and plain
// on purpose; the unit tests and the fuzz target hold Filter::matches and
// PayloadIndex::evaluate to it. It assumes the filter compiled.
#pragma once

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "engine/index/payload.h"
#include "storage/json/json_reader.h"

namespace velmoradb::filter_reference {

static_assert(std::numeric_limits<long double>::digits >= 64, "exact integer and double values");

// Parses JSON text (the test's own texts; aborts the test run on a typo).
inline std::optional<JsonValue> parse_json(std::string_view text) {
  json::Reader reader(text);
  auto value = reader.read_value();
  if (!value || !reader.finish()) return std::nullopt;
  return std::move(*value);
}

inline std::optional<long double> number_of(const JsonValue& v) {
  if (const auto* u = std::get_if<std::uint64_t>(&v.v)) return static_cast<long double>(*u);
  if (const auto* i = std::get_if<std::int64_t>(&v.v)) return static_cast<long double>(*i);
  if (const auto* d = std::get_if<double>(&v.v)) {
    if (*d != *d) return std::nullopt;  // NaN is no number to compare
    return static_cast<long double>(*d);
  }
  return std::nullopt;
}

// -1, 0, 1 when both are numbers or both strings; nothing otherwise.
inline std::optional<int> order(const JsonValue& value, const JsonValue& operand) {
  auto a = number_of(value), b = number_of(operand);
  if (a && b) return *a < *b ? -1 : *a > *b ? 1 : 0;
  const auto* s = std::get_if<std::string>(&value.v);
  const auto* t = std::get_if<std::string>(&operand.v);
  if (s == nullptr || t == nullptr) return std::nullopt;
  for (std::size_t i = 0; i < s->size() && i < t->size(); ++i) {
    const auto x = static_cast<unsigned char>((*s)[i]), y = static_cast<unsigned char>((*t)[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return s->size() < t->size() ? -1 : s->size() > t->size() ? 1 : 0;
}

inline bool equal(const JsonValue& value, const JsonValue& operand) {
  if (auto o = order(value, operand)) return *o == 0;
  if (std::holds_alternative<std::nullptr_t>(operand.v)) {
    return std::holds_alternative<std::nullptr_t>(value.v);
  }
  const auto* b = std::get_if<bool>(&operand.v);
  const auto* a = std::get_if<bool>(&value.v);
  return a != nullptr && b != nullptr && *a == *b;
}

inline const JsonValue* lookup(const Payload& payload, const std::string& dotted) {
  const std::size_t dot = dotted.find('.');
  auto top = payload.data.find(dotted.substr(0, dot));
  if (top == payload.data.end()) return nullptr;
  const JsonValue* v = &top->second;
  for (std::size_t start = dot; start != std::string::npos;) {
    const std::size_t next = dotted.find('.', start + 1);
    const auto* object = std::get_if<JsonObject>(&v->v);
    if (object == nullptr) return nullptr;
    auto it = object->find(dotted.substr(start + 1, next == std::string::npos ? next
                                                                              : next - start - 1));
    if (it == object->end()) return nullptr;
    v = &it->second;
    start = next;
  }
  return v;
}

// The field, or one element of it when it is a list, satisfies `test`.
template <typename Test>
bool some_value(const JsonValue* field, Test test) {
  if (field == nullptr) return false;
  if (const auto* list = std::get_if<JsonArray>(&field->v)) {
    for (const JsonValue& element : *list) {
      if (test(element)) return true;
    }
    return false;
  }
  return test(*field);
}

inline bool ops_match(const JsonValue* field, const JsonObject& ops) {
  for (const auto& entry : ops) {
    const std::string& op = entry.first;
    const JsonValue& arg = entry.second;  // named: lambdas below capture it
    const auto in = [&](const JsonValue& v) {
      for (const JsonValue& candidate : std::get<JsonArray>(arg.v)) {
        if (equal(v, candidate)) return true;
      }
      return false;
    };
    const auto ordered = [&](auto accept) {
      return some_value(field, [&](const JsonValue& v) {
        auto o = order(v, arg);
        return o && accept(*o);
      });
    };
    bool ok;
    if (op == "$eq") ok = some_value(field, [&](const JsonValue& v) { return equal(v, arg); });
    else if (op == "$ne") ok = !some_value(field, [&](const JsonValue& v) { return equal(v, arg); });
    else if (op == "$in") ok = some_value(field, in);
    else if (op == "$nin") ok = !some_value(field, in);
    else if (op == "$gt") ok = ordered([](int o) { return o > 0; });
    else if (op == "$gte") ok = ordered([](int o) { return o >= 0; });
    else if (op == "$lt") ok = ordered([](int o) { return o < 0; });
    else if (op == "$lte") ok = ordered([](int o) { return o <= 0; });
    else if (op == "$exists") ok = (field != nullptr) == std::get<bool>(arg.v);
    else ok = !ops_match(field, std::get<JsonObject>(arg.v));  // $not
    if (!ok) return false;
  }
  return true;
}

inline bool matches(const JsonValue& filter, const Payload& payload) {
  for (const auto& entry : std::get<JsonObject>(filter.v)) {
    const std::string& key = entry.first;
    const JsonValue& arg = entry.second;
    bool ok = true;
    if (key == "$and" || key == "$or") {
      const bool is_and = key == "$and";
      ok = is_and;
      for (const JsonValue& sub : std::get<JsonArray>(arg.v)) {
        if (matches(sub, payload) != is_and) {
          ok = !is_and;
          break;
        }
      }
    } else if (key == "$not") {
      ok = !matches(arg, payload);
    } else if (const auto* ops = std::get_if<JsonObject>(&arg.v)) {
      ok = ops_match(lookup(payload, key), *ops);
    } else {
      ok = some_value(lookup(payload, key), [&](const JsonValue& v) { return equal(v, arg); });
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace velmoradb::filter_reference
