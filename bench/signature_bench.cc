// Throughput of holds_signature over documents that do not hold one, which
// it must scan whole. Time per MiB must not grow with the size: compare the
// 1 MiB and 16 MiB runs.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "invoice_text.h"
#include "upgrade/signature.h"
#include "upgrade_text.h"

namespace {

constexpr std::int64_t kMiB = 1 << 20;

void scan(benchmark::State& state, const std::string& document) {
  for (auto _ : state) benchmark::DoNotOptimize(invoice::holds_signature(document));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(document.size()));
}

// Plain invoice text: neither the tag nor the namespace occurs.
void BM_UnsignedText(benchmark::State& state) {
  scan(state, invoice::bench::make_invoice_text(static_cast<std::size_t>(state.range(0))));
}

// Facturae 3.0 documents, which declare the signature namespace without a
// signature.
void BM_Facturae30Documents(benchmark::State& state) {
  scan(state, invoice::bench::make_facturae30_documents(static_cast<std::size_t>(state.range(0))));
}

// Near misses every few dozen bytes: each one is looked at and rejected.
void BM_NearMisses(benchmark::State& state) {
  std::string document;
  const auto size = static_cast<std::size_t>(state.range(0));
  while (document.size() < size) document += "<ds:SignatureValue>x</ds:SignatureValue>\r\n";
  scan(state, document);
}

}  // namespace

BENCHMARK(BM_UnsignedText)->Arg(kMiB)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Facturae30Documents)->Arg(kMiB)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NearMisses)->Arg(kMiB)->Arg(16 * kMiB)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
