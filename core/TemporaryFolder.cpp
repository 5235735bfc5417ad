#include "core/TemporaryFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "core/TextHelpers.h"
#include "platform/DirectoryWalk.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

struct CreatedFiles {
  std::mutex mutex;
  std::vector<std::filesystem::path> paths;
};

CreatedFiles& Created() {
  static CreatedFiles files;
  return files;
}

// Brenvik's own folder of this run, known by its identity so that a folder put in its place
// later is never emptied.
struct OwnFolder {
  std::mutex mutex;
  std::filesystem::path path;
  dev_t device = 0;
  ino_t inode = 0;
  bool made = false;   // PrepareOwnTemporaryFolder has run and found or made a folder
  bool fresh = false;  // a mkdtemp folder of this run alone: removed as a whole on close
};

OwnFolder& Own() {
  static OwnFolder own;
  return own;
}

// The private folders made in this run, each kept open from its making to the close.
struct PrivateFolder {
  std::filesystem::path parent;  // the temporary folder it was made in, as given
  std::filesystem::path path;
  UniqueFd fd;
};

struct PrivateFolders {
  std::mutex mutex;
  std::vector<PrivateFolder> made;
};

PrivateFolders& Privates() {
  static PrivateFolders folders;
  return folders;
}

bool IsDefaultFolder(const std::filesystem::path& folder) {
  const auto normal = [](const std::filesystem::path& p) {
    std::string text = p.lexically_normal().native();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
  };
  return normal(folder) == normal(DefaultTemporaryFolder());
}

// Opens a folder without following a symbolic link at its own name.
UniqueFd OpenFolderNoFollow(const std::filesystem::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// A folder only this user can reach: owned by the user, mode 0700.
bool IsPrivateFolder(int fd, struct stat& st) {
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700;
}

// Makes a new private folder from a mkdtemp template; invalid when that fails.
UniqueFd MakeFreshFolder(std::string& pattern) {
  if (::mkdtemp(pattern.data()) == nullptr) return UniqueFd();
  return OpenFolderNoFollow(pattern);
}

// Removes every entry below the open folder `fd` through *at calls: files, symbolic links (as
// links) and other entries always, the subfolders too when `removeFolders`. No link is followed.
void EmptyFolder(int fd, const std::filesystem::path& path, bool removeFolders) {
  WalkOptions options;
  options.wantSize = false;
  options.reportOthers = true;
  options.reportFolderLeft = removeFolders;
  WalkOpenTree(fd, path, options, [](const WalkEntry& entry) {
    if (entry.kind == WalkEntryKind::FolderLeft) ::unlinkat(entry.folderFd, entry.name.data(), AT_REMOVEDIR);
    else if (entry.kind != WalkEntryKind::Folder) ::unlinkat(entry.folderFd, entry.name.data(), 0);
    return WalkControl::Continue;
  });
}

}  // namespace

std::filesystem::path DefaultTemporaryFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::filesystem::path(runtime) / "tvk";
  return std::filesystem::path("/tmp/tvk-" + std::to_string(::getuid()));
}

std::filesystem::path PrepareOwnTemporaryFolder() {
  const std::filesystem::path preferred = DefaultTemporaryFolder();
  std::filesystem::path chosen = preferred;
  bool fresh = false;
  struct stat st {};

  CreateFolders(preferred.parent_path(), 0700);
  const bool created = ::mkdir(preferred.c_str(), 0700) == 0;
  UniqueFd fd = OpenFolderNoFollow(preferred);
  // A folder made just now gets its mode whatever the umask took away.
  if (fd && created) ::fchmod(fd.get(), 0700);
  if (!fd || !IsPrivateFolder(fd.get(), st)) {
    // A link, or a folder someone else can reach, is never used or emptied: a fresh one is made.
    fd.reset();
    for (std::string pattern : {preferred.native() + "-XXXXXX", "/tmp/tvk-" + std::to_string(::getuid()) + "-XXXXXX"}) {
      fd = MakeFreshFolder(pattern);
      if (fd && IsPrivateFolder(fd.get(), st)) {
        chosen = pattern;
        fresh = true;
        break;
      }
      fd.reset();
    }
    if (!fd) return {};
  }

  OwnFolder& own = Own();
  std::lock_guard lock(own.mutex);
  own.path = chosen;
  own.device = st.st_dev;
  own.inode = st.st_ino;
  own.made = true;
  own.fresh = fresh;
  return chosen;
}

bool EnsureFolder(const std::filesystem::path& folder) {
  return CreateFolders(folder, IsDefaultFolder(folder) ? 0700 : 0777);
}

void RecordTemporaryFile(const std::filesystem::path& path) {
  auto& created = Created();
  std::lock_guard lock(created.mutex);
  for (const auto& known : created.paths)
    if (known == path) return;
  created.paths.push_back(path);
}

TemporaryResultFile CreateTemporaryResultFile(const std::filesystem::path& folder) {
  return CreateTemporaryResultFile(folder, TextToBytes(MakeTimeStampName()));
}

TemporaryResultFile CreateTemporaryResultFile(const std::filesystem::path& folder, const std::string& baseName) {
  for (int attempt = 1; attempt < 10000; ++attempt) {
    std::string name = baseName;
    if (attempt > 1) name += " (" + std::to_string(attempt) + ")";
    std::filesystem::path path = JoinPath(folder, name);
    UniqueFd fd = CreateExclusive(path);
    if (fd) {
      RecordTemporaryFile(path);
      return {std::move(fd), std::move(path)};
    }
    if (errno != EEXIST) break;
  }
  return {};
}

int PrivateFolderIn(const std::filesystem::path& temporaryFolder) {
  PrivateFolders& folders = Privates();
  std::lock_guard lock(folders.mutex);
  // The latest folder made for this temporary folder, while it still exists. One that was removed
  // behind Brenvik's back is replaced, but its descriptor stays open until close, since a reader
  // may still hold it.
  for (auto it = folders.made.rbegin(); it != folders.made.rend(); ++it) {
    if (it->parent != temporaryFolder) continue;
    struct stat st {};
    if (::fstat(it->fd.get(), &st) == 0 && st.st_nlink > 0) return it->fd.get();
    break;
  }
  if (!EnsureFolder(temporaryFolder)) return -1;
  std::string pattern = JoinPath(temporaryFolder, "brenvik-private-XXXXXX").native();
  UniqueFd fd = MakeFreshFolder(pattern);
  struct stat st {};
  if (!fd || !IsPrivateFolder(fd.get(), st)) return -1;
  folders.made.push_back({temporaryFolder, pattern, std::move(fd)});
  return folders.made.back().fd.get();
}

void ClearTemporaryFolders() {
  std::vector<std::filesystem::path> recorded;
  {
    auto& created = Created();
    std::lock_guard lock(created.mutex);
    recorded.swap(created.paths);
  }
  for (const auto& path : recorded) DeleteFile(path);

  std::vector<PrivateFolder> privates;
  {
    PrivateFolders& folders = Privates();
    std::lock_guard lock(folders.mutex);
    privates.swap(folders.made);
  }
  for (PrivateFolder& folder : privates) {
    EmptyFolder(folder.fd.get(), folder.path, true);
    // Closed before its removal: a removed folder still open costs ext4 milliseconds on close.
    folder.fd.reset();
    // rmdir never follows a link and never removes a folder that still holds anything.
    ::rmdir(folder.path.c_str());
  }

  OwnFolder& own = Own();
  std::lock_guard lock(own.mutex);
  if (!own.made) return;
  const UniqueFd fd = OpenFolderNoFollow(own.path);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_dev != own.device || st.st_ino != own.inode) return;
  EmptyFolder(fd.get(), own.path, own.fresh);
  if (own.fresh) ::rmdir(own.path.c_str());
}

}  // namespace brenvik
