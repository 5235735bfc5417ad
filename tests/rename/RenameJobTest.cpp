// Check and Rename passes in list mode and cache mode, with readers that take their texts from
// the test files.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "core/TemporaryFolder.h"
#include "rename/RenameJob.h"
#include "tests/rename/FakeReaders.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::FakeReaders;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::WriteFile;

namespace {

struct RecordingReporter : RenameReporter {
  void AddRow(const RenameRow& row) override { rows.push_back({row.index, row.path, row.identity}); }
  struct Row {
    int32_t index;
    std::u16string path;
    FileIdentity identity;
  };
  void RowDone(int32_t row) override { done.push_back(row); }
  void Status(std::u16string_view text) override { status = text; }
  void Tally(const RenameNumbers& n) override { status = n.total < 0 ? NumbersText(n.count) : NumbersText(n.count, n.total); }

  std::vector<Row> rows;
  std::vector<int32_t> done;
  std::u16string status;
};

class RenameJobTest : public ::testing::Test {
 protected:
  RenameJobTest() : engine(FakeReaders()) {
    AppSettings s;
    s.temporaryFolder = temporary.path();
    engine.setSettings(s);
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
  }

  void useCacheMode(bool on) {
    AppSettings s = engine.settings();
    s.cacheMode = on ? kCacheModeFiles : kCacheModeList;
    engine.setSettings(s);
  }

  std::vector<std::string> filesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (auto it = std::filesystem::recursive_directory_iterator(folder); it != decltype(it)(); ++it) {
      if (it->path().filename() == kJournalFolderName) it.disable_recursion_pending();  // Rename's journal
      else if (it->is_regular_file()) names.push_back(it->path().lexically_relative(folder).string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir root;
  TempDir temporary;
  RenameEngine engine;
  RecordingReporter reporter;
  std::atomic<int> stop{0};
};

}  // namespace

TEST(RenameNumbers, StatusTextsAreExact) {
  EXPECT_EQ(NumbersText(50), u"Numbers: 50");
  EXPECT_EQ(NumbersText(3, 5), u"Numbers: 3 / 5");
}

TEST_F(RenameJobTest, ListModeCheckListsTheSelectedTypesOnly) {
  useCacheMode(false);
  engine.prepareCheck();
  engine.selectTypes(kRenamePdf);
  WriteFile(root / "a.pdf", "x");
  WriteFile(root / "b.doc", "x");
  WriteFile(root / "deep/c.pdf", "x");
  WriteFile(root / "deep/D.PDF", "x");
  const RenameCheckOutcome outcome = RunRenameCheck({engine.choices(), root.path()}, stop, reporter);
  EXPECT_EQ(outcome.end, RenameCheckEnd::Completed);
  EXPECT_EQ(outcome.rowCounter, 2);
  EXPECT_TRUE(outcome.resultFile.empty());
  ASSERT_EQ(reporter.rows.size(), 2u);
  std::vector<std::u16string> paths{reporter.rows[0].path, reporter.rows[1].path};
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths[0], PathToText(root / "a.pdf"));
  EXPECT_EQ(paths[1], PathToText(root / "deep/c.pdf"));
  EXPECT_EQ(reporter.rows[0].index, 0);
  EXPECT_EQ(reporter.rows[1].index, 1);
  EXPECT_EQ(reporter.status, u"Numbers: 2");
  EXPECT_TRUE(filesIn(temporary.path()).empty());
}

TEST_F(RenameJobTest, CheckRefusesARootThatIsNoFolder) {
  useCacheMode(true);
  WriteFile(root / "a.txt", "words");
  for (const std::filesystem::path& path : {root / "nowhere", root / "a.txt"}) {
    const RenameCheckOutcome outcome = RunRenameCheck({engine.choices(), path}, stop, reporter);
    EXPECT_EQ(outcome.end, RenameCheckEnd::Refused);
    EXPECT_EQ(outcome.rowCounter, 0);
    EXPECT_TRUE(outcome.resultFile.empty());
    EXPECT_TRUE(reporter.rows.empty());
  }
}

TEST_F(RenameJobTest, CheckCountsExactlyInBothModesAndKeepsEveryPathsText) {
  // More files than the count moves by in one step, and names that are not plain ASCII.
  std::set<std::u16string> expected;
  for (int i = 0; i < 2500; ++i) {
    const std::string name = (i % 7 == 0 ? "r\xC3\xA9sum\xC3\xA9-" : i % 11 == 0 ? "bad\xFF-" : "f") + std::to_string(i) + ".doc";
    WriteFile(root / name, "");
    expected.insert(PathToText(root / name));
  }
  WriteFile(root / "skip.bin", "");
  for (const bool cacheMode : {false, true}) {
    useCacheMode(cacheMode);
    reporter = {};
    const RenameCheckOutcome outcome = RunRenameCheck({engine.choices(), root.path()}, stop, reporter);
    ASSERT_EQ(outcome.end, RenameCheckEnd::Completed);
    EXPECT_EQ(outcome.rowCounter, 2500);
    EXPECT_EQ(reporter.status, u"Numbers: 2500");
    std::set<std::u16string> shown;
    for (const auto& row : reporter.rows) shown.insert(row.path);
    EXPECT_EQ(shown.size(), reporter.rows.size());
    EXPECT_TRUE(std::includes(expected.begin(), expected.end(), shown.begin(), shown.end()));
    if (!cacheMode) continue;
    std::set<std::u16string> stored;
    const std::string records = ReadFile(outcome.resultFile);
    for (size_t at = 0; at + 4 <= records.size();) {
      uint32_t length = 0;
      for (int k = 3; k >= 0; --k) length = length << 8 | static_cast<uint8_t>(records[at + k]);
      std::u16string path(length / 2, u'\0');
      for (size_t u = 0; u < path.size(); ++u)
        path[u] = static_cast<char16_t>(static_cast<uint8_t>(records[at + 4 + 2 * u]) |
                                        static_cast<uint8_t>(records[at + 5 + 2 * u]) << 8);
      stored.insert(path);
      at += 4 + length + kIdentityBytes;
    }
    EXPECT_EQ(stored, expected);
  }
}

TEST_F(RenameJobTest, CheckWithoutSelectedFilesShowsNoCount) {
  WriteFile(root / "a.bin", "");
  useCacheMode(false);
  RunRenameCheck({engine.choices(), root.path()}, stop, reporter);
  EXPECT_TRUE(reporter.status.empty());
}

TEST_F(RenameJobTest, CacheModeShowsThirtyThreeRowsAndRenamesEveryRecord) {
  for (int i = 0; i < 50; ++i) WriteFile(root / ("f" + std::to_string(i) + ".txt"), "Name" + std::to_string(i));
  WriteFile(root / "skip.bin", "x");
  const RenameCheckOutcome outcome = RunRenameCheck({engine.choices(), root.path()}, stop, reporter);
  ASSERT_EQ(outcome.end, RenameCheckEnd::Completed);
  EXPECT_EQ(outcome.rowCounter, 50);
  EXPECT_EQ(reporter.status, u"Numbers: 50");
  ASSERT_EQ(reporter.rows.size(), 33u);
  EXPECT_EQ(reporter.rows.front().index, 0);
  EXPECT_EQ(reporter.rows.back().index, 32);
  ASSERT_FALSE(outcome.resultFile.empty());
  EXPECT_EQ(outcome.resultFile.parent_path(), temporary.path());

  // The records: u32 little-endian byte length, the path in UTF-16LE, the file's identity.
  const std::string records = ReadFile(outcome.resultFile);
  const std::u16string first = reporter.rows[0].path;
  const uint32_t length = static_cast<uint8_t>(records[0]) | static_cast<uint8_t>(records[1]) << 8;
  EXPECT_EQ(length, first.size() * 2);
  EXPECT_EQ(records[2], 0);
  EXPECT_EQ(records[3], 0);
  EXPECT_EQ(records[4], static_cast<char>(first[0]));
  EXPECT_EQ(records[5], 0);
  size_t expectedSize = 0;
  for (int i = 0; i < 50; ++i)
    expectedSize += 4 + kIdentityBytes + 2 * PathToText(root / ("f" + std::to_string(i) + ".txt")).size();
  EXPECT_EQ(records.size(), expectedSize);

  reporter = {};
  const RenamePassOutcome renamed =
      RunRename({engine.readers(), engine.choices(), true, nullptr, outcome.resultFile, {root.path(), outcome.rootIdentity}}, stop, reporter);
  EXPECT_EQ(renamed.end, RenameEnd::Completed);
  EXPECT_EQ(reporter.status, u"Numbers: 50");
  EXPECT_FALSE(Exists(outcome.resultFile));
  const std::vector<std::string> names = filesIn(root.path());
  EXPECT_EQ(names.size(), 51u);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [&](const std::string& n) { return n.rfind("Name" + std::to_string(i) + "#", 0) == 0; }),
              1);
  EXPECT_EQ(renamed.nextNumber, 51);

  // The result file is gone: a second Rename has nothing to read.
  reporter = {};
  EXPECT_EQ(RunRename({engine.readers(), engine.choices(), true, nullptr, outcome.resultFile, {root.path(), outcome.rootIdentity}}, stop, reporter).end,
            RenameEnd::ResultFileUnreadable);
  EXPECT_EQ(reporter.status, u"Failed to access temporary file");
}

TEST_F(RenameJobTest, CacheModeCheckFailsWithoutATemporaryFolder) {
  AppSettings s = engine.settings();
  s.temporaryFolder = root / "not-a-folder.txt";
  WriteFile(s.temporaryFolder, "a file where the folder should be");
  engine.setSettings(s);
  WriteFile(root / "a.txt", "x");
  const RenameCheckOutcome outcome = RunRenameCheck({engine.choices(), root.path()}, stop, reporter);
  EXPECT_EQ(outcome.end, RenameCheckEnd::ResultFileFailed);
  EXPECT_TRUE(outcome.resultFile.empty());
  EXPECT_TRUE(reporter.rows.empty());
  EXPECT_EQ(reporter.status, u"Failed to generate temporary file");
}

TEST_F(RenameJobTest, CacheRenameStopsAtADamagedRecordAndStillDeletesTheFile) {
  WriteFile(root / "a.txt", "Alpha");
  WriteFile(root / "b.txt", "Beta");
  const std::u16string a = PathToText(root / "a.txt");
  std::string records;
  const auto append = [&](std::u16string_view path, uint32_t length) {
    for (int shift = 0; shift < 32; shift += 8) records += static_cast<char>(length >> shift);
    for (char16_t u : path) {
      records += static_cast<char>(u & 0xFF);
      records += static_cast<char>(u >> 8);
    }
    AppendIdentityBytes(records, {});
  };
  append(a, static_cast<uint32_t>(a.size() * 2));
  append(PathToText(root / "b.txt"), 0xFFFFFFF0u);  // a length far beyond the file
  WriteFile(temporary / "damaged", records);
  RecordTemporaryFile(temporary / "damaged");  // as a Check would have made it
  EXPECT_EQ(RunRename({engine.readers(), engine.choices(), true, nullptr, temporary / "damaged", {root.path(), {}}}, stop, reporter).end, RenameEnd::Completed);
  EXPECT_EQ(reporter.status, u"Numbers: 1");
  EXPECT_TRUE(Exists(root / "Alpha#1.txt"));
  EXPECT_TRUE(Exists(root / "b.txt"));
  EXPECT_FALSE(Exists(temporary / "damaged"));
}

TEST_F(RenameJobTest, CacheRenameStopsBeforeTheNextRecord) {
  for (int i = 0; i < 5; ++i) WriteFile(root / ("f" + std::to_string(i) + ".txt"), "N");
  const RenameCheckOutcome outcome = RunRenameCheck({engine.choices(), root.path()}, stop, reporter);
  stop = 1;
  reporter = {};
  const RenamePassOutcome renamed =
      RunRename({engine.readers(), engine.choices(), true, nullptr, outcome.resultFile, {root.path(), outcome.rootIdentity}}, stop, reporter);
  EXPECT_EQ(renamed.end, RenameEnd::Stopped);
  EXPECT_EQ(renamed.nextNumber, 1);
  EXPECT_FALSE(Exists(outcome.resultFile));  // deleted after a stop too
}

TEST_F(RenameJobTest, ListRenameCountsOnlyCheckedRowsAndUnchecksThem) {
  std::vector<std::u16string> paths;
  for (int i = 1; i <= 5; ++i) {
    WriteFile(root / ("f" + std::to_string(i) + ".txt"), "Row" + std::to_string(i));
    paths.push_back(PathToText(root / ("f" + std::to_string(i) + ".txt")));
  }
  ListRows rows(paths);
  for (int row : {0, 2, 4}) rows.checked[row] = 1;
  engine.continueNumbering(RunRename({engine.readers(), engine.choices(), false, &rows, {}}, stop, reporter).nextNumber);
  EXPECT_EQ(reporter.status, u"Numbers: 5 / 5");
  EXPECT_EQ(reporter.done, (std::vector<int32_t>{0, 2, 4}));
  EXPECT_TRUE(Exists(root / "Row1#1.txt"));
  EXPECT_TRUE(Exists(root / "Row3#2.txt"));
  EXPECT_TRUE(Exists(root / "Row5#3.txt"));
  EXPECT_TRUE(Exists(root / "f2.txt"));

  reporter = {};
  ListRows again(paths);
  for (int row : {1, 3}) again.checked[row] = 1;
  RunRename({engine.readers(), engine.choices(), false, &again, {}}, stop, reporter);
  EXPECT_EQ(reporter.status, u"Numbers: 4 / 5");
  EXPECT_TRUE(Exists(root / "Row4#5.txt"));
}

TEST_F(RenameJobTest, ListRenameStopsAfterTheCurrentRow) {
  std::vector<std::u16string> paths;
  for (int i = 1; i <= 3; ++i) {
    WriteFile(root / ("f" + std::to_string(i) + ".txt"), "Row" + std::to_string(i));
    paths.push_back(PathToText(root / ("f" + std::to_string(i) + ".txt")));
  }
  ListRows rows(paths);
  for (auto& mark : rows.checked) mark = 1;
  stop = 1;
  engine.continueNumbering(RunRename({engine.readers(), engine.choices(), false, &rows, {}}, stop, reporter).nextNumber);
  EXPECT_EQ(reporter.done, (std::vector<int32_t>{0}));
  EXPECT_EQ(reporter.status, u"Numbers: 1 / 3");
  EXPECT_TRUE(Exists(root / "f2.txt"));

  // A new Rename over the rows still checked continues the numbering.
  stop = 0;
  reporter = {};
  rows.checked[0] = 0;
  RunRename({engine.readers(), engine.choices(), false, &rows, {}}, stop, reporter);
  EXPECT_TRUE(Exists(root / "Row2#2.txt"));
  EXPECT_TRUE(Exists(root / "Row3#3.txt"));
}

TEST_F(RenameJobTest, CheckStopsWhenAsked) {
  for (int i = 0; i < 10; ++i) WriteFile(root / ("f" + std::to_string(i) + ".txt"), "x");
  stop = 1;
  const RenameCheckOutcome outcome = RunRenameCheck({engine.choices(), root.path()}, stop, reporter);
  EXPECT_EQ(outcome.rowCounter, 0);
  EXPECT_EQ(outcome.end, RenameCheckEnd::Stopped);
}
