// The JSON reader. Positions follow one rule: an error names the line and the
// 1-based column of the byte it is about (for an early end of input, the last
// byte of the input; for an empty input, column 0).
#include "storage/json/json_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/support/utf8.h"
#include "storage/json/json.h"

namespace velmoradb::json {

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}


void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Whether a number literal too far from 1 for a double lies below it (it
// underflows to zero) rather than above it (it overflows). The decimal
// exponent of its leading nonzero digit decides; a huge written exponent
// saturates instead of overflowing.
bool underflows(std::string_view text) {
  std::size_t i = text[0] == '-' ? 1 : 0;
  const std::size_t int_start = i;
  while (i < text.size() && is_digit(static_cast<unsigned char>(text[i]))) ++i;
  const std::size_t int_end = i;
  long long lead = 0;
  bool found = false;
  for (std::size_t k = int_start; k < int_end && !found; ++k) {
    if (text[k] != '0') {
      lead = static_cast<long long>(int_end - k - 1);
      found = true;
    }
  }
  if (i < text.size() && text[i] == '.') {
    for (std::size_t k = ++i; i < text.size() && is_digit(static_cast<unsigned char>(text[i])); ++i) {
      if (!found && text[i] != '0') {
        lead = -static_cast<long long>(i - k + 1);
        found = true;
      }
    }
  }
  long long exponent = 0;
  if (i < text.size()) {  // 'e' or 'E', a sign maybe, digits
    ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    for (; i < text.size(); ++i) exponent = std::min(exponent * 10 + (text[i] - '0'), 1'000'000'000'000LL);
    if (negative) exponent = -exponent;
  }
  return lead + exponent < 0;
}

}  // namespace

void Reader::skip_whitespace() {
  while (!at_end()) {
    const unsigned char c = peek();
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++pos_;
  }
}

VectorError Reader::error_after(std::size_t end, std::string_view what) const {
  end = std::min(end, text_.size());
  const std::size_t newline = text_.substr(0, end).rfind('\n');
  const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
  const auto lines = std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(line_start), '\n');
  std::string out(what);
  out += " at line ";
  out += std::to_string(lines + 1);
  out += " column ";
  out += std::to_string(end - line_start);
  return VectorError::io(std::move(out)).with_detail(VectorError::Detail::Corrupt);
}

VectorError Reader::error_at(std::size_t index, std::string_view what) const {
  return error_after(index + 1, what);
}

Status Reader::enter() {
  if (depth_ >= kMaxDepth) return error_here("recursion limit exceeded");
  ++depth_;
  return {};
}

Status Reader::finish() {
  skip_whitespace();
  if (!at_end()) return error_here("trailing characters");
  return {};
}

Status Reader::read_literal(std::string_view word) {
  for (const char expected : word) {
    if (at_end()) return error_here("EOF while parsing a value");
    if (peek() != static_cast<unsigned char>(expected)) return error_here("expected ident");
    advance();
  }
  return {};
}

Status Reader::read_digits() {
  if (at_end()) return error_here("EOF while parsing a value");
  if (!is_digit(peek())) return error_here("invalid number");
  while (!at_end() && is_digit(peek())) advance();
  return {};
}

Result<NumberToken> Reader::read_number() {
  const std::size_t start = pos_;
  NumberToken out;
  out.negative = next_is('-');
  if (out.negative) advance();
  if (at_end()) return error_here("EOF while parsing a value");
  if (peek() == '0') {
    advance();
    out.magnitude_fits = true;
    if (!at_end() && is_digit(peek())) return error_here("invalid number");
  } else if (is_digit(peek())) {
    out.magnitude_fits = true;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    for (; !at_end() && is_digit(peek()); advance()) {
      const unsigned digit = peek() - '0';
      if (out.magnitude > (kMax - digit) / 10) out.magnitude_fits = false;
      if (out.magnitude_fits) out.magnitude = out.magnitude * 10 + digit;
    }
  } else {
    return error_here("invalid number");
  }
  out.integer = true;
  if (next_is('.')) {
    out.integer = false;
    advance();
    if (Status s = read_digits(); !s) return std::move(s).error();
  }
  if (next_is('e') || next_is('E')) {
    out.integer = false;
    advance();
    if (next_is('+') || next_is('-')) advance();
    if (Status s = read_digits(); !s) return std::move(s).error();
  }
  out.text = text_.substr(start, pos_ - start);
  return out;
}

Result<double> Reader::number_to_f64(const NumberToken& token) const {
  const char* first = token.text.data();
  const char* last = first + token.text.size();
  double value = 0;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec == std::errc::result_out_of_range && underflows(token.text)) {
    return token.negative ? -0.0 : 0.0;
  }
  // The literal passed the JSON grammar, which from_chars reads whole.
  if (ec != std::errc() || ptr != last) return error_after(pos_, "number out of range");
  return value;
}

Result<JsonValue> Reader::number_to_value(const NumberToken& token) const {
  constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;  // of -2^63
  if (token.integer && token.magnitude_fits && !token.negative) return JsonValue(token.magnitude);
  // "-0" has no negative integer value: it is the float -0.0 below.
  if (token.integer && token.magnitude_fits && token.magnitude != 0 &&
      token.magnitude <= kMinMagnitude) {
    return JsonValue(static_cast<std::int64_t>(0 - token.magnitude));  // modular, -2^63 included
  }
  Result<double> value = number_to_f64(token);
  if (!value) return std::move(value).error();
  return JsonValue(*value);
}

Result<std::uint32_t> Reader::read_hex4() {
  std::uint32_t out = 0;
  for (int i = 0; i < 4; ++i) {
    if (at_end()) return error_here("EOF while parsing a string");
    const int digit = hex_value(peek());
    if (digit < 0) return error_here("invalid escape");
    out = out * 16 + static_cast<std::uint32_t>(digit);
    advance();
  }
  return out;
}

Result<std::uint32_t> Reader::read_escape() {
  advance();
  if (at_end()) return error_here("EOF while parsing a string");
  const unsigned char c = peek();
  advance();
  switch (c) {
    case '"': return std::uint32_t{'"'};
    case '\\': return std::uint32_t{'\\'};
    case '/': return std::uint32_t{'/'};
    case 'b': return std::uint32_t{'\b'};
    case 'f': return std::uint32_t{'\f'};
    case 'n': return std::uint32_t{'\n'};
    case 'r': return std::uint32_t{'\r'};
    case 't': return std::uint32_t{'\t'};
    case 'u': break;
    default: return error_at(pos_ - 1, "invalid escape");
  }
  Result<std::uint32_t> cp = read_hex4();
  if (!cp) return cp;
  if (*cp >= 0xDC00 && *cp <= 0xDFFF) return error_here("lone trailing surrogate in hex escape");
  if (*cp < 0xD800 || *cp > 0xDBFF) return cp;
  // A leading surrogate must be followed at once by a trailing one.
  if (text_.size() - pos_ < 2) {
    if (at_end()) return error_here("EOF while parsing a string");
    return error_here("lone leading surrogate in hex escape");
  }
  if (text_[pos_] != '\\' || text_[pos_ + 1] != 'u') {
    return error_here("lone leading surrogate in hex escape");
  }
  pos_ += 2;
  Result<std::uint32_t> low = read_hex4();
  if (!low) return low;
  if (*low < 0xDC00 || *low > 0xDFFF) {
    return error_after(pos_, "lone leading surrogate in hex escape");
  }
  return 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
}

Status Reader::read_string(std::string& out) {
  out.clear();
  advance();  // the opening quote
  std::size_t run_start = pos_;
  for (;;) {
    if (at_end()) return error_here("EOF while parsing a string");
    const unsigned char c = peek();
    if (c == '"') {
      out.append(text_.data() + run_start, pos_ - run_start);
      advance();
      return {};
    }
    if (c == '\\') {
      out.append(text_.data() + run_start, pos_ - run_start);
      Result<std::uint32_t> cp = read_escape();
      if (!cp) return std::move(cp).error();
      append_utf8(out, *cp);
      run_start = pos_;
    } else if (c < 0x20) {
      return error_here("control character (\\u0000-\\u001F) found while parsing a string");
    } else if (c < 0x80) {
      advance();
    } else {
      const std::size_t length = utf8_sequence_length(text_, pos_);
      if (length == 0) return error_here("invalid unicode code point");
      pos_ += length;
    }
  }
}

Result<JsonValue> Reader::read_value() {
  skip_whitespace();
  if (at_end()) return error_here("EOF while parsing a value");
  switch (peek()) {
    case 'n': {
      if (Status s = read_literal("null"); !s) return std::move(s).error();
      return JsonValue(nullptr);
    }
    case 't': {
      if (Status s = read_literal("true"); !s) return std::move(s).error();
      return JsonValue(true);
    }
    case 'f': {
      if (Status s = read_literal("false"); !s) return std::move(s).error();
      return JsonValue(false);
    }
    // Strings, lists and objects are built where they are returned from.
    case '"': {
      Result<JsonValue> text = JsonValue(std::string());
      if (Status s = read_string(std::get<std::string>(text->v)); !s) return std::move(s).error();
      return text;
    }
    case '[': {
      Result<JsonValue> array = JsonValue(JsonArray{});
      Status s = read_array([&]() -> Status {
        Result<JsonValue> element = read_value();
        if (!element) return std::move(element).error();
        std::get<JsonArray>(array->v).push_back(std::move(*element));
        return {};
      });
      if (!s) return std::move(s).error();
      return array;
    }
    case '{': {
      Result<JsonValue> object = JsonValue(JsonObject{});
      Status s = read_object([&](std::string key, std::size_t) -> Status {
        Result<JsonValue> value = read_value();
        if (!value) return std::move(value).error();
        // The later one wins.
        std::get<JsonObject>(object->v).insert_or_assign(std::move(key), std::move(*value));
        return {};
      });
      if (!s) return std::move(s).error();
      return object;
    }
    default: break;
  }
  if (peek() == '-' || is_digit(peek())) {
    Result<NumberToken> token = read_number();
    if (!token) return std::move(token).error();
    return number_to_value(*token);
  }
  return error_here("expected value");
}

std::string describe(const JsonValue& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          return "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "boolean `true`" : "boolean `false`";
        } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::int64_t>) {
          return "integer `" + std::to_string(v) + "`";
        } else if constexpr (std::is_same_v<T, double>) {
          std::string text = "floating point `";
          append_f64(text, v);
          return text + "`";
        } else if constexpr (std::is_same_v<T, std::string>) {
          std::string text = "string ";
          append_string(text, v);
          return text;
        } else if constexpr (std::is_same_v<T, JsonArray>) {
          return "sequence";
        } else {
          return "map";
        }
      },
      value.v);
}

}  // namespace velmoradb::json
