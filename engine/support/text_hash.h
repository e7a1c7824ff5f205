// TextHash: the hash of a map keyed by std::string that is looked up by
// std::string_view (with std::equal_to<>), so a lookup copies no text.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace velmoradb {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
};

}  // namespace velmoradb
