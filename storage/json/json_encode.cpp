// The encoders. The log entry is built on the insert path, so it is written
// into one string reserved up front, each number formatted in a stack buffer
// and appended; no temporary strings.
#include <cassert>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "storage/json/json.h"
#include "storage/json/json_float.h"

namespace velmoradb::json {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The escape text of a byte, or an empty view when the byte is copied as is.
std::string_view escape_of(unsigned char c, char (&unicode)[6]) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case 0x08: return "\\b";
    case 0x09: return "\\t";
    case 0x0A: return "\\n";
    case 0x0C: return "\\f";
    case 0x0D: return "\\r";
    default: break;
  }
  if (c >= 0x20) return {};
  unicode[0] = '\\';
  unicode[1] = 'u';
  unicode[2] = '0';
  unicode[3] = '0';
  unicode[4] = kHexDigits[c >> 4];
  unicode[5] = kHexDigits[c & 0xF];
  return {unicode, 6};
}

template <typename Int>
void append_integer(std::string& out, Int value) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

template <typename Int>
std::size_t integer_length(Int value) {
  char buf[24];
  return static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, value).ptr - buf);
}

std::size_t string_length(std::string_view text) {
  std::size_t length = 2;
  char unicode[6];
  for (const char c : text) {
    const std::string_view escape = escape_of(static_cast<unsigned char>(c), unicode);
    length += escape.empty() ? 1 : escape.size();
  }
  return length;
}

std::size_t value_length(const JsonValue& value);

std::size_t array_length(const JsonArray& array) {
  std::size_t length = 2 + (array.empty() ? 0 : array.size() - 1);
  for (const JsonValue& element : array) length += value_length(element);
  return length;
}

template <typename Map>
std::size_t members_length(const Map& members) {
  std::size_t length = 2 + (members.empty() ? 0 : members.size() - 1);
  for (const auto& [key, value] : members) length += string_length(key) + 1 + value_length(value);
  return length;
}

std::size_t value_length(const JsonValue& value) {
  return std::visit(
      [](const auto& v) -> std::size_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          return 4;
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? 4 : 5;
        } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::int64_t>) {
          return integer_length(v);
        } else if constexpr (std::is_same_v<T, double>) {
          char buf[kMaxFloatText];
          return format_f64(buf, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return string_length(v);
        } else if constexpr (std::is_same_v<T, JsonArray>) {
          return array_length(v);
        } else {
          return members_length(v);
        }
      },
      value.v);
}

template <typename Map>
void append_members(std::string& out, const Map& members) {
  out += '{';
  bool first = true;
  for (const auto& [key, value] : members) {
    if (!first) out += ',';
    first = false;
    append_string(out, key);
    out += ':';
    append_value(out, value);
  }
  out += '}';
}

std::string_view kind_name(WalEntryKind kind) {
  switch (kind) {
    case WalEntryKind::Insert: return "Insert";
    case WalEntryKind::Update: return "Update";
    case WalEntryKind::Delete: return "Delete";
    case WalEntryKind::Checkpoint: return "Checkpoint";
  }
  return {};
}

// Pretty member: line feed, indentation of one level, key, ": ".
void append_pretty_key(std::string& out, std::string_view key, bool first) {
  if (!first) out += ',';
  out += "\n  ";
  append_string(out, key);
  out += ": ";
}

}  // namespace

void append_string(std::string& out, std::string_view text) {
  out += '"';
  char unicode[6];
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view escape = escape_of(static_cast<unsigned char>(text[i]), unicode);
    if (escape.empty()) continue;
    out.append(text.data() + run_start, i - run_start);
    out.append(escape);
    run_start = i + 1;
  }
  out.append(text.data() + run_start, text.size() - run_start);
  out += '"';
}

void append_value(std::string& out, const JsonValue& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::int64_t>) {
          append_integer(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          append_f64(out, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          append_string(out, v);
        } else if constexpr (std::is_same_v<T, JsonArray>) {
          out += '[';
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i != 0) out += ',';
            append_value(out, v[i]);
          }
          out += ']';
        } else {
          append_members(out, v);
        }
      },
      value.v);
}

void append_payload(std::string& out, const Payload& payload) {
  out += "{\"data\":";
  append_members(out, payload.data);
  out += '}';
}

std::string encode_payload(const Payload& payload) {
  std::string out;
  out.reserve(128);
  append_payload(out, payload);
  return out;
}

std::size_t encoded_payload_length(const Payload& payload) {
  return 9 + members_length(payload.data);  // {"data":  ...  }
}

std::string encode_wal_entry(const WalEntry& entry) {
  std::string out;
  append_wal_entry(out, entry);
  return out;
}

void append_wal_entry(std::string& out, const WalEntry& entry) {
  // 18 bytes bound every component with its comma ("-0.00000123456789,").
  constexpr std::size_t kFixedPart = 64;
  out.reserve(out.size() + kFixedPart + 18 * entry.vector.size() +
              (entry.payload.empty() ? 11 : encoded_payload_length(entry.payload)));
  out += "{\"kind\":\"";
  const std::string_view kind = kind_name(entry.kind);
  assert(!kind.empty() && "a WalEntryKind holds one of its four values");
  // An impossible kind is written as its number, which no reader accepts.
  if (kind.empty()) append_integer(out, static_cast<unsigned>(entry.kind));
  out += kind;
  out += "\",\"id\":";
  append_integer(out, entry.id);
  out += ",\"vector\":[";
  // The components are written in place: room for the longest text of each,
  // then the string is cut to what was written.
  const std::size_t start = out.size();
  out.resize(start + 18 * entry.vector.size() + kMaxFloatText);
  char* end = write_f32_list(out.data() + start, entry.vector.data(), entry.vector.size());
  out.resize(static_cast<std::size_t>(end - out.data()));
  out += "],\"payload\":";
  append_payload(out, entry.payload);
  out += '}';
}

std::string encode_meta(const CollectionMeta& meta) {
  std::string out;
  out.reserve(128);
  out += '{';
  append_pretty_key(out, "dimension", true);
  append_integer(out, meta.dimension);
  append_pretty_key(out, "metric", false);
  append_string(out, meta.metric);
  append_pretty_key(out, "vector_count", false);
  append_integer(out, meta.vector_count);
  append_pretty_key(out, "next_id", false);
  append_integer(out, meta.next_id);
  out += "\n}";
  return out;
}

}  // namespace velmoradb::json
