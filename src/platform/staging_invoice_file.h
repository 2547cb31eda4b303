#ifndef INVOICE_PLATFORM_STAGING_INVOICE_FILE_H_
#define INVOICE_PLATFORM_STAGING_INVOICE_FILE_H_

#include <cstdint>
#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/replacement_policy.h"

namespace invoice {

// The replacement of an invoice's content, written once for every platform:
// the order of the steps, what each failure leaves behind, and the queue of
// staged files. Each implementation supplies the steps themselves as the
// primitives below, one system's calls each.
//
// `Staged` is the implementation's staged file: a movable, default-
// constructible owner of a new file in the invoice's folder, which removes
// the file when destroyed unless it was put in place, and offers
//   Status remove();           // removes the file now and owns it no more:
//                              // ok, or why it stays
//   std::string path() const;  // where it stays, for a report
template <class Staged>
class StagingInvoiceFile : public InvoiceFile {
 public:
  // The original's own times on the new file.
  Status stage(std::string_view content) final {
    return stage_with_times(content, original_times());
  }

  // Each step may fail and leave the original as it is, the new file then
  // removed again: make it under a fresh name beside the original, fill it,
  // carry the original's metadata and `times`. A request to stop is heeded
  // once the content, the longest step, is written.
  Status stage_with_times(std::string_view content, const FileTimes& times) final {
    if (Status single = check_single_name(link_count()); !single.is_ok()) return single;
    Result<Staged> created = create_staged_file();
    if (!created.is_ok()) return created.status;
    Staged& staged = created.value;
    Status status = fill(staged, content);
    if (status.is_ok() && stop_requested()) status = Status::error(Status::Kind::kStopped);
    if (status.is_ok()) status = carry_metadata(staged, times);
    if (!status.is_ok()) {
      remove_staged(staged);
      return status;
    }
    staged_.push_back(std::move(staged));
    return Status::ok();
  }

  // No request to stop is heeded here: a group once flushed is finished,
  // which takes no longer than its renames.
  Status put_staged_in_place() final {
    if (staged_.empty()) return Status::error(Status::Kind::kNotFound);
    // Right before the rename: a change that another program made since the
    // file was read is never overwritten.
    if (Status unchanged = check_unchanged(); !unchanged.is_ok()) return unchanged;
    // The staged file leaves the queue only once it is in place: one whose
    // rename failed is still there for `discard_staged`, which removes it
    // and tells when it cannot, instead of its going untold.
    if (Status renamed = rename_over_original(staged_.front()); !renamed.is_ok()) return renamed;
    staged_.pop_front();
    // The new name must survive a crash as well as the new content.
    note_renamed();
    return Status::ok();
  }

  std::vector<UnremovedFile> discard_staged() final {
    for (Staged& staged : staged_) remove_staged(staged);
    staged_.clear();
    return std::exchange(unremoved_, {});
  }

 protected:
  // The files staged and not yet put in place, oldest first.
  const std::deque<Staged>& staged() const { return staged_; }

  // The primitives, in the order a replacement takes them.

  // How many names the original has.
  virtual std::uint64_t link_count() const = 0;
  // The times the original had when it was opened.
  virtual FileTimes original_times() const = 0;
  // A new, empty file under a fresh replacement name in the folder of the
  // file replaced (through a symbolic link, its target), locked so that no
  // other run takes it for a leftover.
  virtual Result<Staged> create_staged_file() = 0;
  // Writes `content` into the new file, with whatever the system needs the
  // file to have before its content.
  virtual Status fill(Staged& staged, std::string_view content) = 0;
  // True when the run was asked to stop.
  virtual bool stop_requested() const = 0;
  // Gives the new file the original's owner, access, attributes and other
  // metadata, and `times`, and checks that they came out exactly so.
  virtual Status carry_metadata(Staged& staged, const FileTimes& times) = 0;
  // kChanged unless the file in place is the one opened (or last put in
  // place) and unchanged since; or the failure that keeps it from being
  // checked.
  virtual Status check_unchanged() const = 0;
  // Renames `staged` over the original, atomically, and holds it in its
  // place: the lock moves to it, and it is no longer removed. On failure
  // the original keeps its content, though it may have been let go.
  virtual Status rename_over_original(Staged& staged) = 0;
  // Notes the folder as holding a new name, for the folder flush.
  virtual void note_renamed() = 0;

 private:
  void remove_staged(Staged& staged) {
    Status removed = staged.remove();
    if (removed.is_ok()) return;
    try {
      unremoved_.push_back({staged.path(), std::move(removed)});
    } catch (const std::bad_alloc&) {
      // Out of memory the file stays untold, as it would after a kill.
    }
  }

  std::deque<Staged> staged_;
  // The staged files that could not be removed, since the last discard.
  std::vector<UnremovedFile> unremoved_;
};

}  // namespace invoice

#endif  // INVOICE_PLATFORM_STAGING_INVOICE_FILE_H_
