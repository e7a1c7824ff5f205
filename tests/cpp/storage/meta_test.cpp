#include "storage/meta.h"

#include <gtest/gtest.h>

#include "support/faulty_fs.h"
#include "temp_dir.h"

namespace velmoradb {
namespace {

using testing::read_bytes;
using testing::TempDir;
using testing::write_bytes;

const std::string kMetaText =
    "{\n  \"dimension\": 128,\n  \"metric\": \"Cosine\",\n  \"vector_count\": 0,\n  \"next_id\": 1\n}";
const CollectionMeta kMeta{128, "Cosine", 0, 1};

class Meta : public ::testing::Test {
 protected:
  std::string read_error() {
    auto r = read_meta(fs, dir.str());
    return r ? "ok" : r.error().message();
  }
  TempDir dir;
  std::string path = dir.file("meta.json");
  FaultyFileSystem fs;
};

TEST_F(Meta, FileIsByteExactAndReadsBack) {
  ASSERT_TRUE(write_meta(fs, dir.str(), kMeta));
  EXPECT_EQ(kMetaText.size(), 81u);
  EXPECT_EQ(read_bytes(path), kMetaText);
  EXPECT_FALSE(default_file_system().exists(dir.file("meta.json.tmp")));
  auto back = read_meta(fs, dir.str());
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, kMeta);
}

// Every file-system call of the write can fail: the error names the write,
// and meta.json is the old file or the new one, never a torn mix.
TEST_F(Meta, EveryFailedStepLeavesTheOldOrTheNewFile) {
  const std::string old_text = "{\"dimension\":3,\"metric\":\"Dot\",\"vector_count\":1,\"next_id\":2}";
  std::size_t n = 1;
  for (;; ++n) {
    write_bytes(path, old_text);
    FaultyFileSystem faulty;
    faulty.fail_call(n, ENOSPC);
    Status r = write_meta(faulty, dir.str(), kMeta);
    if (faulty.injected() == 0) {
      EXPECT_TRUE(r);
      break;
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "collection error: write meta failed: No space left on device");
    const std::string now = read_bytes(path);
    EXPECT_TRUE(now == old_text || now == kMetaText) << "call " << n;
  }
  EXPECT_EQ(n, 6u);  // open, write, sync, rename, sync_dir, then none fails
}

TEST_F(Meta, PartialWriteNeverReachesMetaJson) {
  write_bytes(path, kMetaText);
  fs.partial_write(1, 10);
  ASSERT_FALSE(write_meta(fs, dir.str(), CollectionMeta{4, "Dot", 5, 6}));
  EXPECT_EQ(read_bytes(path), kMetaText);
}

struct ReadCase {
  std::string text;
  std::string message;
};

class MetaRead : public Meta, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(MetaRead, ReportsTheFile) {
  write_bytes(path, GetParam().text);
  EXPECT_EQ(read_error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MetaRead,
    ::testing::Values(
        ReadCase{kMetaText + "\n", "ok"},
        ReadCase{R"({"next_id":1,"dimension":128,"extra":[{}],"vector_count":0,"metric":"cosine"})", "ok"},
        ReadCase{R"([128,"Cosine",0,1])", "ok"},
        ReadCase{R"([128,"Cosine",0])",
                 "collection error: parse meta failed: invalid length 3, expected struct "
                 "CollectionMeta with 4 elements at line 1 column 16"},
        ReadCase{R"({"dimension":128,"metric":"Cosine","vector_count":0})",
                 "collection error: parse meta failed: missing field `next_id` at line 1 column 52"},
        ReadCase{kMetaText + "x",
                 "collection error: parse meta failed: trailing characters at line 6 column 2"},
        ReadCase{"{\"dimension\":1,\"metric\":\"\xC3\x28\",\"vector_count\":0,\"next_id\":1}",
                 "collection error: read meta failed: stream did not contain valid UTF-8"},
        ReadCase{"{\"metric\":\"\xED\xA0\x80\"}",
                 "collection error: read meta failed: stream did not contain valid UTF-8"}));

TEST_F(Meta, ReadFailures) {
  EXPECT_EQ(read_error(), "collection error: read meta failed: No such file or directory");
  write_bytes(path, kMetaText);
  fs.fail_call(FsCall::Read, 1);
  EXPECT_EQ(read_error(), "collection error: read meta failed: Input/output error");
  write_bytes(path, "");
  EXPECT_EQ(read_error().rfind("collection error: parse meta failed: ", 0), 0u);
}

}  // namespace
}  // namespace velmoradb
