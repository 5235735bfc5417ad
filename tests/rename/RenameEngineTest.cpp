// The naming rules and the move, with readers that take their texts from the test files.
#include <gtest/gtest.h>

#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "rename/RenameEngine.h"
#include "tests/rename/FakeReaders.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::FakeReaders;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::WriteFile;

namespace {

std::u16string Text(const std::filesystem::path& path) { return PathToText(path); }

AppSettings Settings(bool date, bool sheet, bool content, int32_t limit) {
  AppSettings s;
  s.date = date;
  s.sheet = sheet;
  s.content = content;
  s.nameLengthLimit = limit;
  return s;
}

class RenameEngineTest : public ::testing::Test {
 protected:
  RenameEngineTest() : engine(FakeReaders(calls)) {
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
    engine.setSettings(Settings(true, false, true, 64));
  }

  std::u16string renamed(const std::string& name, const std::string& body) {
    WriteFile(dir / name, body);
    return engine.RenameFromContent(Text(dir / name)).newPath;
  }

  std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>();
  TempDir dir;
  RenameEngine engine;
};

}  // namespace

TEST(RenameTypes, ExtensionsAreComparedExactlyAndOnlyInTheFileName) {
  EXPECT_EQ(PathExtension(std::u16string_view(u"/rec/00012.doc")), u"doc");
  EXPECT_EQ(PathExtension(std::u16string_view(u"/rec/a.tar.docx")), u"docx");
  EXPECT_EQ(PathExtension(std::u16string_view(u"/rec.doc/readme")), u"");
  EXPECT_EQ(PathExtension(std::u16string_view(u"/rec/.doc")), u"");      // a dot that starts the name
  EXPECT_EQ(PathExtension(std::u16string_view(u"/x.doc")), u"");         // the only "/" comes first
  EXPECT_EQ(PathExtension(std::u16string_view(u"x.doc")), u"");
  EXPECT_EQ(PathExtension(std::string_view("rec/x.pdf")), "pdf");

  EXPECT_EQ(RenameTypeBit(std::u16string_view(u"doc")), kRenameDoc);
  EXPECT_EQ(RenameTypeBit(std::u16string_view(u"txt")), kRenameTxt);
  EXPECT_EQ(RenameTypeBit(std::u16string_view(u"DOC")), 0u);
  EXPECT_EQ(RenameTypeBit(std::string_view("xlsx")), kRenameXlsx);
  EXPECT_EQ(RenameTypeBit(std::string_view("xlsm")), 0u);
  EXPECT_EQ(RenameTypeBit(std::string_view("")), 0u);
}

TEST(RenameTypes, SelectTakesOnlyTheTickedTypes) {
  RenameEngine engine({});
  engine.prepareCheck();
  EXPECT_FALSE(engine.Select(std::u16string_view(u"/rec/a.pdf")));
  engine.selectTypes(kRenamePdf);
  EXPECT_TRUE(engine.Select(std::u16string_view(u"/rec/a.pdf")));
  EXPECT_TRUE(engine.Select(std::string_view("/rec/a.pdf")));
  EXPECT_FALSE(engine.Select(std::u16string_view(u"/rec/a.doc")));
  engine.selectTypes(kRenameAllTypes);
  EXPECT_FALSE(engine.Select(std::u16string_view(u"/rec/x.DOC")));
  EXPECT_FALSE(engine.Select(std::string_view("/rec/x.Pdf")));
  engine.prepareCheck();
  EXPECT_FALSE(engine.Select(std::u16string_view(u"/rec/a.pdf")));
}

TEST(RenameTypes, WalkedPathsAreSelectedAsTheirTextIs) {
  // The walk's byte form takes a shortcut; it must agree with the extension rules everywhere.
  RenameEngine engine({});
  engine.prepareCheck();
  engine.selectTypes(kRenameDoc | kRenameDocx | kRenameTxt);
  for (const char* path : {"/rec/a.doc", "/rec/a.docx", "/rec/a.txt", "/rec/a.pdf", "/rec/.doc", "/rec/..doc",
                           "/rec/a..doc", "/rec/a.do.c", "/rec/a.d.oc", "/rec/a.doc.", "/rec/a.docxx", "/x.doc",
                           "x.doc", "rec/x.doc", ".doc", "doc", "/.doc", "//a.doc", "/rec/a/.txt", "/rec.doc/a",
                           "/rec/a.DOC", "/r/a.tx\xFF", "/r/\xFF.txt", "/r/a.doc/"}) {
    const std::string_view bytes(path);
    const bool expected = (RenameTypeBit(PathExtension(bytes)) & engine.selectedTypes()) != 0;
    EXPECT_EQ(engine.Select(bytes), expected) << path;
    EXPECT_EQ(engine.Select(std::u16string_view(BytesToText(bytes))), expected) << path;
  }
}

TEST(RenameComposition, PartsFollowEachOtherAndAreCutAfterComposition) {
  const DocumentTexts texts{u"2012-03-05 14-07-09", u"Sheet1Data", u"Quarterly figures"};
  EXPECT_EQ(ComposeDocumentName(texts, Settings(true, false, true, 64), false), u"2012-03-05 14-07-09Quarterly figures");
  EXPECT_EQ(ComposeDocumentName(texts, Settings(true, true, true, 20), true), u"2012-03-05 14-07-09S");
  EXPECT_EQ(ComposeDocumentName(texts, Settings(true, true, true, 64), true),
            u"2012-03-05 14-07-09Sheet1DataQuarterly figures");
  // Sheet names count for spreadsheets only.
  EXPECT_EQ(ComposeDocumentName(texts, Settings(false, true, false, 64), false), u"");
  EXPECT_EQ(ComposeDocumentName(texts, Settings(false, true, false, 64), true), u"Sheet1Data");
  // The content alone is cut to the limit before it is appended.
  EXPECT_EQ(ComposeDocumentName(texts, Settings(false, false, true, 9), false), u"Quarterly");
  EXPECT_EQ(ComposeDocumentName({u"", u"", u"Report"}, Settings(true, false, true, 64), false), u"Report");
}

TEST(RenameComposition, LimitNeverSplitsACharacterOrGoesNegative) {
  const DocumentTexts texts{u"", u"", u"ab\U0001F600cd"};
  EXPECT_EQ(ComposeDocumentName(texts, Settings(false, false, true, 3), false), u"ab");
  EXPECT_EQ(ComposeDocumentName(texts, Settings(false, false, true, 4), false), u"ab\U0001F600");
  // The settings dialog lets a pasted negative limit through: it leaves no name, not a crash.
  EXPECT_EQ(ComposeDocumentName(texts, Settings(true, true, true, -5), true), u"");
}

TEST(RenameGuard, NamesFromContentsCannotLeaveTheirFolder) {
  EXPECT_EQ(SafeNameFromContent(u"../../etc/passwd"), u"etcpasswd");
  EXPECT_EQ(SafeNameFromContent(u"a\\b/c"), u"abc");
  EXPECT_EQ(SafeNameFromContent(u"Wait...what"), u"Wait.what");
  EXPECT_EQ(SafeNameFromContent(u"--force"), u"force");
  EXPECT_EQ(SafeNameFromContent(u".hidden"), u"hidden");
  EXPECT_EQ(SafeNameFromContent(u"-.-x-y"), u"x-y");
  EXPECT_EQ(SafeNameFromContent(std::u16string(u"a\0b\tc\x1b" u"d\x7f" u"e\x85" u"f", 11)), u"abcdef");
  // Unpaired surrogates have no file-name form; pairs stay.
  EXPECT_EQ(SafeNameFromContent(u"a\xD800" u"b\xDC80" u"c\U0001F600"), u"abc\U0001F600");
  EXPECT_EQ(SafeNameFromContent(u"..//--"), u"");
  EXPECT_EQ(SafeNameFromContent(u"年度报告2012"), u"年度报告2012");
}

TEST_F(RenameEngineTest, EachTypeUsesItsOwnReaderAndKeepsItsExtension) {
  engine.setSettings(Settings(true, true, true, 20));
  EXPECT_EQ(renamed("a.xls", "2012-03-05 14-07-09|Sheet1Data|anything"), Text(dir / "2012-03-05 14-07-09S#1.xls"));
  EXPECT_EQ(renamed("b.docx", "|Sheet|Minutes"), Text(dir / "Minutes#2.docx"));
  EXPECT_EQ(renamed("c.xlsx", "|Budget|Q3"), Text(dir / "BudgetQ3#3.xlsx"));
  EXPECT_EQ(renamed("d.zip", "a.txtb.txt"), Text(dir / "a.txtb.txt#4.zip"));
  EXPECT_EQ(renamed("e.rar", "plan.doc"), Text(dir / "plan.doc#5.rar"));
  EXPECT_EQ(renamed("f.pdf", "20120305140709"), Text(dir / "20120305140709#6.pdf"));
  EXPECT_EQ(renamed("g.txt", "Quarterlyreport"), Text(dir / "Quarterlyreport#7.txt"));
}

TEST_F(RenameEngineTest, FilesWithoutANameKeepItAndUseNoNumber) {
  engine.setSettings(Settings(false, true, false, 64));  // only Sheet: a docx gets nothing
  EXPECT_EQ(engine.RenameFromContent(Text(dir / "missing.doc")).outcome, RenameOutcome::NoName);
  EXPECT_EQ(renamed("a.docx", "2012-03-05 14-07-09|Sheet1|Text"), u"");
  EXPECT_TRUE(Exists(dir / "a.docx"));
  EXPECT_EQ(engine.nameCounter(), 1);

  engine.setSettings(Settings(true, false, true, 64));
  EXPECT_EQ(renamed("empty.txt", ""), u"");
  EXPECT_EQ(renamed("guarded.txt", "../--"), u"");  // nothing is left after the guard
  EXPECT_EQ(renamed("x.DOC", "2012-03-05 14-07-09||Report"), u"");
  EXPECT_TRUE(Exists(dir / "x.DOC"));
  EXPECT_EQ(renamed("b.txt", "Notes"), Text(dir / "Notes#1.txt"));
}

TEST_F(RenameEngineTest, TheReaderFollowsTheExtensionNotTheSelection) {
  engine.prepareCheck();
  engine.selectTypes(kRenamePdf);
  EXPECT_EQ(renamed("a.txt", "Notes"), Text(dir / "Notes#1.txt"));
}

TEST_F(RenameEngineTest, AnExistingTargetIsNeverReplaced) {
  WriteFile(dir / "Report#1.txt", "an earlier run's file");
  WriteFile(dir / "Report#2.txt", "another one");
  EXPECT_EQ(renamed("a.txt", "Report"), Text(dir / "Report#3.txt"));
  EXPECT_EQ(ReadFile(dir / "Report#1.txt"), "an earlier run's file");
  EXPECT_EQ(ReadFile(dir / "Report#2.txt"), "another one");
  EXPECT_EQ(ReadFile(dir / "Report#3.txt"), "Report");
  // The numbers passed over are used up.
  EXPECT_EQ(engine.nameCounter(), 4);
  EXPECT_EQ(renamed("b.txt", "Next"), Text(dir / "Next#4.txt"));
}

TEST_F(RenameEngineTest, AFailedMoveKeepsTheFileAndUsesUpItsNumber) {
  engine.setSettings(Settings(true, false, true, 512));
  const std::string tooLong(300, 'x');  // more than a file name may hold
  EXPECT_EQ(engine.RenameFromContent(Text(dir / "a.txt")).outcome, RenameOutcome::NoName);  // no file, no name
  WriteFile(dir / "a.txt", tooLong);
  EXPECT_EQ(engine.RenameFromContent(Text(dir / "a.txt")).outcome, RenameOutcome::MoveFailed);
  EXPECT_EQ(ReadFile(dir / "a.txt"), tooLong);
  EXPECT_EQ(engine.nameCounter(), 2);
  EXPECT_EQ(renamed("b.txt", "Next"), Text(dir / "Next#2.txt"));
}

TEST_F(RenameEngineTest, AFileThatAlreadyHasItsNameStaysPut) {
  EXPECT_EQ(renamed("Name#1.txt", "Name"), Text(dir / "Name#1.txt"));
  EXPECT_EQ(ReadFile(dir / "Name#1.txt"), "Name");
  EXPECT_EQ(engine.nameCounter(), 2);
}

TEST_F(RenameEngineTest, HostileContentsStayInsideTheFolder) {
  WriteFile(dir / "sub/a.txt", "../../escaped");
  const RenameResult result = engine.RenameFromContent(Text(dir / "sub/a.txt"));
  EXPECT_EQ(result.newPath, Text(dir / "sub/escaped#1.txt"));
  EXPECT_TRUE(Exists(dir / "sub/escaped#1.txt"));
  EXPECT_EQ(renamed("b.txt", "-rf"), Text(dir / "rf#2.txt"));
}

TEST_F(RenameEngineTest, NamesThatAreNotUtf8AreRenamedLosslessly) {
  const std::filesystem::path odd = dir / std::string("\xb1\xa8\xb8\xe6.txt");  // GBK bytes, not UTF-8
  WriteFile(odd, "Report");
  EXPECT_EQ(engine.RenameFromContent(Text(odd)).outcome, RenameOutcome::Renamed);
  EXPECT_EQ(ReadFile(dir / "Report#1.txt"), "Report");
}

TEST_F(RenameEngineTest, ReadOnlyFilesGetWritePermissionBackBeforeTheMove) {
  WriteFile(dir / "a.txt", "Locked");
  std::filesystem::permissions(dir / "a.txt", std::filesystem::perms::owner_read);
  EXPECT_EQ(engine.RenameFromContent(Text(dir / "a.txt")).outcome, RenameOutcome::Renamed);
  const auto perms = std::filesystem::status(dir / "Locked#1.txt").permissions();
  EXPECT_NE(perms & std::filesystem::perms::owner_write, std::filesystem::perms::none);
}
