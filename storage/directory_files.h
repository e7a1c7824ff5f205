// The names of the files a collection's directory holds, in one place.
#pragma once

#include <string_view>

namespace velmoradb::directory_files {

inline constexpr std::string_view kMeta = "meta.json";
inline constexpr std::string_view kMetaTemp = "meta.json.tmp";  // meta.json being replaced
inline constexpr std::string_view kWal = "wal.log";
inline constexpr std::string_view kData = "data.vdb";
// The data file a compaction writes, renamed over kData once forced.
inline constexpr std::string_view kCompact = "data.vdb.compact";
// The marker of a bulk insert under way: where the data file ended before it.
inline constexpr std::string_view kBulk = "data.vdb.bulk";
// A copy of damaged bytes set aside before they are cut from `name`:
// name + kDamagedSuffix (then .1, .2, ... beside an earlier copy).
inline constexpr std::string_view kDamagedSuffix = ".damaged";

}  // namespace velmoradb::directory_files
