#include "support/faulty_fs.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace velmoradb {
namespace {

using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;

class FaultyFs : public ::testing::Test {
 protected:
  std::unique_ptr<File> open(OpenMode mode) {
    auto f = fs.open(dir.file("f"), mode);
    EXPECT_TRUE(f);
    return f ? std::move(*f) : nullptr;
  }
  Status write(File& f, const std::string& s) {
    return f.write(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }

  TempDir dir;
  FaultyFileSystem fs;
};

TEST_F(FaultyFs, CountsEveryCallByKind) {
  auto f = open(OpenMode::ReadAppendCreate);
  ASSERT_TRUE(write(*f, "abc"));
  ASSERT_TRUE(f->sync());
  ASSERT_TRUE(f->length());
  EXPECT_TRUE(fs.exists(dir.file("f")));
  EXPECT_EQ(fs.calls(), 5u);
  EXPECT_EQ(fs.calls(FsCall::Open), 1u);
  EXPECT_EQ(fs.calls(FsCall::Write), 1u);
  EXPECT_EQ(fs.calls(FsCall::Exists), 1u);
  EXPECT_EQ(fs.injected(), 0u);
}

TEST_F(FaultyFs, FailsTheNthCallFromNowWithItsErrno) {
  auto f = open(OpenMode::ReadAppendCreate);
  fs.fail_call(2, ENOSPC);
  EXPECT_TRUE(f->sync());
  auto r = write(*f, "abc");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "No space left on device");
  EXPECT_TRUE(write(*f, "abc"));  // only the one call
  EXPECT_EQ(fs.injected(), 1u);
  EXPECT_EQ(read_bytes(dir.file("f")), "abc");
}

TEST_F(FaultyFs, PersistentFaultFailsEveryLaterCallOfItsKind) {
  auto f = open(OpenMode::ReadAppendCreate);
  fs.fail_call(FsCall::Sync, 2, EIO, true);
  EXPECT_TRUE(f->sync());
  EXPECT_TRUE(write(*f, "x"));
  EXPECT_FALSE(f->sync());
  EXPECT_FALSE(f->sync());
  EXPECT_EQ(fs.injected(), 2u);
  fs.clear();
  EXPECT_TRUE(f->sync());
}

TEST_F(FaultyFs, ShortReadsAndEarlyEnd) {
  write_bytes(dir.file("f"), "abcdef");
  auto f = open(OpenMode::ReadOnly);
  fs.short_read(1, 2);
  fs.short_read(2, 0);
  std::uint8_t buf[6];
  EXPECT_EQ(*f->read(buf, 6), 2u);
  EXPECT_EQ(*f->read(buf, 6), 0u);
  EXPECT_EQ(*f->read(buf, 6), 4u);
}

TEST_F(FaultyFs, PartialWriteLeavesAPrefixAndFails) {
  auto f = open(OpenMode::ReadAppendCreate);
  fs.partial_write(1, 2);
  auto r = write(*f, "abcdef");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "No space left on device");
  EXPECT_EQ(read_bytes(dir.file("f")), "ab");
}

TEST_F(FaultyFs, DirectoryCallsFailToo) {
  fs.fail_call(1);
  fs.fail_call(FsCall::Lock, 1, EWOULDBLOCK);
  fs.fail_call(FsCall::IsDirectory, 1, EACCES);
  EXPECT_FALSE(fs.exists(dir.str()));  // a failed metadata read is absence
  auto lock = fs.lock_dir(dir.str(), LockMode::Exclusive);
  ASSERT_FALSE(lock);
  EXPECT_TRUE(is_lock_held(lock.error()));
  auto is_dir = fs.is_directory(dir.str());
  ASSERT_FALSE(is_dir);
  EXPECT_EQ(is_dir.error().text(), "Permission denied");
  EXPECT_TRUE(fs.exists(dir.str()));
  auto passed_on = fs.is_directory(dir.str());
  ASSERT_TRUE(passed_on);
  EXPECT_TRUE(*passed_on);
  EXPECT_EQ(fs.injected(), 3u);
}

}  // namespace
}  // namespace velmoradb
