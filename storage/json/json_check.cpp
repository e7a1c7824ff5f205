// Which payloads the codec writes and reads back unchanged.
#include <cmath>
#include <string>
#include <variant>

#include "storage/json/json.h"
#include "storage/json/json_reader.h"

namespace velmoradb::json {

namespace {

// A log entry is an object holding the payload record, which holds the
// `data` object: three levels of the reader's limit before a value's own.
constexpr int kMaxValueNesting = Reader::kMaxDepth - 3;

bool is_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
    } else if (const std::size_t length = utf8_sequence_length(text, pos); length > 0) {
      pos += length;
    } else {
      return false;
    }
  }
  return true;
}

std::optional<std::string> value_problem(const JsonValue& value, int nesting, const std::string& key) {
  const auto where = [&] { return " (under the key \"" + key + "\")"; };
  if (const double* number = std::get_if<double>(&value.v)) {
    if (!std::isfinite(*number)) return "a payload number is NaN or infinite" + where();
    return std::nullopt;
  }
  if (const std::string* text = std::get_if<std::string>(&value.v)) {
    if (!is_utf8(*text)) return "a payload string is not valid UTF-8" + where();
    return std::nullopt;
  }
  const bool container = std::holds_alternative<JsonArray>(value.v) || std::holds_alternative<JsonObject>(value.v);
  if (container && nesting >= kMaxValueNesting) {
    return "a payload nests lists and objects deeper than " + std::to_string(kMaxValueNesting) + " levels" + where();
  }
  if (const JsonArray* list = std::get_if<JsonArray>(&value.v)) {
    for (const JsonValue& item : *list) {
      if (auto problem = value_problem(item, nesting + 1, key)) return problem;
    }
  } else if (const JsonObject* object = std::get_if<JsonObject>(&value.v)) {
    for (const auto& [name, item] : *object) {
      if (!is_utf8(name)) return "a payload key is not valid UTF-8" + where();
      if (auto problem = value_problem(item, nesting + 1, key)) return problem;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> payload_problem(const Payload& payload) {
  for (const auto& [key, value] : payload.data) {
    if (!is_utf8(key)) return std::string("a payload key is not valid UTF-8");
    if (auto problem = value_problem(value, 0, key)) return problem;
  }
  return std::nullopt;
}

}  // namespace velmoradb::json
