// The one result type of the code base: a value, or an error text meant for a person.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace chair {

struct Error {
  std::string text;
};

inline Error fail(std::string text) { return Error{std::move(text)}; }

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const std::string& error() const { return std::get<1>(v_).text; }
  Error take_error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : ok_(false), error_(std::move(error.text)) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const std::string& error() const { return error_; }
  Error take_error() const { return Error{error_}; }

 private:
  bool ok_ = true;
  std::string error_;
};

using Status = Result<void>;

}  // namespace chair
