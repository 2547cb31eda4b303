#ifndef INVOICE_PLATFORM_STATUS_H_
#define INVOICE_PLATFORM_STATUS_H_

#include <string>
#include <utility>

namespace invoice {

// The outcome of one platform operation: a kind that the program acts on,
// and the system's own wording of the failure, kept only to be shown. Each
// platform implementation translates its own error codes into kinds, so
// shared code never sees errno or Windows error numbers; how a kind is worded
// for the user is chosen above the seam, in the driver.
class Status {
 public:
  enum class Kind {
    kOk,
    kNotFound,           // the path does not exist (any more)
    kNotAFolder,         // a folder was expected but the path names something else
    kExists,             // a file was to be created but the name is taken
    kLocked,             // another program holds the file locked
    kReadOnly,           // the file may not be written
    kAccessDenied,       // the system refuses the running user access
    kNoSpace,            // the disk or the user's quota is full
    kNotRegular,         // the path names a folder, device, pipe or socket
    kChanged,            // the file changed under us (size or identity)
    kUnlistable,         // the name cannot be carried through the file list
    kNoMemory,           // the document does not fit in memory
    kTooManyFiles,       // the process or the system has too many files open
    kStopped,            // the run was asked to stop; the file was left whole
    kHardLinked,         // the file has other names, which a replacement would split off
    kForeignLink,        // a symbolic link that points to another owner's file
    kOwnerNotKept,       // the replacement cannot get the original's owner and group
    kAccessNotKept,      // ... nor its permission bits or access control list
    kAttributesNotKept,  // ... nor its extended attributes
    kFlagsNotKept,       // ... nor its file flags
    kUndecodableName,    // a listed name that does not convert to UTF-8 exactly
    kNameCollides,       // a listed name that another of its folder equals (or but for case)
    kFolderMarked,       // the folder is append-only or immutable: nothing in it can be replaced
    kOther,              // any other failure; the system's wording says which
  };

  Status() = default;
  static Status ok() { return Status(); }
  // A failure of `kind`; `system_text` is the system's own description of
  // it, empty when there is none.
  static Status error(Kind kind, std::string system_text = {}) {
    return Status(kind, std::move(system_text));
  }

  bool is_ok() const { return kind_ == Kind::kOk; }
  bool is_not_found() const { return kind_ == Kind::kNotFound; }
  Kind kind() const { return kind_; }
  const std::string& system_text() const { return system_text_; }

 private:
  Status(Kind kind, std::string system_text) : kind_(kind), system_text_(std::move(system_text)) {}
  Kind kind_ = Kind::kOk;
  std::string system_text_;
};

// A value or the status that prevented it. `value` is meaningful only when
// `status.is_ok()`.
template <class T>
struct Result {
  Status status;
  T value{};

  Result(Status s) : status(std::move(s)) {}  // NOLINT: implicit from a failure
  Result(T v) : value(std::move(v)) {}        // NOLINT: implicit from a value
  bool is_ok() const { return status.is_ok(); }
};

}  // namespace invoice

#endif  // INVOICE_PLATFORM_STATUS_H_
