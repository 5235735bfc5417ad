#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "journal/Journal.h"
#include "journal/Undo.h"
#include "platform/NoFollow.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::SnapshotTree;
using testing::TempDir;
using testing::TreeSnapshot;
using testing::WriteFile;

// A job in miniature, the way the tools journal theirs: each file of `renames` is moved in its
// folder to its new name, or below a made folder "aside/" when `aside` is set.
std::filesystem::path RunJob(const std::filesystem::path& root,
                             const std::vector<std::pair<std::string, std::string>>& renames, bool aside = false) {
  UniqueFd rootFd = OpenFolder(root);
  std::optional<JournalWriter> journal = JournalWriter::Begin(rootFd.get(), root, "Test", "aside=" + std::to_string(aside));
  EXPECT_TRUE(journal.has_value());
  if (aside && ::mkdirat(rootFd.get(), "aside", 0777) == 0) {
    journal->RecordFolderCreated("aside", *[&] {
      struct stat st {};
      ::fstatat(rootFd.get(), "aside", &st, 0);
      return std::optional<JournaledFile>(JournaledFile{{st.st_dev, st.st_ino}, 0});
    }());
  }
  for (const auto& [from, to] : renames) {
    const auto slash = from.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : from.substr(0, slash);
    const std::string name = from.substr(slash == std::string::npos ? 0 : slash + 1);
    UniqueFd fromFolder = OpenFolderBelow(rootFd.get(), folder, false);
    UniqueFd toFolder = aside ? OpenFolderBelow(rootFd.get(), "aside", false) : OpenFolderBelow(rootFd.get(), folder, false);
    const std::string toName = to.substr(to.rfind('/') == std::string::npos ? 0 : to.rfind('/') + 1);
    EXPECT_EQ(JournaledMoveAt(&*journal, fromFolder.get(), name, toFolder.get(), toName, from, to),
              JournaledMove::Moved);
  }
  return journal->path();
}

TEST(JournalUndo, GivesTheTreeBackAndCanItselfBeUndone) {
  TempDir dir;
  const std::filesystem::path root = dir / "recovered";
  const std::string oddName = std::string("tab\there new\nline \xff\xfe back\\slash.bin");
  WriteFile(root / "a" / "one.doc", "one");
  WriteFile(root / "a" / oddName, "odd");
  WriteFile(root / "two.xls", "two");
  const TreeSnapshot before = SnapshotTree(root, kJournalFolderName);

  const auto journal = RunJob(root, {{"a/one.doc", "a/one.txt"}, {"a/" + oddName, "a/plain"}, {"two.xls", "two.zip"}});
  const TreeSnapshot afterJob = SnapshotTree(root, kJournalFolderName);
  ASSERT_NE(afterJob, before);

  const UndoResult undo = UndoJournal(journal);
  EXPECT_EQ(undo.failure, "");
  EXPECT_EQ(undo.SummaryText(), "Restored: 3 / 3");
  EXPECT_TRUE(undo.problems.empty());
  EXPECT_EQ(SnapshotTree(root, kJournalFolderName), before);

  // A second undo of the same journal finds every file home already, moves nothing and says so.
  const UndoResult again = UndoJournal(journal);
  EXPECT_TRUE(again.alreadyUndone());
  EXPECT_EQ(again.SummaryText(), "The job was already undone: 3 / 3 files were at their old names, and nothing was moved");
  EXPECT_TRUE(again.undoJournal.empty());
  EXPECT_EQ(SnapshotTree(root, kJournalFolderName), before);

  // The undo kept a journal of its own: undoing it redoes the job.
  const UndoResult redo = UndoJournal(undo.undoJournal);
  EXPECT_EQ(redo.SummaryText(), "Restored: 3 / 3");
  EXPECT_EQ(SnapshotTree(root, kJournalFolderName), afterJob);
}

TEST(JournalUndo, MadeFoldersGoAndOldFoldersComeBack) {
  TempDir dir;
  const std::filesystem::path root = dir.path();
  WriteFile(root / "deep" / "x.tmp", "x");
  WriteFile(root / "keep.txt", "keep");
  const TreeSnapshot before = SnapshotTree(root, kJournalFolderName);
  const auto journal = RunJob(root, {{"deep/x.tmp", "aside/x.tmp"}}, /*aside=*/true);
  std::filesystem::remove(root / "deep");  // the job removes folders it emptied

  const UndoResult undo = UndoJournal(journal);
  EXPECT_EQ(undo.SummaryText(), "Restored: 1 / 1");
  EXPECT_EQ(SnapshotTree(root, kJournalFolderName), before);  // "aside" is gone, "deep" is back
}

TEST(JournalUndo, LeavesAloneWhatChangedAfterTheJobAndSaysWhy) {
  TempDir dir;
  const std::filesystem::path root = dir.path();
  for (const char* name : {"replaced", "grown", "taken", "linked/f", "fine"}) WriteFile(root / name, name);
  TempDir outside;
  WriteFile(outside / "f.new", "outside file");
  const auto journal = RunJob(root, {{"replaced", "replaced.new"},
                                     {"grown", "grown.new"},
                                     {"taken", "taken.new"},
                                     {"linked/f", "linked/f.new"},
                                     {"fine", "fine.new"}});
  // After the job: one file replaced by another, one grown, one old name taken again, one folder
  // swapped for a link to a folder outside the job's root.
  std::filesystem::remove(root / "replaced.new");
  WriteFile(root / "replaced.new", "replaced.new");
  std::ofstream(root / "grown.new", std::ios::app) << "more";
  WriteFile(root / "taken", "a new file with the old name");
  std::filesystem::rename(root / "linked", dir / "linked-away");
  std::filesystem::create_directory_symlink(outside.path(), root / "linked");

  const UndoResult undo = UndoJournal(journal);
  EXPECT_EQ(undo.SummaryText(), "Restored: 1 / 5");
  ASSERT_EQ(undo.problems.size(), 4u);
  EXPECT_EQ(undo.problems[0].from, "linked/f");  // newest first
  EXPECT_EQ(undo.problems[1].reason, "its old name is taken by another file");
  EXPECT_EQ(undo.problems[2].reason, "the file at its new name was changed or replaced after the job");
  EXPECT_EQ(undo.problems[3].reason, "the file at its new name was changed or replaced after the job");
  EXPECT_EQ(testing::ReadFile(root / "fine"), "fine");
  EXPECT_EQ(testing::ReadFile(root / "taken"), "a new file with the old name");
  EXPECT_EQ(testing::ReadFile(root / "taken.new"), "taken");
  EXPECT_EQ(SnapshotTree(outside.path()), (TreeSnapshot{{"f.new", "file:outside file"}}));
}

TEST(JournalUndo, ADamagedLineStopsReadingThereAndAForeignFileIsRefused) {
  TempDir dir;
  const std::filesystem::path root = dir / "r";
  for (const char* name : {"1", "2", "3"}) WriteFile(root / name, name);
  const auto journal = RunJob(root, {{"1", "1.a"}, {"2", "2.a"}, {"3", "3.a"}});
  std::string text = testing::ReadFile(journal);
  const size_t third = text.find("move\t2\t");  // the second move's line
  text[third + 5] = '7';
  WriteFile(journal, text);

  const UndoResult undo = UndoJournal(journal);
  EXPECT_EQ(undo.damage, "Line 3 of the journal is damaged; reading stopped there, and the lines from it on are left alone");
  EXPECT_EQ(undo.SummaryText(), "Restored: 1 / 1");
  EXPECT_TRUE(std::filesystem::exists(root / "1"));
  EXPECT_TRUE(std::filesystem::exists(root / "2.a"));
  EXPECT_TRUE(std::filesystem::exists(root / "3.a"));

  WriteFile(root / ".brenvik-journal/not-a-journal", "move\t1\t2\n");
  EXPECT_EQ(UndoJournal(root / ".brenvik-journal/not-a-journal").failure,
            "This is not a journal: its header line is not one");
}

// A journal line as a job writes it, with its CRC.
std::string JournalLine(const std::string& body) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "\t%08lx\n",
                crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
  return body + crc;
}

// Journals crafted with correct CRCs: the names in them are checked as bytes, the root is the
// folder the journal lies below, and the file is read a line at a time. Whatever a line says,
// nothing outside the root changes, and a line that names no plain path ends the undo there.
TEST(JournalUndo, TrustsNothingAJournalSays) {
  TempDir dir;
  const std::filesystem::path root = dir / "root";
  const std::filesystem::path outside = dir / "outside";
  WriteFile(outside / "victim.txt", "outside file");
  WriteFile(root / "first", "first");
  WriteFile(root / "in.txt", "inside file");
  const auto journal = RunJob(root, {{"first", "first.new"}});
  const std::string job = testing::ReadFile(journal);
  const std::string header = job.substr(0, job.find('\n') + 1);
  EXPECT_NE(header.find("\troot=/"), std::string::npos);  // the root is kept as an absolute path

  struct stat in {};
  ASSERT_EQ(::stat((root / "in.txt").c_str(), &in), 0);
  const std::string identity = "\t" + std::to_string(in.st_dev) + "\t" + std::to_string(in.st_ino) + "\t11\t2026-01-01T00:00:00";
  const std::string hostileNames[] = {std::string("..\0x/outside/victim.txt", 24), "../outside/victim.txt",
                                      dir.path().native() + "/outside/victim.txt", "a//b", "./first", "x/..",
                                      std::string("a\0", 2)};
  for (const std::string& name : hostileNames) {
    for (const bool asOldName : {true, false}) {
      SCOPED_TRACE(name + (asOldName ? " as the old name" : " as the new name"));
      const std::string line = asOldName ? JournalLine("move\t" + name + "\tin.txt" + identity)
                                         : JournalLine("move\tin.txt\t" + name + identity);
      WriteFile(journal, job + line);
      const UndoResult undo = UndoJournal(journal);
      EXPECT_EQ(undo.damage, "Line 3 of the journal is damaged; reading stopped there, and the lines from it on are left alone");
      EXPECT_EQ(undo.total, 1);  // the move before it is undone, none after
      EXPECT_EQ(testing::ReadFile(outside / "victim.txt"), "outside file");
      EXPECT_EQ(testing::ReadFile(root / "in.txt"), "inside file");
      EXPECT_EQ(testing::ReadFile(root / "first"), "first");
      std::filesystem::rename(root / "first", root / "first.new");  // as the job left it, for the next round
    }
  }

  // The journal copied below another folder that holds the same names is undone neither there nor
  // in the folder its header names (by its right identity), and nothing there changes.
  const std::filesystem::path copy = dir / "copy";
  WriteFile(copy / "first.new", "the copy's own file");
  WriteFile(copy / ".brenvik-journal/Test.tsv", job);
  const UndoResult elsewhere = UndoJournal(copy / ".brenvik-journal/Test.tsv");
  EXPECT_NE(elsewhere.failure.find("is not the folder"), std::string::npos) << elsewhere.failure;
  WriteFile(copy / "Test.tsv", job);  // not in a journal folder at all
  EXPECT_NE(UndoJournal(copy / "Test.tsv").failure.find("it is undone only there"), std::string::npos);
  EXPECT_EQ(testing::ReadFile(copy / "first.new"), "the copy's own file");
  EXPECT_FALSE(std::filesystem::exists(copy / "first"));
  EXPECT_FALSE(std::filesystem::exists(root / "first"));

  // A 64 GiB sparse journal (the job's lines, then reserved room) is read a line at a time; a line
  // longer than any job writes is damage, not a reason to read on.
  WriteFile(journal, job);
  ASSERT_EQ(::truncate(journal.c_str(), int64_t{64} << 30), 0);
  const UndoResult sparse = UndoJournal(journal);
  EXPECT_EQ(sparse.failure, "");
  EXPECT_EQ(sparse.damage, "");
  EXPECT_EQ(sparse.SummaryText(), "Restored: 1 / 1");
  EXPECT_EQ(testing::ReadFile(root / "first"), "first");
  WriteFile(journal, job + std::string(kLongestJournalLine + 10, 'a') + "\n");
  EXPECT_EQ(UndoJournal(journal).damage,
            "Line 3 of the journal is damaged; reading stopped there, and the lines from it on are left alone");

  // A journal that moved along with its folder is undone where it now lies.
  std::filesystem::rename(root / "first", root / "first.new");
  WriteFile(journal, job);
  std::filesystem::rename(root, dir / "moved");
  EXPECT_EQ(UndoJournal(dir / "moved" / std::filesystem::path(journal).lexically_relative(root)).SummaryText(),
            "Restored: 1 / 1");
  EXPECT_EQ(testing::ReadFile(dir / "moved/first"), "first");
}

// A job killed at an arbitrary point leaves a journal of exactly the moves that happened: an undo
// gives the starting tree back.
TEST(JournalUndo, AJobKilledHalfwayIsUndoneCompletely) {
  TempDir dir;
  const std::filesystem::path root = dir.path();
  std::vector<std::pair<std::string, std::string>> renames;
  for (int i = 0; i < 5000; ++i) {
    WriteFile(root / ("f" + std::to_string(i)), std::to_string(i));
    renames.emplace_back("f" + std::to_string(i), "g" + std::to_string(i));
  }
  const TreeSnapshot before = SnapshotTree(root, kJournalFolderName);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RunJob(root, renames);
    ::_exit(0);
  }
  ::usleep(20 * 1000);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);

  std::vector<std::filesystem::path> journals;
  for (const auto& entry : std::filesystem::directory_iterator(root / std::string(kJournalFolderName)))
    journals.push_back(entry.path());
  ASSERT_EQ(journals.size(), 1u);
  const UndoResult undo = UndoJournal(journals[0]);
  EXPECT_EQ(undo.failure, "");
  EXPECT_EQ(undo.damage, "");
  EXPECT_EQ(undo.restored, undo.total);
  EXPECT_EQ(SnapshotTree(root, kJournalFolderName), before);
}

}  // namespace
}  // namespace brenvik
