// The outcome of an operation on the kernel pipeline or its tables: success, or what failed in
// words the caller logs as they are.
#pragma once

#include <cassert>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace netp::pipeline {

class [[nodiscard]] Status {
  public:
    Status() = default;  // success
    static Status failure(std::string what) { return Status(std::move(what)); }
    // "what: the system's text for err" (err an errno value, either sign).
    static Status sysFailure(std::string_view what, int err) {
        return failure(std::string(what) + ": " + std::strerror(err < 0 ? -err : err));
    }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string& what() const { return what_; }

  private:
    explicit Status(std::string what) : failed_(true), what_(std::move(what)) {}
    bool failed_ = false;
    std::string what_;
};

// A value, or the failure that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(Status failed) : v_(std::move(failed)) { assert(!std::get<Status>(v_).ok()); }

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& operator*() { return std::get<0>(v_); }
    const T& operator*() const { return std::get<0>(v_); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    // The failure; success when there is a value.
    Status status() const { return ok() ? Status() : std::get<Status>(v_); }

  private:
    std::variant<T, Status> v_;
};

}  // namespace netp::pipeline
