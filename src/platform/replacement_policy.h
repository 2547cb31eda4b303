#ifndef INVOICE_PLATFORM_REPLACEMENT_POLICY_H_
#define INVOICE_PLATFORM_REPLACEMENT_POLICY_H_

#include <cstdint>

#include "platform/status.h"

// What a replacement refuses or skips, alike on every platform; each
// implementation supplies only the system's own figures.

namespace invoice {

// Whether the program flushes at all. A benchmark build turns flushing off
// to measure what the flushes cost; a released program always flushes.
#ifdef INVOICE_BENCH_NO_FLUSH
inline constexpr bool kFlushes = false;
#else
inline constexpr bool kFlushes = true;
#endif

// kHardLinked for a file with `link_count` names when that is more than
// one: a new file under one name would split it from its other names.
inline Status check_single_name(std::uint64_t link_count) {
  return link_count > 1 ? Status::error(Status::Kind::kHardLinked) : Status::ok();
}

}  // namespace invoice

#endif  // INVOICE_PLATFORM_REPLACEMENT_POLICY_H_
