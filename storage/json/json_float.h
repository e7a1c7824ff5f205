// Float text of the stored formats, written into a caller's buffer so that the
// encoder and the payload-length computation share one routine without
// building temporary strings. Internal to the JSON codec.
#pragma once

#include <cstddef>

namespace velmoradb::json {

// Longest text either routine writes ("-0.00001234567890123456" and
// "-1.2345678901234567e-308" are 24 bytes), with room to spare.
constexpr std::size_t kMaxFloatText = 32;

// Write the text of value into buf (kMaxFloatText bytes) and return its
// length: "null" for NaN and infinities, "0.0"/"-0.0" for zeros, else the
// shortest round-trip digits, positional when -6 <= E <= 12 (32-bit) or
// -5 <= E <= 15 (64-bit), scientific ("1e-7", "1.5e+13") otherwise.
std::size_t format_f32(char* buf, float value);
std::size_t format_f64(char* buf, double value);

// The texts of values[0..n), separated by commas, written from buf (which
// needs 18 * n + kMaxFloatText bytes); returns the end. The same bytes as
// format_f32 one by one, eight at a time where the CPU has AVX-512.
char* write_f32_list(char* buf, const float* values, std::size_t n);

// The two ways of writing the list, for tests that compare them.
using F32ListWriter = char* (*)(char* buf, const float* values, std::size_t n);
char* write_f32_list_plain(char* buf, const float* values, std::size_t n);
F32ListWriter f32_list_writer_avx512();  // nullptr when the CPU lacks AVX-512 F, DQ, CD

}  // namespace velmoradb::json
