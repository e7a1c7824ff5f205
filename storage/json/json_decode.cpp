// The record decoders: WalEntry, Payload and CollectionMeta, each read from
// an object (members in any order, unknown ones skipped) or from an array of
// its field values in declaration order.
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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
VectorError type_mismatch(Reader& r, std::string_view wanted) {
  r.skip_whitespace();
  if (r.at_end()) return r.error_here("EOF while parsing a value");
  if (r.peek() == '[') return r.error_here(concat({"invalid type: sequence, expected ", wanted}));
  if (r.peek() == '{') return r.error_here(concat({"invalid type: map, expected ", wanted}));
  Result<JsonValue> value = r.read_value();
  if (!value) return std::move(value).error();
  return r.error_after(r.pos(), concat({"invalid type: ", describe(*value), ", expected ", wanted}));
}

// Skips whitespace; whether a value of the kind `accepts` tells starts
// here (when not, type_mismatch says why).
template <typename Accepts>
bool value_starts(Reader& r, Accepts accepts) {
  r.skip_whitespace();
  return !r.at_end() && accepts(r.peek());
}

// Stores a field's value read by `read`, or passes its error on.
template <typename T>
Status assign(T& field, Result<T> read) {
  if (!read) return std::move(read).error();
  field = std::move(*read);
  return {};
}

Result<std::uint64_t> read_unsigned(Reader& r, std::uint64_t max, std::string_view wanted) {
  if (!value_starts(r, starts_number)) return type_mismatch(r, wanted);
  Result<NumberToken> token = r.read_number();
  if (!token) return std::move(token).error();
  if (token->integer && !token->negative && token->magnitude_fits && token->magnitude <= max) {
    return token->magnitude;
  }
  if (token->integer) {
    return r.error_after(r.pos(), concat({"invalid value: integer `", token->text, "`, expected ",
                                          wanted}));
  }
  Result<double> value = r.number_to_f64(*token);
  if (!value) return std::move(value).error();
  return r.error_after(r.pos(),
                       concat({"invalid type: ", describe(*value), ", expected ", wanted}));
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

Result<float> read_f32(Reader& r) {
  if (!value_starts(r, starts_number)) return type_mismatch(r, "f32");
  Result<NumberToken> token = r.read_number();
  if (!token) return std::move(token).error();
  Result<double> value = r.number_to_f64(*token);
  if (!value) return std::move(value).error();
  return narrow_to_f32(*value);
}

// Lists, maps and strings are read into the record's own field.
Status read_vector(Reader& r, std::vector<float>& out) {
  if (!value_starts(r, [](unsigned char c) { return c == '['; })) return type_mismatch(r, "a sequence");
  out.clear();
  return r.read_array([&]() -> Status {
    Result<float> component = read_f32(r);
    if (!component) return std::move(component).error();
    out.push_back(*component);
    return {};
  });
}

Status read_text(Reader& r, std::string& out) {
  if (!value_starts(r, [](unsigned char c) { return c == '"'; })) return type_mismatch(r, "a string");
  return r.read_string(out);
}

Result<WalEntryKind> read_kind(Reader& r) {
  if (!value_starts(r, [](unsigned char c) { return c == '"'; })) {
    return type_mismatch(r, "enum WalEntryKind");
  }
  std::string name;
  if (Status s = r.read_string(name); !s) return std::move(s).error();
  static constexpr std::array<std::pair<std::string_view, WalEntryKind>, 4> kKinds = {{
      {"Insert", WalEntryKind::Insert},
      {"Update", WalEntryKind::Update},
      {"Delete", WalEntryKind::Delete},
      {"Checkpoint", WalEntryKind::Checkpoint},
  }};
  for (const auto& [text, kind] : kKinds) {
    if (name == text) return kind;
  }
  return r.error_after(r.pos(), concat({"unknown variant `", name,
                                        "`, expected one of `Insert`, `Update`, `Delete`, "
                                        "`Checkpoint`"}));
}

template <typename ReadField>
Status read_record_object(Reader& r, const RecordShape& shape, ReadField& read_field) {
  std::array<bool, 4> seen{};
  Status s = r.read_object([&](std::string key, std::size_t key_end) -> Status {
    std::size_t index = 0;
    while (index < shape.fields.size() && shape.fields[index] != key) ++index;
    if (index == shape.fields.size()) {
      // A member this record does not have.
      if (Result<JsonValue> ignored = r.read_value(); !ignored) return std::move(ignored).error();
      return {};
    }
    if (seen[index]) return r.error_after(key_end, concat({"duplicate field `", key, "`"}));
    seen[index] = true;
    return read_field(index);
  });
  if (!s) return s;
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    if (!seen[i]) return r.error_after(r.pos(), concat({"missing field `", shape.fields[i], "`"}));
  }
  return {};
}

std::string invalid_length(std::size_t count, const RecordShape& shape) {
  const std::size_t k = shape.fields.size();
  return concat({"invalid length ", std::to_string(count), ", expected struct ", shape.name,
                 " with ", std::to_string(k), k == 1 ? " element" : " elements"});
}

// The array form: exactly the record's fields, in declaration order.
template <typename ReadField>
Status read_record_array(Reader& r, const RecordShape& shape, ReadField& read_field) {
  if (Status s = r.enter(); !s) return s;
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
    if (Status s = read_field(i); !s) return s;
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
  return {};
}

// A whole record, then only whitespace: read_field(i) reads field i into it.
template <typename ReadField>
Status read_record(Reader& r, const RecordShape& shape, ReadField read_field) {
  r.skip_whitespace();
  if (r.at_end()) return r.error_here("EOF while parsing a value");
  if (r.peek() == '{') return read_record_object(r, shape, read_field);
  if (r.peek() == '[') return read_record_array(r, shape, read_field);
  return type_mismatch(r, concat({"struct ", shape.name}));
}

Status read_data(Reader& r, std::unordered_map<std::string, JsonValue>& out) {
  if (!value_starts(r, [](unsigned char c) { return c == '{'; })) return type_mismatch(r, "a map");
  out.clear();
  return r.read_object([&](std::string key, std::size_t) -> Status {
    Result<JsonValue> value = r.read_value();
    if (!value) return std::move(value).error();
    out.insert_or_assign(std::move(key), std::move(*value));  // the later one wins
    return {};
  });
}

Status read_payload(Reader& r, Payload& out) {
  return read_record(r, kPayloadShape, [&](std::size_t) { return read_data(r, out.data); });
}

Status read_wal_entry(Reader& r, WalEntry& out) {
  constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
  return read_record(r, kWalEntryShape, [&](std::size_t field) -> Status {
    switch (field) {
      case 0: return assign(out.kind, read_kind(r));
      case 1: return assign(out.id, read_unsigned(r, kU64Max, "u64"));
      case 2: return read_vector(r, out.vector);
      default: return read_payload(r, out.payload);
    }
  });
}

Status read_meta(Reader& r, CollectionMeta& out) {
  constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t kSizeMax = std::numeric_limits<std::size_t>::max();
  return read_record(r, kMetaShape, [&](std::size_t field) -> Status {
    switch (field) {
      case 0: return assign(out.dimension, read_unsigned(r, kSizeMax, "usize"));
      case 1: return read_text(r, out.metric);
      case 2: return assign(out.vector_count, read_unsigned(r, kU64Max, "u64"));
      default: return assign(out.next_id, read_unsigned(r, kU64Max, "u64"));
    }
  });
}

// The record `read` reads from all of `text`, built where it is returned.
template <typename Record>
Result<Record> parse_whole(std::string_view text, Status (*read)(Reader&, Record&)) {
  Result<Record> record = Record{};
  Reader r(text);
  if (Status s = read(r, *record); !s) return std::move(s).error();
  if (Status s = r.finish(); !s) return std::move(s).error();
  return record;
}

// The same into `out`, for the callers that keep the old form: the error's
// text or nothing.

}  // namespace

Result<Payload> parse_payload(std::string_view text) { return parse_whole(text, read_payload); }

Result<WalEntry> parse_wal_entry(std::string_view text) { return parse_whole(text, read_wal_entry); }

Result<CollectionMeta> parse_meta(std::string_view text) { return parse_whole(text, read_meta); }

}  // namespace velmoradb::json
