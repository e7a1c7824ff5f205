// The search, for a float v = c * 2^q (c the integer significand):
//  - the floats next to v bound an interval of decimals that read back as v;
//    its ends lie halfway to the neighbours: (4c - 2) and (4c + 2) in units of
//    2^(q-2), or (4c - 1) below when v is the smallest significand of its
//    binade (the neighbour below is closer);
//  - k = floor(log10(2^q)) makes 10^k no wider than the interval, so a
//    multiple of 10^k always lies in it, and no two multiples of 10^(k+1) do;
//  - the interval and v are scaled by 10^-k with two fraction bits (the
//    products below, rounded to odd so an inexact result never equals an
//    exact one), then the one candidate of length k+1 is tried, and failing
//    that the nearest of the two of length k.
// Ends are included when c is even: ties of a read round to the even float.
#include "storage/json/shortest_f32.h"

#include <bit>
#include <cstring>

#include "storage/json/float_pow10_table.h"

namespace velmoradb::json {
namespace {

constexpr int kSignificandBits = 23;
constexpr std::uint32_t kHiddenBit = std::uint32_t{1} << kSignificandBits;
constexpr int kMinExponent = -149;  // q of the subnormals and of the smallest normal binade

// floor(q * log10(2)), floor(q * log10(2) + log10(3/4)) and
// floor(e * log2(10)), exact for every exponent a float can have.
int floor_log10_pow2(int q) { return static_cast<int>((q * 661971961083LL) >> 41); }
int floor_log10_three_quarters_pow2(int q) {
  return static_cast<int>((q * 661971961083LL - 274743187321LL) >> 41);
}
int floor_log2_pow10(int e) { return static_cast<int>((e * 913124641741LL) >> 38); }

// (g * cp) / 2^95, rounded to odd: the low bit is set when bits were dropped.
std::uint32_t scaled(std::uint64_t g, std::uint64_t cp) {
  const auto high =
      static_cast<std::uint64_t>((static_cast<unsigned __int128>(g) * cp) >> 64);
  const std::uint64_t sticky = ((high & 0xffffffffu) + 0xffffffffu) >> 32;
  return static_cast<std::uint32_t>((high >> 31) | sticky);
}

DecimalF32 search(int q, std::uint32_t c) {
  const std::uint32_t out = c & 1;  // an odd c excludes the ends
  const std::uint64_t cb = std::uint64_t{c} << 2;
  const std::uint64_t cbr = cb + 2;
  std::uint64_t cbl;
  int k;
  if (c != kHiddenBit || q == kMinExponent) {
    cbl = cb - 2;
    k = floor_log10_pow2(q);
  } else {
    cbl = cb - 1;
    k = floor_log10_three_quarters_pow2(q);
  }
  const int h = q + floor_log2_pow10(-k) + 33;
  const std::uint64_t g = kFloatPow10[k - kFloatPow10MinK];
  const std::uint32_t vb = scaled(g, cb << h);
  const std::uint32_t vbl = scaled(g, cbl << h);
  const std::uint32_t vbr = scaled(g, cbr << h);

  // Both lengths are worked out and one is picked without branching: on
  // random data every test below goes either way.
  const std::uint32_t s = vb >> 2;  // floor(v / 10^k)
  const std::uint32_t t = s + 1;
  // The multiples of 10^(k+1) either side of v: at most one is inside.
  const std::uint32_t sp = s / 10;
  const bool lower10_in = vbl + out <= sp * 40;
  const bool upper10_in = sp * 40 + 40 + out <= vbr;
  const bool use10 = s >= 10 && lower10_in != upper10_in;
  const std::uint32_t ten = lower10_in ? sp : sp + 1;
  // Otherwise s or t: the one inside, or when both are the nearer, and on a
  // tie the even one.
  const bool lower_in = vbl + out <= s << 2;
  const bool upper_in = (t << 2) + out <= vbr;
  const auto distance = static_cast<std::int64_t>(vb) - static_cast<std::int64_t>((s + t) << 1);
  const bool nearer_lower = distance < 0 || (distance == 0 && (s & 1) == 0);
  const std::uint32_t one = lower_in != upper_in ? (lower_in ? s : t) : (nearer_lower ? s : t);
  return use10 ? DecimalF32{ten, k + 1} : DecimalF32{one, k};
}

DecimalF32 without_trailing_zeros(DecimalF32 d) {
  // Rare past the search's own step of ten: a loop the branch predictor
  // gets right.
  while (d.significand != 0 && d.significand % 10 == 0) {
    d.significand /= 10;
    ++d.exponent;
  }
  return d;
}

}  // namespace

F32Scale f32_scale(int biased_exponent) {
  const int q = biased_exponent - 1 + kMinExponent;
  F32Scale scale;
  scale.k = floor_log10_pow2(q);
  scale.h = q + floor_log2_pow10(-scale.k) + 33;
  scale.g = kFloatPow10[scale.k - kFloatPow10MinK];
  return scale;
}

DecimalF32 shortest_decimal_f32(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t fraction = bits & (kHiddenBit - 1);
  const int biased = static_cast<int>((bits >> kSignificandBits) & 0xff);
  if (biased == 0) return without_trailing_zeros(search(kMinExponent, fraction));
  const std::uint32_t c = kHiddenBit | fraction;
  const int q = biased - 1 + kMinExponent;
  return without_trailing_zeros(search(q, c));
}

}  // namespace velmoradb::json
