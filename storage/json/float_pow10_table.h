// Made by tools/gen_float_pow10.py; do not edit by hand.
// kFloatPow10[k - kFloatPow10MinK] = floor(10^-k * 2^(62 - floor(log2(10^-k)))) + 1.
#pragma once

#include <cstdint>

namespace velmoradb::json {

constexpr int kFloatPow10MinK = -46;
constexpr int kFloatPow10MaxK = 32;

constexpr std::uint64_t kFloatPow10[] = {
    0x701a97b150cf1838,  // k = -46
    0x59aedfc10d7279c6,  // k = -45
    0x47bf19673df52e38,  // k = -44
    0x72cb5bd86321e38d,  // k = -43
    0x5bd5e313828182d7,  // k = -42
    0x4977e8dc68679be0,  // k = -41
    0x758ca7c70d7292ff,  // k = -40
    0x5e0a1fd271287599,  // k = -39
    0x4b3b4ca85a86c47b,  // k = -38
    0x785ee10d5da46d91,  // k = -37
    0x604be73de4838ada,  // k = -36
    0x4d0985cb1d3608af,  // k = -35
    0x7b426fab61f00de4,  // k = -34
    0x629b8c891b267183,  // k = -33
    0x4ee2d6d415b85acf,  // k = -32
    0x7e37be2022c0914c,  // k = -31
    0x64f964e68233a770,  // k = -30
    0x50c783eb9b5c85f3,  // k = -29
    0x409f9cbc7c4a04c3,  // k = -28
    0x6765c793fa10079e,  // k = -27
    0x52b7d2dcc80cd2e5,  // k = -26
    0x422ca8b0a00a4251,  // k = -25
    0x69e10de76676d081,  // k = -24
    0x54b40b1f852bda01,  // k = -23
    0x43c33c1937564801,  // k = -22
    0x6c6b935b8bbd4001,  // k = -21
    0x56bc75e2d6310001,  // k = -20
    0x4563918244f40001,  // k = -19
    0x6f05b59d3b200001,  // k = -18
    0x58d15e1762800001,  // k = -17
    0x470de4df82000001,  // k = -16
    0x71afd498d0000001,  // k = -15
    0x5af3107a40000001,  // k = -14
    0x48c2739500000001,  // k = -13
    0x746a528800000001,  // k = -12
    0x5d21dba000000001,  // k = -11
    0x4a817c8000000001,  // k = -10
    0x7735940000000001,  // k = -9
    0x5f5e100000000001,  // k = -8
    0x4c4b400000000001,  // k = -7
    0x7a12000000000001,  // k = -6
    0x61a8000000000001,  // k = -5
    0x4e20000000000001,  // k = -4
    0x7d00000000000001,  // k = -3
    0x6400000000000001,  // k = -2
    0x5000000000000001,  // k = -1
    0x4000000000000001,  // k = 0
    0x6666666666666667,  // k = 1
    0x51eb851eb851eb86,  // k = 2
    0x4189374bc6a7ef9e,  // k = 3
    0x68db8bac710cb296,  // k = 4
    0x53e2d6238da3c212,  // k = 5
    0x431bde82d7b634db,  // k = 6
    0x6b5fca6af2bd215f,  // k = 7
    0x55e63b88c230e77f,  // k = 8
    0x44b82fa09b5a52cc,  // k = 9
    0x6df37f675ef6eae0,  // k = 10
    0x57f5ff85e5925580,  // k = 11
    0x465e6604b7a84466,  // k = 12
    0x709709a125da070a,  // k = 13
    0x5a126e1a84ae6c08,  // k = 14
    0x480ebe7b9d58566d,  // k = 15
    0x734aca5f6226f0ae,  // k = 16
    0x5c3bd5191b525a25,  // k = 17
    0x49c97747490eae84,  // k = 18
    0x760f253edb4ab0d3,  // k = 19
    0x5e72843249088d76,  // k = 20
    0x4b8ed0283a6d3df8,  // k = 21
    0x78e480405d7b9659,  // k = 22
    0x60b6cd004ac94514,  // k = 23
    0x4d5f0a66a23a9daa,  // k = 24
    0x7bcb43d769f762a9,  // k = 25
    0x63090312bb2c4eee,  // k = 26
    0x4f3a68dbc8f03f25,  // k = 27
    0x7ec3daf941806507,  // k = 28
    0x65697bfa9acd1da0,  // k = 29
    0x51212ffbaf0a7e19,  // k = 30
    0x40e7599625a1fe7b,  // k = 31
    0x67d88f56a29cca5e,  // k = 32
};

}  // namespace velmoradb::json
