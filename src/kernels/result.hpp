// Error values and results shared by every native layer.
//
// Kernels never throw for expected failures: they return a Result holding
// either the value or an Error (exception family + message).  Only the
// binding layer turns an Error into a Python exception, in one place.
// Internal consistency failures (which should never happen) are reported by
// throwing InternalFailure; the call boundary turns that into PanicException.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

/// Marks a function that catches abi::__forced_unwind by reference only to
/// rethrow it.  The unwinder of a thread ended by the interpreter binds that
/// reference to no object, which UndefinedBehaviorSanitizer reports as a
/// null reference although the handler never touches it; its checks are off
/// for these few functions alone (GCC ignores the narrower "null" on function
/// templates), while the calls they wrap keep theirs.
#if defined(__GNUC__) || defined(__clang__)
#define VEXEL_FORCED_UNWIND_HANDLER __attribute__((no_sanitize("undefined")))
#else
#define VEXEL_FORCED_UNWIND_HANDLER
#endif

namespace vexel {

/// Exception family an Error is raised as.
enum class ErrorKind {
  Type,      // TypeError
  Value,     // ValueError
  Runtime,   // RuntimeError
  Overflow,  // OverflowError
  Memory,    // MemoryError
  Panic,     // PanicException (internal failure)
  PythonSet  // a Python exception is already set; raise it unchanged
};

/// What a caller's advice needs to know about an error, beyond its message:
/// why it happened and, for a model's output, which callback returned what.
/// Raised as attributes of the exception (`reason`, `callback`,
/// `expected_shape`, `got`), so that advice never parses message text.
struct ErrorDetail {
  /// "not_array", "ndim", "dtype" or "shape" (a model output or an array
  /// argument of the wrong kind), or "no_factor" (a covariance with no
  /// Cholesky factor even with jitter).
  std::string reason;
  std::string callback;                 // "fx" or "hx" for a model's output, else empty
  std::vector<std::int64_t> expected;   // the shape the output must have
  std::vector<std::int64_t> got_shape;  // "shape": the shape it had; "ndim": {ndim}
  std::string got;                      // "not_array": the type name; "dtype": the dtype
};

struct Error {
  ErrorKind kind;
  std::string message;
  std::shared_ptr<ErrorDetail> detail = nullptr;

  static Error type(std::string m) { return {ErrorKind::Type, std::move(m)}; }
  static Error value(std::string m) { return {ErrorKind::Value, std::move(m)}; }
  static Error runtime(std::string m) { return {ErrorKind::Runtime, std::move(m)}; }
  static Error overflow(std::string m) { return {ErrorKind::Overflow, std::move(m)}; }
  static Error panic(std::string m) { return {ErrorKind::Panic, std::move(m)}; }
  /// The Python error indicator is already set (callback raised, protocol failed).
  static Error python_set() { return {ErrorKind::PythonSet, std::string()}; }
  /// A covariance with no Cholesky factor, even with jitter.
  static Error no_factor() {
    Error e = runtime("unable to compute stable Cholesky factor");
    e.because("no_factor");
    return e;
  }

  /// The detail, created on first use, with its reason set.
  ErrorDetail& because(std::string reason) {
    if (!detail) detail = std::make_shared<ErrorDetail>();
    detail->reason = std::move(reason);
    return *detail;
  }
};

/// Either a value of type T or an Error.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}            // NOLINT(implicit)
  Result(Error error) : v_(std::move(error)) {}        // NOLINT(implicit)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const Error& error() const { return std::get<1>(v_); }
  Error&& take_error() { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

/// Result of an operation that produces nothing: empty on success.
class Status {
 public:
  Status() = default;
  Status(Error error) : err_(std::move(error)), failed_(true) {}  // NOLINT(implicit)
  static Status success() { return Status(); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return err_; }

 private:
  Error err_{ErrorKind::Panic, std::string()};
  bool failed_ = false;
};

/// Thrown only for internal consistency failures (a broken invariant, an
/// Eigen assertion).  Caught at the call boundary and raised as PanicException.
class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

[[noreturn]] void internal_failure(const char* condition, const char* file, int line);

}  // namespace vexel
