// The record decoders: WalEntry, Payload and CollectionMeta, each read from
// an object (members in any order, unknown ones skipped) or from an array of
// its field values in declaration order.
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <span>

#include "storage/json/json.h"
#include "storage/json/json_reader.h"

namespace velmoradb::json {
namespace {

struct RecordShape {
  std::string_view name;
  std::span<const std::string_view> fields;
};

constexpr std::array<std::string_view, 1> kPayloadFields = {"data"};
constexpr std::array<std::string_view, 4> kWalEntryFields = {"kind", "id", "vector", "payload"};
constexpr std::array<std::string_view, 4> kMetaFields = {"dimension", "metric", "vector_count",
                                                         "next_id"};
constexpr RecordShape kPayloadShape{"Payload", kPayloadFields};
constexpr RecordShape kWalEntryShape{"WalEntry", kWalEntryFields};
constexpr RecordShape kMetaShape{"CollectionMeta", kMetaFields};

bool starts_number(unsigned char c) { return c == '-' || (c >= '0' && c <= '9'); }

std::string concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (const std::string_view part : parts) out += part;
  return out;
}

// The value at the current position is not of the wanted type: name what it
// is. A scalar is read first (its own syntax errors come first) and the error
// points at its last byte; a container is named at its opening bracket.
Error type_mismatch(Reader& r, std::string_view wanted) {
  r.skip_whitespace();
  if (r.at_end()) return r.error_here("EOF while parsing a value");
  if (r.peek() == '[') return r.error_here(concat({"invalid type: sequence, expected ", wanted}));
  if (r.peek() == '{') return r.error_here(concat({"invalid type: map, expected ", wanted}));
  JsonValue value;
  if (Error e = r.read_value(value)) return e;
  return r.error_after(r.pos(), concat({"invalid type: ", describe(value), ", expected ", wanted}));
}

// Skips whitespace; true when a value of the kind `accepts` tells starts here.
// Otherwise `error` holds the reason.
template <typename Accepts>
bool value_starts(Reader& r, Accepts accepts, std::string_view wanted, Error& error) {
  r.skip_whitespace();
  if (r.at_end()) {
    error = r.error_here("EOF while parsing a value");
    return false;
  }
  if (accepts(r.peek())) return true;
  error = type_mismatch(r, wanted);
  return false;
}

Error read_unsigned(Reader& r, std::uint64_t& out, std::uint64_t max, std::string_view wanted) {
  Error error;
  if (!value_starts(r, starts_number, wanted, error)) return error;
  NumberToken token;
  if (Error e = r.read_number(token)) return e;
  if (token.integer && !token.negative && token.magnitude_fits && token.magnitude <= max) {
    out = token.magnitude;
    return std::nullopt;
  }
  if (token.integer) {
    return r.error_after(r.pos(), concat({"invalid value: integer `", token.text, "`, expected ",
                                          wanted}));
  }
  double value = 0;
  if (Error e = r.number_to_f64(token, value)) return e;
  return r.error_after(r.pos(),
                       concat({"invalid type: ", describe(value), ", expected ", wanted}));
}

// Nearest 32-bit float, with the overflow to infinity spelled out: converting
// an out-of-range double to float is undefined behaviour in C++.
float narrow_to_f32(double value) {
  constexpr double kRoundsToInfinity = 0x1.ffffffp+127;  // halfway from FLT_MAX to 2^128
  const double magnitude = std::fabs(value);
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (magnitude >= kRoundsToInfinity) return value > 0 ? kInfinity : -kInfinity;
  if (magnitude > FLT_MAX) return value > 0 ? FLT_MAX : -FLT_MAX;
  return static_cast<float>(value);
}

Error read_f32(Reader& r, float& out) {
  Error error;
  if (!value_starts(r, starts_number, "f32", error)) return error;
  NumberToken token;
  if (Error e = r.read_number(token)) return e;
  double value = 0;
  if (Error e = r.number_to_f64(token, value)) return e;
  out = narrow_to_f32(value);
  return std::nullopt;
}

Error read_vector(Reader& r, std::vector<float>& out) {
  Error error;
  if (!value_starts(r, [](unsigned char c) { return c == '['; }, "a sequence", error)) return error;
  out.clear();
  return r.read_array([&]() -> Error {
    float component = 0;
    if (Error e = read_f32(r, component)) return e;
    out.push_back(component);
    return std::nullopt;
  });
}

Error read_text(Reader& r, std::string& out) {
  Error error;
  if (!value_starts(r, [](unsigned char c) { return c == '"'; }, "a string", error)) return error;
  return r.read_string(out);
}

Error read_kind(Reader& r, WalEntryKind& out) {
  Error error;
  if (!value_starts(r, [](unsigned char c) { return c == '"'; }, "enum WalEntryKind", error)) {
    return error;
  }
  std::string name;
  if (Error e = r.read_string(name)) return e;
  static constexpr std::array<std::pair<std::string_view, WalEntryKind>, 4> kKinds = {{
      {"Insert", WalEntryKind::Insert},
      {"Update", WalEntryKind::Update},
      {"Delete", WalEntryKind::Delete},
      {"Checkpoint", WalEntryKind::Checkpoint},
  }};
  for (const auto& [text, kind] : kKinds) {
    if (name == text) {
      out = kind;
      return std::nullopt;
    }
  }
  return r.error_after(r.pos(), concat({"unknown variant `", name,
                                        "`, expected one of `Insert`, `Update`, `Delete`, "
                                        "`Checkpoint`"}));
}

template <typename ReadField>
Error read_record_object(Reader& r, const RecordShape& shape, ReadField& read_field) {
  std::array<bool, 4> seen{};
  Error e = r.read_object([&](std::string key, std::size_t key_end) -> Error {
    std::size_t index = 0;
    while (index < shape.fields.size() && shape.fields[index] != key) ++index;
    if (index == shape.fields.size()) {
      JsonValue ignored;  // a member this record does not have
      return r.read_value(ignored);
    }
    if (seen[index]) return r.error_after(key_end, concat({"duplicate field `", key, "`"}));
    seen[index] = true;
    return read_field(index);
  });
  if (e) return e;
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    if (!seen[i]) return r.error_after(r.pos(), concat({"missing field `", shape.fields[i], "`"}));
  }
  return std::nullopt;
}

std::string invalid_length(std::size_t count, const RecordShape& shape) {
  const std::size_t k = shape.fields.size();
  return concat({"invalid length ", std::to_string(count), ", expected struct ", shape.name,
                 " with ", std::to_string(k), k == 1 ? " element" : " elements"});
}

// The array form: exactly the record's fields, in declaration order.
template <typename ReadField>
Error read_record_array(Reader& r, const RecordShape& shape, ReadField& read_field) {
  if (Error e = r.enter()) return e;
  r.advance();
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    r.skip_whitespace();
    if (r.at_end()) return r.error_here("EOF while parsing a list");
    if (r.peek() == ']') {
      r.advance();
      return r.error_after(r.pos(), invalid_length(i, shape));
    }
    if (i > 0) {
      if (r.peek() != ',') return r.error_here("expected `,` or `]`");
      r.advance();
      r.skip_whitespace();
      if (r.next_is(']')) return r.error_here("trailing comma");
    }
    if (Error e = read_field(i)) return e;
  }
  r.skip_whitespace();
  if (r.at_end()) return r.error_here("EOF while parsing a list");
  if (r.peek() == ',') {  // more values than the record has fields
    r.advance();
    r.skip_whitespace();
    return r.error_here(r.next_is(']') ? "trailing comma" : "trailing characters");
  }
  if (r.peek() != ']') return r.error_here("expected `,` or `]`");
  r.advance();
  r.leave();
  return std::nullopt;
}

template <typename ReadField>
Error read_record(Reader& r, const RecordShape& shape, ReadField read_field) {
  r.skip_whitespace();
  if (r.at_end()) return r.error_here("EOF while parsing a value");
  if (r.peek() == '{') return read_record_object(r, shape, read_field);
  if (r.peek() == '[') return read_record_array(r, shape, read_field);
  return type_mismatch(r, concat({"struct ", shape.name}));
}

Error read_data(Reader& r, std::unordered_map<std::string, JsonValue>& out) {
  Error error;
  if (!value_starts(r, [](unsigned char c) { return c == '{'; }, "a map", error)) return error;
  out.clear();
  return r.read_object([&](std::string key, std::size_t) -> Error {
    JsonValue value;
    if (Error e = r.read_value(value)) return e;
    out.insert_or_assign(std::move(key), std::move(value));  // the later one wins
    return std::nullopt;
  });
}

Error read_payload(Reader& r, Payload& out) {
  return read_record(r, kPayloadShape, [&](std::size_t) { return read_data(r, out.data); });
}

}  // namespace

std::optional<std::string> decode_payload(std::string_view text, Payload& out) {
  out = Payload{};
  Reader r(text);
  if (Error e = read_payload(r, out)) return e;
  return r.finish();
}

std::optional<std::string> decode_wal_entry(std::string_view text, WalEntry& out) {
  constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
  out = WalEntry{};
  Reader r(text);
  Error e = read_record(r, kWalEntryShape, [&](std::size_t field) -> Error {
    switch (field) {
      case 0: return read_kind(r, out.kind);
      case 1: return read_unsigned(r, out.id, kU64Max, "u64");
      case 2: return read_vector(r, out.vector);
      default: return read_payload(r, out.payload);
    }
  });
  if (e) return e;
  return r.finish();
}

std::optional<std::string> decode_meta(std::string_view text, CollectionMeta& out) {
  constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t kSizeMax = std::numeric_limits<std::size_t>::max();
  out = CollectionMeta{};
  Reader r(text);
  Error e = read_record(r, kMetaShape, [&](std::size_t field) -> Error {
    switch (field) {
      case 0: return read_unsigned(r, out.dimension, kSizeMax, "usize");
      case 1: return read_text(r, out.metric);
      case 2: return read_unsigned(r, out.vector_count, kU64Max, "u64");
      default: return read_unsigned(r, out.next_id, kU64Max, "u64");
    }
  });
  if (e) return e;
  return r.finish();
}

}  // namespace velmoradb::json
