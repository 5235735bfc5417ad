#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/DirectoryWalk.h"
#include "platform/FileOps.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::TempDir;
using testing::WriteFile;

struct Seen {
  std::set<std::string> files, folders, others;
  std::vector<std::string> order;  // "+name", "-name" for folders, "name" for files
};

Seen Walk(const std::filesystem::path& root, WalkOptions options = {}) {
  Seen seen;
  const std::string prefix = root.native() + "/";
  WalkTree(root, options, [&](const WalkEntry& e) {
    const std::string rel(e.path.substr(prefix.size()));
    switch (e.kind) {
      case WalkEntryKind::File: seen.files.insert(rel + ":" + std::to_string(e.size)); seen.order.push_back(rel); break;
      case WalkEntryKind::Folder: seen.folders.insert(rel); seen.order.push_back("+" + rel); break;
      case WalkEntryKind::FolderLeft: seen.order.push_back("-" + rel); break;
      case WalkEntryKind::Other: seen.others.insert(rel); break;
    }
    return WalkControl::Continue;
  });
  return seen;
}

TEST(DirectoryWalk, YieldsRegularFilesAndFoldersOnly) {
  TempDir outside;
  WriteFile(outside / "secret", "keep");
  TempDir dir;
  WriteFile(dir / "a.txt", "12345");
  WriteFile(dir / "sub/b.bin", "");
  WriteFile(dir / std::string("sub/deeper/\xFF\xFE.doc"), "xy");
  ::symlink(outside.path().c_str(), (dir / "linked-folder").c_str());
  ::symlink((outside / "secret").c_str(), (dir / "linked-file").c_str());
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);

  const Seen seen = Walk(dir.path());
  EXPECT_EQ(seen.files, (std::set<std::string>{"a.txt:5", "sub/b.bin:0", std::string("sub/deeper/\xFF\xFE.doc:2")}));
  EXPECT_EQ(seen.folders, (std::set<std::string>{"sub", "sub/deeper"}));
  EXPECT_TRUE(seen.others.empty());

  WalkOptions withOthers;
  withOthers.reportOthers = true;
  EXPECT_EQ(Walk(dir.path(), withOthers).others, (std::set<std::string>{"linked-folder", "linked-file", "pipe"}));
}

TEST(DirectoryWalk, FolderContentsComeBetweenEnterAndLeave) {
  TempDir dir;
  WriteFile(dir / "f/x", "");
  WriteFile(dir / "f/g/y", "");
  WalkOptions options;
  options.reportFolderLeft = true;
  options.wantSize = false;
  const Seen seen = Walk(dir.path(), options);
  auto at = [&](const std::string& s) { return std::find(seen.order.begin(), seen.order.end(), s) - seen.order.begin(); };
  EXPECT_LT(at("+f"), at("f/x"));
  EXPECT_LT(at("f/x"), at("-f"));
  EXPECT_LT(at("+f/g"), at("f/g/y"));
  EXPECT_LT(at("f/g/y"), at("-f/g"));
  EXPECT_LT(at("-f/g"), at("-f"));
  EXPECT_EQ(seen.files.count("f/x:-1"), 1u);  // sizes not asked for
}

TEST(DirectoryWalk, StopFlagEndsTheWalk) {
  TempDir dir;
  for (int i = 0; i < 20; ++i) WriteFile(dir / ("f" + std::to_string(i)), "");
  std::atomic<int> stop{0};
  WalkOptions options;
  options.stopFlag = &stop;
  int visited = 0;
  const bool completed = WalkTree(dir.path(), options, [&](const WalkEntry&) {
    if (++visited == 3) stop = 1;
    return WalkControl::Continue;
  });
  EXPECT_FALSE(completed);
  EXPECT_EQ(visited, 3);
}

TEST(DirectoryWalk, WalkedFilesOpenThroughTheirFolder) {
  TempDir dir;
  WriteFile(dir / "a/one", "first");
  WriteFile(dir / "two", "second");
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  ASSERT_EQ(::symlink((dir / "two").c_str(), (dir / "link").c_str()), 0);
  std::set<std::string> contents;
  WalkOptions options;
  options.reportOthers = true;
  WalkTree(dir.path(), options, [&](const WalkEntry& e) {
    UniqueFd fd = OpenSharedAt(e.folderFd, e.name.data());
    if (e.kind == WalkEntryKind::File) {
      char buffer[16] = {};
      EXPECT_GT(ReadAt(fd.get(), buffer, sizeof buffer, 0), 0);
      contents.insert(buffer);
    } else if (e.name == "link") {
      EXPECT_FALSE(fd.valid());  // not followed
    } else if (e.name == "pipe") {
      char byte;
      EXPECT_LE(ReadAt(fd.get(), &byte, 1, 0), 0);  // returns at once
    }
    return WalkControl::Continue;
  });
  EXPECT_EQ(contents, (std::set<std::string>{"first", "second"}));
}

TEST(DirectoryWalk, LargeFoldersAreReadWholeAroundTheirSubfolders) {
  // More entries than one read of a folder returns, with subfolders walked in between: each
  // entry comes once, with its full path, however the reads are cut.
  TempDir dir;
  std::set<std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "recovered-file-with-a-long-name-" + std::to_string(i) + ".doc";
    WriteFile(dir / name, "");
    expected.insert(name + ":-1");
    if (i % 500 == 0) {
      WriteFile(dir / ("sub" + std::to_string(i)) / name, "");
      expected.insert("sub" + std::to_string(i) + "/" + name + ":-1");
    }
  }
  WalkOptions options;
  options.wantSize = false;
  const Seen seen = Walk(dir.path(), options);
  EXPECT_EQ(seen.files, expected);
  EXPECT_EQ(seen.order.size(), expected.size() + 6);  // every file and folder once
}

TEST(DirectoryWalk, RootWithTrailingSlashGivesPlainPaths) {
  TempDir dir;
  WriteFile(dir / "a/b.txt", "");
  std::vector<std::string> paths;
  WalkTree(dir.path().native() + "/", {}, [&](const WalkEntry& e) {
    paths.emplace_back(e.path);
    EXPECT_EQ(e.name.data()[e.name.size()], '\0');
    return WalkControl::Continue;
  });
  EXPECT_EQ(paths, (std::vector<std::string>{dir.path().native() + "/a", dir.path().native() + "/a/b.txt"}));
}

TEST(DirectoryWalk, MissingRootFails) {
  TempDir dir;
  EXPECT_FALSE(WalkTree(dir / "nope", {}, [](const WalkEntry&) { return WalkControl::Continue; }));
}

}  // namespace
}  // namespace brenvik
