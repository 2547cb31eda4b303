#ifndef INVOICE_ENCODING_UTF8_KERNELS_H_
#define INVOICE_ENCODING_UTF8_KERNELS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace invoice::utf8_kernels {

// The implementations of the code page 858 to UTF-8 direction of `transcode`.
// `transcode` uses chosen_kernel(); they are exposed so that the tests can
// hold every available one to the same results.
enum class Kernel {
  kPortable,  // plain C++: word-sized ASCII runs, a table for the rest
  kAvx512,    // x86-64 with AVX-512 VBMI2: 16 bytes at a time, no branches
};

// Whether `kernel` can run on this processor (kPortable always can).
bool is_available(Kernel kernel);

// Code page 858 to UTF-8 with `kernel`, which must be available.
std::string to_utf8(std::string_view text, Kernel kernel);

// The two halves of to_utf8, for callers that put the UTF-8 form of a text
// into a buffer of their own: the exact length of that form, and the writing
// of it at `out`, which returns the end of what was written. Every kernel may
// store up to kWriteSlack bytes of garbage after that end (whole registers and
// words), so `out` must have room for utf8_length + kWriteSlack bytes.
inline constexpr std::size_t kWriteSlack = 64;
std::size_t utf8_length(std::string_view text, Kernel kernel);
char* write_utf8(std::string_view text, Kernel kernel, char* out);

// The fastest available kernel.
Kernel best_available();

// The environment variable that forces the portable kernel on `transcode`,
// for tests and benchmarks of the portable kernel on processors that have a
// faster one.
inline constexpr const char* kPortableKernelVariable = "INVOICE_PORTABLE_KERNEL";

// The kernel for `transcode` given the value of kPortableKernelVariable
// (nullptr when it is unset): kPortable when the value is neither empty nor
// "0", best_available() otherwise.
Kernel kernel_for_setting(const char* portable_setting);

// kernel_for_setting of this process's environment, read on the first call
// only: the kernel stays the same for the rest of the process.
Kernel chosen_kernel();

}  // namespace invoice::utf8_kernels

#endif  // INVOICE_ENCODING_UTF8_KERNELS_H_
