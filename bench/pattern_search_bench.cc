// Speed and memory of pattern_search on invoice-like text.
//
//   pattern_search_bench [benchmark options]
//       runs the micro-benchmarks below;
//   pattern_search_bench --generate KIND SIZE OUTPUT
//       writes SIZE bytes of test text to OUTPUT, KIND being
//         no-match   invoice documents in which "</BuyerParty>" is never
//                    followed by "<Invoices>";
//         match-end  the same with one match, on one line, in the last
//                    kilobyte;
//         blanks     "</BuyerParty>" followed by blanks up to SIZE;
//   pattern_search_bench --search PATTERN FILE
//   pattern_search_bench --search-mapped PATTERN FILE
//       reads FILE whole (with read(), or by mapping it into memory),
//       searches it once from position 1 and prints the result, the search
//       time and the peak memory of the process before and after the search.
// The last two are the whole-program counterpart of grep in
// pattern_search_vs_grep.sh.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "upgrade/pattern_search.h"

namespace {

constexpr std::string_view kBuyerPattern = "</BuyerParty>[ \\r\\n]*<Invoices>";
constexpr std::string_view kPartiesPattern = "</Invoices>[ \\r\\n]*</Parties>";

// One Facturae document already in the 3.2.1 layout (Parties closed before
// Invoices), so that neither structural pattern matches while both tags occur
// in every document. Numbers vary from one document to the next.
std::string make_document(std::size_t number) {
  const std::string n = std::to_string(number);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<fe:Facturae xmlns:fe=\"http://www.facturae.es/Facturae/2014/v3.2.1/Facturae\">\r\n"
         "  <FileHeader>\r\n    <SchemaVersion>3.2.1</SchemaVersion>\r\n"
         "    <Modality>I</Modality>\r\n    <InvoiceIssuerType>EM</InvoiceIssuerType>\r\n"
         "    <Batch>\r\n      <BatchIdentifier>B" +
         n +
         "</BatchIdentifier>\r\n      <InvoicesCount>1</InvoicesCount>\r\n"
         "      <TotalInvoicesAmount><TotalAmount>1210.00</TotalAmount></TotalInvoicesAmount>\r\n"
         "      <InvoiceCurrencyCode>EUR</InvoiceCurrencyCode>\r\n    </Batch>\r\n"
         "  </FileHeader>\r\n  <Parties>\r\n    <SellerParty>\r\n      <TaxIdentification>\r\n"
         "        <PersonTypeCode>J</PersonTypeCode>\r\n"
         "        <ResidenceTypeCode>R</ResidenceTypeCode>\r\n"
         "        <TaxIdentificationNumber>B6" +
         n +
         "</TaxIdentificationNumber>\r\n      </TaxIdentification>\r\n      <LegalEntity>\r\n"
         "        <CorporateName>Distribucions Garcia, S.L.</CorporateName>\r\n"
         "        <AddressInSpain><Address>Carrer Major, 12</Address><PostCode>08001</PostCode>"
         "<Town>Barcelona</Town><Province>Barcelona</Province>"
         "<CountryCode>ESP</CountryCode></AddressInSpain>\r\n"
         "      </LegalEntity>\r\n    </SellerParty>\r\n    <BuyerParty>\r\n"
         "      <TaxIdentification><PersonTypeCode>F</PersonTypeCode>"
         "<TaxIdentificationNumber>4" +
         n +
         "Z</TaxIdentificationNumber></TaxIdentification>\r\n"
         "      <Individual><Name>Marta</Name><FirstSurname>Puig</FirstSurname></Individual>\r\n"
         "    </BuyerParty>\r\n  </Parties>\r\n  <Invoices>\r\n    <Invoice>\r\n"
         "      <InvoiceHeader><InvoiceNumber>" +
         n +
         "</InvoiceNumber><InvoiceSeriesCode>A</InvoiceSeriesCode></InvoiceHeader>\r\n"
         "      <Items>\r\n        <InvoiceLine><ItemDescription>Servei de manteniment"
         "</ItemDescription><Quantity>1.0</Quantity><UnitPriceWithoutTax>1000.00"
         "</UnitPriceWithoutTax><TotalCost>1000.00</TotalCost></InvoiceLine>\r\n"
         "      </Items>\r\n    </Invoice>\r\n  </Invoices>\r\n</fe:Facturae>\r\n";
}

std::string make_no_match_text(std::size_t size) {
  std::string text;
  text.reserve(size + 4096);
  for (std::size_t number = 1; text.size() < size; ++number) text += make_document(number);
  text.resize(size);
  return text;
}

// The match is on one line (blanks only between the tags) so that line-based
// tools find it too.
std::string make_match_at_end_text(std::size_t size) {
  const std::string tail = "    </BuyerParty>   <Invoices>\r\n  </Invoices>\r\n</fe:Facturae>\r\n";
  std::string text = make_no_match_text(size > tail.size() ? size - tail.size() : 0);
  text += tail;
  return text;
}

std::string make_blank_run_text(std::size_t size) {
  std::string text = "</BuyerParty>";
  if (size > text.size()) text.append(size - text.size(), ' ');
  return text;
}

void run_search(benchmark::State& state, std::string_view pattern, const std::string& text) {
  for (auto _ : state) {
    const invoice::PatternMatch match = invoice::pattern_search(pattern, text, 1);
    benchmark::DoNotOptimize(match);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void BM_NoMatch(benchmark::State& state) {
  const std::string text = make_no_match_text(static_cast<std::size_t>(state.range(0)));
  run_search(state, kBuyerPattern, text);
}

void BM_NoMatchSecondPattern(benchmark::State& state) {
  const std::string text = make_no_match_text(static_cast<std::size_t>(state.range(0)));
  run_search(state, kPartiesPattern, text);
}

void BM_MatchAtEnd(benchmark::State& state) {
  const std::string text = make_match_at_end_text(static_cast<std::size_t>(state.range(0)));
  run_search(state, kBuyerPattern, text);
}

void BM_BlankRun(benchmark::State& state) {
  const std::string text = make_blank_run_text(static_cast<std::size_t>(state.range(0)));
  run_search(state, kBuyerPattern, text);
}

// A first class too wide for the block-wise scan of start positions: a
// byte-wise table scan, and a run to try from every letter.
void BM_WideFirstClass(benchmark::State& state) {
  const std::string text = make_no_match_text(static_cast<std::size_t>(state.range(0)));
  run_search(state, "[a-z]+=x", text);
}

// An optional first element: start positions are those whose byte can begin a
// match.
void BM_LeadingRun(benchmark::State& state) {
  const std::string text = make_no_match_text(static_cast<std::size_t>(state.range(0)));
  run_search(state, "[ \\r\\n]*<Invoices>x", text);
}

// The fixed cost of a call: reading the pattern on a small document.
void BM_SmallDocument(benchmark::State& state) {
  const std::string text = make_no_match_text(2048);
  run_search(state, kBuyerPattern, text);
}

BENCHMARK(BM_NoMatch)->Arg(16 << 10)->Arg(1 << 20)->Arg(64 << 20);
BENCHMARK(BM_NoMatchSecondPattern)->Arg(1 << 20);
BENCHMARK(BM_MatchAtEnd)->Arg(1 << 20)->Arg(64 << 20);
BENCHMARK(BM_BlankRun)->Arg(1 << 20)->Arg(16 << 20);
BENCHMARK(BM_WideFirstClass)->Arg(1 << 20);
BENCHMARK(BM_LeadingRun)->Arg(1 << 20);
BENCHMARK(BM_SmallDocument);

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

long peak_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int generate(const char* kind, const char* size_text, const char* path) {
  const auto size = static_cast<std::size_t>(std::strtoull(size_text, nullptr, 10));
  std::string text;
  if (std::strcmp(kind, "no-match") == 0) {
    text = make_no_match_text(size);
  } else if (std::strcmp(kind, "match-end") == 0) {
    text = make_match_at_end_text(size);
  } else if (std::strcmp(kind, "blanks") == 0) {
    text = make_blank_run_text(size);
  } else {
    std::fprintf(stderr, "unknown kind %s\n", kind);
    return 2;
  }
  File file(std::fopen(path, "wb"));
  if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) {
    std::fprintf(stderr, "cannot write %s\n", path);
    return 1;
  }
  return 0;
}

// Reads the whole file into memory with read(), or maps it (mapped = true).
class FileText {
 public:
  FileText(const char* path, bool mapped) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return;
    struct stat status {};
    if (fstat(fd, &status) == 0 && status.st_size >= 0) {
      const auto size = static_cast<std::size_t>(status.st_size);
      if (mapped) {
        void* map =
            size == 0 ? nullptr : mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (map != MAP_FAILED) {
          map_ = map;
          text_ = std::string_view(static_cast<const char*>(map), size);
          ok_ = true;
        }
      } else {
        buffer_ = std::make_unique_for_overwrite<char[]>(size);
        std::size_t done = 0;
        while (done < size) {
          const ssize_t got = read(fd, buffer_.get() + done, size - done);
          if (got <= 0) break;
          done += static_cast<std::size_t>(got);
        }
        text_ = std::string_view(buffer_.get(), done);
        ok_ = done == size;
      }
    }
    close(fd);
  }
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;
  ~FileText() {
    if (map_ != nullptr) munmap(map_, text_.size());
  }
  bool ok() const { return ok_; }
  std::string_view text() const { return text_; }

 private:
  bool ok_ = false;
  void* map_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  std::string_view text_;
};

int search(const char* pattern, const char* path, bool mapped) {
  const FileText file(path, mapped);
  if (!file.ok()) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }
  const long peak_before = peak_kib();
  const auto begin = std::chrono::steady_clock::now();
  const invoice::PatternMatch match = invoice::pattern_search(pattern, file.text(), 1);
  const auto end = std::chrono::steady_clock::now();
  std::printf("match %lld %lld  search %.3f ms  peak %ld KiB before search, %ld KiB after\n",
              static_cast<long long>(match.position), static_cast<long long>(match.length),
              std::chrono::duration<double, std::milli>(end - begin).count(), peak_before,
              peak_kib());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--generate") == 0) {
    return generate(argv[2], argv[3], argv[4]);
  }
  if (argc == 4 && std::strcmp(argv[1], "--search") == 0) return search(argv[2], argv[3], false);
  if (argc == 4 && std::strcmp(argv[1], "--search-mapped") == 0) {
    return search(argv[2], argv[3], true);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
