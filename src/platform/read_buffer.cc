#include "platform/read_buffer.h"

#include <cstddef>
#include <new>
#include <stdexcept>

namespace invoice {

Status make_room_for_reading(std::string& content, std::uint64_t size) {
  content.clear();
  if (size > content.max_size()) return Status::error(Status::Kind::kNoMemory);
  try {
    // The length is returned as asked, never taken from the callback's
    // argument: some standard libraries pass the capacity there.
    const auto length = static_cast<std::size_t>(size);
    content.resize_and_overwrite(length, [length](char*, std::size_t) { return length; });
  } catch (const std::bad_alloc&) {
    return Status::error(Status::Kind::kNoMemory);
  } catch (const std::length_error&) {
    return Status::error(Status::Kind::kNoMemory);
  }
  return Status::ok();
}

}  // namespace invoice
