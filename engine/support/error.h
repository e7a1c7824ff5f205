// The one error type of the engine, the storage layer and the collection.
//
// An error is a small value: made where the failure is detected, passed up
// unchanged, and turned into a Python exception only by the module. It owns
// its text; nothing below the module throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace velmoradb {

class VectorError {
 public:
  enum class Kind : std::uint8_t {
    DimensionMismatch,
    DuplicateId,
    IoError,
    WalCorrupted,
    CollectionError,
  };

  // What a caller may act on beyond the kind: a read that met the end of
  // the file (a torn tail, when the file is one that grows by appends), or
  // bytes that cannot be what was written. Never decided from the text.
  enum class Detail : std::uint8_t {
    None,
    EndOfFile,
    Corrupt,
  };

  static VectorError dimension_mismatch(std::size_t expected, std::size_t got);
  static VectorError duplicate_id(std::uint64_t id);
  static VectorError io(std::string text);
  static VectorError wal_corrupted(std::string text);
  static VectorError collection(std::string text);
  // The one way to put a step's phrase in front of a cause: an IoError
  // whose text is `phrase` (which ends in ": ", e.g. "read data failed: ")
  // followed by the cause's text; the cause's detail is kept.
  static VectorError io(std::string_view phrase, const VectorError& cause);

  // The same error with `detail` set.
  VectorError with_detail(Detail detail) && {
    detail_ = detail;
    return std::move(*this);
  }
  Detail detail() const { return detail_; }
  bool end_of_file() const { return detail_ == Detail::EndOfFile; }
  bool corrupt() const { return detail_ == Detail::Corrupt; }

  Kind kind() const { return kind_; }
  // The carried text of IoError, WalCorrupted and CollectionError (empty for
  // the other kinds): a context phrase followed by the cause.
  const std::string& text() const { return text_; }
  std::size_t expected() const { return expected_; }
  std::size_t got() const { return got_; }
  std::uint64_t id() const { return id_; }

  // The rendered message, e.g. "io error: seek failed: No such file or directory".
  std::string message() const;

  bool operator==(const VectorError&) const = default;

 private:
  VectorError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  Detail detail_ = Detail::None;
  std::string text_;
  std::size_t expected_ = 0;
  std::size_t got_ = 0;
  std::uint64_t id_ = 0;
};

}  // namespace velmoradb
