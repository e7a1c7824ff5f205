// The JSON reader under the record decoders: whitespace, literals, numbers,
// strings, generic values, the nesting limit and the error texts with their
// positions. Internal to the JSON codec.
//
// Every read either consumes one well-formed token or fails with the codec's
// error (see json.h), whose text already ends in " at line L column C". The
// reader never reads outside its input and never sizes a buffer from
// anything but bytes it has seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "engine/index/payload.h"
#include "engine/support/result.h"

namespace velmoradb::json {

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

  // The codec's error: what + " at line L column C", pointing at the byte
  // at `index` (the last byte of the input when index is its end).
  VectorError error_at(std::size_t index, std::string_view what) const;
  // The same, pointing at the last byte consumed before `end`.
  VectorError error_after(std::size_t end, std::string_view what) const;
  VectorError error_here(std::string_view what) const { return error_at(pos_, what); }

  // Enter one level of array or object at the current '[' or '{'.
  Status enter();
  void leave() { --depth_; }

  // Only whitespace may remain.
  Status finish();

  // The current byte is '"'. The text goes into `out` (its old content
  // replaced), so that a key or value is written where it is kept.
  Status read_string(std::string& out);
  // The current byte is '-' or a digit.
  Result<NumberToken> read_number();
  // The number as a 64-bit float, nearest value; beyond the range is refused.
  Result<double> number_to_f64(const NumberToken& token) const;
  // The number in its JSON form: u64, negative i64, else f64.
  Result<JsonValue> number_to_value(const NumberToken& token) const;

  // Any value, at the current position (whitespace allowed before it).
  Result<JsonValue> read_value();

  // Arrays and objects; the current byte is '[' or '{'. on_element() reads
  // one element; on_member(key, key_end) reads one value after the colon.
  // Both return a Status.
  template <typename OnElement>
  Status read_array(OnElement on_element);
  template <typename OnMember>
  Status read_object(OnMember on_member);

 private:
  Status read_literal(std::string_view word);
  Status read_digits();
  // At a backslash: the code point the escape stands for.
  Result<std::uint32_t> read_escape();
  Result<std::uint32_t> read_hex4();

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

// How an error names a value of the wrong type: "null", "boolean `true`",
// "integer `5`", "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string describe(const JsonValue& value);

template <typename OnElement>
Status Reader::read_array(OnElement on_element) {
  if (Status s = enter(); !s) return s;
  advance();
  skip_whitespace();
  if (at_end()) return error_here("EOF while parsing a list");
  if (peek() != ']') {
    for (;;) {
      if (Status s = on_element(); !s) return s;
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
  return {};
}

template <typename OnMember>
Status Reader::read_object(OnMember on_member) {
  if (Status s = enter(); !s) return s;
  advance();
  skip_whitespace();
  if (at_end()) return error_here("EOF while parsing an object");
  if (peek() != '}') {
    for (;;) {
      if (at_end()) return error_here("EOF while parsing an object");
      if (peek() != '"') return error_here("key must be a string");
      std::string key;
      if (Status s = read_string(key); !s) return s;
      const std::size_t key_end = pos_;
      skip_whitespace();
      if (at_end()) return error_here("EOF while parsing an object");
      if (peek() != ':') return error_here("expected `:`");
      advance();
      if (Status s = on_member(std::move(key), key_end); !s) return s;
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
  return {};
}

}  // namespace velmoradb::json
