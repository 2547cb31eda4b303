// Throughput of the transcoder and of the document conversion on invoice-like
// text and on the worst case where every byte is above 0x7F.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

#include "encoding/convert_code_page.h"
#include "encoding/transcode.h"
#include "encoding/utf8_kernels.h"
#include "invoice_text.h"

namespace {

std::string make_all_high_text(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(0x80 + i % 128);
  return text;
}

void run_transcode(benchmark::State& state, const std::string& input,
                   invoice::Direction direction) {
  for (auto _ : state) {
    std::string output = invoice::transcode(input, direction);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
}

void BM_InvoiceToUtf8(benchmark::State& state) {
  const std::string input =
      invoice::bench::make_invoice_text(static_cast<std::size_t>(state.range(0)));
  run_transcode(state, input, invoice::Direction::kToUtf8);
}

void BM_AllHighToUtf8(benchmark::State& state) {
  const std::string input = make_all_high_text(static_cast<std::size_t>(state.range(0)));
  run_transcode(state, input, invoice::Direction::kToUtf8);
}

// Each code page 858 to UTF-8 kernel on its own. transcode uses the best one
// the processor has, or the portable one when INVOICE_PORTABLE_KERNEL is set
// (to anything but "" or "0").
void BM_InvoiceToUtf8Kernel(benchmark::State& state, invoice::utf8_kernels::Kernel kernel) {
  if (!invoice::utf8_kernels::is_available(kernel)) {
    state.SkipWithError("kernel not available on this processor");
    return;
  }
  const std::string input =
      invoice::bench::make_invoice_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string output = invoice::utf8_kernels::to_utf8(input, kernel);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(input.size()));
}

void BM_InvoiceToCodePage(benchmark::State& state) {
  const std::string input = invoice::transcode(
      invoice::bench::make_invoice_text(static_cast<std::size_t>(state.range(0))),
      invoice::Direction::kToUtf8);
  run_transcode(state, input, invoice::Direction::kToCodePage);
}

void BM_AllHighToCodePage(benchmark::State& state) {
  const std::string input = invoice::transcode(
      make_all_high_text(static_cast<std::size_t>(state.range(0))), invoice::Direction::kToUtf8);
  run_transcode(state, input, invoice::Direction::kToCodePage);
}

void BM_ConvertCodePage(benchmark::State& state) {
  const std::string original =
      invoice::bench::make_invoice_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    std::string document = original;
    state.ResumeTiming();
    benchmark::DoNotOptimize(invoice::convert_code_page(document));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(original.size()));
}

// A typical invoice (16 KiB), a large one (1 MiB) and the 64 MiB of the
// whole-program comparison with iconv.
BENCHMARK(BM_InvoiceToUtf8)->Arg(16 << 10)->Arg(1 << 20)->Arg(64 << 20);
BENCHMARK(BM_AllHighToUtf8)->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_InvoiceToUtf8Kernel, portable, invoice::utf8_kernels::Kernel::kPortable)
    ->Arg(1 << 20);
BENCHMARK_CAPTURE(BM_InvoiceToUtf8Kernel, avx512, invoice::utf8_kernels::Kernel::kAvx512)
    ->Arg(1 << 20);
BENCHMARK(BM_InvoiceToCodePage)->Arg(16 << 10)->Arg(1 << 20)->Arg(64 << 20);
BENCHMARK(BM_AllHighToCodePage)->Arg(1 << 20);
BENCHMARK(BM_ConvertCodePage)->Arg(16 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
