#ifndef INVOICE_DRIVER_STATUS_H_
#define INVOICE_DRIVER_STATUS_H_

#include <string>
#include <utility>

namespace invoice {

// The outcome of one platform operation. Operating-system error numbers are
// translated into it in one place (`Status::from_errno`), so callers can tell
// "the file is not there" from every other failure without knowing errno.
class Status {
 public:
  enum class Kind {
    kOk,
    kNotFound,     // the path does not exist (any more)
    kExists,       // a file was to be created but the name is taken
    kLocked,       // another program holds the file locked
    kReadOnly,     // the file may not be written
    kNotRegular,   // the path names a folder, device, pipe or socket
    kChanged,      // the file changed under us (size or identity)
    kUnlistable,   // the name cannot be carried through the file list
    kNoMemory,     // the document does not fit in memory
    kOther,        // any other failure; `code` holds the error number
  };

  Status() = default;
  static Status ok() { return Status(); }
  static Status error(Kind kind, int code = 0) { return Status(kind, code); }
  // Translates an errno value; 0 gives ok.
  static Status from_errno(int code);

  bool is_ok() const { return kind_ == Kind::kOk; }
  bool is_not_found() const { return kind_ == Kind::kNotFound; }
  Kind kind() const { return kind_; }
  int code() const { return code_; }

  // A short human-readable reason, in Catalan like the rest of the console,
  // followed by the system's own wording of `code` when there is one.
  std::string message() const;

 private:
  Status(Kind kind, int code) : kind_(kind), code_(code) {}
  Kind kind_ = Kind::kOk;
  int code_ = 0;
};

// A value or the status that prevented it. `value` is meaningful only when
// `status.is_ok()`.
template <class T>
struct Result {
  Status status;
  T value{};

  Result(Status s) : status(s) {}  // NOLINT: implicit from a failure
  Result(T v) : value(std::move(v)) {}  // NOLINT: implicit from a value
  bool is_ok() const { return status.is_ok(); }
};

}  // namespace invoice

#endif  // INVOICE_DRIVER_STATUS_H_
