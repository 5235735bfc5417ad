#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileOps.h"
#include "tests/support/OtherUser.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::OtherUser;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(FileOps, OutputThatIsAnInputIsRefusedBeforeTruncation) {
  TempDir dir;
  const auto input = dir / "data.mdf";
  WriteFile(input, "precious");
  ::symlink(input.c_str(), (dir / "link.mdf").c_str());
  ::link(input.c_str(), (dir / "hard.mdf").c_str());
  const std::filesystem::path inputs[] = {input};

  EXPECT_FALSE(CreateOutput(input, inputs).valid());
  EXPECT_FALSE(CreateOutput(dir / "link.mdf", inputs).valid());
  EXPECT_FALSE(CreateOutput(dir / "hard.mdf", inputs).valid());
  EXPECT_FALSE(CreateOutput(dir / "sub/../data.mdf", inputs).valid());
  EXPECT_EQ(ReadFile(input), "precious");

  UniqueFd out = CreateOutput(dir / "repaired.mdf", inputs);
  ASSERT_TRUE(out.valid());
  EXPECT_TRUE(WriteFull(out.get(), "ok", 2));
}

// An output is never written through a symbolic link: one at the name (even one leading nowhere
// yet) is refused, and so is a folder on the way that another user put as a link into a sticky
// folder everyone may write to (as /tmp); the files the links lead to stay as they were.
TEST(FileOps, OutputsAreNeverWrittenThroughALink) {
  TempDir dir;
  WriteFile(dir / "victim", "precious");
  ::symlink((dir / "victim").c_str(), (dir / "link").c_str());
  ::symlink((dir / "absent").c_str(), (dir / "dangling").c_str());
  for (const char* name : {"link", "dangling"}) {
    OutputRefusal why = OutputRefusal::None;
    EXPECT_FALSE(CreateOutput(dir / name, {}, {}, &why).valid()) << name;
    EXPECT_EQ(why, OutputRefusal::Link) << name;
    EXPECT_EQ(RefusalOfOutput(dir / name), OutputRefusal::Link) << name;
    EXPECT_TRUE(ReachedThroughLink(dir / name)) << name;
    EXPECT_FALSE(OpenOutputKeeping(dir / name).valid()) << name;
  }
  EXPECT_EQ(ReadFile(dir / "victim"), "precious");
  EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
  EXPECT_FALSE(ReachedThroughLink(dir / "victim"));

  ::chmod(dir.path().c_str(), 0755);
  std::filesystem::create_directory(dir / "shared");
  ::chmod((dir / "shared").c_str(), 01777);
  std::filesystem::create_directory(dir / "private");
  {
    OtherUser nobody;
    if (!nobody.active()) GTEST_SKIP() << "planting a link as another user needs root and the user nobody";
    ASSERT_EQ(::symlink((dir / "private").c_str(), (dir / "shared/planted").c_str()), 0);
  }
  ::symlink((dir / "private").c_str(), (dir / "shared/own").c_str());
  OutputRefusal why = OutputRefusal::None;
  EXPECT_FALSE(CreateOutput(dir / "shared/planted/out", {}, {}, &why).valid());
  EXPECT_EQ(why, OutputRefusal::Link);
  EXPECT_TRUE(ReachedThroughLink(dir / "shared/planted/out"));
  EXPECT_FALSE(std::filesystem::exists(dir / "private/out"));
  // A link of this user's own is followed on the way, as the kernel's rule for sticky folders does.
  EXPECT_TRUE(CreateOutput(dir / "shared/own/out", {}, {}, &why).valid());
  EXPECT_TRUE(std::filesystem::exists(dir / "private/out"));
}

TEST(FileOps, CreateOutputTruncatesAnOrdinaryExistingFile) {
  TempDir dir;
  WriteFile(dir / "out", "old contents");
  UniqueFd out = CreateOutput(dir / "out");
  ASSERT_TRUE(out.valid());
  out.reset();
  EXPECT_EQ(ReadFile(dir / "out"), "");
  out = CreateOutput(dir / "out");  // an existing empty file is simply opened
  ASSERT_TRUE(out.valid());
  EXPECT_TRUE(WriteFull(out.get(), "new", 3));
  out.reset();
  EXPECT_EQ(ReadFile(dir / "out"), "new");
}

TEST(FileOps, CloseOutputReportsWhetherTheFileWasOpen) {
  TempDir dir;
  UniqueFd out = CreateOutput(dir / "out");
  ASSERT_TRUE(WriteFull(out.get(), "data", 4));
  EXPECT_TRUE(CloseOutput(out));
  EXPECT_FALSE(out.valid());
  EXPECT_FALSE(CloseOutput(out));
  EXPECT_EQ(ReadFile(dir / "out"), "data");
}

TEST(FileOps, MoveNoReplaceNeverOverwrites) {
  TempDir dir;
  WriteFile(dir / "a", "A");
  WriteFile(dir / "b", "B");
  EXPECT_EQ(MoveNoReplace(dir / "a", dir / "b"), MoveResult::TargetExists);
  EXPECT_EQ(ReadFile(dir / "a"), "A");
  EXPECT_EQ(ReadFile(dir / "b"), "B");
  EXPECT_EQ(MoveNoReplace(dir / "a", dir / "c"), MoveResult::Moved);
  EXPECT_FALSE(Exists(dir / "a"));
  EXPECT_EQ(ReadFile(dir / "c"), "A");
  EXPECT_EQ(MoveNoReplace(dir / "missing", dir / "d"), MoveResult::Failed);
}

TEST(FileOps, MoveReplaceReplaces) {
  TempDir dir;
  WriteFile(dir / "a", "A");
  WriteFile(dir / "b", "B");
  EXPECT_TRUE(MoveReplace(dir / "a", dir / "b"));
  EXPECT_EQ(ReadFile(dir / "b"), "A");
}

TEST(FileOps, ResetAttributesGivesOwnerWrite) {
  TempDir dir;
  WriteFile(dir / "ro", "x");
  ::chmod((dir / "ro").c_str(), 0444);
  ResetAttributes(dir / "ro");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "ro").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IWUSR);
}

TEST(FileOps, ReadAtIsShortAtEndOfFile) {
  TempDir dir;
  WriteFile(dir / "f", "0123456789");
  UniqueFd fd = OpenShared(dir / "f");
  ASSERT_TRUE(fd.valid());
  char buffer[8] = {};
  EXPECT_EQ(ReadAt(fd.get(), buffer, 8, 6), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(FileSize(fd.get()), 10);
  EXPECT_EQ(RegularFileSize(dir / "f"), 10);
}

TEST(FileOps, CreateFoldersMakesParents) {
  TempDir dir;
  EXPECT_TRUE(CreateFolders(dir / "a/b/c"));
  EXPECT_TRUE(IsFolder(dir / "a/b/c"));
  EXPECT_TRUE(CreateFolders(dir / "a/b/c"));  // already there
}

TEST(FileOps, OpenSharedDoesNotBlockOnAFifo) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  UniqueFd fd = OpenShared(dir / "pipe");  // must return at once
  EXPECT_TRUE(fd.valid());
}

TEST(FileOps, ReadScatteredFillsBuffersInTurn) {
  TempDir dir;
  WriteFile(dir / "data", "0123456789");
  UniqueFd fd = OpenShared(dir / "data");
  char a[3] = {}, b[2] = {}, c[8] = {};
  const iovec parts[] = {{a, sizeof a}, {b, sizeof b}, {c, sizeof c}};
  EXPECT_EQ(ReadScattered(fd.get(), parts, 2), 8);  // short at end of file
  EXPECT_EQ(std::string(a, 3), "234");
  EXPECT_EQ(std::string(b, 2), "56");
  EXPECT_EQ(std::string(c, 3), "789");
  EXPECT_EQ(ReadScattered(-1, parts, 0), -1);
}

TEST(FileOps, KindTellsFilesFoldersAndOthersApart) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  ::symlink((dir / "file").c_str(), (dir / "link").c_str());
  EXPECT_EQ(KindOfPath(dir / "file"), FileKind::Regular);
  EXPECT_EQ(KindOfPath(dir / "link"), FileKind::Regular);
  EXPECT_EQ(KindOfPath(dir.path()), FileKind::Folder);
  EXPECT_EQ(KindOfPath(dir / "pipe"), FileKind::Other);
  EXPECT_EQ(KindOfPath(dir / "missing"), FileKind::Missing);
  UniqueFd folder = OpenShared(dir.path());
  EXPECT_EQ(KindOfOpenFile(folder.get()), FileKind::Folder);
  EXPECT_EQ(KindOfOpenFile(-1), FileKind::Missing);
}

TEST(FileOps, SetFileLengthShortensAnOpenFile) {
  TempDir dir;
  WriteFile(dir / "f", "0123456789");
  {
    UniqueFd fd = OpenReadWrite(dir / "f");
    ASSERT_TRUE(fd.valid());
    EXPECT_TRUE(SetFileLength(fd.get(), 4));
    EXPECT_FALSE(SetFileLength(fd.get(), -1));
  }
  EXPECT_EQ(ReadFile(dir / "f"), "0123");
}

TEST(FileOps, ReplaceFileBelowNeverWritesThroughLinks) {
  TempDir dir;
  const auto writeText = [](const char* text) {
    return [text](int fd) { return WriteFull(fd, text, std::char_traits<char>::length(text)); };
  };
  std::filesystem::create_directories(dir / "base");
  WriteFile(dir / "precious", "keep");
  WriteFile(dir / "elsewhere/keep.txt", "keep");

  EXPECT_TRUE(ReplaceFileBelow(dir / "base", "a/b/part.xml", writeText("the first one")));
  EXPECT_EQ(ReadFile(dir / "base/a/b/part.xml"), "the first one");
  EXPECT_TRUE(ReplaceFileBelow(dir / "base", "a/b/part.xml", writeText("two")));
  EXPECT_EQ(ReadFile(dir / "base/a/b/part.xml"), "two");

  // A link at the final name is replaced; its target stays untouched.
  ::symlink((dir / "precious").c_str(), (dir / "base/sym.xml").c_str());
  ::link((dir / "precious").c_str(), (dir / "base/hard.xml").c_str());
  EXPECT_TRUE(ReplaceFileBelow(dir / "base", "sym.xml", writeText("new")));
  EXPECT_TRUE(ReplaceFileBelow(dir / "base", "hard.xml", writeText("new")));
  EXPECT_EQ(ReadFile(dir / "precious"), "keep");
  EXPECT_EQ(ReadFile(dir / "base/sym.xml"), "new");

  // A linked folder is not entered.
  ::symlink((dir / "elsewhere").c_str(), (dir / "base/linked").c_str());
  EXPECT_FALSE(ReplaceFileBelow(dir / "base", "linked/keep.txt", writeText("bad")));
  EXPECT_EQ(ReadFile(dir / "elsewhere/keep.txt"), "keep");

  EXPECT_FALSE(ReplaceFileBelow(dir / "base", "../escape.txt", writeText("bad")));
  EXPECT_FALSE(ReplaceFileBelow(dir / "base", "/tmp/escape.txt", writeText("bad")));
  EXPECT_FALSE(Exists(dir / "escape.txt"));

  // A fill that fails leaves nothing at that name, not even the earlier file.
  EXPECT_FALSE(ReplaceFileBelow(dir / "base", "a/b/part.xml", [](int) { return false; }));
  EXPECT_FALSE(Exists(dir / "base/a/b/part.xml"));
  EXPECT_FALSE(ReplaceFileBelow(dir / "base", "failed.xml", [](int) { return false; }));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir / "base")) ++entries;
  EXPECT_EQ(entries, 4u);  // a, sym.xml, hard.xml, linked
}

TEST(FileOps, DeviceOpenAndDeviceNumbers) {
  TempDir dir;
  WriteFile(dir / "image", "12345678");
  EXPECT_EQ(BlockDeviceNumber(dir / "image"), 0u);  // a regular file is no block device
  EXPECT_EQ(BlockDeviceNumber(dir / "missing"), 0u);
  UniqueFd fd = OpenDeviceExclusive(dir / "image");
  ASSERT_TRUE(fd);
  EXPECT_TRUE(WriteAllAt(fd.get(), "ab", 2, 0));
  EXPECT_EQ(ReadFile(dir / "image"), "ab345678");  // opened without truncation
  int error = 0;
  EXPECT_FALSE(OpenDeviceExclusive(dir / "missing", &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(Exists(dir / "missing"));  // never created
}

}  // namespace
}  // namespace brenvik
