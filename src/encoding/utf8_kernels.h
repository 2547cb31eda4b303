#ifndef INVOICE_ENCODING_UTF8_KERNELS_H_
#define INVOICE_ENCODING_UTF8_KERNELS_H_

#include <string>
#include <string_view>

namespace invoice::utf8_kernels {

// The implementations of the code page 858 to UTF-8 direction of `transcode`.
// `transcode` picks the fastest one the processor has; they are exposed so
// that the tests can hold every available one to the same results.
enum class Kernel {
  kPortable,  // plain C++: word-sized ASCII runs, a table for the rest
  kAvx512,    // x86-64 with AVX-512 VBMI2: 16 bytes at a time, no branches
};

// Whether `kernel` can run on this processor (kPortable always can).
bool is_available(Kernel kernel);

// Code page 858 to UTF-8 with `kernel`, which must be available.
std::string to_utf8(std::string_view text, Kernel kernel);

// The fastest available kernel.
Kernel best_available();

}  // namespace invoice::utf8_kernels

#endif  // INVOICE_ENCODING_UTF8_KERNELS_H_
