#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>

#include "platform/CodePage.h"
#include "readers/NameExtraction.h"
#include "tests/readers/ArchiveBuilders.h"
#include "tests/support/TempDir.h"
#include "tests/support/TimeZone.h"

namespace brenvik {
namespace {

using namespace testing;

NameChoices Choices(bool date, bool content, int limit = 64, bool size = false) {
  NameChoices s;
  s.date = date;
  s.content = content;
  s.nameLengthLimit = limit;
  s.size = size;
  return s;
}

// Zip entry times are local; the tests read them in UTC.
class NameFromZipTest : public ::testing::Test {
 protected:
  const testing::ScopedTimeZone zone{"UTC"};
  TempDir dir;
};

TEST_F(NameFromZipTest, EntryNamesWithoutFoldersAndTheNewestTime) {
  ASSERT_TRUE(WriteZip(dir / "a.zip", {{"docs/", "", 2009}, {"docs/a.txt", "x", 2010}, {"docs/b.txt", "y", 2011}}));
  EXPECT_EQ(NameFromZip(dir / "a.zip", Choices(false, true)), u"a.txtb.txt");
  EXPECT_EQ(NameFromZip(dir / "a.zip", Choices(true, false)), u"2011-03-05 06-07-10");

  ASSERT_TRUE(WriteZip(dir / "b.zip", {{"report.doc", "x"}, {"old/notes 1.txt", "y", 2009}}));
  EXPECT_EQ(NameFromZip(dir / "b.zip", Choices(true, true)), u"2012-03-05 06-07-10report.docnotes1.txt");
  EXPECT_EQ(NameFromZip(dir / "b.zip", Choices(true, true, 22)), u"2012-03-05 06-07-10rep");
}

TEST_F(NameFromZipTest, TheStoredLocalTimeNamesTheArchiveInAnyZone) {
  ASSERT_TRUE(WriteZip(dir / "a.zip", {{"a.txt", "x", 2012}}));
  for (const char* other : {testing::kUtcPlus8, "America/New_York"}) {
    const testing::ScopedTimeZone scoped(other);
    EXPECT_EQ(NameFromZip(dir / "a.zip", Choices(true, false)), u"2012-03-05 06-07-10") << other;
  }
}

// A DOS time is a wall-clock reading and names the archive as it reads, even one in the hour a
// spring-forward skips; an extra field's true moment is shown in this machine's zone. Extra
// fields whose lengths claim more than there is are passed over.
TEST_F(NameFromZipTest, DosTimesShowAsStoredAndExtraFieldMomentsInThisZone) {
  const std::filesystem::path data = BRENVIK_TEST_DATA;
  const auto le = [](uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
    return out;
  };
  const auto block = [&](uint16_t id, const std::string& body) { return le(id, 2) + le(body.size(), 2) + body; };
  // Reserved bytes, then tag 1: modification, access and creation time, 2012-03-05 06:07:09 UTC.
  const std::string ntfs = le(0, 4) + le(1, 2) + le(24, 2) + le(0x01CCFA9632BA2480, 8) + std::string(16, '\0');
  ZipEntry withNtfs("n.txt", "x");
  withNtfs.extraField = block(0x7875, le(0x0401, 2) + le(0, 4) + le(4, 1) + le(0, 4)) + block(0x000A, ntfs);
  ASSERT_TRUE(WriteZip(dir / "ntfs.zip", {withNtfs}));
  // An extended timestamp without its modification time, and an NTFS block claiming 255 bytes.
  ZipEntry overlong("o.txt", "x");
  overlong.extraField = block(0x5455, "\x02" + le(1'300'000'000, 4)) + le(0x000A, 2) + le(255, 2) + ntfs.substr(0, 16);
  ASSERT_TRUE(WriteZip(dir / "overlong.zip", {overlong}));

  const std::pair<const char*, std::array<const char16_t*, 4>> zones[] = {
      {"Europe/Berlin", {u"2021-03-28 02-30-00", u"2021-03-28 04-30-00", u"2012-03-05 07-07-09", u"2012-03-05 06-07-10"}},
      {testing::kUtcPlus8, {u"2021-03-28 02-30-00", u"2021-03-28 10-30-00", u"2012-03-05 14-07-09", u"2012-03-05 06-07-10"}}};
  for (const auto& [zone, expected] : zones) {
    const testing::ScopedTimeZone scoped(zone);
    EXPECT_EQ(NameFromZip(data / "wallclock.zip", Choices(true, false)), expected[0]) << zone;
    EXPECT_EQ(NameFromZip(data / "extended.zip", Choices(true, false)), expected[1]) << zone;
    EXPECT_EQ(NameFromZip(dir / "ntfs.zip", Choices(true, false)), expected[2]) << zone;
    EXPECT_EQ(NameFromZip(dir / "overlong.zip", Choices(true, false)), expected[3]) << zone;
  }
}

TEST_F(NameFromZipTest, NamingStopsAtTheLimitIncludingTheTime) {
  // The item that reaches the limit is the last one looked at, for names and times alike.
  ASSERT_TRUE(WriteZip(dir / "a.zip", {{"abcdef.txt", "x", 2010}, {"later.txt", "y", 2015}}));
  EXPECT_EQ(NameFromZip(dir / "a.zip", Choices(true, true, 10)), u"2010-03-05");
  EXPECT_EQ(NameFromZip(dir / "a.zip", Choices(true, true, 64)), u"2015-03-05 06-07-10abcdef.txtlater.txt");
}

TEST_F(NameFromZipTest, Utf8NamesAreDecodedAsUtf8AndOthersFromTheAnsiCodePage) {
  // No UTF-8 flag (most zip writers set none): well-formed UTF-8 is UTF-8 in every locale.
  ASSERT_TRUE(WriteZip(dir / "u.zip", {{"\xE6\x8A\xA5\xE5\x91\x8A.doc", "x"}, {"Zpr\xC3\xA1va.txt", "y"}}));
  EXPECT_EQ(NameFromZip(dir / "u.zip", Choices(false, true)), u"报告.docZpráva.txt");
  ASSERT_TRUE(WriteZip(dir / "w.zip", {{"caf\xE9.txt", "x"}}));
  if (AnsiCodePage() == 1252) {
    EXPECT_EQ(NameFromZip(dir / "w.zip", Choices(false, true)), u"café.txt");
  }
}

// Run by the suite a second time with LC_ALL=zh_CN.UTF-8 (the ANSI code page is chosen once per process).
TEST_F(NameFromZipTest, GbkNamesUnderAChineseLocale) {
  if (AnsiCodePage() != 936) GTEST_SKIP() << "needs a zh_CN locale";
  ASSERT_TRUE(WriteZip(dir / "g.zip", {{"\xB1\xA8\xB8\xE6.doc", "x"}, {"\xE6\x8A\xA5\xE5\x91\x8A.txt", "y"}}));
  EXPECT_EQ(NameFromZip(dir / "g.zip", Choices(false, true)), u"报告.doc报告.txt");  // GBK, then UTF-8
  // Text files without a byte-order mark likewise, also when the first 512 bytes end inside a character.
  WriteFile(dir / "gbk.txt", "\xC4\xEA\xB6\xC8\xCF\xFA\xCA\xDB\xB1\xA8\xB8\xE6");  // 年度销售报告 in GBK
  EXPECT_EQ(NameFromText(dir / "gbk.txt", Choices(false, true)), u"年度销售报告");
  std::string utf8;
  for (int i = 0; i < 60; ++i) utf8 += "\xE5\xB9\xB4\xE5\xBA\xA6\xE9\x94\x80";  // 年度销, 540 bytes
  WriteFile(dir / "utf8.txt", utf8);
  EXPECT_EQ(NameFromText(dir / "utf8.txt", Choices(false, true, 6)), u"年度销年度销");
}

TEST_F(NameFromZipTest, NotAZipGivesNothing) {
  WriteFile(dir / "bad.zip", "PK\x03\x04 this is not really a zip archive at all");
  EXPECT_EQ(NameFromZip(dir / "bad.zip", Choices(true, true)), u"");
  EXPECT_EQ(NameFromZip(dir / "missing.zip", Choices(true, true)), u"");
}

TEST(NameFromRar, SizeShortensOnlyAnIntactArchiveWithTrailingBytes) {
  TempDir dir;
  const std::string archive = Rar4Archive({{"report.doc"}, {"budget.xls"}});
  const std::string padded = archive + std::string(5000, '\x5A');

  WriteFile(dir / "off.rar", padded);
  EXPECT_EQ(NameFromRar(dir / "off.rar", Choices(true, true)), u"report.docbudget.xls");
  EXPECT_EQ(ReadFile(dir / "off.rar"), padded);

  WriteFile(dir / "on.rar", padded);
  EXPECT_EQ(NameFromRar(dir / "on.rar", Choices(true, true, 8, true)), u"report.d");
  EXPECT_EQ(ReadFile(dir / "on.rar"), archive);

  // Without an end block, or with a damaged header before it, nothing is cut.
  const std::string noEnd = Rar4Archive({{"report.doc"}}, false) + std::string(5000, '\0');
  WriteFile(dir / "noend.rar", noEnd);
  NameFromRar(dir / "noend.rar", Choices(true, true, 64, true));
  EXPECT_EQ(ReadFile(dir / "noend.rar"), noEnd);
  std::string damaged = padded;
  damaged[kRar4Signature.size() + 3] ^= 0x40;  // the main header's flags
  WriteFile(dir / "damaged.rar", damaged);
  EXPECT_EQ(NameFromRar(dir / "damaged.rar", Choices(true, true, 64, true)), u"");
  EXPECT_EQ(ReadFile(dir / "damaged.rar"), damaged);

  const std::string newArchive = Rar5Archive({{"a.txt"}});
  WriteFile(dir / "new.rar", newArchive + std::string(3000, '\0'));
  EXPECT_EQ(NameFromRar(dir / "new.rar", Choices(true, true, 64, true)), u"a.txt");
  EXPECT_EQ(ReadFile(dir / "new.rar"), newArchive);
}

std::string Pdf(size_t keyAt, const std::string& value, std::string body = {}) {
  std::string pdf = "%PDF-1.4\n" + body;
  if (pdf.size() < keyAt) pdf.resize(keyAt, ' ');
  pdf += "/CreationDate" + value + "\n%%EOF\n";
  return pdf;
}

TEST(NameFromPdf, FindsTheCreationDateInAnyWindow) {
  TempDir dir;
  WriteFile(dir / "a.pdf", Pdf(100, " (D:20120305140709+08'00')"));
  EXPECT_EQ(NameFromPdf(dir / "a.pdf"), u"20120305140709");
  WriteFile(dir / "b.pdf", Pdf(0x100010, "(D:20120305140709)"));
  EXPECT_EQ(NameFromPdf(dir / "b.pdf"), u"20120305140709");
  // A key straddling the step between two windows is found by the first.
  WriteFile(dir / "c.pdf", Pdf(0xFFFFB, "(D:20130102030405)"));
  EXPECT_EQ(NameFromPdf(dir / "c.pdf"), u"20130102030405");
}

TEST(NameFromPdf, AnUnreadableValueSpoilsOnlyItsOwnWindow) {
  TempDir dir;
  const std::string hex = "/CreationDate <FEFF0044003A0032>\n";
  std::string pdf = Pdf(0x100100, "(D:20120305140709)", hex);
  WriteFile(dir / "later-window.pdf", pdf);
  EXPECT_EQ(NameFromPdf(dir / "later-window.pdf"), u"20120305140709");
  pdf = Pdf(0x1000, "(D:20120305140709)", hex);
  WriteFile(dir / "same-window.pdf", pdf);
  EXPECT_EQ(NameFromPdf(dir / "same-window.pdf"), u"");
  WriteFile(dir / "not.pdf", "%PDX-1.4 /CreationDate (D:20120305140709)");
  EXPECT_EQ(NameFromPdf(dir / "not.pdf"), u"");
  WriteFile(dir / "short.pdf", "%PDF");
  EXPECT_EQ(NameFromPdf(dir / "short.pdf"), u"");
}

TEST(NameFromText, ByteOrderMarksDecideTheEncoding) {
  TempDir dir;
  const NameChoices s = Choices(true, true, 30);
  WriteFile(dir / "utf8.txt", "\xEF\xBB\xBFQuarterly report\r\nSecond line, with more words\r\n");
  EXPECT_EQ(NameFromText(dir / "utf8.txt", s), u"QuarterlyreportSecondlinewithm");
  WriteFile(dir / "utf16.txt", std::string("\xFF\xFEH\0i\0 \0\x2D\x4E\0\0x\0", 14));
  EXPECT_EQ(NameFromText(dir / "utf16.txt", s), u"Hi\u4E2D");
  // An odd length: the last byte is a character of its own with a zero high byte.
  WriteFile(dir / "utf16-odd.txt", std::string("\xFF\xFEN\0o\0t\0e\0d", 11));
  EXPECT_EQ(NameFromText(dir / "utf16-odd.txt", s), u"Noted");
  WriteFile(dir / "utf16-three.txt", "\xFF\xFEQ");
  EXPECT_EQ(NameFromText(dir / "utf16-three.txt", s), u"Q");
  WriteFile(dir / "bom-only.txt", "\xFF\xFE");
  EXPECT_EQ(NameFromText(dir / "bom-only.txt", s), u"");
  WriteFile(dir / "one.txt", "Z");
  EXPECT_EQ(NameFromText(dir / "one.txt", s), u"Z");
  WriteFile(dir / "nul.txt", std::string("ab\0cd", 5));
  EXPECT_EQ(NameFromText(dir / "nul.txt", s), u"ab");
  WriteFile(dir / "empty.txt", "");
  EXPECT_EQ(NameFromText(dir / "empty.txt", s), u"");
  EXPECT_EQ(NameFromText(dir / "missing.txt", s), u"");
  // Without a byte-order mark, UTF-8 is read as UTF-8, also when the first 512 bytes end inside a
  // character (that character is left out); other bytes in the code page.
  WriteFile(dir / "cs.txt", "Zpr\xC3\xA1va o \xC4\x8Dinnosti");
  EXPECT_EQ(NameFromText(dir / "cs.txt", s), u"Zprávaočinnosti");
  WriteFile(dir / "cut.txt", std::string(510, 'x') + "\xE5\xB9\xB4");
  EXPECT_EQ(NameFromText(dir / "cut.txt", Choices(true, true, 600)), std::u16string(510, u'x'));
  if (AnsiCodePage() == 1252) {
    WriteFile(dir / "latin1.txt", "caf\xE9 cr\xE8me");
    EXPECT_EQ(NameFromText(dir / "latin1.txt", s), u"cafécrème");
  }
  // Only the first 512 bytes are read.
  WriteFile(dir / "long.txt", std::string(511, '.') + "AB");
  EXPECT_EQ(NameFromText(dir / "long.txt", Choices(true, true, 600)), std::u16string(511, u'.') + u"A");
}

// A last character that the 512-byte read cut short is left out; one the text itself leaves
// unfinished (the file, or a NUL, ends there) is bytes that are not UTF-8, read as such bytes are
// anywhere: U+FFFD after a UTF-8 byte-order mark, the code page without one.
TEST(NameFromText, OnlyTheReadLimitCutsALastCharacter) {
  TempDir dir;
  const NameChoices s = Choices(true, true, 600);
  const auto name = [&](const std::string& bytes) {
    WriteFile(dir / "t.txt", bytes);
    return NameFromText(dir / "t.txt", s);
  };
  const std::string bom = "\xEF\xBB\xBF";
  EXPECT_EQ(name(bom + "ab\xE4\xB8"), u"ab\uFFFD");
  EXPECT_EQ(name(bom + "a\xFF" "b\xE4\xB8\xAD"), u"a\uFFFDb\u4E2D");
  EXPECT_EQ(name(bom + "ab\xE4\xB8" + std::string(600, '\0')), u"ab\uFFFD");
  EXPECT_EQ(name(bom + std::string(508, 'x') + "\xE4\xB8\xAD" + "more"), std::u16string(508, u'x'));
  // Without a byte-order mark: exactly 512 bytes end the file, not the read.
  const std::string whole = std::string(510, 'x') + "\xE4\xB8";
  EXPECT_EQ(name(whole), AnsiToText(whole));
  EXPECT_EQ(name("ab\xE4\xB8" + std::string(600, '\0')), AnsiToText("ab\xE4\xB8"));
  EXPECT_EQ(name(whole + "\xAD"), std::u16string(510, u'x'));
}

}  // namespace
}  // namespace brenvik
