#include "driver/status.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "driver/messages.h"

namespace invoice {
namespace {

using Kind = Status::Kind;

TEST(StatusTest, EveryKindHasItsOwnCatalanText) {
  std::set<std::string> texts;
  for (int k = static_cast<int>(Kind::kOk); k <= static_cast<int>(Kind::kOther); ++k) {
    const std::string text(describe_kind(static_cast<Kind>(k)));
    EXPECT_FALSE(text.empty()) << k;
    EXPECT_TRUE(texts.insert(text).second) << "kind " << k << " repeats \"" << text << "\"";
  }
}

TEST(StatusTest, MessageIsTheKindsTextWithTheSystemsWordingInBrackets) {
  const std::string locked(describe_kind(Kind::kLocked));
  EXPECT_EQ(Status::error(Kind::kLocked).message(), locked);
  EXPECT_EQ(Status::error(Kind::kLocked, "held").message(), locked + " (held)");
  // Another failure is named by the system alone; without its words, by the
  // kind's text.
  EXPECT_EQ(Status::error(Kind::kOther, "File too large").message(), "File too large");
  EXPECT_EQ(Status::error(Kind::kOther).message(), describe_kind(Kind::kOther));
  EXPECT_EQ(Status::ok().message(), describe_kind(Kind::kOk));
}

}  // namespace
}  // namespace invoice
