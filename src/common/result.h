// The one result type of the code base: a value, or an error. The error is a text meant for a
// person unless a caller needs more (chairctl's failures also carry an exit status).
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace chair {

struct Error {
  std::string text;
};

inline Error fail(std::string text) { return Error{std::move(text)}; }

// An error type with more to say than the text derives from Error.
template <class E>
concept ErrorText = std::is_base_of_v<Error, E>;

template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
  // A plain error where a richer one is expected: the rest keeps its defaults.
  Result(Error error) requires(ErrorText<E> && !std::is_same_v<E, Error>)
      : v_(std::in_place_index<1>, E{std::move(error)}) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }

  const E& failure() const { return std::get<1>(v_); }
  E take_error() const { return std::get<1>(v_); }
  // The error text; for error types made of one (ErrorText).
  const std::string& error() const requires ErrorText<E> { return std::get<1>(v_).text; }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), ok_(false) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const E& failure() const { return error_; }
  E take_error() const { return error_; }
  const std::string& error() const requires ErrorText<E> { return error_.text; }

 private:
  E error_{};
  bool ok_ = true;
};

using Status = Result<void>;

}  // namespace chair
