// The outcome of an operating-system call: success, or the OS's error code
// (errno, GetLastError()) captured inside the very call that failed, so that
// nothing has to read the last error afterwards.
#pragma once

#include <optional>
#include <utility>

namespace updater::platform {

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  // A failure with the OS's error code.
  static Status Error(int os_error) { return Status(os_error); }
  // A failure where a check refused and the OS gave no error (a file that is
  // not the one recorded, a folder that is not what it must be): error() 0.
  static Status Refused() { return Status(0); }

  explicit operator bool() const { return ok_; }
  bool ok() const { return ok_; }
  // The OS's code for the failure; 0 on success.
  int error() const { return error_; }

 private:
  explicit Status(int os_error) : ok_(false), error_(os_error) {}
  bool ok_ = true;
  int error_ = 0;
};

// A value, or the Status of the call that could not make it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value is a success
  Result(Status failure) : status_(failure) {}   // NOLINT: so is a failed call's Status

  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  Status status() const { return status_; }
  int error() const { return status_.error(); }
  // The value, or `fallback` when the call failed.
  T value_or(T fallback) && { return value_ ? std::move(*value_) : std::move(fallback); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace updater::platform
