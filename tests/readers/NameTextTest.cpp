#include <gtest/gtest.h>

#include "readers/NameText.h"
#include "tests/support/TimeZone.h"

namespace brenvik {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
// 1970-01-01 as a file time.
constexpr int64_t kUnixEpoch = 11'644'473'600 * kTicksPerSecond;

std::span<const uint8_t> Bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(NameText, TimestampOnAMachineAtUtcPlus8) {
  const testing::ScopedTimeZone zone(testing::kUtcPlus8);
  EXPECT_EQ(TimestampText(0), u"1601-01-01 08-00-00");
  EXPECT_EQ(TimestampText(-5), u"1601-01-01 08-00-00");
  // 2011-12-31 20:00:00 UTC: the offset moves the date into the next year.
  EXPECT_EQ(TimestampText(kUnixEpoch + 1'325'361'600 * kTicksPerSecond), u"2012-01-01 04-00-00");
  // 100 ns after 2012-03-05 06:07:09 UTC.
  EXPECT_EQ(TimestampText(kUnixEpoch + 1'330'927'629 * kTicksPerSecond + 1), u"2012-03-05 14-07-09");
  // 2000-02-29 and 2100-03-01 (2000 is a leap year, 2100 is not).
  EXPECT_EQ(TimestampText(kUnixEpoch + (951'782'400 - 28'800) * kTicksPerSecond), u"2000-02-29 00-00-00");
  EXPECT_EQ(TimestampText(kUnixEpoch + (4'107'542'400 - 28'800) * kTicksPerSecond), u"2100-03-01 00-00-00");
  EXPECT_FALSE(TimestampText(INT64_MAX).empty());
}

TEST(NameText, TimestampFollowsTheMachinesTimeZone) {
  // Saved at 21:10:05 UTC on 12 July 2019: still 12 July in London's summer time, 13 July in
  // Shanghai, and 11 July in a zone west of UTC.
  const int64_t saved = kUnixEpoch + 1'562'965'805 * kTicksPerSecond;
  for (const auto& [zone, expected] : {std::pair{"UTC", u"2019-07-12 21-10-05"},
                                       std::pair{"Europe/London", u"2019-07-12 22-10-05"},
                                       std::pair{"Asia/Shanghai", u"2019-07-13 05-10-05"},
                                       std::pair{"America/Los_Angeles", u"2019-07-12 14-10-05"}}) {
    const testing::ScopedTimeZone scoped(zone);
    EXPECT_EQ(TimestampText(saved), expected) << zone;
  }
  // The same zone in winter: no summer hour.
  const testing::ScopedTimeZone london("Europe/London");
  EXPECT_EQ(TimestampText(kUnixEpoch + 1'325'361'600 * kTicksPerSecond), u"2011-12-31 20-00-00");
  // Before 1970 too.
  const testing::ScopedTimeZone utc("UTC");
  EXPECT_EQ(TimestampText(0), u"1601-01-01 00-00-00");
  EXPECT_EQ(TimestampText(kUnixEpoch - kTicksPerSecond), u"1969-12-31 23-59-59");
}

TEST(NameText, RunDecodersKeepOnlyPrintableCharacters) {
  EXPECT_EQ(Decode8BitRun(Bytes("A\x01" "B\x7F" "C\x1F")), u"ABC");
  EXPECT_EQ(Decode8BitRun(Bytes("caf\xE9")), u"caf\u00E9");  // the Western code page outside other locales
  EXPECT_EQ(Decode8BitRun({}), u"");
  // Characters whose low byte is zero stay (一 U+4E00, 销 U+9500, Ā U+0100); controls go; an odd
  // last byte is ignored.
  EXPECT_EQ(Decode16BitRun(Bytes(std::string("\x00\x4E\x01\x4E\x00\x95\x00\x01" "A\x00\x7F\x00\x1F\x00\x00\x00" "B", 17))),
            u"一丁销ĀA");
  EXPECT_EQ(Decode16BitRun(Bytes("A")), u"");
}

TEST(NameText, CleaningRemovesWhatCannotStandInAFileName) {
  std::u16string text = u"Report: 2011/Q3, final?";
  CleanName(text);
  EXPECT_EQ(text, u"Report2011Q3final");
  text = u"a*b<c>d\"e|f\\g：h，i。j？k\r\nl\rm\nn o";
  CleanName(text);
  EXPECT_EQ(text, u"abcdefghijklmno");

  std::u16string entry = u"docs\\plan.doc/a:b*c?d<e>f\"g|h 1，2,3。4：5\r\n6？";
  CleanEntryName(entry);
  EXPECT_EQ(entry, u"docs#plan.doc#a#b#c#d#e#f#g#h123456？");
}

TEST(NameText, CutKeepsSurrogatePairsWhole) {
  EXPECT_EQ(CutToLimit(u"abcdef", 3), u"abc");
  EXPECT_EQ(CutToLimit(u"abc", 64), u"abc");
  EXPECT_EQ(CutToLimit(u"abc", 0), u"");
  EXPECT_EQ(CutToLimit(u"ab\U0001F600c", 3), u"ab");
}

}  // namespace
}  // namespace brenvik
