// Well-formed UTF-8: the one check of the JSON codec, meta.json and the
// filter's error texts. Well-formed means no overlong forms, no surrogates
// (U+D800..U+DFFF) and nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmoradb {

// The length of the well-formed UTF-8 sequence starting at text[pos]
// (pos < text.size()): 1 for a byte below 0x80, else 2 to 4, or 0 when the
// sequence is malformed, overlong, a surrogate, beyond U+10FFFF or cut off
// by the end of the text.
inline std::size_t utf8_sequence_length(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// Whether all of `text` is well-formed UTF-8.
inline bool is_utf8(std::string_view text) {
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

}  // namespace velmoradb
