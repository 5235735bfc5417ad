#include <gtest/gtest.h>

#include "core/Version.h"

namespace brenvik {
namespace {

TEST(Version, ShownWithAPointAfterTheFirstDigit) {
  EXPECT_EQ(FormatVersionNumber(142), u"1.42");
  EXPECT_EQ(FormatVersionNumber(143), u"1.43");
  EXPECT_EQ(FormatVersionNumber(2001), u"2.001");
  EXPECT_EQ(FormatVersionNumber(7), u"7.");
}

TEST(Version, OnlyANewerVersionIsOffered) {
  EXPECT_FALSE(NewerVersion({}));
  EXPECT_FALSE(NewerVersion([] { return std::optional<int>(); }));
  EXPECT_FALSE(NewerVersion([] { return std::optional<int>(141); }));
  EXPECT_FALSE(NewerVersion([] { return std::optional<int>(142); }));
  EXPECT_EQ(NewerVersion([] { return std::optional<int>(143); }), 143);
}

}  // namespace
}  // namespace brenvik
