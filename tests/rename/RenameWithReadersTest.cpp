// The naming rules on real documents and archives, through the document and archive readers.
#include <gtest/gtest.h>

#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "rename/RenameJob.h"
#include "tests/readers/ArchiveBuilders.h"
#include "tests/support/TempDir.h"
#include "tests/support/TimeZone.h"

using namespace brenvik;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::WriteFile;

namespace {

const std::filesystem::path kData = BRENVIK_RENAME_DATA;

class RenameWithReadersTest : public ::testing::Test {
 protected:
  RenameWithReadersTest() : engine(DocumentContentReaders()) {
    settings.temporaryFolder = temporary.path();
    std::filesystem::create_directories(rec);
    use(true, false, true, 64);
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
  }

  void use(bool date, bool sheet, bool content, int32_t limit) {
    settings.date = date;
    settings.sheet = sheet;
    settings.content = content;
    settings.nameLengthLimit = limit;
    engine.setSettings(settings);
  }

  std::filesystem::path copy(const std::string& fixture, const std::string& as) {
    std::filesystem::create_directories((rec / as).parent_path());
    std::filesystem::copy_file(kData / fixture, rec / as);
    return rec / as;
  }

  std::u16string renamed(const std::filesystem::path& path) {
    return engine.RenameFromContent(PathToText(path)).newPath;
  }

  // Names take local time; the documents were saved at 06:07:09 UTC.
  const brenvik::testing::ScopedTimeZone zone{brenvik::testing::kUtcPlus8};
  TempDir temporary;
  TempDir root;
  std::filesystem::path rec = root / "rec";
  AppSettings settings;
  RenameEngine engine;
};

}  // namespace

TEST_F(RenameWithReadersTest, WordDocumentIsNamedAfterItsLastSaveAndItsText) {
  const std::filesystem::path doc = copy("report.doc", "00012.doc");
  EXPECT_EQ(renamed(doc), PathToText(rec / "2012-03-05 14-07-09AnnualReport#1.doc"));
  EXPECT_EQ(ReadFile(rec / "2012-03-05 14-07-09AnnualReport#1.doc"), ReadFile(kData / "report.doc"));
  EXPECT_FALSE(Exists(doc));
}

TEST_F(RenameWithReadersTest, SpreadsheetNameIsCutToTheLimitAfterComposition) {
  use(true, true, true, 20);
  EXPECT_EQ(renamed(copy("budget.xls", "1.xls")), PathToText(rec / "2012-03-05 14-07-09B#1.xls"));
  use(false, true, true, 64);
  EXPECT_EQ(renamed(copy("budget.xls", "2.xls")), PathToText(rec / "BudgetDataTravelcostsTotals#2.xls"));
  EXPECT_EQ(renamed(copy("budget.xlsx", "3.xlsx")), PathToText(rec / "BudgetDataTravelcostsTotals#3.xlsx"));
}

TEST_F(RenameWithReadersTest, OnlySheetGivesADocxNoName) {
  use(false, true, false, 64);
  const std::filesystem::path docx = copy("report.docx", "a.docx");
  EXPECT_EQ(engine.RenameFromContent(PathToText(docx)).outcome, RenameOutcome::NoName);
  EXPECT_TRUE(Exists(docx));
  use(false, false, true, 64);
  EXPECT_EQ(renamed(docx), PathToText(rec / "AnnualReport#1.docx"));
}

TEST_F(RenameWithReadersTest, UpperCaseExtensionIsNeitherSelectedNorRenamed) {
  const std::filesystem::path upper = copy("report.doc", "x.DOC");
  EXPECT_FALSE(engine.Select(PathToText(upper)));
  EXPECT_EQ(engine.RenameFromContent(PathToText(upper)).outcome, RenameOutcome::NoName);
  EXPECT_TRUE(Exists(upper));
}

TEST_F(RenameWithReadersTest, DamagedFileUsesNoNumber) {
  WriteFile(rec / "broken.doc", std::string(4096, '\xDE'));
  WriteFile(rec / "broken.docx", "PK but not really");
  EXPECT_EQ(engine.RenameFromContent(PathToText(rec / "broken.doc")).outcome, RenameOutcome::NoName);
  EXPECT_EQ(engine.RenameFromContent(PathToText(rec / "broken.docx")).outcome, RenameOutcome::NoName);
  EXPECT_EQ(renamed(copy("report.pdf", "scan.pdf")), PathToText(rec / "20120305140709#1.pdf"));
}

TEST_F(RenameWithReadersTest, NumberingGoesOnAcrossRenamePassesAndRestartsAtCheck) {
  for (int i = 0; i < 4; ++i) copy("report.doc", "d" + std::to_string(i) + ".doc");
  struct RowReporter : RenameReporter {
    void AddRow(const RenameRow& row) override { paths.push_back(row.path); }
    std::vector<std::u16string> paths;
  } reporter;
  std::atomic<int> stop{0};
  settings.cacheMode = kCacheModeList;
  engine.setSettings(settings);
  RunRenameCheck({engine.choices(), rec}, stop, reporter);
  ASSERT_EQ(reporter.paths.size(), 4u);
  ListRows rows(reporter.paths);
  rows.checked[0] = rows.checked[1] = 1;
  engine.continueNumbering(RunRename({engine.readers(), engine.choices(), false, &rows, {}}, stop, reporter).nextNumber);
  engine.setSettings(settings);  // the second Rename takes the settings again, not the numbering
  rows.checked[2] = rows.checked[3] = 1;
  engine.continueNumbering(RunRename({engine.readers(), engine.choices(), false, &rows, {}}, stop, reporter).nextNumber);
  for (int n = 1; n <= 4; ++n) EXPECT_TRUE(Exists(rec / ("2012-03-05 14-07-09AnnualReport#" + std::to_string(n) + ".doc")));

  engine.prepareCheck();
  engine.selectTypes(kRenameAllTypes);
  EXPECT_EQ(renamed(copy("report.doc", "again.doc")), PathToText(rec / "2012-03-05 14-07-09AnnualReport#5.doc"))
      << "#1 to #4 are taken: the numbers restart at 1 and go past them";
  EXPECT_EQ(engine.nameCounter(), 6);
}

TEST_F(RenameWithReadersTest, ArchivesAndTextAreNamedByTheirReaders) {
  using brenvik::testing::Rar4Archive;
  using brenvik::testing::ZipEntry;
  ASSERT_TRUE(brenvik::testing::WriteZip(rec / "a.zip", {ZipEntry("docs/a.txt", "x"), ZipEntry("docs/b.txt", "y")}));
  use(false, false, true, 64);
  EXPECT_EQ(renamed(rec / "a.zip"), PathToText(rec / "a.txtb.txt#1.zip"));

  // With Size on, the rar loses the bytes behind its end block and is then renamed.
  const std::string rar = Rar4Archive({{"plan.doc"}, {"budget.xls"}});
  WriteFile(rec / "b.rar", rar + std::string(5000, '\0'));
  settings.size = 1;
  engine.setSettings(settings);
  EXPECT_EQ(renamed(rec / "b.rar"), PathToText(rec / "plan.docbudget.xls#2.rar"));
  EXPECT_EQ(ReadFile(rec / "plan.docbudget.xls#2.rar"), rar);

  WriteFile(rec / "c.txt", "\xEF\xBB\xBFQuarterly report\r\nthird quarter");
  EXPECT_EQ(renamed(rec / "c.txt"), PathToText(rec / "Quarterlyreportthirdquarter#3.txt"));
}

TEST_F(RenameWithReadersTest, TextThatLooksLikeAPathStaysInItsFolder) {
  WriteFile(rec / "sub/evil.txt", "..\\..\\-rf\x01\x02");
  use(false, false, true, 64);
  EXPECT_EQ(renamed(rec / "sub/evil.txt"), PathToText(rec / "sub/rf#1.txt"));
}

// Between Check and Rename the listed names change: a .rar becomes a link to another archive, a
// folder becomes a link to an outside folder, a file is replaced by another of the same name, and
// then the root itself is re-pointed. With Size on, no archive but the listed one is cut short or
// renamed; the one that stayed is still named and shortened.
TEST_F(RenameWithReadersTest, RenameActsOnlyOnTheListedFilesBelowTheCheckedRoot) {
  namespace fs = std::filesystem;
  const std::string rar = brenvik::testing::Rar4Archive({{"plan.doc"}});
  const std::string padded = rar + std::string(5000, '\0');
  struct RowReporter : RenameReporter {
    void AddRow(const RenameRow& row) override {
      paths.push_back(row.path);
      identities.push_back(row.identity);
    }
    std::vector<std::u16string> paths;
    std::vector<FileIdentity> identities;
  };
  const auto filesIn = [](const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  std::atomic<int> stop{0};
  use(false, false, true, 64);
  settings.size = 1;
  for (const bool cacheMode : {false, true}) {
    SCOPED_TRACE(cacheMode ? "cache mode" : "list mode");
    settings.cacheMode = cacheMode ? kCacheModeFiles : kCacheModeList;
    engine.setSettings(settings);
    RowReporter reporter;
    const auto check = [&] {
      reporter = {};
      engine.prepareCheck();
      engine.selectTypes(kRenameRar);
      return RunRenameCheck({engine.choices(), rec}, stop, reporter);
    };
    const auto rename = [&](const RenameCheckOutcome& outcome) {
      const CheckedRoot checked{rec, outcome.rootIdentity};
      if (cacheMode) return void(RunRename({engine.readers(), engine.choices(), true, nullptr, outcome.resultFile, checked}, stop, reporter));
      ListRows rows(reporter.paths, checked, reporter.identities);
      for (auto& mark : rows.checked) mark = 1;
      RunRename({engine.readers(), engine.choices(), false, &rows, {}, {}}, stop, reporter);
    };

    TempDir outside;
    fs::remove_all(rec);
    for (const char* name : {"a.rar", "sub/b.rar", "c.rar", "d.rar"}) WriteFile(rec / name, padded);
    WriteFile(outside / "other.rar", padded);
    WriteFile(outside / "b.rar", padded);
    const RenameCheckOutcome outcome = check();
    ASSERT_EQ(reporter.paths.size(), 4u);
    fs::remove(rec / "a.rar");
    fs::create_symlink(outside / "other.rar", rec / "a.rar");
    fs::rename(rec / "sub", root / "sub-moved");
    fs::create_directory_symlink(outside.path(), rec / "sub");
    WriteFile(rec / "c.new", padded);  // made first, so it cannot reuse the old inode
    fs::rename(rec / "c.new", rec / "c.rar");
    rename(outcome);
    EXPECT_EQ(filesIn(outside.path()), (std::vector<std::string>{"b.rar", "other.rar"}));
    EXPECT_EQ(ReadFile(outside / "other.rar"), padded);
    EXPECT_EQ(ReadFile(outside / "b.rar"), padded);
    EXPECT_EQ(ReadFile(root / "sub-moved/b.rar"), padded);
    EXPECT_EQ(ReadFile(rec / "c.rar"), padded);
    EXPECT_TRUE(fs::is_symlink(rec / "a.rar"));
    EXPECT_EQ(ReadFile(rec / "plan.doc#1.rar"), rar);
    fs::remove_all(root / "sub-moved");

    // The root path re-pointed at another folder holding an archive of a listed name.
    fs::remove_all(rec);
    WriteFile(rec / "e.rar", padded);
    const RenameCheckOutcome second = check();
    fs::rename(rec, root / "rec-moved");
    fs::create_directory_symlink(outside.path(), rec);
    WriteFile(outside / "e.rar", padded);
    rename(second);
    EXPECT_EQ(ReadFile(outside / "e.rar"), padded);
    EXPECT_EQ(ReadFile(root / "rec-moved/e.rar"), padded);
    EXPECT_EQ(filesIn(outside.path()), (std::vector<std::string>{"b.rar", "e.rar", "other.rar"}));
    fs::remove(rec);
    fs::remove_all(root / "rec-moved");
    fs::create_directories(rec);
  }
}
