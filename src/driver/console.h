#ifndef INVOICE_DRIVER_CONSOLE_H_
#define INVOICE_DRIVER_CONSOLE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "driver/messages.h"
#include "platform/platform.h"

namespace invoice {

// The run's report. On a terminal the path of the file being converted is
// shown on one line that each path overwrites; elsewhere (a pipe, a log) only
// the fixed lines are written, so a log holds exactly the messages and the
// summary. Failures and notices go to standard error, one line each.
// `platform` must outlive the console.
class Console {
 public:
  explicit Console(Platform& platform);

  // Writes `text` and a line end.
  void show_line(std::string_view text);
  // On a terminal: back to column 1 of the current row, the path, then
  // blanks up to the next 14-column print zone; no line end. The row is not
  // cleared, so the tail of a longer earlier path stays visible. Nothing
  // when the output is not a terminal.
  void show_progress(std::string_view path);
  // Writes a line end.
  void end_line();
  // Writes "Error: ", the path, ": " and the reason to standard error,
  // ending the progress row first so that the line stands on its own. In
  // the path, control characters and bytes that are not UTF-8 are shown as
  // \xNN, and so is a backslash before an "x" where names may hold one
  // (Platform::Conventions::kPosix); Windows paths are shown as they are.
  void show_failure(std::string_view path, std::string_view reason);
  // Writes "Avís: ", the path, ": " and `text` to standard error, in the
  // same way: something the user should know about a file that did not fail.
  void show_notice(std::string_view path, std::string_view text);
  // Writes `head`, the path (control bytes escaped as in failures), the
  // separator and `what`, then a line end, to standard output. On a terminal
  // the line takes the place of the progress row, covering all of it, so
  // that it stays above the progress of the next file.
  void show_change(std::string_view head, std::string_view path, std::string_view what);

  // The first failure to write to standard output (the rest of the run's
  // output is lost then), or ok.
  const Status& output_status() const { return output_status_; }
  // Writes "Error: " and that failure to standard error.
  void show_output_failure();

 private:
  void write_output(std::string_view text);
  // Writes `label`, the escaped path, ": " and `text` as one line on
  // standard error, after ending the progress row.
  void show_about_file(std::string_view label, std::string_view path, std::string_view text);

  Platform& platform_;
  bool terminal_;
  // Names may hold a backslash, so one that looks like an escape is escaped.
  bool backslash_in_names_;
  bool progress_shown_ = false;
  // The columns that progress has written on the current row since its last
  // line end.
  std::size_t progress_columns_ = 0;
  Status output_status_;
};

// The summary line for one count: `head` (which ends with a blank), the
// decimal digits, then `tail`.
std::string format_summary(std::int64_t count, std::string_view tail,
                           std::string_view head = kSummaryHead);

// What a terminal would show for `path`. Paths are UTF-8 on every platform
// (platform.h), so valid UTF-8 is kept, the same on each, while control bytes
// and bytes that are not UTF-8 (a POSIX name in another encoding) become "?"
// so that no name can move the cursor or send escape sequences. `columns`
// receives the display width.
std::string make_printable(std::string_view path, std::size_t& columns);

// The text for a log line: valid UTF-8 kept, control characters and bytes
// that are not UTF-8 shown as \xNN byte by byte, so that no name can move
// the cursor or split a line. Where a name may hold a backslash
// (`backslash_in_names`), one that an "x" follows becomes \x5C too, so the
// exact bytes can be told and `unescape_control_bytes` gives them back.
std::string escape_control_bytes(std::string_view text, bool backslash_in_names);

// The bytes that `escape_control_bytes(text, true)` was given.
std::string unescape_control_bytes(std::string_view text);

// The number of blanks after text that left the cursor `columns` columns
// from the start of its row on a terminal `width` columns wide: up to the
// next multiple of 14, between 1 and 14.
std::size_t count_zone_blanks(std::size_t columns, std::size_t width);

}  // namespace invoice

#endif  // INVOICE_DRIVER_CONSOLE_H_
