// Which payloads the codec writes and reads back unchanged.
#include <cmath>
#include <string>
#include <variant>

#include "engine/support/utf8.h"
#include "storage/json/json.h"
#include "storage/json/json_reader.h"

namespace velmoradb::json {

namespace {

// A log entry is an object holding the payload record, which holds the
// `data` object: three levels of the reader's limit before a value's own.
constexpr int kMaxValueNesting = Reader::kMaxDepth - 3;

Status value_check(const JsonValue& value, int nesting, const std::string& key) {
  const auto refused = [&](const std::string& what) {
    return VectorError::collection(what + " (under the key \"" + key + "\")");
  };
  if (const double* number = std::get_if<double>(&value.v)) {
    if (!std::isfinite(*number)) return refused("a payload number is NaN or infinite");
    return {};
  }
  if (const std::string* text = std::get_if<std::string>(&value.v)) {
    if (!is_utf8(*text)) return refused("a payload string is not valid UTF-8");
    return {};
  }
  const bool container = std::holds_alternative<JsonArray>(value.v) || std::holds_alternative<JsonObject>(value.v);
  if (container && nesting >= kMaxValueNesting) {
    return refused("a payload nests lists and objects deeper than " + std::to_string(kMaxValueNesting) + " levels");
  }
  if (const JsonArray* list = std::get_if<JsonArray>(&value.v)) {
    for (const JsonValue& item : *list) {
      if (Status s = value_check(item, nesting + 1, key); !s) return s;
    }
  } else if (const JsonObject* object = std::get_if<JsonObject>(&value.v)) {
    for (const auto& [name, item] : *object) {
      if (!is_utf8(name)) return refused("a payload key is not valid UTF-8");
      if (Status s = value_check(item, nesting + 1, key); !s) return s;
    }
  }
  return {};
}

}  // namespace

Status check_payload(const Payload& payload) {
  for (const auto& [key, value] : payload.data) {
    if (!is_utf8(key)) return VectorError::collection("a payload key is not valid UTF-8");
    if (Status s = value_check(value, 0, key); !s) return s;
  }
  return {};
}

}  // namespace velmoradb::json
