// Opens (or creates) a collection in the directory given on the command
// line, inserts a few vectors with payloads, searches (also with a filter on
// the payloads), deletes one, compacts and closes, then reopens the
// directory and searches again: everything acknowledged is there.
#include <cstdio>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "engine/filter/filter.h"

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

    // Only the records whose payload matches {"name": {"$in": ["y axis", "z axis"]}}.
    using velmoradb::JsonArray;
    using velmoradb::JsonObject;
    auto where = velmoradb::Filter::compile(JsonObject{{"name", JsonObject{{"$in", JsonArray{"y axis", "z axis"}}}}});
    if (!where) {
      std::fprintf(stderr, "filter refused: %s\n", where.error().message().c_str());
      return 1;
    }
    auto filtered = collection.search(query.data(), query.size(), 1, &*where);
    if (!filtered) {
      std::fprintf(stderr, "search failed: %s\n", filtered.error().message().c_str());
      return 1;
    }
    print_results("nearest named y axis or z axis:", *filtered);

    auto removed = collection.remove(4);
    if (!removed) {
      std::fprintf(stderr, "delete failed: %s\n", removed.error().message().c_str());
      return 1;
    }
    std::printf("deleted id 4: %s\n", *removed ? "yes" : "it was not there");
    // Rewrites data.vdb without the deleted record; the log is emptied.
    auto compacted = collection.compact();
    if (!compacted) {
      std::fprintf(stderr, "compact failed: %s\n", compacted.error().message().c_str());
      return 1;
    }
    std::printf("compacted: %llu records dropped\n", static_cast<unsigned long long>(compacted->records_dropped));
    if (auto r = collection.close(); !r) {  // releases the directory's lock
      std::fprintf(stderr, "close failed: %s\n", r.error().message().c_str());
      return 1;
    }
  }

  velmoradb::OpenOptions existing;
  existing.intent = velmoradb::OpenIntent::OpenExisting;
  auto reopened = PersistentCollection::open(dir, {}, existing);
  if (!reopened) {
    std::fprintf(stderr, "reopen failed: %s\n", reopened.error().message().c_str());
    return 1;
  }
  std::printf("reopened: %zu vectors\n", (*reopened)->size());
  print_results("nearest after reopening:", (*reopened)->search(query.data(), query.size(), 2));
  return 0;
}
