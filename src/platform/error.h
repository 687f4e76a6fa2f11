// Error values that cross every boundary of the platform layer, and a small
// result type for operations that either yield a value or an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace orvane {

// A platform error: where it came from, a numeric code and a human-readable
// description (what the event lines call the "localized description").
struct Error {
  std::string domain;
  int64_t code = 0;
  std::string description;
};

// Success is an empty optional; failure carries the error.
using Status = std::optional<Error>;

template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}          // NOLINT: implicit by design
  Result(Error error) : v_(std::move(error)) {}      // NOLINT: implicit by design

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// A start-up failure reported as "ERROR <code> <message>".
struct CaptureError {
  std::string code;
  std::string message;
};

// Builds an error from errno-style codes: domain "posix", description from strerror.
Error posixError(int errnoValue, const std::string& context = {});

}  // namespace orvane
