#include "platform/read_buffer.h"

#include <cstddef>
#include <new>
#include <stdexcept>

namespace invoice {

Status make_room_for_reading(std::string& content, std::uint64_t size) {
  content.clear();
  if (size > content.max_size()) return Status::error(Status::Kind::kNoMemory);
  try {
    content.resize_and_overwrite(static_cast<std::size_t>(size),
                                 [](char*, std::size_t length) { return length; });
  } catch (const std::bad_alloc&) {
    return Status::error(Status::Kind::kNoMemory);
  } catch (const std::length_error&) {
    return Status::error(Status::Kind::kNoMemory);
  }
  return Status::ok();
}

}  // namespace invoice
