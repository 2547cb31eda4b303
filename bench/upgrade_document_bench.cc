// Throughput of upgrade_document. Time per MiB must not grow with the size of
// the document: compare the 1 MiB and 16 MiB runs of each benchmark.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "upgrade/upgrade_document.h"
#include "upgrade_text.h"

namespace {

constexpr std::int64_t kMiB = 1 << 20;

// The copy of the original into the working text is part of every iteration;
// it costs a small fraction of one rewrite pass.
constexpr const char* kHost = "xsl.bench.test";

void run_upgrade(benchmark::State& state, const std::string& original) {
  const invoice::ReplacementTable table = invoice::build_replacement_table(kHost);
  std::string document;
  document.reserve(original.size() * 2);
  for (auto _ : state) {
    document.assign(original);
    benchmark::DoNotOptimize(invoice::upgrade_document(document, table));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(original.size()));
}

// Concatenated 3.0 documents that each need every rewrite.
void BM_Facturae30Documents(benchmark::State& state) {
  run_upgrade(state,
              invoice::bench::make_facturae30_documents(static_cast<std::size_t>(state.range(0))));
}

// A replacement every few dozen bytes, with overlapping language names.
void BM_DenseOccurrences(benchmark::State& state) {
  run_upgrade(state,
              invoice::bench::make_dense_occurrences(static_cast<std::size_t>(state.range(0))));
}

void replace_every(std::string& text, std::string_view search, std::string_view replacement) {
  std::string result;
  std::size_t at = 0;
  for (std::size_t found; (found = text.find(search, at)) != std::string::npos;) {
    result.append(text, at, found - at).append(replacement);
    at = found + search.size();
  }
  text = result.append(text, at);
}

// Already upgraded documents: every pair is absent and neither pattern
// matches, so only the searches run.
void BM_NothingToRewrite(benchmark::State& state) {
  std::string text =
      invoice::bench::make_facturae30_documents(static_cast<std::size_t>(state.range(0)));
  replace_every(text, "</BuyerParty>\r\n    <Invoices>",
                "</BuyerParty>\r\n</Parties>\r\n<Invoices>");
  replace_every(text, "</Invoices>\r\n  </Parties>", "</Invoices>");
  invoice::upgrade_document(text, invoice::build_replacement_table(kHost));
  std::string again = text;
  if (invoice::upgrade_document(again, invoice::build_replacement_table(kHost)) !=
      invoice::UpgradeOutcome::kUnchanged) {
    state.SkipWithError("the text still needs rewrites");
    return;
  }
  run_upgrade(state, text);
}

BENCHMARK(BM_Facturae30Documents)->Arg(kMiB)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DenseOccurrences)->Arg(kMiB)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NothingToRewrite)->Arg(kMiB)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
