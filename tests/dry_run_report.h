#ifndef INVOICE_TESTS_DRY_RUN_REPORT_H_
#define INVOICE_TESTS_DRY_RUN_REPORT_H_

#include <string>
#include <string_view>
#include <utility>

#include "driver/batch_run.h"

namespace invoice::testing {

// What a run's report would say if a dry run's report were taken at its
// word: each of the dry run's own wordings turned into the run's.
inline std::string as_run_report(std::string report) {
  const std::pair<std::string_view, std::string_view> wordings[] = {
      {kDryRunMessage, kConvertingMessage},
      {kDryRunConvertedHead, kConvertedHead},
      {kDryRunSummaryHead, kSummaryHead},
  };
  for (const auto& [dry, real] : wordings) {
    for (std::size_t at; (at = report.find(dry)) != std::string::npos;) {
      report.replace(at, dry.size(), real);
    }
  }
  return report;
}

}  // namespace invoice::testing

#endif  // INVOICE_TESTS_DRY_RUN_REPORT_H_
