#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>

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
  EXPECT_EQ(PrepareOwnTemporaryFolder(), runtime / "tvk");
  struct stat st {};
  ASSERT_EQ(::lstat(DefaultTemporaryFolder().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // A trusted folder that is already there is used as it is.
  WriteFile(runtime / "tvk/left from before", "x");
  EXPECT_EQ(PrepareOwnTemporaryFolder(), runtime / "tvk");
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
  ClearTemporaryFolders();
  EXPECT_FALSE(Exists(first.path));
  EXPECT_FALSE(Exists(stamped.path));
}

TEST(TemporaryFolder, ClosingEmptiesTheDefaultFolderButKeepsFoldersAndLinkTargets) {
  TempDir runtime;
  TempDir outside;
  DefaultFolderInside scope(runtime.path());
  const auto folder = PrepareOwnTemporaryFolder();
  ASSERT_EQ(folder, DefaultTemporaryFolder());
  WriteFile(folder / "2026-12-06 23-40-05", "records");
  WriteFile(folder / "word/document.xml", "<xml/>");
  WriteFile(outside / "precious.txt", "keep me");
  WriteFile(outside / "inner/also.txt", "keep me too");
  ::symlink((outside / "precious.txt").c_str(), (folder / "file-link").c_str());
  ::symlink(outside.path().c_str(), (folder / "folder-link").c_str());

  ClearTemporaryFolders();

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

  ClearTemporaryFolders();

  EXPECT_FALSE(Exists(ours.path));
  EXPECT_FALSE(Exists(recovered / "word/document.xml"));
  EXPECT_EQ(ReadFile(recovered / "photo.jpg"), "jpeg");
  EXPECT_EQ(ReadFile(recovered / "sub/report.doc"), "doc");
}

// Every file below `folder` with its bytes, links by their targets, so a test can tell that a
// tree survived byte for byte.
std::map<std::string, std::string> Snapshot(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string name = std::filesystem::relative(entry.path(), folder).native();
    if (entry.is_symlink()) files[name] = "-> " + std::filesystem::read_symlink(entry.path()).native();
    else if (entry.is_regular_file()) files[name] = ReadFile(entry.path());
    else files[name] = "folder";
  }
  return files;
}

struct stat LinkStat(const std::filesystem::path& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

// A default folder that is a link, belongs to someone else or is open to others is never used or
// emptied: a fresh private folder takes its place for the run and goes on close.
TEST(TemporaryFolder, AnUntrustedDefaultFolderIsReplacedByAFreshPrivateOne) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and a user nobody to own a folder";
  struct Case {
    const char* what;
    std::function<void(const std::filesystem::path& folder, const std::filesystem::path& other)> make;
  };
  const Case cases[] = {
      {"a link to another folder",
       [](const auto& folder, const auto& other) { ::symlink(other.c_str(), folder.c_str()); }},
      {"another user's folder open to all",
       [&](const auto& folder, const auto& /*other*/) {
         std::filesystem::create_directories(folder);
         WriteFile(folder / "theirs.txt", "another user's file");
         for (const auto& path : {folder, folder / "theirs.txt"}) ::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid);
         ::chmod(folder.c_str(), 0777);
       }},
      {"the user's folder open to the group",
       [](const auto& folder, const auto&) {
         std::filesystem::create_directories(folder);
         WriteFile(folder / "kept.txt", "kept");
         ::chmod(folder.c_str(), 0770);
       }},
  };
  const bool canRunAsNobody = std::system("runuser -u nobody -- true 2>/dev/null") == 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir runtime, other;
    ::chmod(runtime.path().c_str(), 0711);  // other users may pass through, as through /tmp
    DefaultFolderInside scope(runtime.path());
    WriteFile(other / "precious.txt", "the user's own file");
    WriteFile(other / "word/document.xml", "<the user's own part/>");
    const auto folder = DefaultTemporaryFolder();
    c.make(folder, other.path());
    const auto otherBefore = Snapshot(other.path());
    const auto defaultBefore = Snapshot(runtime.path());

    const auto own = PrepareOwnTemporaryFolder();
    ASSERT_FALSE(own.empty());
    EXPECT_NE(own, folder);
    const struct stat st = LinkStat(own);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    TemporaryResultFile result = CreateTemporaryResultFile(own);
    ASSERT_TRUE(result.fd.valid());
    ASSERT_TRUE(WriteFull(result.fd.get(), "records", 7));
    // Nobody else can reach the result file between Check and Delete.
    const std::string edit = "runuser -u nobody -- sh -c 'echo changed > \"" + result.path.native() + "\"' 2>/dev/null";
    if (canRunAsNobody) {
      EXPECT_NE(std::system(edit.c_str()), 0) << "another user changed a result file";
    }
    EXPECT_EQ(ReadFile(result.path), "records");
    WriteFile(own / "sub/part.xml", "<x/>");

    ClearTemporaryFolders();
    EXPECT_FALSE(Exists(own)) << "the fresh folder goes on close";
    EXPECT_EQ(Snapshot(other.path()), otherBefore);
    auto defaultAfter = Snapshot(runtime.path());
    EXPECT_EQ(defaultAfter, defaultBefore);
  }
}

// Brenvik's own folder swapped for a link while the program runs: closing empties nothing.
TEST(TemporaryFolder, ClosingNeverFollowsALinkPutInPlaceOfTheOwnFolder) {
  TempDir runtime, other;
  DefaultFolderInside scope(runtime.path());
  const auto own = PrepareOwnTemporaryFolder();
  ASSERT_EQ(own, DefaultTemporaryFolder());
  WriteFile(other / "precious.txt", "the user's own file");
  std::filesystem::rename(own, runtime / "moved away");
  ::symlink(other.path().c_str(), own.c_str());

  ClearTemporaryFolders();

  EXPECT_EQ(ReadFile(other / "precious.txt"), "the user's own file");
  EXPECT_TRUE(std::filesystem::is_symlink(own));
}

}  // namespace
}  // namespace brenvik
