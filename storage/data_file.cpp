// The vector data file. Appends hand whole records to AppendBuffer, so a
// failed append leaves no partial record; reads share one record parser,
// used per call by read_record and over one streamed handle by the load.
#include "storage/data_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "storage/buffered_reader.h"
#include "storage/data_format.h"
#include "storage/endian.h"
#include "storage/json/json.h"
#include "storage/payload_decode_cache.h"

namespace velmoradb {

namespace {

using namespace data_format;

constexpr std::string_view kFlushFailed = "flush failed: ";
constexpr std::string_view kEmptyPayload = R"({"data":{}})";
constexpr std::size_t kRunPayloads = 256;
// A field whose size comes from the file is read in pieces of at most this
// many bytes, so a damaged size never reserves more than the file holds.
constexpr std::size_t kGrowStep = std::size_t{1} << 16;

VectorError io_with(std::string_view phrase, const VectorError& cause) {
  return VectorError::io(std::string(phrase) + cause.text());
}

enum class RecordFault { Io, Torn, Undecodable };

struct ParseFailure {
  VectorError error;
  RecordFault fault;
};

ParseFailure field_failure(std::string_view phrase, const VectorError& cause) {
  return {io_with(phrase, cause),
          BufferedReader::is_early_eof(cause) ? RecordFault::Torn : RecordFault::Io};
}

// Reads `n` bytes into `out`, growing it as the bytes arrive.
Status read_growing(BufferedReader& in, std::uint64_t n, std::string& out) {
  out.clear();
  while (out.size() < n) {
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n - out.size(), kGrowStep));
    std::size_t done = out.size();
    out.resize(done + take);
    if (auto r = in.read_exact(reinterpret_cast<std::uint8_t*>(out.data()) + done, take); !r) {
      return r;
    }
  }
  return {};
}

// Reads `n` floats into `out` the same way, straight into its storage.
Status read_floats_growing(BufferedReader& in, std::uint32_t n, std::vector<float>& out) {
  out.clear();
  constexpr std::size_t kStep = kGrowStep / kElementSize;
  while (out.size() < n) {
    std::size_t take = std::min<std::size_t>(n - out.size(), kStep);
    std::size_t done = out.size();
    out.resize(done + take);
    auto* bytes = reinterpret_cast<std::uint8_t*>(out.data() + done);
    if (auto r = in.read_exact(bytes, take * kElementSize); !r) return r;
    if constexpr (std::endian::native != std::endian::little) {
      for (std::size_t i = 0; i < take; ++i) out[done + i] = std::bit_cast<float>(le::load32(bytes + 4 * i));
    }
  }
  return {};
}

// Reads the record at in.position() into `rec` (all but its offset) and
// returns its stored payload_len. `remaining` is what is left of the file
// from there; a size field claiming more is cut short by the end of the file.
// With `text`, the payload's stored text goes there.
std::optional<ParseFailure> parse_record(BufferedReader& in, std::uint64_t remaining,
                                         StoredRecord& rec, std::uint32_t& payload_len,
                                         std::string* text = nullptr) {
  std::uint8_t head[kVectorOffset];
  if (auto r = in.read_exact(head, kMarkerSize); !r) return field_failure("read deleted failed: ", r.error());
  if (auto r = in.read_exact(head + kIdOffset, kIdSize); !r) return field_failure("read id failed: ", r.error());
  if (auto r = in.read_exact(head + kDimOffset, kDimSize); !r) return field_failure("read dim failed: ", r.error());
  rec.deleted = head[0] == kDeleted;
  rec.id = le::load64(head + kIdOffset);
  const std::uint32_t dim = le::load32(head + kDimOffset);

  const std::uint64_t vector_bytes = std::uint64_t{dim} * kElementSize;
  if (remaining < kVectorOffset || vector_bytes > remaining - kVectorOffset) {
    return field_failure("read vector failed: ", early_end_of_file());
  }
  if (auto r = read_floats_growing(in, dim, rec.vector); !r) return field_failure("read vector failed: ", r.error());

  std::uint8_t len[kPayloadLenSize];
  if (auto r = in.read_exact(len, kPayloadLenSize); !r) return field_failure("read payload_len failed: ", r.error());
  payload_len = le::load32(len);
  if (remaining < kFixedSize + vector_bytes || payload_len > remaining - kFixedSize - vector_bytes) {
    return field_failure("read payload failed: ", early_end_of_file());
  }
  std::string bytes;
  if (auto r = read_growing(in, payload_len, bytes); !r) return field_failure("read payload failed: ", r.error());

  rec.payload = {};
  if (bytes == kEmptyPayload) return std::nullopt;  // what every insert writes
  if (auto e = json::decode_payload(bytes, rec.payload)) {
    return ParseFailure{VectorError::io("payload deserialize failed: " + *e), RecordFault::Undecodable};
  }
  if (text != nullptr) *text = std::move(bytes);
  return std::nullopt;
}

// The common case of the load: the record at in.position() lies wholly in
// the reader's buffer, so it is parsed in place instead of field by field;
// `view` then points into the buffer, and a payload that is not empty is
// decoded into `payload`, or found in `decoded` when its text was met
// before. Returns false, having consumed nothing, when the
// buffer does not hold all of it or it runs past `remaining`; parse_record
// then reads it (and reports what is wrong with it) exactly as for any
// other record. Little-endian hosts only: elsewhere the floats need
// converting.
bool parse_buffered_record(BufferedReader& in, std::uint64_t remaining, RecordView& view, bool& deleted,
                           Payload& payload, PayloadDecodeCache& decoded, std::uint32_t& payload_len,
                           std::optional<ParseFailure>& failure) {
  const std::uint8_t* head = in.peek(kVectorOffset);
  if (!head) return false;
  const std::uint32_t dim = le::load32(head + kDimOffset);
  const std::uint64_t vector_bytes = std::uint64_t{dim} * kElementSize;
  if (remaining < kFixedSize || vector_bytes > remaining - kFixedSize) return false;
  const std::uint8_t* p = in.peek(static_cast<std::size_t>(kFixedSize + vector_bytes));
  if (!p) return false;
  const std::uint32_t len = le::load32(p + kVectorOffset + vector_bytes);
  if (len > remaining - kFixedSize - vector_bytes) return false;
  const std::uint64_t size = kFixedSize + vector_bytes + len;
  if (!in.peek(static_cast<std::size_t>(size))) return false;

  deleted = p[0] == kDeleted;
  view.id = le::load64(p + kIdOffset);
  view.vector = p + kVectorOffset;
  view.dim = dim;
  view.payload = nullptr;
  view.payload_text = {};
  view.payload_cached = false;
  payload_len = len;
  in.skip(static_cast<std::size_t>(size));
  std::string_view bytes(reinterpret_cast<const char*>(p + kVectorOffset + vector_bytes + kPayloadLenSize), len);
  if (bytes == kEmptyPayload) return true;  // what every insert writes
  const PayloadDecodeCache::Entry* known = decoded.find(bytes);
  if (!known) {
    payload = {};
    if (auto e = json::decode_payload(bytes, payload)) {
      failure = ParseFailure{VectorError::io("payload deserialize failed: " + *e), RecordFault::Undecodable};
      return true;
    }
    if (payload.empty()) return true;
    view.payload = &payload;
    view.payload_text = bytes;
    known = decoded.keep(bytes, payload);
  }
  if (known) {
    view.payload = &known->second;
    view.payload_text = known->first;
    view.payload_cached = true;
  }
  return true;
}

// parse_record for the load: `rec` holds the record, `view` shows it.
// `text` holds the payload's stored text for the view.
std::optional<ParseFailure> parse_record_view(BufferedReader& in, std::uint64_t remaining, StoredRecord& rec,
                                              std::string& text, RecordView& view, bool& deleted,
                                              std::uint32_t& payload_len) {
  text.clear();
  auto failure = parse_record(in, remaining, rec, payload_len, &text);
  if (failure) return failure;
  deleted = rec.deleted;
  view.id = rec.id;
  view.vector = reinterpret_cast<const std::uint8_t*>(rec.vector.data());
  view.dim = static_cast<std::uint32_t>(rec.vector.size());
  view.payload = rec.payload.empty() ? nullptr : &rec.payload;
  view.payload_text = rec.payload.empty() ? std::string_view() : std::string_view(text);
  return std::nullopt;
}

}  // namespace

VectorDataFile::VectorDataFile(FileSystem& fs, std::string path, std::unique_ptr<File> file,
                               std::uint64_t length)
    : fs_(fs), path_(std::move(path)), file_(std::move(file)), out_(kBufferSize, length),
      position_(length) {}

VectorDataFile::~VectorDataFile() { (void)write_out(); }

Result<std::unique_ptr<VectorDataFile>> VectorDataFile::open(FileSystem& fs, const std::string& path) {
  auto file = fs.open(path, OpenMode::ReadAppendCreate);
  if (!file) return io_with("failed to open data file: ", file.error());
  auto length = (*file)->length();
  if (!length) return io_with("metadata failed: ", length.error());
  return std::unique_ptr<VectorDataFile>(new VectorDataFile(fs, path, std::move(*file), *length));
}

Result<std::unique_ptr<VectorDataFile>> VectorDataFile::open_read_only(FileSystem& fs, const std::string& path) {
  auto file = fs.open(path, OpenMode::ReadOnly);
  if (!file) return io_with("failed to open data file: ", file.error());
  auto length = (*file)->length();
  if (!length) return io_with("metadata failed: ", length.error());
  return std::unique_ptr<VectorDataFile>(new VectorDataFile(fs, path, std::move(*file), *length));
}

Status VectorDataFile::rename_to(const std::string& path) {
  if (auto r = fs_.rename(path_, path); !r) return io_with("rename failed: ", r.error());
  path_ = path;
  return {};
}

Result<std::size_t> VectorDataFile::encode_record(std::vector<std::uint8_t>& out, std::string& scratch,
                                                  std::uint64_t id, const float* vector, std::size_t len,
                                                  const Payload& payload) {
  std::string& json = scratch;
  json.clear();
  json::append_payload(json, payload);
  constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
  if (len > kMax32) {
    return VectorError::io("write dim failed: " + std::to_string(len) +
                           " elements do not fit a record");
  }
  if (json.size() > kMax32) {
    return VectorError::io("write payload_len failed: " + std::to_string(json.size()) +
                           " bytes do not fit a record");
  }
  const std::size_t vector_bytes = len * kElementSize;
  const std::size_t size = kFixedSize + vector_bytes + json.size();
  // Appended part by part rather than zero-filled first and then written:
  // a bulk insert encodes every vector it writes here.
  std::uint8_t head[kVectorOffset];
  head[0] = kLive;
  le::store64(head + kIdOffset, id);
  le::store32(head + kDimOffset, static_cast<std::uint32_t>(len));
  out.insert(out.end(), head, head + kVectorOffset);
  if constexpr (std::endian::native == std::endian::little) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(vector);
    out.insert(out.end(), bytes, bytes + vector_bytes);
  } else {
    out.resize(out.size() + vector_bytes);
    le::store_floats(out.data() + out.size() - vector_bytes, vector, len);
  }
  std::uint8_t tail[kPayloadLenSize];
  le::store32(tail, static_cast<std::uint32_t>(json.size()));
  out.insert(out.end(), tail, tail + kPayloadLenSize);
  out.insert(out.end(), json.begin(), json.end());
  return size;
}

Result<std::uint64_t> VectorDataFile::append(std::uint64_t id, const float* vector, std::size_t len,
                                             const Payload& payload) {
  // The record is built in buffers kept from append to append.
  record_bytes_.clear();
  auto size = encode_record(record_bytes_, payload_text_, id, vector, len, payload);
  if (!size) return size.error();
  const WriteUnit units[] = {
      {kMarkerSize, 1, "write deleted marker failed: "},
      {kIdSize, 1, "write id failed: "},
      {kDimSize, 1, "write dim failed: "},
      {kElementSize, len, "write vector failed: "},
      {kPayloadLenSize, 1, "write payload_len failed: "},
      {payload_text_.size(), 1, "write payload failed: "},
  };
  Status appended = out_.append(*file_, record_bytes_, units);
  if (record_bytes_.capacity() > kKeptScratchBytes) {
    // A rare large payload does not keep its memory.
    std::vector<std::uint8_t>().swap(record_bytes_);
    std::string().swap(payload_text_);
  }
  if (!appended) return appended.error();
  const std::uint64_t offset = position_;
  position_ += *size;
  return offset;
}

Status VectorDataFile::mark_deleted(std::uint64_t offset) {
  if (offset >= position_) {
    return VectorError::io("seek failed: no record at offset " + std::to_string(offset) +
                           ", the file ends at " + std::to_string(position_));
  }
  if (out_.patch(offset, kDeleted)) return {};  // not in the file yet
  held_markers_.push_back(offset);
  return out_.holding() ? Status{} : write_markers();
}

Status VectorDataFile::write_markers() {
  if (held_markers_.empty()) return {};
  auto file = fs_.open(path_, OpenMode::WriteOnly);
  if (!file) return io_with("open for delete failed: ", file.error());
  const std::uint8_t marker = kDeleted;
  std::size_t done = 0;
  Status result;
  for (; done < held_markers_.size(); ++done) {
    if (auto r = (*file)->seek(held_markers_[done]); !r) {
      result = io_with("seek failed: ", r.error());
      break;
    }
    if (auto r = (*file)->write(&marker, 1); !r) {
      result = io_with("write delete marker failed: ", r.error());
      break;
    }
  }
  held_markers_.erase(held_markers_.begin(), held_markers_.begin() + static_cast<std::ptrdiff_t>(done));
  return result;
}

Status VectorDataFile::sync() {
  if (auto r = write_out(); !r) return r;
  if (auto r = file_->sync(); !r) return io_with("sync failed: ", r.error());
  return {};
}

Status VectorDataFile::write_out_records() { return out_.write_out(*file_, kFlushFailed); }

Status VectorDataFile::write_out() {
  // The records first: a marker may belong to one of them.
  if (auto r = out_.write_out(*file_, kFlushFailed); !r) return r;
  return write_markers();
}

void VectorDataFile::discard_held() {
  out_.reset(out_.file_length());
  held_markers_.clear();
}

Result<std::unique_ptr<RecordFileWriter>> VectorDataFile::direct_writer() {
  if (held() > 0) return VectorError::io("direct write failed: the data file holds unwritten records");
  return std::make_unique<RecordFileWriter>(*file_, position_);
}

void VectorDataFile::adopt_direct(std::uint64_t length) {
  out_.reset(length);
  position_ = length;
}

Status VectorDataFile::truncate_to(std::uint64_t length) {
  if (auto r = file_->truncate(length); !r) return io_with("truncate failed: ", r.error());
  if (auto r = file_->seek(length); !r) return io_with("truncate failed: ", r.error());
  out_.reset(length);
  held_markers_.clear();
  position_ = length;
  return {};
}

Status VectorDataFile::read_raw_records(const std::vector<std::uint64_t>& offsets,
                                        const RawRecordCallback& on_record) {
  auto file = fs_.open(path_, OpenMode::ReadOnly);
  if (!file) return io_with("open for iter failed: ", file.error());
  auto length = (*file)->length();
  if (!length) return io_with("metadata failed: ", length.error());
  BufferedReader in(**file, kLoadChunk);
  std::vector<std::uint8_t> spill;  // a record that the read buffer does not hold whole
  const auto past_end = [&](std::uint64_t at) {
    return VectorError::io("read data failed: the record at offset " + std::to_string(at) + " runs past the file");
  };
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const std::uint64_t at = offsets[i];
    if (at > *length || *length - at < kFixedSize) {
      return VectorError::io("read data failed: no record at offset " + std::to_string(at));
    }
    // The two lengths of the record, then the record itself, handed out
    // where the read buffer holds it when it does (no copy).
    std::uint8_t field[4];
    if (auto r = in.seek(at + kDimOffset); !r) return io_with("read data failed: ", r.error());
    if (auto r = in.read_exact(field, 4); !r) return io_with("read data failed: ", r.error());
    const std::uint64_t vector_bytes = std::uint64_t{le::load32(field)} * kElementSize;
    if (*length - at - kFixedSize < vector_bytes) return past_end(at);
    if (auto r = in.seek(at + kVectorOffset + vector_bytes); !r) return io_with("read data failed: ", r.error());
    if (auto r = in.read_exact(field, 4); !r) return io_with("read data failed: ", r.error());
    const std::uint64_t payload_bytes = le::load32(field);
    if (*length - at - kFixedSize - vector_bytes < payload_bytes) return past_end(at);
    const std::size_t size = static_cast<std::size_t>(kFixedSize + vector_bytes + payload_bytes);
    if (auto r = in.seek(at); !r) return io_with("read data failed: ", r.error());
    const std::uint8_t* bytes = in.peek(size);
    if (bytes != nullptr) {
      in.skip(size);
    } else {
      if (spill.size() < size) spill.resize(size);
      if (auto r = in.read_exact(spill.data(), size); !r) return io_with("read data failed: ", r.error());
      bytes = spill.data();
    }
    if (auto r = on_record(std::span<const std::uint8_t>(bytes, size), i); !r) return r;
  }
  return {};
}

Result<StoredRecord> VectorDataFile::read_record(std::uint64_t offset) {
  auto file = fs_.open(path_, OpenMode::ReadOnly);
  if (!file) return io_with("open for read failed: ", file.error());
  if (auto r = (*file)->seek(offset); !r) return io_with("seek failed: ", r.error());
  BufferedReader in(**file, kBufferSize, offset);
  StoredRecord rec;
  std::uint32_t payload_len = 0;
  if (auto failure = parse_record(in, std::numeric_limits<std::uint64_t>::max(), rec, payload_len)) {
    return std::move(failure->error);
  }
  rec.offset = offset;
  rec.length = kFixedSize + std::uint64_t{kElementSize} * rec.vector.size() + payload_len;
  return rec;
}

Result<LoadedRecords> VectorDataFile::load_live_records() {
  std::vector<StoredRecord> records;
  auto scanned = scan_live_runs([&](std::span<RecordView> run, std::uint64_t file_length) {
    if (records.capacity() == 0) {
      // Records of one collection share one size: size the result from the
      // first one instead of growing (and moving) it twenty times.
      records.reserve(static_cast<std::size_t>(file_length / run.front().length));
    }
    for (RecordView& view : run) {
      StoredRecord& rec = records.emplace_back();
      rec.id = view.id;
      rec.vector.resize(view.dim);
      if (view.dim > 0) std::memcpy(rec.vector.data(), view.vector, std::size_t{view.dim} * kElementSize);
      if (view.payload) rec.payload = *view.payload;
      rec.offset = view.offset;
      rec.length = view.length;
    }
  });
  if (!scanned) return scanned;
  scanned->records = std::move(records);
  return scanned;
}

Result<LoadedRecords> VectorDataFile::scan_live_runs(const RunCallback& on_run) {
  PayloadDecodeCache decoded;
  return scan_live_runs(on_run, decoded);
}

Result<LoadedRecords> VectorDataFile::scan_live_runs(const RunCallback& on_run, PayloadDecodeCache& decoded,
                                                     std::size_t chunk) {
  auto file = fs_.open(path_, OpenMode::ReadOnly);
  if (!file) return io_with("open for iter failed: ", file.error());
  auto length = (*file)->length();
  if (!length) return io_with("metadata failed: ", length.error());
  const std::uint64_t file_length = *length;

  LoadedRecords loaded;
  loaded.file_length = file_length;
  BufferedReader in(**file, chunk);
  // The views of the run point into the reader's buffer: the run is handed
  // out before anything can refill it, and before the scan returns.
  // A run holds up to kRunPayloads payloads decoded in place, each in a
  // slot of its own: ending a run at every payload would hand the index
  // one record at a time, each id's lookup a cache miss of its own.
  std::vector<RecordView> run;
  std::vector<Payload> payloads(kRunPayloads);  // the payloads of records parsed in place
  std::size_t payloads_used = 0;
  auto hand_out = [&] {
    if (!run.empty()) on_run(run, file_length);
    run.clear();
    payloads_used = 0;
  };
  StoredRecord rec;  // a record read field by field
  std::string rec_text;  // and its payload's stored text
  std::uint64_t offset = 0;
  while (offset < file_length) {
    RecordView view;
    bool deleted = false;
    std::uint32_t payload_len = 0;
    std::optional<ParseFailure> failure;
    // offset is where the last record ended, inside the buffered window:
    // the seek never reads, so the buffer under the run stays as it is.
    if (auto r = in.seek(offset); !r) {
      hand_out();
      return io_with("seek failed: ", r.error());
    }
    const bool in_place = std::endian::native == std::endian::little &&
                          parse_buffered_record(in, file_length - offset, view, deleted, payloads[payloads_used],
                                                decoded, payload_len, failure);
    if (!in_place) {
      hand_out();
      failure = parse_record_view(in, file_length - offset, rec, rec_text, view, deleted, payload_len);
      // A record across the end of the buffer (once a buffer, and the first
      // record of all): its payload goes to the cache as any other, so that
      // it outlives the run where it can.
      if (!failure && view.payload != nullptr) {
        const PayloadDecodeCache::Entry* known = decoded.find(view.payload_text);
        if (!known) known = decoded.keep(view.payload_text, *view.payload);
        if (known) {
          view.payload = &known->second;
          view.payload_text = known->first;
          view.payload_cached = true;
        }
      }
    }
    if (failure) {
      hand_out();
      if (failure->fault == RecordFault::Io) return std::move(failure->error);
      loaded.stop = failure->fault == RecordFault::Torn ? LoadedRecords::Stop::TornTail
                                                        : LoadedRecords::Stop::Undecodable;
      return loaded;
    }
    const std::uint64_t vector_bytes = std::uint64_t{kElementSize} * view.dim;
    // The next record begins where the stored payload ends. Its length
    // encoded again differs for text our encoder would write otherwise
    // ("1e5", spaces): stepping by that would land inside the record and
    // end the scan there, and the open would cut every record behind it.
    loaded.end_offset = offset + kFixedSize + vector_bytes + payload_len;
    view.offset = offset;
    view.length = loaded.end_offset - offset;
    offset = loaded.end_offset;
    ++loaded.record_count;
    if (deleted) continue;
    run.push_back(view);
    if (in_place && view.payload == &payloads[payloads_used]) ++payloads_used;
    // `rec` is reused by the next record, and so are the payloads once
    // all are taken.
    if (!in_place || payloads_used == kRunPayloads) hand_out();
  }
  hand_out();
  return loaded;
}

}  // namespace velmoradb
