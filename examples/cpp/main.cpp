// Opens (or creates) a collection in the directory given on the command
// line, inserts a few vectors with payloads, searches, flushes, then reopens
// the directory and searches again: what flush made durable is there.
#include <cstdio>
#include <string>
#include <vector>

#include "collection/collection.h"

namespace {

using velmoradb::CollectionConfig;
using velmoradb::DistanceMetric;
using velmoradb::PersistentCollection;

void print_results(const char* title, const std::vector<velmoradb::SearchResult>& results) {
  std::printf("%s\n", title);
  for (const auto& r : results) {
    auto name = r.payload.data.find("name");
    const auto* text = name == r.payload.data.end() ? nullptr : std::get_if<std::string>(&name->second.v);
    std::printf("  id %llu  distance %.6g  %s\n", static_cast<unsigned long long>(r.id), r.distance,
                text ? text->c_str() : "");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const CollectionConfig config{.dimension = 3, .metric = DistanceMetric::Euclidean};
  const std::vector<float> query = {1.0f, 0.9f, 0.0f};

  {
    auto opened = PersistentCollection::open_or_create(dir, config);
    if (!opened) {
      std::fprintf(stderr, "open failed: %s\n", opened.error().message().c_str());
      return 1;
    }
    PersistentCollection& collection = **opened;
    const struct {
      std::uint64_t id;
      std::vector<float> vector;
      const char* name;
    } items[] = {{1, {1, 0, 0}, "x axis"}, {2, {0, 1, 0}, "y axis"}, {3, {1, 1, 0}, "diagonal"},
                 {4, {0, 0, 1}, "z axis"}};
    for (const auto& item : items) {
      velmoradb::Payload payload;
      payload.data["name"] = std::string(item.name);
      if (auto r = collection.insert(item.id, item.vector, std::move(payload)); !r) {
        std::fprintf(stderr, "insert failed: %s\n", r.error().message().c_str());
        return 1;
      }
    }
    print_results("nearest to (1, 0.9, 0):", collection.search(query.data(), query.size(), 2));
    if (auto r = collection.flush(); !r) {
      std::fprintf(stderr, "flush failed: %s\n", r.error().message().c_str());
      return 1;
    }
  }  // closed here: the directory's lock is released

  auto reopened = PersistentCollection::open_or_create(dir, config);
  if (!reopened) {
    std::fprintf(stderr, "reopen failed: %s\n", reopened.error().message().c_str());
    return 1;
  }
  std::printf("reopened: %zu vectors\n", (*reopened)->size());
  print_results("nearest after reopening:", (*reopened)->search(query.data(), query.size(), 2));
  return 0;
}
