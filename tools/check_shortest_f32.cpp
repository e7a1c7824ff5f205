// Compares, for every positive finite float (2^31 - 2^23 of them; several
// minutes on two cores):
//  - shortest_decimal_f32 with std::to_chars;
//  - the log's float text (format_f32) with a plain layout of std::to_chars's
//    digits;
//  - the AVX-512 list writer with the plain one, in groups of eight
//    consecutive floats, every other one negated (when the CPU has AVX-512).
// Build and run from the repository root:
//
//   g++ -std=c++20 -O2 -ffp-contract=off -pthread -I. tools/check_shortest_f32.cpp \
//       storage/json/shortest_f32.cpp storage/json/json_float.cpp storage/json_float_list*.cpp \
//       -o /tmp/check_shortest_f32 && /tmp/check_shortest_f32
#include <atomic>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "storage/json/json_float.h"
#include "storage/json/shortest_f32.h"

namespace {

using velmoradb::json::DecimalF32;

DecimalF32 reference(float value) {
  char text[32];
  const char* end = std::to_chars(text, text + sizeof text, value,
                                  std::chars_format::scientific).ptr;
  DecimalF32 d;
  int digits = 0;
  const char* p = text;
  for (; *p != 'e'; ++p) {
    if (*p == '.') continue;
    d.significand = d.significand * 10 + static_cast<std::uint32_t>(*p - '0');
    ++digits;
  }
  const bool negative = *++p == '-';
  int e = 0;
  for (++p; p < end; ++p) e = e * 10 + (*p - '0');
  d.exponent = (negative ? -e : e) - (digits - 1);
  return d;
}

// The text rules spelled out plainly: positional for -6 <= E <= 12 with at
// least one digit after the point, else d[.ddd]e±X.
std::string reference_text(DecimalF32 d) {
  std::string digits = std::to_string(d.significand);
  const int n = static_cast<int>(digits.size());
  const int e = d.exponent + n - 1;
  if (e < -6 || e > 12) {
    std::string out = digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    return out + "e" + (e < 0 ? "-" : "+") + std::to_string(e < 0 ? -e : e);
  }
  if (e < 0) return "0." + std::string(-e - 1, '0') + digits;
  if (n <= e + 1) return digits + std::string(e + 1 - n, '0') + ".0";
  return digits.substr(0, e + 1) + "." + digits.substr(e + 1);
}

}  // namespace

int main() {
  constexpr std::uint32_t kEnd = 0x7f800000;  // +infinity
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::atomic<std::uint64_t> mismatches{0};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      for (std::uint32_t bits = 1 + t; bits < kEnd; bits += threads) {
        const float value = std::bit_cast<float>(bits);
        const DecimalF32 ours = velmoradb::json::shortest_decimal_f32(value);
        const DecimalF32 want = reference(value);
        char text[velmoradb::json::kMaxFloatText];
        const std::string written(text, velmoradb::json::format_f32(text, value));
        if (written != reference_text(want) && mismatches.fetch_add(1) < 20) {
          std::printf("0x%08x: text %s, expected %s\n", bits, written.c_str(),
                      reference_text(want).c_str());
        }
        if (ours.significand != want.significand || ours.exponent != want.exponent) {
          if (mismatches.fetch_add(1) < 20) {
            std::printf("0x%08x: %ue%d, to_chars %ue%d\n", bits, ours.significand,
                        ours.exponent, want.significand, want.exponent);
          }
        }
      }
    });
  }
  for (auto& th : pool) th.join();
  pool.clear();
  const auto wide = velmoradb::json::f32_list_writer_avx512();
  std::printf("AVX-512 list writer: %s\n", wide != nullptr ? "checked" : "not on this CPU");
  for (unsigned t = 0; wide != nullptr && t < threads; ++t) {
    pool.emplace_back([&, t] {
      constexpr std::size_t kGroups = 4096;  // 32768 floats per call
      std::vector<float> values(8 * kGroups);
      std::vector<char> plain(18 * values.size() + 64), fast(18 * values.size() + 64);
      for (std::uint64_t start = 1 + std::uint64_t{t} * values.size(); start < kEnd;
           start += std::uint64_t{threads} * values.size()) {
        for (std::size_t j = 0; j < values.size(); ++j) {
          const std::uint64_t bits = std::min<std::uint64_t>(start + j, kEnd - 1);
          values[j] = std::bit_cast<float>(static_cast<std::uint32_t>(bits) |
                                           (j % 2 == 1 ? 0x80000000u : 0u));
        }
        const char* plain_end =
            velmoradb::json::write_f32_list_plain(plain.data(), values.data(), values.size());
        const char* fast_end = wide(fast.data(), values.data(), values.size());
        if (plain_end - plain.data() != fast_end - fast.data() ||
            std::memcmp(plain.data(), fast.data(), static_cast<std::size_t>(plain_end - plain.data())) != 0) {
          if (mismatches.fetch_add(1) < 20) {
            std::printf("list from 0x%08llx differs\n", static_cast<unsigned long long>(start));
          }
        }
      }
    });
  }
  for (auto& th : pool) th.join();
  std::printf("%llu mismatches over %u floats\n",
              static_cast<unsigned long long>(mismatches.load()), kEnd - 1);
  return mismatches == 0 ? 0 : 1;
}
