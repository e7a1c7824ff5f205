#include "engine/support/error.h"

#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "engine/support/result.h"

namespace velmoradb {
namespace {

struct MessageCase {
  const char* name;
  VectorError error;
  VectorError::Kind kind;
  std::string message;
};

class ErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessage, RendersExactly) {
  const MessageCase& c = GetParam();
  EXPECT_EQ(c.error.kind(), c.kind);
  EXPECT_EQ(c.error.message(), c.message);
}

const std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    AllKinds, ErrorMessage,
    ::testing::Values(
        MessageCase{"DimensionMismatch", VectorError::dimension_mismatch(3, 5),
                    VectorError::Kind::DimensionMismatch, "dimension mismatch: expected 3, got 5"},
        MessageCase{"DimensionMismatchZero", VectorError::dimension_mismatch(0, 0),
                    VectorError::Kind::DimensionMismatch, "dimension mismatch: expected 0, got 0"},
        MessageCase{"DimensionMismatchSizeMax",
                    VectorError::dimension_mismatch(std::numeric_limits<std::size_t>::max(), 1),
                    VectorError::Kind::DimensionMismatch,
                    "dimension mismatch: expected 18446744073709551615, got 1"},
        MessageCase{"DuplicateId", VectorError::duplicate_id(7), VectorError::Kind::DuplicateId,
                    "duplicate vector id: 7"},
        MessageCase{"DuplicateIdZero", VectorError::duplicate_id(0), VectorError::Kind::DuplicateId,
                    "duplicate vector id: 0"},
        // Ids are unsigned: twenty digits, never a minus sign.
        MessageCase{"DuplicateIdMax", VectorError::duplicate_id(kMaxId), VectorError::Kind::DuplicateId,
                    "duplicate vector id: 18446744073709551615"},
        MessageCase{"IoError", VectorError::io("seek failed: No such file or directory"),
                    VectorError::Kind::IoError, "io error: seek failed: No such file or directory"},
        MessageCase{"IoErrorEmpty", VectorError::io(""), VectorError::Kind::IoError, "io error: "},
        MessageCase{"WalCorrupted", VectorError::wal_corrupted("checksum mismatch: expected 1, got 2"),
                    VectorError::Kind::WalCorrupted, "WAL corrupted: checksum mismatch: expected 1, got 2"},
        MessageCase{"CollectionError", VectorError::collection("write meta failed: disk full"),
                    VectorError::Kind::CollectionError, "collection error: write meta failed: disk full"},
        MessageCase{"TextKeptVerbatim", VectorError::collection(" a:b: \n"),
                    VectorError::Kind::CollectionError, "collection error:  a:b: \n"}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.name); });

TEST(Error, CarriesItsData) {
  VectorError mismatch = VectorError::dimension_mismatch(3, 4);
  EXPECT_EQ(mismatch.expected(), 3u);
  EXPECT_EQ(mismatch.got(), 4u);
  EXPECT_EQ(VectorError::duplicate_id(kMaxId).id(), kMaxId);
  EXPECT_EQ(VectorError::wal_corrupted("torn").text(), "torn");
}

TEST(Error, CopiesAndMovesKeepTheText) {
  VectorError original = VectorError::io("read failed: x");
  VectorError copy = original;
  VectorError moved = std::move(original);
  EXPECT_EQ(copy, moved);
  EXPECT_EQ(moved.message(), "io error: read failed: x");
}

TEST(Error, ResultPassesTheErrorUpUnchanged) {
  auto fail = []() -> Result<int> { return VectorError::duplicate_id(9); };
  auto pass_up = [&]() -> Status {
    if (auto r = fail(); !r) return r.error();
    return {};
  };
  Status s = pass_up();
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error(), VectorError::duplicate_id(9));
  Result<int> ok = 5;
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, 5);
}

}  // namespace
}  // namespace velmoradb
