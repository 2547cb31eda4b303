#include "driver/messages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace invoice {
namespace {

using Kind = Status::Kind;

TEST(MessagesTest, EveryKindHasItsOwnCatalanText) {
  std::set<std::string> texts;
  for (int k = static_cast<int>(Kind::kOk); k <= static_cast<int>(Kind::kOther); ++k) {
    const std::string text(describe_kind(static_cast<Kind>(k)));
    EXPECT_FALSE(text.empty()) << k;
    EXPECT_TRUE(texts.insert(text).second) << "kind " << k << " repeats \"" << text << "\"";
  }
}

TEST(MessagesTest, StatusIsTheKindsTextWithTheSystemsWordingInBrackets) {
  const std::string locked(describe_kind(Kind::kLocked));
  EXPECT_EQ(describe_status(Status::error(Kind::kLocked)), locked);
  EXPECT_EQ(describe_status(Status::error(Kind::kLocked, "held")), locked + " (held)");
  // Another failure is named by the system alone; without its words, by the
  // kind's text.
  EXPECT_EQ(describe_status(Status::error(Kind::kOther, "File too large")), "File too large");
  EXPECT_EQ(describe_status(Status::error(Kind::kOther)), describe_kind(Kind::kOther));
  EXPECT_EQ(describe_status(Status::ok()), describe_kind(Kind::kOk));
}

}  // namespace
}  // namespace invoice
