#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "core/TemporaryFolder.h"
#include "platform/FileOps.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Points the default temporary folder into a test folder for the test's lifetime.
class DefaultFolderInside {
 public:
  explicit DefaultFolderInside(const std::filesystem::path& runtime) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old) saved_ = old;
    hadOld_ = old != nullptr;
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  }
  ~DefaultFolderInside() {
    if (hadOld_) ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    else ::unsetenv("XDG_RUNTIME_DIR");
  }

 private:
  std::string saved_;
  bool hadOld_ = false;
};

TEST(TemporaryFolder, DefaultIsPrivateToTheUser) {
  TempDir runtime;
  DefaultFolderInside scope(runtime.path());
  EXPECT_EQ(DefaultTemporaryFolder(), runtime / "tvk");
  ASSERT_TRUE(EnsureFolder(DefaultTemporaryFolder()));
  struct stat st {};
  ASSERT_EQ(::stat(DefaultTemporaryFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(TemporaryFolder, ResultFilesCreatedInTheSameSecondGetDistinctNames) {
  TempDir dir;
  const std::string stamp = "2026-12-06 23-40-05";
  TemporaryResultFile first = CreateTemporaryResultFile(dir.path(), stamp);
  TemporaryResultFile second = CreateTemporaryResultFile(dir.path(), stamp);
  TemporaryResultFile third = CreateTemporaryResultFile(dir.path(), stamp);
  ASSERT_TRUE(first.fd.valid() && second.fd.valid() && third.fd.valid());
  EXPECT_EQ(first.path, dir / "2026-12-06 23-40-05");
  EXPECT_EQ(second.path, dir / "2026-12-06 23-40-05 (2)");
  EXPECT_EQ(third.path, dir / "2026-12-06 23-40-05 (3)");
  // Writing through one never reaches another.
  ASSERT_TRUE(WriteFull(first.fd.get(), "A", 1));
  EXPECT_EQ(ReadFile(second.path), "");

  TemporaryResultFile stamped = CreateTemporaryResultFile(dir.path());
  ASSERT_TRUE(stamped.fd.valid());
  EXPECT_EQ(stamped.path.parent_path(), dir.path());
  ClearTemporaryFolder(dir.path());
  EXPECT_FALSE(Exists(first.path));
  EXPECT_FALSE(Exists(stamped.path));
}

TEST(TemporaryFolder, ClosingEmptiesTheDefaultFolderButKeepsFoldersAndLinkTargets) {
  TempDir runtime;
  TempDir outside;
  DefaultFolderInside scope(runtime.path());
  const auto folder = DefaultTemporaryFolder();
  ASSERT_TRUE(EnsureFolder(folder));
  WriteFile(folder / "2026-12-06 23-40-05", "records");
  WriteFile(folder / "word/document.xml", "<xml/>");
  WriteFile(outside / "precious.txt", "keep me");
  WriteFile(outside / "inner/also.txt", "keep me too");
  ::symlink((outside / "precious.txt").c_str(), (folder / "file-link").c_str());
  ::symlink(outside.path().c_str(), (folder / "folder-link").c_str());

  ClearTemporaryFolder(folder);

  EXPECT_FALSE(Exists(folder / "2026-12-06 23-40-05"));
  EXPECT_FALSE(Exists(folder / "word/document.xml"));
  EXPECT_TRUE(IsFolder(folder / "word"));
  EXPECT_FALSE(Exists(folder / "file-link"));
  EXPECT_FALSE(Exists(folder / "folder-link"));
  EXPECT_EQ(ReadFile(outside / "precious.txt"), "keep me");
  EXPECT_EQ(ReadFile(outside / "inner/also.txt"), "keep me too");
}

TEST(TemporaryFolder, AFolderTheUserChoseKeepsEveryFileBrenvikDidNotCreate) {
  TempDir runtime;
  DefaultFolderInside scope(runtime.path());
  TempDir recovered;  // the user pointed Settings at the folder of recovered files
  WriteFile(recovered / "photo.jpg", "jpeg");
  WriteFile(recovered / "sub/report.doc", "doc");
  TemporaryResultFile ours = CreateTemporaryResultFile(recovered.path());
  ASSERT_TRUE(ours.fd.valid());
  WriteFile(recovered / "word/document.xml", "<xml/>");
  RecordTemporaryFile(recovered / "word/document.xml");

  ClearTemporaryFolder(recovered.path());

  EXPECT_FALSE(Exists(ours.path));
  EXPECT_FALSE(Exists(recovered / "word/document.xml"));
  EXPECT_EQ(ReadFile(recovered / "photo.jpg"), "jpeg");
  EXPECT_EQ(ReadFile(recovered / "sub/report.doc"), "doc");
}

}  // namespace
}  // namespace brenvik
