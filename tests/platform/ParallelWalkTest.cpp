#include "platform/ParallelWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/DirectoryWalk.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::TempDir;
using testing::WriteFile;

// The files a single-thread walk meets, in its order, each with its first bytes.
std::vector<std::string> SequentialWalk(const std::filesystem::path& root) {
  std::vector<std::string> seen;
  WalkOptions options;
  options.wantSize = false;
  WalkTree(root, options, [&](const WalkEntry& entry) {
    if (entry.kind == WalkEntryKind::File) seen.push_back(std::string(entry.path));
    return WalkControl::Continue;
  });
  return seen;
}

std::string FirstBytes(const WalkedFile& file) {
  const int fd = ::openat(file.folderFd, file.name.data(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  char bytes[16] = {};
  const ssize_t got = fd >= 0 ? ::read(fd, bytes, sizeof bytes) : -1;
  if (fd >= 0) ::close(fd);
  return got > 0 ? std::string(bytes, static_cast<size_t>(got)) : std::string();
}

// Awkward shapes in one tree: a wide folder, many folders of one file, a deep chain, names that
// are not UTF-8, and links, FIFOs and the journal folder that a walk must pass over.
void MakeAwkwardTree(const std::filesystem::path& root) {
  for (int i = 0; i < 20000; ++i) WriteFile(root / "wide" / ("f" + std::to_string(i)), "w" + std::to_string(i));
  for (int i = 0; i < 3000; ++i) WriteFile(root / "narrow" / std::to_string(i) / "only", "n" + std::to_string(i));
  std::filesystem::path deep = root / "deep";
  for (int i = 0; i < 200; ++i) {
    deep /= "d";
    WriteFile(deep / "x", "deep" + std::to_string(i));
  }
  WriteFile(root / "odd" / "\xff\xfe name\t\x80", "not utf-8");
  std::filesystem::create_symlink(root / "wide", root / "odd" / "link-to-folder");
  std::filesystem::create_symlink(root / "wide" / "f1", root / "odd" / "link-to-file");
  ::mkfifo((root / "odd" / "fifo").c_str(), 0600);
  WriteFile(root / std::string(kJournalFolderName) / "job.tsv", "journal");
}

TEST(ParallelWalk, EmitsExactlyTheSequentialOrderWithAnyNumberOfWorkers) {
  TempDir dir;
  MakeAwkwardTree(dir.path());
  const std::vector<std::string> expected = SequentialWalk(dir.path());
  ASSERT_EQ(expected.size(), 20000u + 3000u + 200u + 1u);

  for (const int workers : {1, 3, 16}) {
    std::vector<std::string> emitted;
    std::vector<std::string> contents;
    std::set<std::thread::id> deciders;
    std::mutex decidersMutex;
    ParallelWalkOptions options;
    options.workers = workers;
    const bool complete = ParallelWalkFiles(
        dir.path(), options,
        [&](const WalkedFile& file) {
          {
            std::lock_guard lock(decidersMutex);
            deciders.insert(std::this_thread::get_id());
          }
          return FirstBytes(file);
        },
        [&](const WalkedFile& file, std::string&& bytes) {
          emitted.push_back(file.Path());
          contents.push_back(std::move(bytes));
          return true;
        });
    EXPECT_TRUE(complete);
    ASSERT_EQ(emitted, expected) << workers << " workers";
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(contents[i], testing::ReadFile(expected[i]).substr(0, 16));
    EXPECT_LE(deciders.size(), static_cast<size_t>(workers));
    EXPECT_EQ(deciders.count(std::this_thread::get_id()), 0u);
  }
}

// Stopped at any point, by the caller's flag or by the emitter, the walk has emitted a prefix of
// the sequential order: no file twice, none skipped before the point where it ended.
TEST(ParallelWalk, StopAtRandomPointsLeavesAPrefix) {
  TempDir dir;
  for (int i = 0; i < 3000; ++i) WriteFile(dir / std::to_string(i % 37) / std::to_string(i), "x");
  const std::vector<std::string> expected = SequentialWalk(dir.path());
  std::mt19937 random(12345);
  for (int round = 0; round < 12; ++round) {
    const size_t stopAt = std::uniform_int_distribution<size_t>(0, expected.size() - 1)(random);
    const bool byFlag = round % 2 == 0;
    std::atomic<int> stop{0};
    ParallelWalkOptions options;
    options.workers = 1 + round % 5;
    options.stopFlag = &stop;
    std::vector<std::string> emitted;
    const bool complete = ParallelWalkFiles(
        dir.path(), options, [](const WalkedFile&) { return 0; },
        [&](const WalkedFile& file, int) {
          emitted.push_back(file.Path());
          if (emitted.size() == stopAt + 1) {
            if (!byFlag) return false;
            stop = 1;
          }
          return true;
        });
    EXPECT_FALSE(complete);
    ASSERT_LE(emitted.size(), stopAt + 1);
    EXPECT_GE(emitted.size(), byFlag ? stopAt : stopAt + 1);
    EXPECT_TRUE(std::equal(emitted.begin(), emitted.end(), expected.begin()));
  }
  std::atomic<int> alreadyStopped{1};
  EXPECT_FALSE(ParallelWalkFiles(dir.path(), {0, &alreadyStopped}, [](const WalkedFile&) { return 0; },
                                 [](const WalkedFile&, int) { return true; }));
  EXPECT_FALSE(ParallelWalkFiles(dir / "missing", {}, [](const WalkedFile&) { return 0; },
                                 [](const WalkedFile&, int) { return true; }));
}

}  // namespace
}  // namespace brenvik
