// Payload: the caller data kept with each vector, and the JSON value model
// it is made of. The codec that reads and writes the text lives in storage/.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

namespace velmoradb {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
// Nested objects keep their keys in ascending byte order, so they are always
// written sorted.
using JsonObject = std::map<std::string, JsonValue>;

// One JSON value. Numbers keep the form they were read in: an unsigned
// 64-bit integer, a signed (negative) 64-bit integer, or a 64-bit float.
struct JsonValue {
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double,
                               std::string, JsonArray, JsonObject>;
  Storage v;

  JsonValue() : v(nullptr) {}
  template <typename T>
    requires(!std::is_same_v<std::decay_t<T>, JsonValue>)
  JsonValue(T&& value) : v(std::forward<T>(value)) {}  // NOLINT: implicit on purpose
  JsonValue(const char* text) : v(std::string(text)) {}  // NOLINT

  bool operator==(const JsonValue& o) const { return v == o.v; }
};

// A record with one field, `data`. The top-level map is unordered: nothing
// may depend on its iteration order.
struct Payload {
  std::unordered_map<std::string, JsonValue> data;

  bool empty() const { return data.empty(); }
  bool operator==(const Payload& o) const { return data == o.data; }
};

}  // namespace velmoradb
