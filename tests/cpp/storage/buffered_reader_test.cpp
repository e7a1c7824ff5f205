#include "storage/buffered_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/faulty_fs.h"
#include "temp_dir.h"

namespace velmoradb {
namespace {

using testing::TempDir;
using testing::write_bytes;

// How a read meets the end of the file or a failing read: through the
// buffer (a request smaller than the buffer) or past it (one as large).
struct ReadCase {
  const char* name;
  std::size_t capacity;
  std::size_t request;
};

class BufferedReaderEnd : public ::testing::TestWithParam<ReadCase> {
 protected:
  TempDir dir;
  FaultyFileSystem fs;
};

TEST_P(BufferedReaderEnd, AnEarlyEndIsMarkedEndOfFile) {
  write_bytes(dir.file("f"), std::string(GetParam().request - 1, 'x'));
  auto file = fs.open(dir.file("f"), OpenMode::ReadOnly);
  ASSERT_TRUE(file);
  BufferedReader in(**file, GetParam().capacity);
  std::vector<std::uint8_t> out(GetParam().request);
  const Status r = in.read_exact(out.data(), out.size());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: failed to fill whole buffer");
  EXPECT_TRUE(r.error().end_of_file());
  EXPECT_TRUE(r.error().end_of_file());
}

TEST_P(BufferedReaderEnd, AFailedReadIsNoEndOfFile) {
  write_bytes(dir.file("f"), std::string(GetParam().request, 'x'));
  auto file = fs.open(dir.file("f"), OpenMode::ReadOnly);
  ASSERT_TRUE(file);
  BufferedReader in(**file, GetParam().capacity);
  fs.fail_call(FsCall::Read, 1, EIO);
  std::vector<std::uint8_t> out(GetParam().request);
  const Status r = in.read_exact(out.data(), out.size());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), io_error_from_errno(EIO));
  EXPECT_FALSE(r.error().end_of_file());
  EXPECT_FALSE(r.error().end_of_file());
}

INSTANTIATE_TEST_SUITE_P(Paths, BufferedReaderEnd,
                         ::testing::Values(ReadCase{"ThroughTheBuffer", 64, 10},
                                           ReadCase{"PastTheBuffer", 8, 20}),
                         [](const auto& info) { return std::string(info.param.name); });

// A phrase put in front keeps the mark: callers tell a torn tail from
// damage after adding their context.
TEST(BufferedReader, APhraseInFrontKeepsTheEndOfFileMark) {
  const VectorError wrapped = VectorError::io("read data failed: ", early_end_of_file());
  EXPECT_EQ(wrapped.message(), "io error: read data failed: failed to fill whole buffer");
  EXPECT_TRUE(wrapped.end_of_file());
}

}  // namespace
}  // namespace velmoradb
