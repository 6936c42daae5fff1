// Results carry either a value or an Error; nothing is thrown across the
// library's boundary. That holds for running out of memory too: the
// operations callers reach (Container's, peek_headers and the maintenance
// tools) catch std::bad_alloc and return Error::out_of_memory(), the Io error
// libzstd itself reports for it. Helpers that return a plain value instead
// of a Result (split_records, the text forms) cannot report it and let
// std::bad_alloc through, as the standard library does.
//
//   Result<Frame> r = ...;
//   if (!r) return std::move(r).error();
//   use(*r);
//
// TARVEL_TRY and TARVEL_TRY_ASSIGN propagate an error from inside a function
// that itself returns some Result<U>:
//
//   TARVEL_TRY(file.seek(16));
//   TARVEL_TRY_ASSIGN(std::string zone, read_exact(file, n));
#ifndef TARVEL_CONTAINER_RESULT_H_
#define TARVEL_CONTAINER_RESULT_H_

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "container/error.h"

namespace tarvel {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok()
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

  // Applies "f" (Error -> Error) to a carried error; a value passes through.
  template <class F>
  Result map_error(F&& f) && {
    if (ok()) return std::move(*this);
    return Result(f(std::move(*this).error()));
  }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  // User-provided on purpose: a defaulted constructor would make "return
  // {}" value-initialise, zero-filling the whole optional<Error> on every
  // success. Here only the optional's engaged flag is set.
  Result() {}
  Result(Error error) : e_(std::move(error)) {}

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }

  // REQUIRES: !ok()
  const Error& error() const& { return *e_; }
  Error&& error() && { return std::move(*e_); }

  template <class F>
  Result map_error(F&& f) && {
    if (ok()) return Result();
    return Result(f(std::move(*e_)));
  }

 private:
  std::optional<Error> e_;
};

using Status = Result<void>;

}  // namespace tarvel

#define TARVEL_CONCAT_INNER_(a, b) a##b
#define TARVEL_CONCAT_(a, b) TARVEL_CONCAT_INNER_(a, b)

// Returns the error of "expr" (any Result) from the enclosing function.
#define TARVEL_TRY(expr)                                            \
  do {                                                              \
    auto tarvel_try_result_ = (expr);                               \
    if (!tarvel_try_result_) return std::move(tarvel_try_result_).error(); \
  } while (0)

// Declares or assigns "lhs" from the value of "expr", or returns its error.
#define TARVEL_TRY_ASSIGN(lhs, expr) \
  TARVEL_TRY_ASSIGN_IMPL_(TARVEL_CONCAT_(tarvel_try_, __LINE__), lhs, expr)
#define TARVEL_TRY_ASSIGN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                             \
  if (!tmp) return std::move(tmp).error();       \
  lhs = std::move(tmp).value()

#endif  // TARVEL_CONTAINER_RESULT_H_
