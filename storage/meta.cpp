// meta.json is replaced, never rewritten in place: the new text goes to a
// temporary file beside it, is forced to disk and renamed over the old one,
// and the directory is forced, so a crash leaves either the old file or the
// new one, never a truncated mix.
#include "storage/meta.h"

#include <string>
#include <string_view>

#include "storage/json/json.h"

namespace velmoradb {

namespace {

constexpr std::string_view kMetaFile = "meta.json";
constexpr std::string_view kTempFile = "meta.json.tmp";

VectorError write_failed(const VectorError& cause) {
  return VectorError::collection("write meta failed: " + cause.text());
}

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c < 0x80) { ++p; continue; }
    if (c >= 0xC2 && c <= 0xDF) n = 1;
    else if (c >= 0xE0 && c <= 0xEF) { n = 2; if (c == 0xE0) lo = 0xA0; if (c == 0xED) hi = 0x9F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 3; if (c == 0xF0) lo = 0x90; if (c == 0xF4) hi = 0x8F; }
    else return false;
    if (static_cast<std::size_t>(end - p) <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += n + 1;
  }
  return true;
}

}  // namespace

Status write_meta(FileSystem& fs, const std::string& dir, const CollectionMeta& meta) {
  // Encoding cannot fail for this record, so "serialize meta failed: " has
  // no path here.
  const std::string text = json::encode_meta(meta);
  const std::string temp = join_path(dir, kTempFile);
  {
    auto file = fs.open(temp, OpenMode::WriteCreateTruncate);
    if (!file) return write_failed(file.error());
    if (auto r = (*file)->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); !r) {
      return write_failed(r.error());
    }
    if (auto r = (*file)->sync(); !r) return write_failed(r.error());
  }
  if (auto r = fs.rename(temp, join_path(dir, kMetaFile)); !r) return write_failed(r.error());
  if (auto r = fs.sync_dir(dir); !r) return write_failed(r.error());
  return {};
}

Result<CollectionMeta> read_meta(FileSystem& fs, const std::string& dir) {
  auto text = fs.read_file(join_path(dir, kMetaFile));
  if (!text) return VectorError::collection("read meta failed: " + text.error().text());
  if (!is_utf8(*text)) {
    return VectorError::collection("read meta failed: stream did not contain valid UTF-8");
  }
  CollectionMeta meta;
  if (auto e = json::decode_meta(*text, meta)) {
    return VectorError::collection("parse meta failed: " + *e);
  }
  return meta;
}

}  // namespace velmoradb
