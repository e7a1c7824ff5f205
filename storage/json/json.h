// The JSON codec of every stored record.
//
// Encoders produce the exact bytes the stored formats require: compact text
// for the log and the data file, pretty text for meta.json. They cannot fail
// for the values this system builds.
//
// Decoders apply the record rules: a record is read from a JSON object (keys
// compared exactly, unknown keys skipped with their values, every field
// required, a repeated field refused) or from an array of its field values in
// declaration order; nesting is limited to 128 levels; only whitespace may
// follow the value. A failure is the codec's error: an IoError marked
// Corrupt (the text is not one the encoder writes) whose text is the reason
// and its place, e.g. "missing field `id` at line 1 column 40"; the caller
// puts its own context phrase in front. No decoder recurses without the
// depth check or reserves memory from a length it has not read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/index/payload.h"
#include "engine/support/result.h"
#include "storage/records.h"

namespace velmoradb::json {

// Float text: "null" for NaN and infinities, else the shortest round-trip
// digits in positional form (32-bit: -6 <= E <= 12; 64-bit: -5 <= E <= 15)
// or scientific form ("1e-7", "1.5e+13").
void append_f32(std::string& out, float value);
void append_f64(std::string& out, double value);
// A JSON string with the escapes of the stored formats.
void append_string(std::string& out, std::string_view text);
// Any JSON value, compact; nested objects in ascending key order.
void append_value(std::string& out, const JsonValue& value);

std::string encode_payload(const Payload& payload);     // {"data":{...}}
void append_payload(std::string& out, const Payload& payload);  // the same text, appended
std::string encode_wal_entry(const WalEntry& entry);    // compact, four members
// The same text, appended to out (the log frames it behind its header).
void append_wal_entry(std::string& out, const WalEntry& entry);
std::string encode_meta(const CollectionMeta& meta);    // pretty, no final line feed
// The length encode_payload would give, without building the text.
std::size_t encoded_payload_length(const Payload& payload);

// Fails when `payload` would not come back from its text as it is: a NaN
// or infinite number (the text holds null), a key or string that is not
// UTF-8 (no decoder reads it back) or lists and objects nested deeper than
// the log's entries can hold (125 inside a top-level value). The error is
// a CollectionError naming the fault, e.g. "a payload number is NaN or
// infinite (under the key "x")": a collection refuses such a payload before
// it writes anything.
Status check_payload(const Payload& payload);

Result<Payload> parse_payload(std::string_view text);
Result<WalEntry> parse_wal_entry(std::string_view text);
Result<CollectionMeta> parse_meta(std::string_view text);


}  // namespace velmoradb::json
