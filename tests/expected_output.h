#ifndef INVOICE_TESTS_EXPECTED_OUTPUT_H_
#define INVOICE_TESTS_EXPECTED_OUTPUT_H_

#include <string>
#include <string_view>
#include <utility>

#include "driver/messages.h"
#include "platform/status.h"
#include "upgrade/upgrade_document.h"

namespace invoice::testing {

// What the program writes, built from its message table, so that a test
// states which message it expects without retyping it.

// The stylesheet host that the tests give the program, through
// INVOICE_STYLESHEET_HOST unless a test sets that variable itself, and the
// replacement table built with it.
inline constexpr char kStylesheetHost[] = "xsl.factures.test";
inline ReplacementTable make_test_table() { return build_replacement_table(kStylesheetHost); }

// The start of the line on standard error for a failure at `path` (a path
// without control bytes, which the console would escape), up to the end of
// `reason`.
inline std::string failure_head(std::string_view path, std::string_view reason) {
  std::string line(kFailureHead);
  line += path;
  line += kFailureSeparator;
  line += reason;
  return line;
}

// The whole line for a failure at `path`.
inline std::string failure_line(std::string_view path, std::string_view reason) {
  return failure_head(path, reason) + "\n";
}

// The same, for a reason made of `what` and the text of `kind`.
inline std::string failure_line(std::string_view path, std::string_view what, Status::Kind kind) {
  return failure_line(path, std::string(what) + std::string(describe_kind(kind)));
}

// The line for a file that needs a change but may not be written.
inline std::string read_only_line(std::string_view path) {
  return failure_line(
      path, std::string(describe_kind(Status::Kind::kReadOnly)) + std::string(kNeedsConverting));
}

// The line for a notice about `path` (a path without control bytes).
inline std::string notice_line(std::string_view path, std::string_view text) {
  return std::string(kNoticeHead) + std::string(path) + std::string(kFailureSeparator) +
         std::string(text) + "\n";
}

// One summary line, without its line end.
inline std::string summary_line(long long count, std::string_view tail) {
  return std::string(kSummaryHead) + std::to_string(count) + std::string(tail);
}

// The standard output of a run that changed `upgraded` and `converted`
// files, when the output is not a terminal.
inline std::string summary_lines(long long upgraded, long long converted) {
  return std::string(kLocatingMessage) + "\n" + std::string(kConvertingMessage) + "\n\n" +
         summary_line(upgraded, kUpgradeSummaryTail) + "\n" +
         summary_line(converted, kCodePageSummaryTail) + "\n";
}

// What a run's report would say if a dry run's report were taken at its
// word: each of the dry run's own wordings turned into the run's.
inline std::string as_run_report(std::string report) {
  const std::pair<std::string_view, std::string_view> wordings[] = {
      {kDryRunMessage, kConvertingMessage},
      {kDryRunConvertedHead, kConvertedHead},
      {kDryRunSummaryHead, kSummaryHead},
      {kDryRunSignedConvertedNotice, kSignedConvertedNotice},
  };
  for (const auto& [dry, real] : wordings) {
    for (std::size_t at; (at = report.find(dry)) != std::string::npos;) {
      report.replace(at, dry.size(), real);
    }
  }
  return report;
}

// `errors` without the system's own wording of each failure: the " (...)"
// that ends a line is dropped, so that a test checks the kind's Catalan text
// and not the wording of one system's C library.
inline std::string without_system_wording(std::string_view errors) {
  std::string out;
  while (!errors.empty()) {
    const std::size_t end = errors.find('\n');
    std::string_view line = errors.substr(0, end);
    const std::size_t open = line.rfind(" (");
    if (!line.empty() && line.back() == ')' && open != std::string_view::npos) {
      line = line.substr(0, open);
    }
    out += line;
    if (end == std::string_view::npos) break;
    out += '\n';
    errors.remove_prefix(end + 1);
  }
  return out;
}

}  // namespace invoice::testing

#endif  // INVOICE_TESTS_EXPECTED_OUTPUT_H_
