// The JSON reader under the record decoders: whitespace, literals, numbers,
// strings, generic values, the nesting limit and the error texts with their
// positions. Internal to the JSON codec.
//
// Every read either consumes one well-formed token or returns an error text
// that already ends in " at line L column C". The reader never reads outside
// its input and never sizes a buffer from anything but bytes it has seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/index/payload.h"

namespace velmoradb::json {

// An error text with its position, or nothing.
using Error = std::optional<std::string>;

// Length of the well-formed UTF-8 sequence starting at text[pos] (a byte of
// 0x80 or above), or 0 when it is malformed, overlong, a surrogate, beyond
// U+10FFFF or cut off by the end of the text.
std::size_t utf8_sequence_length(std::string_view text, std::size_t pos);

// A number literal as written, checked against the JSON grammar.
struct NumberToken {
  std::string_view text;
  bool integer = false;         // no fraction and no exponent
  bool negative = false;
  bool magnitude_fits = false;  // integer whose magnitude fits in 64 bits
  std::uint64_t magnitude = 0;  // valid when magnitude_fits
};

class Reader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit Reader(std::string_view text) : text_(text) {}

  std::size_t pos() const { return pos_; }
  bool at_end() const { return pos_ >= text_.size(); }
  // The current byte; only when !at_end().
  unsigned char peek() const { return static_cast<unsigned char>(text_[pos_]); }
  void advance() { ++pos_; }
  void skip_whitespace();
  // After skip_whitespace: at the end of input, or the next byte is `c`.
  bool next_is(char c) const { return !at_end() && peek() == static_cast<unsigned char>(c); }

  // what + " at line L column C", pointing at the byte at `index` (the last
  // byte of the input when index is its end).
  std::string error_at(std::size_t index, std::string_view what) const;
  // The same, pointing at the last byte consumed before `end`.
  std::string error_after(std::size_t end, std::string_view what) const;
  std::string error_here(std::string_view what) const { return error_at(pos_, what); }

  // Enter one level of array or object at the current '[' or '{'.
  Error enter();
  void leave() { --depth_; }

  // Only whitespace may remain.
  Error finish();

  // The current byte is '"'.
  Error read_string(std::string& out);
  // The current byte is '-' or a digit.
  Error read_number(NumberToken& out);
  // The number as a 64-bit float, nearest value; beyond the range is refused.
  Error number_to_f64(const NumberToken& token, double& out) const;
  // The number in its JSON form: u64, negative i64, else f64.
  Error number_to_value(const NumberToken& token, JsonValue& out) const;

  // Any value, at the current position (whitespace allowed before it).
  Error read_value(JsonValue& out);

  // Arrays and objects; the current byte is '[' or '{'. on_element() reads
  // one element; on_member(key, key_end) reads one value after the colon.
  template <typename OnElement>
  Error read_array(OnElement on_element);
  template <typename OnMember>
  Error read_object(OnMember on_member);

 private:
  Error read_literal(std::string_view word);
  Error read_digits();
  Error read_escape(std::string& out);
  Error read_hex4(std::uint32_t& out);

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

// How an error names a value of the wrong type: "null", "boolean `true`",
// "integer `5`", "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string describe(const JsonValue& value);

template <typename OnElement>
Error Reader::read_array(OnElement on_element) {
  if (Error e = enter()) return e;
  advance();
  skip_whitespace();
  if (at_end()) return error_here("EOF while parsing a list");
  if (peek() != ']') {
    for (;;) {
      if (Error e = on_element()) return e;
      skip_whitespace();
      if (at_end()) return error_here("EOF while parsing a list");
      if (peek() == ']') break;
      if (peek() != ',') return error_here("expected `,` or `]`");
      advance();
      skip_whitespace();
      if (next_is(']')) return error_here("trailing comma");
    }
  }
  advance();
  leave();
  return std::nullopt;
}

template <typename OnMember>
Error Reader::read_object(OnMember on_member) {
  if (Error e = enter()) return e;
  advance();
  skip_whitespace();
  if (at_end()) return error_here("EOF while parsing an object");
  if (peek() != '}') {
    for (;;) {
      if (at_end()) return error_here("EOF while parsing an object");
      if (peek() != '"') return error_here("key must be a string");
      std::string key;
      if (Error e = read_string(key)) return e;
      const std::size_t key_end = pos_;
      skip_whitespace();
      if (at_end()) return error_here("EOF while parsing an object");
      if (peek() != ':') return error_here("expected `:`");
      advance();
      if (Error e = on_member(std::move(key), key_end)) return e;
      skip_whitespace();
      if (at_end()) return error_here("EOF while parsing an object");
      if (peek() == '}') break;
      if (peek() != ',') return error_here("expected `,` or `}`");
      advance();
      skip_whitespace();
      if (next_is('}')) return error_here("trailing comma");
    }
  }
  advance();
  leave();
  return std::nullopt;
}

}  // namespace velmoradb::json
