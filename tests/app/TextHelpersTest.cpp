#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

#include "core/TextHelpers.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

TEST(FormatSizeText, UnitsByPowersOf1024) {
  EXPECT_EQ(FormatSizeText(0), u"0 Bytes");
  EXPECT_EQ(FormatSizeText(-5), u"0 Bytes");
  EXPECT_EQ(FormatSizeText(1), u"1.0 Bytes");
  EXPECT_EQ(FormatSizeText(512), u"512.0 Bytes");
  EXPECT_EQ(FormatSizeText(1023), u"1023.0 Bytes");
  EXPECT_EQ(FormatSizeText(1024), u"1.0 KB");
  EXPECT_EQ(FormatSizeText(1536), u"1.5 KB");
  EXPECT_EQ(FormatSizeText(1048576), u"1.0 MB");
  EXPECT_EQ(FormatSizeText(int64_t{1} << 30), u"1.0 GB");
  EXPECT_EQ(FormatSizeText(int64_t{3} << 40), u"3.0 TB");
  EXPECT_EQ(FormatSizeText(int64_t{1} << 50), u"1.0 PB");
  EXPECT_EQ(FormatSizeText(INT64_MAX), u"8.0 EB");
}

TEST(TimeStamp, LocalTimeInNameFormat) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(FormatTimeStamp(1796600405), u"2026-12-06 23-40-05");
  const std::string now = TextToBytes(MakeTimeStampName());
  EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}-\d{2}-\d{2})"))) << now;
}

TEST(Paths, JoinUsesExactlyOneSeparator) {
  EXPECT_EQ(JoinPath("/a/b", "c").native(), "/a/b/c");
  EXPECT_EQ(JoinPath("/a/b/", "c").native(), "/a/b/c");
  EXPECT_EQ(JoinPath("/", "c").native(), "/c");
  EXPECT_EQ(StripTrailingSeparator(u"/media/disk/"), u"/media/disk");
  EXPECT_EQ(StripTrailingSeparator(u"/"), u"/");
  EXPECT_EQ(StripTrailingSeparator(u""), u"");
}

}  // namespace
}  // namespace brenvik
