// The JSON decoder of one record type (chosen at build time: FUZZ_RECORD is
// 1 for Payload, 2 for WalEntry, 3 for CollectionMeta).
//
// Property: whatever the decoder accepts, the encoder writes as text that
// decodes to the same value, and that text is a fixed point (encoding the
// second value gives the same text, byte for byte apart from the order of
// the top-level payload keys, so at least the same length). For payloads
// encoded_payload_length agrees with the text's length, which the data file
// relies on. Values holding a non-finite float are left out: such a float is
// written as null.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "storage/json/json.h"

namespace velmoradb::fuzz {
namespace {

#if FUZZ_RECORD == 1
using Record = Payload;
bool finite(const Payload& p) { return all_finite(p); }
std::string encode(const Payload& p) {
  std::string text = json::encode_payload(p);
  FUZZ_CHECK(json::encoded_payload_length(p) == text.size(), "length %zu, text %zu",
             json::encoded_payload_length(p), text.size());
  return text;
}
auto decode = json::parse_payload;
constexpr bool kKeyOrderFree = true;
#elif FUZZ_RECORD == 2
using Record = WalEntry;
bool finite(const WalEntry& e) { return all_finite(e.vector) && all_finite(e.payload); }
std::string encode(const WalEntry& e) { return json::encode_wal_entry(e); }
auto decode = json::parse_wal_entry;
constexpr bool kKeyOrderFree = true;
#elif FUZZ_RECORD == 3
using Record = CollectionMeta;
bool finite(const CollectionMeta&) { return true; }
std::string encode(const CollectionMeta& m) { return json::encode_meta(m); }
auto decode = json::parse_meta;
constexpr bool kKeyOrderFree = false;
#else
#error "FUZZ_RECORD must be 1, 2 or 3"
#endif

}  // namespace
}  // namespace velmoradb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmoradb::fuzz;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  velmoradb::Result<Record> parsed = decode(text);
  if (!parsed) return 0;  // refused: an error, nothing else
  const Record& first = *parsed;
  if (!finite(first)) return 0;

  const std::string encoded = encode(first);
  velmoradb::Result<Record> reparsed = decode(encoded);
  FUZZ_CHECK(reparsed.ok(), "re-encoded text refused: %s\n  text: %s",
             reparsed.ok() ? "" : reparsed.error().text().c_str(), encoded.c_str());
  const Record& second = *reparsed;
  FUZZ_CHECK(second == first, "re-encoded text decodes to another value: %s", encoded.c_str());
  const std::string again = encode(second);
  if (kKeyOrderFree) {
    FUZZ_CHECK(again.size() == encoded.size(), "%s\n  then %s", encoded.c_str(), again.c_str());
  } else {
    FUZZ_CHECK(again == encoded, "%s\n  then %s", encoded.c_str(), again.c_str());
  }
  return 0;
}
