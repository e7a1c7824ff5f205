// meta.json is replaced, never rewritten in place: the new text goes to a
// temporary file beside it, is forced to disk and renamed over the old one,
// and the directory is forced, so a crash leaves either the old file or the
// new one, never a truncated mix.
#include "storage/meta.h"

#include <string>
#include <string_view>
#include <utility>

#include "engine/support/utf8.h"
#include "storage/directory_files.h"
#include "storage/json/json.h"

namespace velmoradb {

namespace {


VectorError write_failed(const VectorError& cause) {
  return VectorError::collection("write meta failed: " + cause.text());
}

}  // namespace

Status write_meta(FileSystem& fs, const std::string& dir, const CollectionMeta& meta) {
  // Encoding cannot fail for this record, so "serialize meta failed: " has
  // no path here.
  const std::string text = json::encode_meta(meta);
  const std::string temp = join_path(dir, directory_files::kMetaTemp);
  {
    auto file = fs.open(temp, OpenMode::WriteCreateTruncate);
    if (!file) return write_failed(file.error());
    if (auto r = (*file)->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); !r) {
      return write_failed(r.error());
    }
    if (auto r = (*file)->sync(); !r) return write_failed(r.error());
  }
  if (auto r = fs.rename(temp, join_path(dir, directory_files::kMeta)); !r) return write_failed(r.error());
  if (auto r = fs.sync_dir(dir); !r) return write_failed(r.error());
  return {};
}

Result<CollectionMeta> read_meta(FileSystem& fs, const std::string& dir) {
  auto text = fs.read_file(join_path(dir, directory_files::kMeta));
  if (!text) return VectorError::collection("read meta failed: " + text.error().text());
  if (!is_utf8(*text)) {
    return VectorError::collection("read meta failed: stream did not contain valid UTF-8");
  }
  auto meta = json::parse_meta(*text);
  if (!meta) return VectorError::collection("parse meta failed: " + meta.error().text());
  return std::move(*meta);
}

}  // namespace velmoradb
