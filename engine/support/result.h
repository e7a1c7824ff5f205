// Result<T>: a value or one VectorError, in the manner of std::expected (which
// this compiler's standard library does not have yet). Status is Result<void>.
//
//   if (auto r = file->write(bytes); !r) return r.error();
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "engine/support/error.h"

namespace velmoradb {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  Result(VectorError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const VectorError& error() const& { assert(!ok()); return std::get<1>(v_); }
  VectorError&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, VectorError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(VectorError error) : error_(std::move(error)) {}  // NOLINT: implicit

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const VectorError& error() const& { assert(!ok()); return *error_; }
  VectorError&& error() && { assert(!ok()); return std::move(*error_); }

 private:
  std::optional<VectorError> error_;
};

using Status = Result<void>;

}  // namespace velmoradb
