#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "core/TextHelpers.h"
#include "invalid_files/InvalidFileActions.h"
#include "invalid_files/InvalidFileScan.h"
#include "journal/Undo.h"
#include "core/RecordFile.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::ReadFile;
using testing::SmallTmpfs;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

struct RecordingReporter : InvalidFileReporter {
  std::vector<ResultRow> rows;
  std::vector<int> removed;
  int clears = 0;
  int tallies = 0;
  ScanTally lastTally;
  std::vector<std::u16string> progress, status;
  void AddRow(const ResultRow& row) override { rows.push_back(row); }
  void RowDone(int32_t index) override { removed.push_back(index); }
  void ClearRows() override { ++clears; }
  void Tally(const ScanTally& tally) override {
    ++tallies;
    lastTally = tally;
  }
  void TallyFailure(std::u16string_view text) override { progress.emplace_back(text); }
  void Status(std::u16string_view text) override { status.emplace_back(text); }
};

InvalidFileDetector EmptyFileDetector(const fs::path& root) {
  InvalidFileDetector d;
  d.Reset();
  d.root = root;
  d.sizeTestOn = true;
  return d;
}

std::vector<fs::path> ReadRecords(const fs::path& file) {
  UniqueFd fd = OpenShared(file);
  RecordFileReader reader(fd.get(), kPathRecordLength, 1, kInvalidRecordTrailerBytes);
  std::vector<fs::path> paths;
  while (auto p = reader.NextPath()) paths.push_back(*p);
  return paths;
}

struct ScanFixture : ::testing::Test {
  TempDir root, temporary;
  std::atomic<int> stop{0};
  RecordingReporter reporter;
  ScanOutcome Scan(InvalidFileDetector& d, CacheMode mode) {
    return RunInvalidFileScan({d, mode, temporary.path()}, stop, reporter);
  }
};

TEST_F(ScanFixture, CacheModeShowsThirtyThreeRowsAndRecordsEveryFile) {
  for (int i = 0; i < 50; ++i) WriteFile(root / ("sub" + std::to_string(i % 3)) / ("e" + std::to_string(i)), "");
  WriteFile(root / "full", "not empty");
  InvalidFileDetector d = EmptyFileDetector(root.path());
  const ScanOutcome outcome = Scan(d, kCacheModeFiles);
  ASSERT_EQ(outcome.end, ScanEnd::Completed);
  ASSERT_EQ(reporter.rows.size(), 33u);
  for (int i = 0; i < 33; ++i) EXPECT_EQ(reporter.rows[i].index, i);
  EXPECT_EQ(reporter.rows[0].verdict, Verdict::Size);
  EXPECT_EQ(reporter.tallies, 51);
  EXPECT_EQ(FormatTallyText(reporter.lastTally), u"Size: 0 Bytes / 9.0 Bytes Numbers: 50 / 51");
  EXPECT_EQ(reporter.status, (std::vector<std::u16string>{kDetectingText, kDetectCompletedText}));
  EXPECT_EQ(outcome.resultFile.parent_path(), temporary.path());

  // 50 records, each a 4-byte little-endian byte length and the UTF-16LE path.
  const std::vector<fs::path> records = ReadRecords(outcome.resultFile);
  ASSERT_EQ(records.size(), 50u);
  for (int i = 0; i < 33; ++i) EXPECT_EQ(records[i], reporter.rows[i].path);
  const std::string bytes = ReadFile(outcome.resultFile);
  const std::u16string first = PathToText(records[0]);
  ASSERT_GE(bytes.size(), 4 + first.size() * 2);
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), (first.size() * 2) & 0xFF);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[4], static_cast<char>(first[0] & 0xFF));
  EXPECT_EQ(bytes[5], static_cast<char>(first[0] >> 8));
}

TEST_F(ScanFixture, ListModeListsEveryInvalidFileAndSkipsLinksAndFifos) {
  TempDir outside;
  WriteFile(outside / "outside.tmp", "");
  for (int i = 0; i < 40; ++i) WriteFile(root / ("e" + std::to_string(i)), "");
  const std::string odd = "\xFF\xFEname";  // not UTF-8
  WriteFile(root / "deep" / odd, "");
  ::symlink(outside.path().c_str(), (root / "linked").c_str());
  ::symlink((outside / "outside.tmp").c_str(), (root / "linked.tmp").c_str());
  ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
  InvalidFileDetector d = EmptyFileDetector(root.path());
  const ScanOutcome outcome = Scan(d, kCacheModeList);
  EXPECT_TRUE(outcome.resultFile.empty());
  ASSERT_EQ(reporter.rows.size(), 41u);
  EXPECT_EQ(reporter.rows.back().index, 40);
  EXPECT_EQ(outcome.tally.totalCount, 41);
  std::set<std::string> names;
  for (const auto& r : reporter.rows) names.insert(r.path.filename().native());
  EXPECT_TRUE(names.count(odd));
  EXPECT_FALSE(names.count("outside.tmp"));
}

TEST_F(ScanFixture, EmptyRootCompletesWithoutTallyAndStopEndsEarly) {
  InvalidFileDetector d = EmptyFileDetector(root.path());
  Scan(d, kCacheModeFiles);
  EXPECT_EQ(reporter.tallies, 0);
  EXPECT_EQ(reporter.status.back(), kDetectCompletedText);

  for (int i = 0; i < 20; ++i) WriteFile(root / ("e" + std::to_string(i)), "");
  RecordingReporter stopped;
  stop = 1;
  const ScanOutcome outcome = RunInvalidFileScan({d, kCacheModeList, temporary.path()}, stop, stopped);
  EXPECT_EQ(outcome.end, ScanEnd::Stopped);
  EXPECT_TRUE(stopped.rows.empty());
  EXPECT_EQ(stopped.status.back(), kDetectCompletedText);
}

TEST_F(ScanFixture, ResultFileThatCannotBeMadeFailsTheScan) {
  InvalidFileDetector d = EmptyFileDetector(root.path());
  WriteFile(root / "e", "");
  const ScanOutcome outcome = RunInvalidFileScan({d, kCacheModeFiles, root / "no/such/folder"}, stop, reporter);
  EXPECT_EQ(outcome.end, ScanEnd::ResultFileFailed);
  EXPECT_EQ(reporter.progress, std::vector<std::u16string>{kTemporaryFileFailedText});
  EXPECT_EQ(reporter.status.back(), kDetectFailedText);
  EXPECT_TRUE(reporter.rows.empty());
}

TEST_F(ScanFixture, ResultFileThatCannotTakeEveryRecordIsRemoved) {
  SmallTmpfs full("64k");
  if (!full.mounted()) GTEST_SKIP() << "a small tmpfs needs root and mount(2)";
  // Far more records than the 64 KiB the temporary folder can take.
  for (int i = 0; i < 600; ++i) WriteFile(root / (std::string(200, 'n') + std::to_string(i)), "");
  WriteFile(full / "mine.txt", "the user's own file");
  InvalidFileDetector d = EmptyFileDetector(root.path());
  const ScanOutcome outcome = RunInvalidFileScan({d, kCacheModeFiles, full.path()}, stop, reporter);
  EXPECT_EQ(outcome.end, ScanEnd::ResultFileFailed);
  EXPECT_TRUE(outcome.resultFile.empty());
  EXPECT_EQ(reporter.status.back(), kDetectFailedText);
  for (const auto& entry : std::filesystem::directory_iterator(full.path()))
    EXPECT_EQ(entry.path().filename(), "mine.txt") << "a partial result file was left behind";
}

TEST(ResultRecords, DamagedRecordsEndTheReading) {
  TempDir dir;
  std::string bytes;
  bytes += std::string("\x02\0\0\0", 4) + std::string("a\0", 2) + std::string(kInvalidRecordTrailerBytes, '\0');  // "a"
  bytes += std::string("\x03\0\0\0", 4) + "abc";                    // odd length
  WriteFile(dir / "records", bytes);
  EXPECT_EQ(ReadRecords(dir / "records"), std::vector<fs::path>{"a"});
  WriteFile(dir / "huge", std::string("\xFF\xFF\xFF\x7F", 4) + "xx");
  EXPECT_TRUE(ReadRecords(dir / "huge").empty());
  WriteFile(dir / "cut", std::string("\x08\0\0\0", 4) + "ab");
  EXPECT_TRUE(ReadRecords(dir / "cut").empty());
}

TEST(InvalidFileRemover, MovesAsideMirroringFoldersAndNeverLeavesTheRoot) {
  TempDir outside;
  WriteFile(outside / "victim.jpg", "keep");
  TempDir root;
  WriteFile(root / "a/b/x.jpg", "new");
  WriteFile(root / "DEAD_DEAD_DEAD/a/b/x.jpg", "older");
  WriteFile(root / "top.tmp", "t");
  ::symlink((outside / "victim.jpg").c_str(), (root / "a/link.jpg").c_str());
  InvalidFileRemover remover(root.path(), true);

  // A name taken in the DEAD folder gets a free one beside it: both files stay, and an undo
  // brings the moved one back to its place.
  WriteFile(root / "DEAD_DEAD_DEAD/a/b/x (2).jpg", "older too");
  EXPECT_TRUE(remover.Remove(root / "a/b/x.jpg", {}, Verdict::Size));
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/a/b/x.jpg"), "older");
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/a/b/x (2).jpg"), "older too");
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/a/b/x (3).jpg"), "new");
  EXPECT_TRUE(remover.Remove(root / "top.tmp", {}, Verdict::Size));
  EXPECT_TRUE(Exists(root / "DEAD_DEAD_DEAD/top.tmp"));
  EXPECT_EQ(NumberedName(".profile", 2), ".profile (2)");
  EXPECT_EQ(NumberedName("a.tar.gz", 2), "a.tar (2).gz");

  EXPECT_FALSE(remover.Remove(root / "a/link.jpg", {}, Verdict::Size));  // links are never moved
  EXPECT_TRUE(Exists(root / "a/link.jpg"));
  EXPECT_FALSE(remover.Remove(outside / "victim.jpg", {}, Verdict::Size));
  EXPECT_FALSE(remover.Remove(root / "a/../../victim.jpg", {}, Verdict::Size));
  EXPECT_FALSE(remover.Remove(root / "a/b/gone.jpg", {}, Verdict::Size));  // vanished
  EXPECT_EQ(ReadFile(outside / "victim.jpg"), "keep");

  // A folder swapped for a link after the scan does not lead outside.
  WriteFile(root / "c/y.jpg", "y");
  fs::rename(root / "c", root / "c-moved");
  ::symlink(outside.path().c_str(), (root / "c").c_str());
  WriteFile(outside / "y.jpg", "outside");
  EXPECT_FALSE(remover.Remove(root / "c/y.jpg", {}, Verdict::Size));
  EXPECT_FALSE(remover.Delete(root / "c/y.jpg", {}, Verdict::Size));
  EXPECT_EQ(ReadFile(outside / "y.jpg"), "outside");

  const UndoResult undo = UndoJournal(remover.journalPath());
  EXPECT_EQ(undo.SummaryText(), "Restored: 2 / 2");
  EXPECT_EQ(ReadFile(root / "a/b/x.jpg"), "new");
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/a/b/x.jpg"), "older");

  // A root given with a trailing separator (the file-system root "/") is handled alike.
  EXPECT_EQ(RelativeBelowRoot("/", "/a/b"), "a/b");
  EXPECT_EQ(RelativeBelowRoot("/rec", "/recovered/a"), "");
  EXPECT_EQ(RelativeBelowRoot("/rec", "/rec/a/./b"), "");
}

TEST(InvalidFileRemover, MoveAcrossFileSystemsFailsAndKeepsTheFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a second file system needs root";
  TempDir root;
  ASSERT_TRUE(CreateFolders(root / "mounted"));
  if (::mount("tmpfs", (root / "mounted").c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "mount refused";
  WriteFile(root / "mounted/x.tmp", "data");
  InvalidFileRemover remover(root.path(), true);
  const bool moved = remover.Remove(root / "mounted/x.tmp", {}, Verdict::Size);
  const std::string kept = ReadFile(root / "mounted/x.tmp");
  ::umount((root / "mounted").c_str());
  EXPECT_FALSE(moved);
  EXPECT_EQ(kept, "data");
}

struct DeleteFixture : ::testing::Test {
  TempDir root, temporary;
  std::atomic<int> stop{0};
  RecordingReporter reporter;
};

TEST_F(DeleteFixture, ListModeProcessesMarkedRowsLastToFirstAndKeepsFailures) {
  WriteFile(root / "a/b/one.tmp", "1");
  WriteFile(root / "a/two.tmp", "2");
  WriteFile(root / "keep/three.tmp", "3");
  WriteFile(root / "\xFF\xFE.tmp", "4");
  DeleteRequest request;
  request.root = root.path();
  request.mode = kCacheModeList;
  request.markedRows = {{0, root / "a/b/one.tmp", {}}, {1, root / "a/two.tmp", {}}, {3, root / "vanished.tmp", {}},
                        {4, root / "\xFF\xFE.tmp", {}}};
  RunInvalidFileDelete(request, stop, reporter);
  EXPECT_EQ(reporter.removed, (std::vector<int>{4, 1, 0}));
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/a/b/one.tmp"), "1");
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/a/two.tmp"), "2");
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/\xFF\xFE.tmp"), "4");
  EXPECT_TRUE(Exists(root / "keep/three.tmp"));  // not marked
  EXPECT_FALSE(Exists(root / "a"));               // emptied, then removed
  EXPECT_TRUE(IsFolder(root.path()));
  EXPECT_EQ(reporter.status, (std::vector<std::u16string>{kDeletingText, kDeletingFoldersText, kDeleteCompletedText}));
}

TEST_F(DeleteFixture, CacheModeProcessesEveryRecordThenClearsListAndFile) {
  InvalidFileDetector d = EmptyFileDetector(root.path());
  for (int i = 0; i < 50; ++i) WriteFile(root / "sub" / ("e" + std::to_string(i)), "");
  WriteFile(root / "sub/real", "x");
  const ScanOutcome scan = RunInvalidFileScan({d, kCacheModeFiles, temporary.path()}, stop, reporter);
  DeleteRequest request;
  request.root = root.path();
  request.moveAside = false;
  request.removeEmptyFolders = false;
  request.resultFile = scan.resultFile;
  RunInvalidFileDelete(request, stop, reporter);
  EXPECT_EQ(reporter.clears, 1);
  EXPECT_FALSE(Exists(scan.resultFile));
  EXPECT_FALSE(Exists(root / "DEAD_DEAD_DEAD"));
  int left = 0;
  for (const auto& e : fs::directory_iterator(root / "sub")) left += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(left, 1);

  // A missing result file is reported, changes nothing and is not called done.
  RecordingReporter again;
  EXPECT_EQ(RunInvalidFileDelete(request, stop, again).end, DeleteEnd::ResultFileUnreadable);
  EXPECT_EQ(again.progress, std::vector<std::u16string>{kTemporaryFileAccessText});
  EXPECT_EQ(again.clears, 0);
  EXPECT_EQ(again.status.back(), kTemporaryFileAccessText);
}

// The scanned root's path re-pointed at another folder between Check and Delete: in both modes
// nothing there is deleted, moved aside or cleaned up, and no list row is taken out.
TEST_F(DeleteFixture, ARootRepointedAfterCheckLeadsDeleteNowhere) {
  TempDir outside;
  const fs::path rec = root / "rec";
  for (const CacheMode mode : {kCacheModeList, kCacheModeFiles}) {
    SCOPED_TRACE(mode == kCacheModeList ? "list mode" : "cache mode");
    fs::remove_all(rec);
    fs::remove_all(root / "rec-moved");
    fs::remove_all(outside.path());
    for (const fs::path& folder : {rec, outside.path()}) {
      WriteFile(folder / "a/e1", "");
      WriteFile(folder / "e2", "");
      ASSERT_TRUE(CreateFolders(folder / "empty"));
    }
    InvalidFileDetector d = EmptyFileDetector(rec);
    reporter = {};
    const ScanOutcome scan = RunInvalidFileScan({d, mode, temporary.path()}, stop, reporter);
    ASSERT_EQ(reporter.rows.size(), 2u);
    fs::rename(rec, root / "rec-moved");
    fs::create_directory_symlink(outside.path(), rec);

    DeleteRequest request;
    request.root = rec;
    request.rootIdentity = scan.rootIdentity;
    request.mode = mode;
    request.resultFile = scan.resultFile;
    for (const ResultRow& row : reporter.rows) request.markedRows.push_back({row.index, row.path, row.identity, row.verdict});
    RunInvalidFileDelete(request, stop, reporter);
    EXPECT_TRUE(reporter.removed.empty());
    EXPECT_EQ(reporter.status.back(), kDeleteCompletedText);
    for (const fs::path& folder : {outside.path(), root / "rec-moved"}) {
      EXPECT_TRUE(Exists(folder / "a/e1"));
      EXPECT_TRUE(Exists(folder / "e2"));
      EXPECT_TRUE(IsFolder(folder / "empty"));
      EXPECT_FALSE(Exists(folder / kDeadFolderName));
    }
    InvalidFileRemover menuRemover(rec, false, scan.rootIdentity);  // the list menu's Remove Files
    EXPECT_FALSE(menuRemover.Delete(rec / "e2", {}, Verdict::Size));
    EXPECT_TRUE(Exists(outside / "e2"));
    fs::remove(rec);
  }
}

// Files swapped for valid ones between Check and Delete (same names, other files), and a result
// file rewritten to name a valid file: in both modes, deleting or moving aside, Delete acts only
// on the files Check saw, and every other file stays byte for byte.
TEST_F(DeleteFixture, ActsOnlyOnTheFilesCheckSaw) {
  for (const CacheMode mode : {kCacheModeList, kCacheModeFiles}) {
    for (const bool moveAside : {false, true}) {
      SCOPED_TRACE(std::string(mode == kCacheModeList ? "list mode" : "cache mode") + (moveAside ? ", aside" : ""));
      for (const auto& entry : fs::directory_iterator(root.path())) fs::remove_all(entry.path());
      WriteFile(root / "sub/gone", "");
      WriteFile(root / "sub/swapped", "");
      WriteFile(root / "valuable", "keep me");
      InvalidFileDetector d = EmptyFileDetector(root.path());
      reporter = {};
      const ScanOutcome scan = RunInvalidFileScan({d, mode, temporary.path()}, stop, reporter);
      ASSERT_EQ(reporter.rows.size(), 2u);
      // Another file under a listed name, put there by a rename as a hostile user would.
      WriteFile(root / "replacement", "a valid file now");
      fs::rename(root / "replacement", root / "sub/swapped");

      DeleteRequest request;
      request.root = root.path();
      request.rootIdentity = scan.rootIdentity;
      request.moveAside = moveAside;
      request.mode = mode;
      request.resultFile = scan.resultFile;
      for (const ResultRow& row : reporter.rows) request.markedRows.push_back({row.index, row.path, row.identity, row.verdict});
      if (mode == kCacheModeFiles) {
        // A record naming a file Check never listed, with no identity or with another file's.
        UniqueFd out(::open(scan.resultFile.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        RecordFileWriter forged(out.get(), kPathRecordLength);
        ASSERT_TRUE(forged.AppendPathBytes((root / "valuable").native(), InvalidRecordTrailer({}, Verdict::Size)));
        ASSERT_TRUE(forged.AppendPathBytes((root / "valuable").native(), InvalidRecordTrailer(reporter.rows[0].identity, Verdict::Size)));
        ASSERT_TRUE(forged.Flush());
      }
      RunInvalidFileDelete(request, stop, reporter);
      EXPECT_EQ(ReadFile(root / "sub/swapped"), "a valid file now");
      EXPECT_EQ(ReadFile(root / "valuable"), "keep me");
      EXPECT_FALSE(Exists(root / "sub/gone"));
      EXPECT_EQ(Exists(root / "DEAD_DEAD_DEAD/sub/gone"), moveAside);
      EXPECT_FALSE(Exists(root / "DEAD_DEAD_DEAD/sub/swapped"));
      EXPECT_FALSE(Exists(root / "DEAD_DEAD_DEAD/valuable"));
    }
  }

  // A result file put in the place of the one Check made is not read at all, even when its
  // records name the right file.
  InvalidFileDetector d = EmptyFileDetector(root.path());
  const ScanOutcome scan = RunInvalidFileScan({d, kCacheModeFiles, temporary.path()}, stop, reporter);
  {
    UniqueFd out = CreateExclusive(temporary / "forged");
    RecordFileWriter forged(out.get(), kPathRecordLength);
    const UniqueFd folder = OpenFolder(root.path());
    ASSERT_TRUE(forged.AppendPathBytes((root / "valuable").native(), InvalidRecordTrailer(IdentityAt(folder.get(), "valuable"), Verdict::Size)));
  }
  fs::rename(temporary / "forged", scan.resultFile);
  DeleteRequest request;
  request.root = root.path();
  request.rootIdentity = scan.rootIdentity;
  request.moveAside = false;
  request.resultFile = scan.resultFile;
  reporter = {};
  RunInvalidFileDelete(request, stop, reporter);
  EXPECT_EQ(reporter.progress, std::vector<std::u16string>{kTemporaryFileAccessText});
  EXPECT_EQ(ReadFile(root / "valuable"), "keep me");
}

// A chain of folders deeper than any path can name: its deepest file is deleted through the
// folders, and the whole emptied chain goes, however few descriptors the process may hold.
TEST(RemoveEmptyFolders, CleansAChainDeeperThanAnyPath) {
  TempDir root;
  constexpr int kDepth = 1500;  // "dd/" each: well past PATH_MAX
  std::string relative;
  {
    UniqueFd folder = OpenFolder(root.path());
    for (int level = 0; level < kDepth; ++level) {
      ASSERT_EQ(::mkdirat(folder.get(), "dd", 0700), 0);
      folder = UniqueFd(::openat(folder.get(), "dd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      ASSERT_TRUE(folder);
      relative += "dd/";
    }
    UniqueFd file(::openat(folder.get(), "x.tmp", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(file);
  }
  ASSERT_GT(relative.size(), static_cast<size_t>(PATH_MAX));
  WriteFile(root / "keep/file", "k");

  InvalidFileRemover remover(root.path(), false);
  EXPECT_TRUE(remover.Delete(root / (relative + "x.tmp"), {}, Verdict::Size));
  // Far fewer descriptors than levels: a removal holding one per level would stop part way.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit few = saved;
  few.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
  remover.RemoveEmptyFolders();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_FALSE(Exists(root / "dd"));
  EXPECT_EQ(ReadFile(root / "keep/file"), "k");
}

TEST(RemoveEmptyFolders, RemovesEmptyChainsDeepestFirstAndKeepsTheRoot) {
  TempDir outside;
  ASSERT_TRUE(CreateFolders(outside / "empty-outside"));
  TempDir root;
  ASSERT_TRUE(CreateFolders(root / "a/b/c/d"));
  WriteFile(root / "x/keep", "k");
  ASSERT_TRUE(CreateFolders(root / "x/empty"));
  ::symlink(outside.path().c_str(), (root / "link").c_str());
  RemoveEmptyFolders(root.path());
  EXPECT_FALSE(Exists(root / "a"));
  EXPECT_FALSE(Exists(root / "x/empty"));
  EXPECT_TRUE(Exists(root / "x/keep"));
  EXPECT_TRUE(Exists(root / "link"));
  EXPECT_TRUE(IsFolder(outside / "empty-outside"));
  EXPECT_TRUE(IsFolder(root.path()));
}

TEST(SaveResultList, WritesUtf16WithBomAndTabbedLines) {
  TempDir dir;
  ASSERT_TRUE(SaveResultList(dir / "empty.txt", {}));
  EXPECT_EQ(ReadFile(dir / "empty.txt"), "\xFF\xFE");
  ASSERT_TRUE(SaveResultList(dir / "list.txt", {{u"1.0 KB", u"/r/a"}, {u"0 Bytes", u"/r/\xDCFF"}}));
  const std::u16string expected = u"\xFEFF" u"1.0 KB \t /r/a\r\n0 Bytes \t /r/\xDCFF\r\n";
  std::string bytes;
  for (char16_t c : expected) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  EXPECT_EQ(ReadFile(dir / "list.txt"), bytes);
  EXPECT_FALSE(SaveResultList(dir / "no/such/list.txt", {}));
}

}  // namespace
}  // namespace brenvik

namespace brenvik {
namespace {

// A Delete (not a move aside) of every row a scan of `root` listed.
DeleteRequest DeleteOfEveryRow(const fs::path& root, const ScanOutcome& scan, CacheMode mode,
                               const std::vector<ResultRow>& rows) {
  DeleteRequest request;
  request.root = root;
  request.rootIdentity = scan.rootIdentity;
  request.mode = mode;
  request.resultFile = scan.resultFile;
  request.moveAside = false;
  for (const ResultRow& row : rows) request.markedRows.push_back({row.index, row.path, row.identity, row.verdict});
  return request;
}

// The Damaged criterion through the scan and Delete: a damaged file is listed with its reason and
// moved aside, even by a Delete that deletes the other invalid files (the verdict is the program's
// own judgement); a file carved on past its end is listed as a tail and kept, in both modes (cache
// mode does not even record it for Delete).
TEST_F(ScanFixture, DamagedFilesGoAsideAndTailsStayInBothModes) {
  const fs::path data = BRENVIK_TEST_DATA;
  const std::string photo = ReadFile(data / "damage/photo.jpg");
  const std::string zip = ReadFile(data / "damage/archive.zip");
  for (const CacheMode mode : {kCacheModeList, kCacheModeFiles}) {
    SCOPED_TRACE(mode);
    fs::remove_all(root / "rec");
    WriteFile(root / "rec/whole.jpg", photo);
    WriteFile(root / "rec/cut/short.jpg", photo.substr(0, photo.size() / 2));
    WriteFile(root / "rec/carved.zip", zip + std::string(700, 'x'));
    WriteFile(root / "rec/notes.txt", "plain text is never damaged\n");
    WriteFile(root / "rec/scratch.tmp", "a temporary file");
    InvalidFileDetector d;
    d.Reset();
    d.root = root / "rec";
    d.damageTestOn = true;
    d.nameRules = {NameRule(NameRule::kSuffix, u"tmp")};
    reporter = {};
    const ScanOutcome scan = Scan(d, mode);
    ASSERT_EQ(scan.end, ScanEnd::Completed);
    std::map<std::string, ResultRow> rows;
    for (const ResultRow& row : reporter.rows) rows[row.path.filename().string()] = row;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows["short.jpg"].verdict, Verdict::Damaged);
    EXPECT_EQ(rows["short.jpg"].reason, u"jpeg: data ends before the end marker");
    EXPECT_EQ(rows["carved.zip"].verdict, Verdict::Tail);
    EXPECT_EQ(rows["carved.zip"].reason, u"700 bytes after the end");
    EXPECT_EQ(reporter.lastTally.invalidCount, 3);
    if (mode == kCacheModeFiles) {
      std::vector<fs::path> records = ReadRecords(scan.resultFile);
      std::sort(records.begin(), records.end());
      EXPECT_EQ(records, (std::vector<fs::path>{root / "rec/cut/short.jpg", root / "rec/scratch.tmp"}));
    }

    const DeleteRequest request = DeleteOfEveryRow(d.root, scan, mode, reporter.rows);
    const DeleteOutcome deleted = RunInvalidFileDelete(request, stop, reporter);
    EXPECT_EQ(deleted.removed, 2);
    EXPECT_EQ(deleted.judgedKept, 1);
    EXPECT_NE(std::find(reporter.status.begin(), reporter.status.end(), JudgedMovedAsideText(1)), reporter.status.end());
    EXPECT_TRUE(Exists(root / "rec" / kDeadFolderName / "cut/short.jpg"));
    EXPECT_FALSE(Exists(root / "rec/cut/short.jpg"));
    EXPECT_FALSE(Exists(root / "rec/scratch.tmp"));
    EXPECT_FALSE(Exists(root / "rec" / kDeadFolderName / "scratch.tmp"));
    EXPECT_TRUE(Exists(root / "rec/carved.zip"));
    EXPECT_TRUE(Exists(root / "rec/whole.jpg"));
    // The move aside is journaled: an undo brings the damaged file back.
    EXPECT_EQ(UndoJournal(LatestJournal(root / "rec", kInvalidFilesJournalTool)).SummaryText(), "Restored: 1 / 1");
    EXPECT_TRUE(Exists(root / "rec/cut/short.jpg"));
  }
}

// Copies and thumbnails, on a carved photo and its thumbnail as a file: each group keeps the
// first file of the walk, every other is listed with that file as its Reason, and Delete moves
// them aside (journaled) even where it deletes the other invalid files.
TEST_F(ScanFixture, CopiesAndThumbnailsKeepOneFileAndAreMovedAsideByDelete) {
  const fs::path data = BRENVIK_TEST_DATA;
  std::string large(20000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 7919) >> 5);
  // The same size and the same first and last 4 KiB as `large`, but other bytes in between.
  std::string middle = large, otherMiddle = large;
  middle[10000] ^= 1;
  otherMiddle[9000] ^= 1;
  for (const CacheMode mode : {kCacheModeList, kCacheModeFiles}) {
    SCOPED_TRACE(mode == kCacheModeList ? "list mode" : "cache mode");
    const fs::path rec = root / "rec";
    fs::remove_all(rec);
    for (const char* name : {"a.bin", "x/a.bin", "y/z/a.bin"}) WriteFile(rec / name, large);
    WriteFile(rec / "m1.bin", middle);
    WriteFile(rec / "m2.bin", otherMiddle);
    WriteFile(rec / "s.txt", "the same few words");
    WriteFile(rec / "x/s.txt", "the same few words");
    WriteFile(rec / "empty1", "");
    WriteFile(rec / "x/empty2", "");
    // A copy whose twin is invalid by its name stays: the only copy that would remain.
    WriteFile(rec / "~notes.txt", "only one of these may go");
    WriteFile(rec / "notes.txt", "only one of these may go");
    fs::copy_file(data / "thumbnail/f0000072.jpg", rec / "f0000072.jpg");
    fs::copy_file(data / "thumbnail/t0000072.jpg", rec / "x/t0000072.jpg");
    InvalidFileDetector d;
    d.Reset();
    d.root = rec;
    d.nameRules = {NameRule(NameRule::kPrefix, u"~")};
    d.duplicatesOn = true;
    d.thumbnailsOn = true;
    reporter = {};
    const ScanOutcome scan = Scan(d, mode);
    ASSERT_EQ(scan.end, ScanEnd::Completed);

    std::map<std::string, std::pair<Verdict, std::string>> listed;  // path below rec -> verdict, reason
    for (const ResultRow& row : reporter.rows)
      listed[row.path.lexically_relative(rec).string()] = {row.verdict, TextToUtf8(row.reason)};
    EXPECT_EQ(listed["~notes.txt"].first, Verdict::Char);
    EXPECT_EQ(listed["x/t0000072.jpg"], std::make_pair(Verdict::Thumbnail, (rec / "f0000072.jpg").string()));
    // Of each group exactly one file is not listed, and it is every other one's Reason.
    for (const std::vector<std::string>& group :
         {std::vector<std::string>{"a.bin", "x/a.bin", "y/z/a.bin"}, std::vector<std::string>{"s.txt", "x/s.txt"}}) {
      std::vector<std::string> kept;
      for (const std::string& name : group)
        if (!listed.contains(name)) kept.push_back(name);
      ASSERT_EQ(kept.size(), 1u);
      for (const std::string& name : group) {
        if (name != kept[0]) {
          EXPECT_EQ(listed[name], std::make_pair(Verdict::Duplicate, (rec / kept[0]).string()));
        }
      }
    }
    EXPECT_EQ(listed.size(), 5u) << "no empty file, no near copy, no file whose twin goes by its name";
    EXPECT_EQ(reporter.lastTally.invalidCount, 5);
    EXPECT_EQ(reporter.lastTally.totalCount, 13);
    // The rows found after the walk come after its rows, numbered on.
    for (size_t i = 0; i < reporter.rows.size(); ++i) EXPECT_EQ(reporter.rows[i].index, static_cast<int>(i));
    EXPECT_EQ(reporter.rows.front().verdict, Verdict::Char);
    if (mode == kCacheModeFiles) {
      EXPECT_EQ(ReadRecords(scan.resultFile).size(), 5u);
    }

    DeleteRequest request = DeleteOfEveryRow(d.root, scan, mode, reporter.rows);
    request.removeEmptyFolders = false;
    const DeleteOutcome deleted = RunInvalidFileDelete(request, stop, reporter);
    EXPECT_EQ(deleted.removed, 5);
    EXPECT_EQ(deleted.judgedKept, 4);
    EXPECT_FALSE(Exists(rec / "~notes.txt")) << "deleted: a name rule is the user's own choice";
    EXPECT_FALSE(Exists(rec / kDeadFolderName / "~notes.txt"));
    EXPECT_TRUE(Exists(rec / kDeadFolderName / "x/t0000072.jpg"));
    EXPECT_TRUE(Exists(rec / "f0000072.jpg"));
    EXPECT_EQ(ReadFile(rec / "notes.txt"), "only one of these may go");
    int copiesLeft = 0;
    for (const char* name : {"a.bin", "x/a.bin", "y/z/a.bin"}) copiesLeft += Exists(rec / name) ? 1 : 0;
    EXPECT_EQ(copiesLeft, 1);
    EXPECT_EQ(UndoJournal(LatestJournal(rec, kInvalidFilesJournalTool)).SummaryText(), "Restored: 4 / 4");
    for (const char* name : {"a.bin", "x/a.bin", "y/z/a.bin"}) EXPECT_EQ(ReadFile(rec / name), large);
  }
}

}  // namespace
}  // namespace brenvik
