#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/NoFollow.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(NoFollow, OpenRegularFileRefusesLinksFifosAndFolders) {
  TempDir dir;
  WriteFile(dir / "data", "12345");
  ::symlink((dir / "data").c_str(), (dir / "link").c_str());
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  int64_t size = -1;
  EXPECT_TRUE(OpenRegularFile(dir / "data", size).valid());
  EXPECT_EQ(size, 5);
  EXPECT_FALSE(OpenRegularFile(dir / "link", size).valid());
  EXPECT_FALSE(OpenRegularFile(dir / "pipe", size).valid());  // returns at once
  EXPECT_FALSE(OpenRegularFile(dir.path(), size).valid());
  EXPECT_EQ(size, 0);
  UniqueFd folder = OpenFolder(dir.path());
  EXPECT_TRUE(OpenRegularFileAt(folder.get(), "data", size).valid());
  EXPECT_EQ(size, 5);
  EXPECT_FALSE(OpenRegularFileAt(folder.get(), "link", size).valid());
  EXPECT_FALSE(OpenRegularFileAt(folder.get(), "pipe", size).valid());
}

TEST(NoFollow, FoldersBelowAreReachedWithoutLinksOrDotDot) {
  TempDir outside;
  WriteFile(outside / "secret", "keep");
  TempDir dir;
  WriteFile(dir / "a/b/file", "x");
  ::symlink(outside.path().c_str(), (dir / "a/escape").c_str());
  UniqueFd base = OpenFolder(dir.path());
  ASSERT_TRUE(base.valid());
  EXPECT_TRUE(OpenFolderBelow(base.get(), "a/b", false).valid());
  EXPECT_TRUE(OpenFolderBelow(base.get(), "", false).valid());
  EXPECT_FALSE(OpenFolderBelow(base.get(), "a/escape", false).valid());
  EXPECT_FALSE(OpenFolderBelow(base.get(), "a/../a", false).valid());
  EXPECT_FALSE(OpenFolderBelow(base.get(), "a//b", false).valid());
  EXPECT_FALSE(OpenFolderBelow(base.get(), "a/escape/new", true).valid());
  EXPECT_FALSE(std::filesystem::exists(outside / "new"));

  UniqueFd made = OpenFolderBelow(base.get(), "x/y/z", true);
  EXPECT_TRUE(made.valid());
  EXPECT_TRUE(IsFolder(dir / "x/y/z"));

  // The same in one step for a file: no link on the way or at the end, nothing out of the folder,
  // only the file that was listed.
  ::symlink((dir / "a/b/file").c_str(), (dir / "a/file-link").c_str());
  bool supported = true;
  const FileIdentity file = IdentityOf(OpenRegularFileBelow(base.get(), "a/b/file", {}, supported).get());
  if (!supported) GTEST_SKIP() << "this system has no openat2";
  EXPECT_TRUE(file.known());
  EXPECT_TRUE(OpenRegularFileBelow(base.get(), "a/b/file", file, supported).valid());
  EXPECT_FALSE(OpenRegularFileBelow(base.get(), "a/b/file", {file.device, file.inode + 1}, supported).valid());
  EXPECT_FALSE(OpenRegularFileBelow(base.get(), "a/escape/secret", {}, supported).valid());
  EXPECT_FALSE(OpenRegularFileBelow(base.get(), "a/file-link", {}, supported).valid());
  EXPECT_FALSE(OpenRegularFileBelow(base.get(), "../" + dir.path().filename().string() + "/a/b/file", {}, supported).valid());
  EXPECT_FALSE(OpenRegularFileBelow(base.get(), (dir / "a/b/file").string(), {}, supported).valid());
  EXPECT_FALSE(OpenRegularFileBelow(base.get(), "a/b", {}, supported).valid());
}

TEST(NoFollow, ActionsTouchRegularFilesOnly) {
  TempDir outside;
  WriteFile(outside / "secret", "keep");
  TempDir dir;
  WriteFile(dir / "a/file", "data");
  WriteFile(dir / "b/file", "old");
  ::symlink((outside / "secret").c_str(), (dir / "a/link").c_str());
  ::chmod((dir / "a/file").c_str(), 0400);
  UniqueFd base = OpenFolder(dir.path());
  UniqueFd a = OpenFolderBelow(base.get(), "a", false);
  UniqueFd b = OpenFolderBelow(base.get(), "b", false);

  EXPECT_FALSE(DeleteRegularFileAt(a.get(), "link"));
  EXPECT_NE(MoveNoReplaceAt(a.get(), "link", b.get(), "link"), MoveResult::Moved);
  EXPECT_TRUE(Exists(dir / "a/link"));
  EXPECT_EQ(ReadFile(outside / "secret"), "keep");

  ResetAttributesAt(a.get(), "file");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "a/file").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IWUSR);

  EXPECT_EQ(MoveNoReplaceAt(a.get(), "file", b.get(), "file"), MoveResult::TargetExists);
  EXPECT_EQ(ReadFile(dir / "b/file"), "old");
  EXPECT_TRUE(DeleteRegularFileAt(b.get(), "file"));
  EXPECT_EQ(MoveNoReplaceAt(a.get(), "file", b.get(), "file"), MoveResult::Moved);
  EXPECT_EQ(ReadFile(dir / "b/file"), "data");
  EXPECT_FALSE(Exists(dir / "a/file"));
  EXPECT_TRUE(DeleteRegularFileAt(b.get(), "file"));
  EXPECT_FALSE(Exists(dir / "b/file"));
  EXPECT_FALSE(DeleteRegularFileAt(b.get(), "file"));  // already gone
}

}  // namespace
}  // namespace brenvik
