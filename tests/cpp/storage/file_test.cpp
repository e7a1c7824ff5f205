#include "storage/file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "temp_dir.h"

namespace velmoradb {
namespace {

using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;

Status write_text(File& f, const std::string& s) {
  return f.write(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(File, ErrnoBecomesTheSystemsDescription) {
  EXPECT_EQ(io_error_from_errno(ENOSPC).message(), "io error: No space left on device");
  EXPECT_EQ(io_error_from_errno(ENOENT).text(), "No such file or directory");
}

TEST(File, AppendModeWritesAtTheEndWhateverTheSeek) {
  TempDir dir;
  write_bytes(dir.file("f"), "abc");
  auto f = default_file_system().open(dir.file("f"), OpenMode::ReadAppendCreate);
  ASSERT_TRUE(f);
  ASSERT_TRUE((*f)->seek(0));
  ASSERT_TRUE(write_text(**f, "de"));
  EXPECT_EQ(*(*f)->length(), 5u);
  EXPECT_EQ(read_bytes(dir.file("f")), "abcde");
}

TEST(File, WriteOnlyOverwritesInPlaceAndNeedsTheFile) {
  TempDir dir;
  auto missing = default_file_system().open(dir.file("none"), OpenMode::WriteOnly);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "No such file or directory");
  write_bytes(dir.file("f"), "abcd");
  auto f = default_file_system().open(dir.file("f"), OpenMode::WriteOnly);
  ASSERT_TRUE(f);
  ASSERT_TRUE((*f)->seek(2));
  ASSERT_TRUE(write_text(**f, "X"));
  EXPECT_EQ(read_bytes(dir.file("f")), "abXd");
}

TEST(File, CreateTruncateEmptiesAndTruncateCuts) {
  TempDir dir;
  write_bytes(dir.file("f"), "abcdef");
  auto f = default_file_system().open(dir.file("f"), OpenMode::WriteCreateTruncate);
  ASSERT_TRUE(f);
  EXPECT_EQ(*(*f)->length(), 0u);
  ASSERT_TRUE(write_text(**f, "123456"));
  ASSERT_TRUE((*f)->truncate(2));
  ASSERT_TRUE((*f)->sync());
  EXPECT_EQ(read_bytes(dir.file("f")), "12");
}

TEST(File, ReadExactReportsAnEarlyEnd) {
  TempDir dir;
  write_bytes(dir.file("f"), "abc");
  auto f = default_file_system().open(dir.file("f"), OpenMode::ReadOnly);
  ASSERT_TRUE(f);
  std::uint8_t buf[4];
  auto r = (*f)->read_exact(buf, 4);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io error: failed to fill whole buffer");
  EXPECT_TRUE(r.error().end_of_file());
  EXPECT_EQ(r.error(), early_end_of_file());
}

TEST(File, ReadFileReadsTheWholeFile) {
  TempDir dir;
  std::string big(100000, 'q');
  write_bytes(dir.file("f"), big);
  EXPECT_EQ(*default_file_system().read_file(dir.file("f")), big);
  EXPECT_EQ(default_file_system().read_file(dir.file("none")).error().text(),
            "No such file or directory");
}

TEST(FileSystem, DirectoriesRenameAndExistence) {
  TempDir dir;
  FileSystem& fs = default_file_system();
  std::string nested = join_path(join_path(dir.str(), "a"), "b");
  ASSERT_TRUE(fs.create_dirs(nested));
  ASSERT_TRUE(fs.create_dirs(nested));  // already there
  EXPECT_TRUE(fs.exists(nested));
  write_bytes(join_path(nested, "x"), "1");
  ASSERT_TRUE(fs.rename(join_path(nested, "x"), join_path(nested, "y")));
  EXPECT_FALSE(fs.exists(join_path(nested, "x")));
  EXPECT_EQ(read_bytes(join_path(nested, "y")), "1");
  EXPECT_TRUE(fs.sync_dir(nested));
  EXPECT_FALSE(fs.sync_dir(join_path(dir.str(), "missing")));
}

struct LockCase {
  LockMode first;
  LockMode second;
  bool second_granted;
};

class DirectoryLock : public ::testing::TestWithParam<LockCase> {};

TEST_P(DirectoryLock, ConflictsUntilReleased) {
  TempDir dir;
  FileSystem& fs = default_file_system();
  auto first = fs.lock_dir(dir.str(), GetParam().first);
  ASSERT_TRUE(first);
  auto second = fs.lock_dir(dir.str(), GetParam().second);
  ASSERT_EQ(second.ok(), GetParam().second_granted);
  if (!second) {
    EXPECT_EQ(second.error().text(), io_error_from_errno(EWOULDBLOCK).text());
    EXPECT_TRUE(is_lock_held(second.error()));
  }
  first->reset();
  if (second) second->reset();
  EXPECT_TRUE(fs.lock_dir(dir.str(), LockMode::Exclusive));
}

INSTANTIATE_TEST_SUITE_P(Modes, DirectoryLock,
                         ::testing::Values(LockCase{LockMode::Exclusive, LockMode::Exclusive, false},
                                           LockCase{LockMode::Exclusive, LockMode::Shared, false},
                                           LockCase{LockMode::Shared, LockMode::Exclusive, false},
                                           LockCase{LockMode::Shared, LockMode::Shared, true}));

TEST(FileSystem, OtherLockFailuresAreNotAHeldLock) {
  TempDir dir;
  auto missing = default_file_system().lock_dir(dir.file("missing"), LockMode::Exclusive);
  ASSERT_FALSE(missing);
  EXPECT_FALSE(is_lock_held(missing.error()));
}

TEST(FileSystem, IsDirectoryTellsDirectoriesFromFiles) {
  TempDir dir;
  FileSystem& fs = default_file_system();
  write_bytes(dir.file("f"), "x");
  auto is_dir = fs.is_directory(dir.str());
  auto is_file = fs.is_directory(dir.file("f"));
  ASSERT_TRUE(is_dir && is_file);
  EXPECT_TRUE(*is_dir);
  EXPECT_FALSE(*is_file);
  auto missing = fs.is_directory(dir.file("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "No such file or directory");
}

TEST(FileSystem, JoinPath) {
  EXPECT_EQ(join_path("/a/b", "wal.log"), "/a/b/wal.log");
  EXPECT_EQ(join_path("/a/b/", "wal.log"), "/a/b/wal.log");
  EXPECT_EQ(join_path("", "wal.log"), "wal.log");
}

}  // namespace
}  // namespace velmoradb
