#ifndef INVOICE_PLATFORM_READ_BUFFER_H_
#define INVOICE_PLATFORM_READ_BUFFER_H_

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace invoice {

// Makes `content` exactly `size` bytes long for a read to fill, without
// writing the bytes first: an invoice of hundreds of megabytes is touched
// once, by the read, not twice. The bytes are indeterminate until the read
// fills them, so a caller whose read fails must clear `content`. Fails with
// kNoMemory, leaving `content` empty, when the text does not fit.
Status make_room_for_reading(std::string& content, std::uint64_t size);

}  // namespace invoice

#endif  // INVOICE_PLATFORM_READ_BUFFER_H_
