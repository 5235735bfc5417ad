#include <gtest/gtest.h>

#include "core/FillPatternText.h"
#include "core/TextHelpers.h"
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "invalid_files/InvalidFileCriteria.h"
#include "invalid_files/InvalidFileDetector.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using namespace std::string_literals;
using testing::TempDir;
using testing::WriteFile;

std::string Repeat(std::string_view unit, size_t length) {
  std::string out;
  while (out.size() < length) out += unit;
  out.resize(length);
  return out;
}

const std::string kDead = "\xDE\xAD";

// A detector with the page's defaults: every name rule and extension, size 0 to 0, content off.
InvalidFileDetector DefaultDetector(const std::filesystem::path& root) {
  CriteriaInput input;
  input.root = u"/placeholder";
  input.checkedNameRules.assign(kDefaultNameRules.begin(), kDefaultNameRules.end());
  for (auto e : kDefaultExtensions) input.checkedExtensions.emplace_back(e);
  input.sizeChecked = true;
  input.sizeMinimumText = input.sizeMaximumText = u"0";
  InvalidFileDetector detector;
  detector.Reset();
  EXPECT_EQ(CollectCriteria(input, detector), CriteriaRefusal::None);
  detector.root = root;
  return detector;
}

InvalidFileDetector FillDetector(int percent, bool header) {
  InvalidFileDetector d;
  d.Reset();
  d.contentTestOn = true;
  d.fillPattern = {0xDE, 0xAD, 0xDE, 0xAD};
  d.percentThreshold = percent;
  d.headerRuleOn = header;
  return d;
}

TEST(InvalidFileDetector, CriteriaRunInOrderAndTheFirstDecides) {
  TempDir dir;
  InvalidFileDetector d = DefaultDetector(dir.path());
  d.contentTestOn = true;
  d.fillPattern = {0xDE, 0xAD};
  d.percentThreshold = 50;

  WriteFile(dir / "empty.tmp", "");                     // size before name
  WriteFile(dir / "~$notes.docx", Repeat(kDead, 1024));  // name before type and content
  WriteFile(dir / "photo.jpg", Repeat(kDead, 1024));     // type before content
  WriteFile(dir / "data.bin", Repeat(kDead, 1024));      // content
  WriteFile(dir / "good.jpg", "\xFF\xD8\xFF" + std::string(600, 'x'));
  EXPECT_EQ(ClassifyFile(d, dir / "empty.tmp").verdict, Verdict::Size);
  EXPECT_EQ(ClassifyFile(d, dir / "~$notes.docx").verdict, Verdict::Char);
  EXPECT_EQ(ClassifyFile(d, dir / "photo.jpg").verdict, Verdict::Type);
  const ScanResult content = ClassifyFile(d, dir / "data.bin");
  EXPECT_EQ(content.verdict, Verdict::Content);
  EXPECT_EQ(content.size, 1024);
  EXPECT_EQ(content.path, dir / "data.bin");
  EXPECT_EQ(ClassifyFile(d, dir / "good.jpg").verdict, Verdict::Valid);
  EXPECT_EQ(StatusText(Verdict::Content), u"content");
}

TEST(InvalidFileDetector, UnopenableAndNonRegularFilesAreValidWithSizeZero) {
  TempDir dir;
  InvalidFileDetector d = DefaultDetector(dir.path());
  WriteFile(dir / "real.tmp", "abc");
  ::symlink((dir / "real.tmp").c_str(), (dir / "link.tmp").c_str());
  ASSERT_EQ(::mkfifo((dir / "pipe.tmp").c_str(), 0600), 0);
  for (const char* name : {"missing.tmp", "link.tmp", "pipe.tmp"}) {
    const ScanResult r = ClassifyFile(d, dir / name);
    EXPECT_EQ(r.verdict, Verdict::Valid) << name;
    EXPECT_EQ(r.size, 0);
    EXPECT_TRUE(r.path.empty());
  }
}

TEST(InvalidFileDetector, SizeRangeIsInclusive) {
  TempDir dir;
  InvalidFileDetector d;
  d.Reset();
  d.sizeTestOn = true;
  d.sizeMinimum = d.sizeMaximum = 100;
  WriteFile(dir / "99", std::string(99, 'a'));
  WriteFile(dir / "100", std::string(100, 'a'));
  WriteFile(dir / "101", std::string(101, 'a'));
  EXPECT_EQ(ClassifyFile(d, dir / "99").verdict, Verdict::Valid);
  EXPECT_EQ(ClassifyFile(d, dir / "100").verdict, Verdict::Size);
  EXPECT_EQ(ClassifyFile(d, dir / "101").verdict, Verdict::Valid);
}

TEST(InvalidFileDetector, NameRulesCompareLowerCaseNamesAndWholeExtensions) {
  TempDir dir;
  InvalidFileDetector d = DefaultDetector(dir.path());
  const auto verdictOf = [&](const std::string& name) {
    WriteFile(dir / name, "some content here");
    return ClassifyFile(d, dir / name).verdict;
  };
  EXPECT_EQ(verdictOf("Report.TMP"), Verdict::Char);
  EXPECT_EQ(verdictOf("Desktop.INI"), Verdict::Char);
  EXPECT_EQ(verdictOf("what?.txt"), Verdict::Char);
  EXPECT_EQ(verdictOf("shortcut.lnk"), Verdict::Char);
  EXPECT_EQ(verdictOf("x.atmp"), Verdict::Valid);         // the whole extension, not its end
  EXPECT_EQ(verdictOf("archive.tmp.zip"), Verdict::Type);  // extension zip: no zip signature
  EXPECT_EQ(verdictOf(".tmp"), Verdict::Valid);            // a leading dot starts no extension
  EXPECT_EQ(verdictOf("old.thumbs.db"), Verdict::Valid);
  // A name that is not UTF-8 is judged like any other.
  EXPECT_EQ(verdictOf("\xFF\xFE~name.txt"), Verdict::Valid);
  EXPECT_EQ(verdictOf("~\xFF\xFE.txt"), Verdict::Char);
  EXPECT_EQ(verdictOf("\xC3\xA9t\xE9.TEMP"), Verdict::Char);

  NameRule upper(NameRule::kAll, u"THUMBS.DB");
  EXPECT_EQ(upper.pattern, u"thumbs.db");
  EXPECT_EQ(LowerCaseName("/a/B.Txt"), u"b.txt");
  EXPECT_EQ(ExtensionOf(u".profile"), u"");
  EXPECT_EQ(ExtensionOf(u"a.b.c"), u"c");
}

TEST(InvalidFileDetector, TypeTestAcceptsAnySignatureOfTheGroup) {
  TempDir dir;
  InvalidFileDetector d = DefaultDetector(dir.path());
  const auto verdictOf = [&](const std::string& name, const std::string& head) {
    WriteFile(dir / name, head + std::string(600, '\0'));
    return ClassifyFile(d, dir / name).verdict;
  };
  EXPECT_EQ(verdictOf("photo.JPG", "\xFF\xD8\xFF"), Verdict::Valid);
  EXPECT_EQ(verdictOf("zeros.jpg", ""), Verdict::Type);
  EXPECT_EQ(verdictOf("photo.jpg", "%PDF-1.4"), Verdict::Valid);  // a signature of the same group
  EXPECT_EQ(verdictOf("paper.pdf", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"), Verdict::Type);  // pdf is an image
  EXPECT_EQ(verdictOf("scan.dcm", std::string(128, 'x') + "DICM"), Verdict::Valid);
  EXPECT_EQ(verdictOf("draw.cdr", "RIFF"), Verdict::Valid);
  EXPECT_EQ(verdictOf("old.cdr", "\0\0\0\0\0\0HEAPCCDR"s), Verdict::Valid);
  EXPECT_EQ(verdictOf("letter.doc", "{\\rtf1"), Verdict::Valid);
  EXPECT_EQ(verdictOf("db.mdb", "\0\x01\0\0Standard Jet DB"s), Verdict::Valid);
  EXPECT_EQ(verdictOf("pack.7z", "7z\xBC\xAF"), Verdict::Valid);
  EXPECT_EQ(verdictOf("pack.rar", "PK\x03\x04"), Verdict::Valid);
  EXPECT_EQ(verdictOf("film.mp4", "\0\0\0\x18" "ftypisom"s), Verdict::Valid);
  EXPECT_EQ(verdictOf("song.mp3", "ID3"), Verdict::Valid);
  EXPECT_EQ(verdictOf("frame.mp3", "\xFF\xFB\x90"), Verdict::Valid);
  // After "ID" and another byte, the MPEG frame line is not tried and nothing else holds.
  EXPECT_EQ(verdictOf("song4.mp3", "ID4"), Verdict::Type);
  EXPECT_EQ(verdictOf("notes.txt", ""), Verdict::Valid);  // not in the list
  // A short file is padded with zero bytes.
  WriteFile(dir / "tiny.bmp", "BM");
  EXPECT_EQ(ClassifyFile(d, dir / "tiny.bmp").verdict, Verdict::Valid);

  d.extensions = {u"png"};
  EXPECT_EQ(verdictOf("zeros.jpg", ""), Verdict::Valid);  // unchecked extensions pass
}

TEST(InvalidFileDetector, FillTestCountsFilledBlocksAndTail) {
  TempDir dir;
  // 1,000 bytes: a filled first block and a zero tail of 488 bytes: 51.2 %.
  WriteFile(dir / "half", Repeat(kDead, 512) + std::string(488, '\0'));
  InvalidFileDetector at50 = FillDetector(50, false);
  EXPECT_EQ(ClassifyFile(at50, dir / "half").verdict, Verdict::Content);
  InvalidFileDetector at52 = FillDetector(52, false);
  EXPECT_EQ(ClassifyFile(at52, dir / "half").verdict, Verdict::Valid);
  InvalidFileDetector headerAt100 = FillDetector(100, true);
  EXPECT_EQ(ClassifyFile(headerAt100, dir / "half").verdict, Verdict::Content);  // counts as 100 %

  // 300 bytes of pattern: judged by the tail alone; the header rule needs a whole block.
  WriteFile(dir / "short", Repeat(kDead, 300));
  EXPECT_EQ(ClassifyFile(headerAt100, dir / "short").verdict, Verdict::Content);
  WriteFile(dir / "shortzero", std::string(300, '\0'));
  EXPECT_EQ(ClassifyFile(headerAt100, dir / "shortzero").verdict, Verdict::Valid);

  // Blocks repeat the pattern from their own start: a shifted pattern does not count.
  WriteFile(dir / "shifted", "\xAD" + Repeat(kDead, 1023));
  EXPECT_EQ(ClassifyFile(at50, dir / "shifted").verdict, Verdict::Valid);

  // Several chunks: 3 MiB of which the last 1.5 MiB are filled.
  const size_t mib = 1024 * 1024;
  WriteFile(dir / "big", std::string(mib + mib / 2, 'x') + Repeat(kDead, mib + mib / 2));
  EXPECT_EQ(ClassifyFile(at50, dir / "big").verdict, Verdict::Content);
  InvalidFileDetector at51 = FillDetector(51, false);
  EXPECT_EQ(ClassifyFile(at51, dir / "big").verdict, Verdict::Valid);

  // A threshold of 0 marks every non-empty file; an empty file never.
  WriteFile(dir / "text", "hello");
  WriteFile(dir / "empty", "");
  InvalidFileDetector at0 = FillDetector(0, false);
  EXPECT_EQ(ClassifyFile(at0, dir / "text").verdict, Verdict::Content);
  EXPECT_EQ(ClassifyFile(at0, dir / "empty").verdict, Verdict::Valid);
}

TEST(InvalidFileDetector, StopEndsTheReadingOfAHugeFile) {
  TempDir dir;
  WriteFile(dir / "big", std::string(4 * 1024 * 1024, 'x'));
  InvalidFileDetector d = FillDetector(0, false);
  d.percentThreshold = 1;
  std::atomic<int> stop{1};
  EXPECT_EQ(ClassifyFile(d, dir / "big", &stop).verdict, Verdict::Valid);
}

TEST(InvalidFileCriteria, CollectionRefusesInOrder) {
  const auto collect = [](auto change) {
    CriteriaInput input;
    input.root = u"/data";
    input.sizeChecked = true;
    input.sizeMinimumText = input.sizeMaximumText = u"0";
    change(input);
    InvalidFileDetector d;
    d.Reset();
    return CollectCriteria(input, d);
  };
  EXPECT_EQ(collect([](CriteriaInput&) {}), CriteriaRefusal::None);
  EXPECT_EQ(collect([](CriteriaInput& i) { i.root.clear(); i.sizeMinimumText = u"9"; }), CriteriaRefusal::Path);
  EXPECT_EQ(collect([](CriteriaInput& i) { i.sizeMinimumText = u"10"; i.sizeMaximumText = u"5"; }),
            CriteriaRefusal::Size);
  EXPECT_EQ(collect([](CriteriaInput& i) { i.sizeMinimumText = u"5"; i.sizeMaximumText = u"5"; }),
            CriteriaRefusal::None);
  const auto content = [&](std::u16string pattern, std::u16string percent) {
    return collect([&](CriteriaInput& i) {
      i.contentChecked = true;
      i.patternText = pattern;
      i.percentText = percent;
    });
  };
  EXPECT_EQ(content(u"DEA", u"50"), CriteriaRefusal::ByteContent);
  EXPECT_EQ(content(u"", u"50"), CriteriaRefusal::ByteContent);
  EXPECT_EQ(content(std::u16string(1026, u'A'), u"50"), CriteriaRefusal::ByteContent);
  EXPECT_EQ(content(std::u16string(1024, u'A'), u"100"), CriteriaRefusal::None);
  EXPECT_EQ(content(u"DEAD", u"101"), CriteriaRefusal::Percent);
  EXPECT_EQ(content(u"DEA", u"101"), CriteriaRefusal::ByteContent);  // pattern is checked first
  EXPECT_EQ(collect([](CriteriaInput& i) { i.sizeChecked = false; }), CriteriaRefusal::NoCriterion);

  // With nothing checked, the empty-folder removal left by the last Delete is enough.
  CriteriaInput none;
  none.root = u"/data";
  none.emptyFoldersFromLastDelete = true;
  InvalidFileDetector d;
  EXPECT_EQ(CollectCriteria(none, d), CriteriaRefusal::None);
  EXPECT_EQ(RefusalText(CriteriaRefusal::NoCriterion), u"Parameter setting error, please reset");
}

TEST(InvalidFileCriteria, TextsAreReadLikeTheConversionsOfTheirBoxes) {
  EXPECT_EQ(ParseFillPattern(u"1Gff"), (std::vector<uint8_t>{0x01, 0xFF}));
  EXPECT_EQ(ParseFillPattern(u" A-1"), (std::vector<uint8_t>{0x0A, 0xFF}));
  EXPECT_EQ(ParseLeadingInteger(u""), 0);
  EXPECT_EQ(ParseLeadingInteger(u"12ab"), 12);
  EXPECT_EQ(ParseLeadingInteger(u"99999999999999999999"), INT64_MAX);

  CriteriaInput input;
  input.root = u"/data";
  input.checkedNameRules = {{u"TMP", u"suffix"}, {u"~", u"prefix"}};
  input.contentChecked = true;
  input.patternText = u"0G";
  input.percentText = u"";
  input.headerChecked = true;
  InvalidFileDetector d;
  d.Reset();
  ASSERT_EQ(CollectCriteria(input, d), CriteriaRefusal::None);
  EXPECT_EQ(d.fillPattern, std::vector<uint8_t>{0x00});
  EXPECT_EQ(d.percentThreshold, 0);
  EXPECT_TRUE(d.headerRuleOn);
  EXPECT_FALSE(d.sizeTestOn);
  ASSERT_EQ(d.nameRules.size(), 2u);
  EXPECT_EQ(d.nameRules[0].pattern, u"tmp");
  EXPECT_EQ(d.nameRules[0].kind, NameRule::kSuffix);
  EXPECT_EQ(d.nameRules[1].kind, NameRule::kPrefix);
}

}  // namespace
}  // namespace brenvik
