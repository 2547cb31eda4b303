#include "platform/read_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace invoice {
namespace {

TEST(ReadBufferTest, MakesExactRoomOrReportsNoMemoryLeavingNothing) {
  const struct {
    std::uint64_t size;
    Status::Kind kind;
    std::size_t length;
  } cases[] = {
      {0, Status::Kind::kOk, 0},
      {29, Status::Kind::kOk, 29},  // below a capacity the library rounds up
      {1 << 20, Status::Kind::kOk, 1 << 20},
      {std::numeric_limits<std::uint64_t>::max(), Status::Kind::kNoMemory, 0},
  };
  for (const auto& c : cases) {
    std::string content = "an earlier text";
    EXPECT_EQ(make_room_for_reading(content, c.size).kind(), c.kind) << c.size;
    EXPECT_EQ(content.size(), c.length) << c.size;
  }
}

}  // namespace
}  // namespace invoice
