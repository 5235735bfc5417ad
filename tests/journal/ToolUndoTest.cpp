// The three file-changing jobs journal what they move, and their undo gives the tree back.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extension/ExtensionJob.h"
#include "invalid_files/InvalidFileActions.h"
#include "journal/JobJournal.h"
#include "journal/Undo.h"
#include "platform/PathText.h"
#include "rename/RenameJob.h"
#include "tests/rename/FakeReaders.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using testing::SnapshotTree;
using testing::TempDir;
using testing::TreeSnapshot;
using testing::WriteFile;

const std::string kJpeg = std::string("\xFF\xD8\xFF\xE0", 4) + std::string(64, 'j');

// Where the n-th file of a test tree goes: spread over nested folders, some names odd.
std::string FolderOf(int n) {
  static const char* const kFolders[] = {"", "a", "a/b", "c", "c/d \t odd", "e\xFF"};
  return kFolders[n % 6];
}

// The last status text a job gave.
template <class Reporter>
struct LastStatus : Reporter {
  void Status(std::u16string_view text) override { last = text; }
  std::u16string last;
};

// One of the tools as a test drives it: the files it acts on, and a whole job over a root.
struct Tool {
  const char* journalTool;
  std::function<void(const fs::path& file, int n)> makeFile;
  // Runs the job (Check and the action) and returns the last status text.
  std::function<std::u16string(const fs::path& root, const fs::path& scratch)> run;
};

Tool InvalidFilesTool() {
  return {kInvalidFilesJournalTool, [](fs::path file, int n) { WriteFile(file += ".tmp", std::to_string(n)); },
          [](const fs::path& root, const fs::path&) {
            DeleteRequest request;
            request.root = root;
            request.rootIdentity = FolderIdentity(root);
            request.mode = kCacheModeList;
            int row = 0;
            for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
              if (it->path().filename() == kJournalFolderName) it.disable_recursion_pending();
              else if (it->is_regular_file()) request.markedRows.push_back({row++, it->path(), {}});
            }
            LastStatus<InvalidFileReporter> reporter;
            std::atomic<int> stop{0};
            RunInvalidFileDelete(request, stop, reporter);
            return reporter.last;
          }};
}

Tool ExtensionTool() {
  return {kExtensionJournalTool, [](fs::path file, int n) { WriteFile(file += ".dat", kJpeg + std::to_string(n)); },
          [](const fs::path& root, const fs::path& scratch) {
            LastStatus<ExtensionReporter> reporter;
            std::atomic<int> stop{0};
            const ExtensionCheckOutcome check = RunExtensionCheck({root, true, scratch}, stop, reporter);
            ExtensionRenameRequest rename;
            rename.cacheMode = true;
            rename.resultFile = check.resultFile;
            rename.root = root;
            rename.rootIdentity = check.rootIdentity;
            RunExtensionRename(rename, stop, reporter);
            return reporter.last;
          }};
}

Tool FileRenameTool() {
  return {kRenameJournalTool,
          [](fs::path file, int n) { WriteFile(file += ".txt", "Name" + std::to_string(n % 7)); },
          [](const fs::path& root, const fs::path& scratch) {
            RenameEngine engine(testing::FakeReaders());
            AppSettings settings;
            settings.temporaryFolder = scratch;
            settings.cacheMode = kCacheModeFiles;
            engine.setSettings(settings);
            engine.prepareCheck();
            engine.selectTypes(kRenameAllTypes);
            LastStatus<RenameReporter> reporter;
            std::atomic<int> stop{0};
            const RenameCheckOutcome check = RunRenameCheck({engine.choices(), root}, stop, reporter);
            RenameRequest rename;
            rename.readers = engine.readers();
            rename.choices = engine.choices();
            rename.cacheMode = true;
            rename.resultFile = check.resultFile;
            rename.root = {root, check.rootIdentity};
            RunRename(rename, stop, reporter);
            return reporter.last;
          }};
}

class ToolUndoTest : public ::testing::TestWithParam<Tool (*)()> {
 protected:
  void makeTree(int files) {
    for (int n = 0; n < files; ++n) {
      const fs::path folder = root_ / FolderOf(n);
      fs::create_directories(folder);
      tool_.makeFile(folder / ("f" + std::to_string(n)), n);
    }
  }
  TreeSnapshot snapshot() const { return SnapshotTree(root_, kJournalFolderName); }

  Tool tool_ = GetParam()();
  TempDir dir_;
  fs::path root_ = dir_ / "recovered";
  fs::path scratch_ = dir_ / "scratch";
  void SetUp() override { fs::create_directories(scratch_); }
};

TEST_P(ToolUndoTest, UndoGivesTheTreeBackLeavesChangedFilesAloneAndASecondUndoDoesNothing) {
  makeTree(40);
  const TreeSnapshot before = snapshot();
  tool_.run(root_, scratch_);
  const fs::path journal = LatestJournal(root_, tool_.journalTool);
  ASSERT_FALSE(journal.empty());
  ASSERT_NE(snapshot(), before);

  const UndoResult undo = UndoJournal(journal);
  EXPECT_EQ(undo.failure, "");
  EXPECT_EQ(undo.SummaryText(), "Restored: 40 / 40");
  EXPECT_TRUE(undo.problems.empty());
  EXPECT_EQ(snapshot(), before);

  const UndoResult again = UndoJournal(journal);
  EXPECT_TRUE(again.alreadyUndone());
  EXPECT_TRUE(again.undoJournal.empty());  // nothing moved the second time
  EXPECT_EQ(snapshot(), before);

  // The job again; one of its files is then written to, and stays where the job put it.
  tool_.run(root_, scratch_);
  const fs::path second = LatestJournal(root_, tool_.journalTool);
  ASSERT_NE(second, journal);
  const std::optional<JournalContents> moves = ReadJournal(second);
  ASSERT_TRUE(moves && !moves->entries.empty());
  const JournalEntry& changed = moves->entries.back();
  ASSERT_EQ(changed.kind, JournalEntryKind::Move);
  std::ofstream(root_ / changed.to, std::ios::app) << "edited";
  const UndoResult partial = UndoJournal(second);
  EXPECT_EQ(partial.SummaryText(), "Restored: 39 / 40");
  ASSERT_EQ(partial.problems.size(), 1u);
  EXPECT_EQ(partial.problems[0].to, changed.to);
  EXPECT_EQ(partial.problems[0].reason, "the file at its new name was changed or replaced after the job");
  EXPECT_TRUE(fs::exists(root_ / changed.to));
  EXPECT_FALSE(fs::exists(root_ / changed.from));
}

// A job killed at any point leaves a journal of exactly the moves made: its undo gives the
// starting tree back.
TEST_P(ToolUndoTest, AJobKilledHalfwayIsUndoneCompletely) {
  makeTree(3000);
  const TreeSnapshot before = snapshot();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    tool_.run(root_, scratch_);
    ::_exit(0);
  }
  // Killed once the journal holds some moves (or whenever the job ends first).
  for (int wait = 0; wait < 150000; ++wait) {  // up to 30 s on a loaded machine
    const fs::path journal = LatestJournal(root_, tool_.journalTool);
    if (!journal.empty() && testing::ReadFile(journal).find("\nmove\t", 20000) != std::string::npos) break;
    if (::waitpid(child, nullptr, WNOHANG) == child) break;
    ::usleep(200);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);

  const fs::path journal = LatestJournal(root_, tool_.journalTool);
  ASSERT_FALSE(journal.empty());
  const UndoResult undo = UndoJournal(journal);
  EXPECT_EQ(undo.failure, "");
  EXPECT_EQ(undo.damage, "");
  EXPECT_GT(undo.total, 0);
  EXPECT_EQ(undo.restored, undo.total);
  EXPECT_TRUE(undo.problems.empty());
  EXPECT_EQ(snapshot(), before);
}

// A journal that cannot be written stops the job before any move it could not record.
TEST_P(ToolUndoTest, NoMoveWithoutItsJournalLine) {
  testing::SmallTmpfs disk("256k");
  if (!disk.mounted()) GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root)";
  root_ = disk / "recovered";
  makeTree(12);
  {  // the disk is then filled to the last byte
    std::ofstream filler(disk / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size())) {}
  }
  const TreeSnapshot before = snapshot();
  EXPECT_EQ(tool_.run(root_, scratch_), kJournalWriteFailedText);
  EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(EachTool, ToolUndoTest, ::testing::Values(&InvalidFilesTool, &ExtensionTool, &FileRenameTool),
                         [](const ::testing::TestParamInfo<Tool (*)()>& info) {
                           return std::string(info.index == 0 ? "InvalidFiles" : info.index == 1 ? "Extension" : "FileRename");
                         });

}  // namespace
}  // namespace brenvik
