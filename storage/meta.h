// meta.json: the collection's settings and counters as pretty JSON.
#pragma once

#include <string>

#include "engine/support/result.h"
#include "storage/file.h"
#include "storage/records.h"

namespace velmoradb {

// Replaces dir/meta.json atomically: a temporary file in the same directory,
// forced to disk, renamed over meta.json, then the directory forced.
// CollectionError "serialize meta failed: " or "write meta failed: ".
Status write_meta(FileSystem& fs, const std::string& dir, const CollectionMeta& meta);

// Reads and decodes dir/meta.json.
// CollectionError "read meta failed: " or "parse meta failed: ".
Result<CollectionMeta> read_meta(FileSystem& fs, const std::string& dir);

}  // namespace velmoradb
