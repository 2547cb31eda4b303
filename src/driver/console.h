#ifndef INVOICE_DRIVER_CONSOLE_H_
#define INVOICE_DRIVER_CONSOLE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "driver/messages.h"
#include "driver/platform.h"

namespace invoice {

// The run's report. On a terminal the path of the file being converted is
// shown on one line that each path overwrites; elsewhere (a pipe, a log) only
// the fixed lines are written, so a log holds exactly the messages and the
// summary. Failures go to standard error, one line each. `platform` must
// outlive the console.
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
  // ending the progress row first so that the line stands on its own.
  void show_failure(std::string_view path, std::string_view reason);
  // Writes `head`, the path (control bytes escaped as in failures), the
  // separator and `what`, then a line end. On a terminal the line takes the
  // place of the progress row, covering all of it, so that it stays above
  // the progress of the next file.
  void show_change(std::string_view head, std::string_view path, std::string_view what);

 private:
  Platform& platform_;
  bool terminal_;
  bool progress_shown_ = false;
  // The columns that progress has written on the current row since its last
  // line end.
  std::size_t progress_columns_ = 0;
};

// The summary line for one count: `head` (which ends with a blank), the
// decimal digits, then `tail`.
std::string format_summary(std::int64_t count, std::string_view tail,
                           std::string_view head = kSummaryHead);

// What a terminal would show for `path`: valid UTF-8 kept, while control
// bytes and bytes that are not UTF-8 become "?" so that no name can move the
// cursor or send escape sequences. `columns` receives the display width.
std::string make_printable(std::string_view path, std::size_t& columns);

// The number of blanks after text that left the cursor `columns` columns
// from the start of its row on a terminal `width` columns wide: up to the
// next multiple of 14, between 1 and 14.
std::size_t count_zone_blanks(std::size_t columns, std::size_t width);

}  // namespace invoice

#endif  // INVOICE_DRIVER_CONSOLE_H_
