// The vector data file. Appends hand whole records to AppendBuffer, so a
// failed append leaves no partial record. Every read goes through one
// record reader (read_in_place, or read_spilled for a record the read
// buffer does not hold whole), over the layout of record_codec.h: the
// load's scan, read_record and read_raw_records.
#include "storage/data_file.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "storage/buffered_reader.h"
#include "storage/record_codec.h"
#include "storage/endian.h"
#include "storage/json/json.h"
#include "storage/payload_decode_cache.h"

namespace velmoradb {

namespace {

using namespace record_codec;

constexpr std::string_view kFlushFailed = "flush failed: ";
constexpr std::size_t kRunPayloads = 256;

// A read that met the end of the file: the record is cut short (a torn
// tail, or a size field that runs past the file).
bool met_end(const VectorError& e) { return e.end_of_file(); }

VectorError cut_short(std::string_view phrase) {
  return VectorError::io(phrase, early_end_of_file());
}

// One record as the reader found it: its header, its payload's length and
// all its bytes as they lie in the file, in the reader's buffer or in the
// caller's spill buffer; valid until the next read of either.
struct RawRecord {
  Header header;
  std::uint32_t payload_len = 0;
  std::span<const std::uint8_t> bytes;
  bool in_buffer = false;

  const std::uint8_t* vector() const { return bytes.data() + kVectorOffset; }
  std::string_view payload_text() const {
    return {reinterpret_cast<const char*>(bytes.data()) + (bytes.size() - payload_len), payload_len};
  }
};

// The record at in.position() when the reader's buffer holds all of it
// (the common case): consumed and viewed in place. nullopt, having consumed
// nothing, when it does not, or when its sizes run past the `remaining`
// bytes of the file: read_spilled then reads it (and says what is wrong
// with it) exactly as any other record.
std::optional<RawRecord> read_in_place(BufferedReader& in, std::uint64_t remaining) {
  const std::uint8_t* head = in.peek(kHeaderSize);
  if (!head) return std::nullopt;
  RawRecord rec;
  rec.header = decode_header(head);
  if (!vector_fits(rec.header.dim, remaining)) return std::nullopt;
  const std::uint8_t* p = in.peek(static_cast<std::size_t>(min_record_size(rec.header.dim)));
  if (!p) return std::nullopt;
  rec.payload_len = decode_payload_len(p, rec.header.dim);
  if (!payload_fits(rec.header.dim, rec.payload_len, remaining)) return std::nullopt;
  const auto size = static_cast<std::size_t>(record_size(rec.header.dim, rec.payload_len));
  if (!in.peek(size)) return std::nullopt;
  in.skip(size);
  rec.bytes = {p, size};
  rec.in_buffer = true;
  return rec;
}

// How a failed read is worded: after the field it was reading ("read dim
// failed: "), or as one read of the whole record ("read data failed: ").
enum class Phrasing : std::uint8_t { PerField, Whole };

// The record at in.position(), read field by field into `spill`. A record
// cut short by the end of the file, or whose sizes run past the
// `remaining` bytes of it, fails with an error whose detail is EndOfFile;
// any other read failure is the file layer's error. Sizes are checked
// against `remaining` before anything is sized from them.
Result<RawRecord> read_spilled(BufferedReader& in, std::uint64_t remaining, std::vector<std::uint8_t>& spill,
                               Phrasing phrasing = Phrasing::PerField) {
  const auto phrase = [&](std::string_view field) {
    return phrasing == Phrasing::Whole ? std::string_view("read data failed: ") : field;
  };
  spill.resize(kHeaderSize);
  if (auto r = in.read_exact(spill.data(), kMarkerSize); !r) return VectorError::io(phrase("read deleted failed: "), r.error());
  if (auto r = in.read_exact(spill.data() + kIdOffset, kIdSize); !r) return VectorError::io(phrase("read id failed: "), r.error());
  if (auto r = in.read_exact(spill.data() + kDimOffset, kDimSize); !r) return VectorError::io(phrase("read dim failed: "), r.error());
  RawRecord rec;
  rec.header = decode_header(spill.data());
  const std::uint32_t dim = rec.header.dim;
  // The vector within the file (its payload_len is then read, and met
  // missing, as any field).
  if (remaining < kVectorOffset || std::uint64_t{kElementSize} * dim > remaining - kVectorOffset) {
    return cut_short(phrase("read vector failed: "));
  }
  spill.resize(static_cast<std::size_t>(min_record_size(dim)));
  if (auto r = in.read_exact(spill.data() + kVectorOffset, std::size_t{kElementSize} * dim); !r) {
    return VectorError::io(phrase("read vector failed: "), r.error());
  }
  if (auto r = in.read_exact(spill.data() + spill.size() - kPayloadLenSize, kPayloadLenSize); !r) {
    return VectorError::io(phrase("read payload_len failed: "), r.error());
  }
  rec.payload_len = decode_payload_len(spill.data(), dim);
  if (!payload_fits(dim, rec.payload_len, remaining)) return cut_short(phrase("read payload failed: "));
  const std::size_t before = spill.size();
  spill.resize(before + rec.payload_len);
  if (auto r = in.read_exact(spill.data() + before, rec.payload_len); !r) {
    return VectorError::io(phrase("read payload failed: "), r.error());
  }
  rec.bytes = {spill.data(), spill.size()};
  return rec;
}

// The floats of a record, in native byte order.
void copy_vector(const RawRecord& rec, std::vector<float>& out) {
  out.resize(rec.header.dim);
  if (rec.header.dim == 0) return;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out.data(), rec.vector(), std::size_t{kElementSize} * rec.header.dim);
  } else {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::bit_cast<float>(le::load32(rec.vector() + 4 * i));
  }
}

// The payload of a record stored as `text`: none for the text every insert
// without one writes. Undecodable text is an error.
Status decode_payload_text(std::string_view text, Payload& out) {
  out = {};
  if (text == kEmptyPayload) return {};
  auto decoded = json::parse_payload(text);
  if (!decoded) return VectorError::io("payload deserialize failed: ", decoded.error());
  out = std::move(decoded).value();
  return {};
}

}  // namespace

VectorDataFile::VectorDataFile(FileSystem& fs, std::string path, std::unique_ptr<File> file,
                               std::uint64_t length)
    : fs_(fs), path_(std::move(path)), file_(std::move(file)), out_(kBufferSize, length),
      position_(length) {}

VectorDataFile::~VectorDataFile() { (void)write_out(); }

Result<std::unique_ptr<VectorDataFile>> VectorDataFile::open(FileSystem& fs, const std::string& path) {
  auto file = fs.open(path, OpenMode::ReadAppendCreate);
  if (!file) return VectorError::io("failed to open data file: ", file.error());
  auto length = (*file)->length();
  if (!length) return VectorError::io("metadata failed: ", length.error());
  return std::unique_ptr<VectorDataFile>(new VectorDataFile(fs, path, std::move(*file), *length));
}

Result<std::unique_ptr<VectorDataFile>> VectorDataFile::open_read_only(FileSystem& fs, const std::string& path) {
  auto file = fs.open(path, OpenMode::ReadOnly);
  if (!file) return VectorError::io("failed to open data file: ", file.error());
  auto length = (*file)->length();
  if (!length) return VectorError::io("metadata failed: ", length.error());
  return std::unique_ptr<VectorDataFile>(new VectorDataFile(fs, path, std::move(*file), *length));
}

Status VectorDataFile::rename_to(const std::string& path) {
  if (auto r = fs_.rename(path_, path); !r) return VectorError::io("rename failed: ", r.error());
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
  const auto size = static_cast<std::size_t>(record_size(len, json.size()));
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
  if (!file) return VectorError::io("open for delete failed: ", file.error());
  const std::uint8_t marker = kDeleted;
  std::size_t done = 0;
  Status result;
  for (; done < held_markers_.size(); ++done) {
    if (auto r = (*file)->seek(held_markers_[done]); !r) {
      result = VectorError::io("seek failed: ", r.error());
      break;
    }
    if (auto r = (*file)->write(&marker, 1); !r) {
      result = VectorError::io("write delete marker failed: ", r.error());
      break;
    }
  }
  held_markers_.erase(held_markers_.begin(), held_markers_.begin() + static_cast<std::ptrdiff_t>(done));
  return result;
}

Status VectorDataFile::sync() {
  if (auto r = write_out(); !r) return r;
  if (auto r = file_->sync(); !r) return VectorError::io("sync failed: ", r.error());
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
  if (auto r = file_->truncate(length); !r) return VectorError::io("truncate failed: ", r.error());
  if (auto r = file_->seek(length); !r) return VectorError::io("truncate failed: ", r.error());
  out_.reset(length);
  held_markers_.clear();
  position_ = length;
  return {};
}

Status VectorDataFile::read_raw_records(const std::vector<std::uint64_t>& offsets,
                                        const RawRecordCallback& on_record) {
  auto file = fs_.open(path_, OpenMode::ReadOnly);
  if (!file) return VectorError::io("open for iter failed: ", file.error());
  auto length = (*file)->length();
  if (!length) return VectorError::io("metadata failed: ", length.error());
  BufferedReader in(**file, kLoadChunk);
  std::vector<std::uint8_t> spill;  // a record that the read buffer does not hold whole
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    const std::uint64_t at = offsets[i];
    if (at > *length || *length - at < kFixedSize) {
      return VectorError::io("read data failed: no record at offset " + std::to_string(at));
    }
    if (auto r = in.seek(at); !r) return VectorError::io("read data failed: ", r.error());
    std::optional<RawRecord> rec = read_in_place(in, *length - at);
    if (!rec) {
      auto spilled = read_spilled(in, *length - at, spill, Phrasing::Whole);
      if (!spilled) {
        if (met_end(spilled.error())) {
          return VectorError::io("read data failed: the record at offset " + std::to_string(at) +
                                 " runs past the file");
        }
        return std::move(spilled).error();
      }
      rec = *spilled;
    }
    if (auto r = on_record(rec->bytes, i); !r) return r;
  }
  return {};
}

Result<StoredRecord> VectorDataFile::read_record(std::uint64_t offset) {
  auto file = fs_.open(path_, OpenMode::ReadOnly);
  if (!file) return VectorError::io("open for read failed: ", file.error());
  auto length = (*file)->length();
  if (!length) return VectorError::io("metadata failed: ", length.error());
  if (auto r = (*file)->seek(offset); !r) return VectorError::io("seek failed: ", r.error());
  BufferedReader in(**file, kBufferSize, offset);
  std::vector<std::uint8_t> spill;
  auto raw = read_spilled(in, offset < *length ? *length - offset : 0, spill);
  if (!raw) return std::move(raw).error();
  StoredRecord rec;
  rec.id = raw->header.id;
  rec.deleted = raw->header.deleted;
  copy_vector(*raw, rec.vector);
  if (auto r = decode_payload_text(raw->payload_text(), rec.payload); !r) return std::move(r).error();
  rec.offset = offset;
  rec.length = raw->bytes.size();
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
  if (!file) return VectorError::io("open for iter failed: ", file.error());
  auto length = (*file)->length();
  if (!length) return VectorError::io("metadata failed: ", length.error());
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
  std::vector<std::uint8_t> spill;  // a record across the end of the buffer
  Payload spilled_payload;  // and its payload
  std::vector<float> native;  // its vector in native byte order (big-endian hosts)
  std::uint64_t offset = 0;
  while (offset < file_length) {
    // offset is where the last record ended, inside the buffered window:
    // the seek never reads, so the buffer under the run stays as it is.
    if (auto r = in.seek(offset); !r) {
      hand_out();
      return VectorError::io("seek failed: ", r.error());
    }
    std::optional<RawRecord> rec;
    if constexpr (std::endian::native == std::endian::little) rec = read_in_place(in, file_length - offset);
    if (!rec) {
      // A record across the end of the buffer (once a buffer, and the first
      // record of all): reading it refills the buffer under the run.
      hand_out();
      auto spilled = read_spilled(in, file_length - offset, spill);
      if (!spilled) {
        if (!met_end(spilled.error())) return std::move(spilled).error();
        loaded.stop = LoadedRecords::Stop::TornTail;
        return loaded;
      }
      rec = *spilled;
    }
    const bool in_place = rec->in_buffer;
    // The next record begins where the stored payload ends. Its length
    // encoded again differs for text our encoder would write otherwise
    // ("1e5", spaces): stepping by that would land inside the record and
    // end the scan there, and the open would cut every record behind it.
    const std::uint64_t end = offset + rec->bytes.size();
    RecordView view;
    view.id = rec->header.id;
    view.dim = rec->header.dim;
    view.vector = rec->vector();
    if (!in_place && std::endian::native != std::endian::little) {
      copy_vector(*rec, native);
      view.vector = reinterpret_cast<const std::uint8_t*>(native.data());
    }
    // The payload: found in the decode cache when its text was met before,
    // else decoded (into a slot of the run, or for a spilled record its
    // own) and kept there, so that it outlives the run where it can.
    const std::string_view text = rec->payload_text();
    if (text != kEmptyPayload) {
      const PayloadDecodeCache::Entry* known = decoded.find(text);
      if (!known) {
        Payload& payload = in_place ? payloads[payloads_used] : spilled_payload;
        if (!decode_payload_text(text, payload)) {
          hand_out();
          loaded.stop = LoadedRecords::Stop::Undecodable;
          return loaded;
        }
        if (!payload.empty()) {
          view.payload = &payload;
          view.payload_text = text;
          known = decoded.keep(text, payload);
        }
      }
      if (known) {
        view.payload = &known->second;
        view.payload_text = known->first;
        view.payload_cached = true;
      }
    }
    loaded.end_offset = end;
    view.offset = offset;
    view.length = end - offset;
    offset = end;
    ++loaded.record_count;
    if (rec->header.deleted) continue;
    run.push_back(view);
    if (in_place && view.payload == &payloads[payloads_used]) ++payloads_used;
    // The spill buffer is reused by the next record, and so are the
    // payloads once all are taken.
    if (!in_place || payloads_used == kRunPayloads) hand_out();
  }
  hand_out();
  return loaded;
}

}  // namespace velmoradb
