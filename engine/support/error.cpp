#include "engine/support/error.h"

namespace velmoradb {

VectorError VectorError::dimension_mismatch(std::size_t expected, std::size_t got) {
  VectorError e(Kind::DimensionMismatch, {});
  e.expected_ = expected;
  e.got_ = got;
  return e;
}

VectorError VectorError::duplicate_id(std::uint64_t id) {
  VectorError e(Kind::DuplicateId, {});
  e.id_ = id;
  return e;
}

VectorError VectorError::io(std::string text) { return {Kind::IoError, std::move(text)}; }

VectorError VectorError::io(std::string_view phrase, const VectorError& cause) {
  std::string text;
  text.reserve(phrase.size() + cause.text().size());
  text.append(phrase).append(cause.text());
  return VectorError(Kind::IoError, std::move(text)).with_detail(cause.detail());
}

VectorError VectorError::wal_corrupted(std::string text) {
  return {Kind::WalCorrupted, std::move(text)};
}

VectorError VectorError::collection(std::string text) {
  return {Kind::CollectionError, std::move(text)};
}

std::string VectorError::message() const {
  switch (kind_) {
    case Kind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(expected_) + ", got " +
             std::to_string(got_);
    case Kind::DuplicateId:
      return "duplicate vector id: " + std::to_string(id_);
    case Kind::IoError:
      return "io error: " + text_;
    case Kind::WalCorrupted:
      return "WAL corrupted: " + text_;
    case Kind::CollectionError:
      return "collection error: " + text_;
  }
  return text_;
}

}  // namespace velmoradb
