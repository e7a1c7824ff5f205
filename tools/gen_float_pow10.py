"""Write storage/json/float_pow10_table.h: the 63-bit powers of ten that the
shortest float32 formatter multiplies by.

Entry k holds floor(10**-k * 2**(62 - f)) + 1, f = floor(log2(10**-k)): the
value 10**-k scaled into [2**62, 2**63] and rounded up, so that a product with
it never falls below the exact one. Run from the repository root:

    python tools/gen_float_pow10.py > storage/json/float_pow10_table.h
"""
from fractions import Fraction

K_MIN, K_MAX = -46, 32  # floor(log10(2**q)) for every float32 exponent q, with margin


def floor_log2(x: Fraction) -> int:
    f = x.numerator.bit_length() - x.denominator.bit_length()
    while Fraction(2) ** f > x:
        f -= 1
    while Fraction(2) ** (f + 1) <= x:
        f += 1
    return f


def entry(k: int) -> int:
    p = Fraction(10) ** -k
    f = floor_log2(p)
    g = p * Fraction(2) ** (62 - f)
    value = g.numerator // g.denominator + 1
    assert 2**62 < value <= 2**63
    return value


def main() -> None:
    print("// Made by tools/gen_float_pow10.py; do not edit by hand.")
    print("// kFloatPow10[k - kFloatPow10MinK] = floor(10^-k * 2^(62 - floor(log2(10^-k)))) + 1.")
    print("#pragma once\n\n#include <cstdint>\n\nnamespace velmoradb::json {\n")
    print(f"constexpr int kFloatPow10MinK = {K_MIN};")
    print(f"constexpr int kFloatPow10MaxK = {K_MAX};\n")
    print("constexpr std::uint64_t kFloatPow10[] = {")
    for k in range(K_MIN, K_MAX + 1):
        print(f"    0x{entry(k):016x},  // k = {k}")
    print("};\n\n}  // namespace velmoradb::json")


if __name__ == "__main__":
    main()
