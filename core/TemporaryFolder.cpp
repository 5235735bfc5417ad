#include "core/TemporaryFolder.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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
  std::vector<FileIdentity> identities;  // which file each path named when it was made
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

// What a signal handler may remove: fixed slots filled before they are counted, never freed, so
// the handler needs no lock and no memory of its own. Slots beyond the last are simply not kept.
struct UrgentSlot {
  std::atomic<bool> live{false};
  bool folder = false;  // a private folder: its files go, then the folder
  dev_t device = 0;
  ino_t inode = 0;
  char path[PATH_MAX] = {};
};
constexpr int kUrgentSlots = 32;
UrgentSlot gUrgent[kUrgentSlots];
std::atomic<int> gUrgentCount{0};

std::mutex gUrgentMutex;  // between the threads that fill slots; the handler takes no lock

// A path kept before (a name made again) takes its old slot, with the identity of what it names now.
void KeepForUrgentRemoval(const std::filesystem::path& path, bool folder) {
  std::lock_guard lock(gUrgentMutex);
  const int count = gUrgentCount.load(std::memory_order_relaxed);
  struct stat st {};
  if (path.native().size() >= PATH_MAX || ::lstat(path.c_str(), &st) != 0) return;
  int index = 0;
  while (index < count && path.native() != gUrgent[index].path) ++index;
  if (index == kUrgentSlots) return;
  UrgentSlot& slot = gUrgent[index];
  slot.live.store(false, std::memory_order_relaxed);
  slot.folder = folder;
  slot.device = st.st_dev;
  slot.inode = st.st_ino;
  std::memcpy(slot.path, path.c_str(), path.native().size() + 1);
  slot.live.store(true, std::memory_order_release);
  if (index == count) gUrgentCount.store(count + 1, std::memory_order_release);
}

// The slot of `path` is no longer to be removed by the handler (it is being removed normally).
void ForgetUrgent(const std::filesystem::path& path) {
  std::lock_guard lock(gUrgentMutex);
  const int count = gUrgentCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i)
    if (path.native() == gUrgent[i].path) gUrgent[i].live.store(false, std::memory_order_relaxed);
}

// Unlinks every entry of the open folder; getdents64 and unlinkat are all a handler may use.
void UnlinkEntriesNow(int fd) noexcept {
  alignas(8) char buffer[4096];
  for (bool removed = true; removed;) {
    removed = false;
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
      const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        struct Entry {
          ino64_t inode;
          off64_t offset;
          unsigned short length;
          unsigned char type;
          char name[1];
        };
        const auto* entry = reinterpret_cast<const Entry*>(buffer + at);
        at += entry->length;
        const char* name = entry->name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (::unlinkat(fd, name, 0) == 0) removed = true;
      }
    }
  }
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

std::filesystem::path SettleTemporaryFolder(const std::optional<std::filesystem::path>& named) {
  if (!named) return PrepareOwnTemporaryFolder();
  if (named->empty() || !EnsureFolder(*named)) return {};
  return *named;
}

void RecordTemporaryFile(const std::filesystem::path& path) {
  auto& created = Created();
  std::lock_guard lock(created.mutex);
  // A name made again (a result file of the same second, after the first was deleted) is now
  // another file: the identity kept is the new one.
  const FileIdentity identity =
      IdentityOf(UniqueFd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)).get());
  KeepForUrgentRemoval(path, false);
  for (size_t i = 0; i < created.paths.size(); ++i) {
    if (created.paths[i] != path) continue;
    created.identities[i] = identity;
    return;
  }
  created.paths.push_back(path);
  created.identities.push_back(identity);
}

UniqueFd OpenCreatedTemporaryFile(const std::filesystem::path& path) {
  FileIdentity made;
  {
    auto& created = Created();
    std::lock_guard lock(created.mutex);
    for (size_t i = 0; i < created.paths.size(); ++i)
      if (created.paths[i] == path) made = created.identities[i];
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!made.known() || !fd || IdentityOf(fd.get()) != made) return UniqueFd();
  return fd;
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
  KeepForUrgentRemoval(pattern, true);
  return folders.made.back().fd.get();
}

namespace {

// The files and private folders this run made, removed; the own folder is left to the caller.
void RemoveRecordedAndPrivate() {
  std::vector<std::filesystem::path> recorded;
  {
    auto& created = Created();
    std::lock_guard lock(created.mutex);
    recorded.swap(created.paths);
    created.identities.clear();
  }
  for (const auto& path : recorded) {
    ForgetUrgent(path);
    DeleteFile(path);
  }

  std::vector<PrivateFolder> privates;
  {
    PrivateFolders& folders = Privates();
    std::lock_guard lock(folders.mutex);
    privates.swap(folders.made);
  }
  for (PrivateFolder& folder : privates) {
    ForgetUrgent(folder.path);
    EmptyFolder(folder.fd.get(), folder.path, true);
    // Closed before its removal: a removed folder still open costs ext4 milliseconds on close.
    folder.fd.reset();
    // rmdir never follows a link and never removes a folder that still holds anything.
    ::rmdir(folder.path.c_str());
  }
}

// Brenvik's own folder of this run, opened, while its path still names that folder.
UniqueFd OpenOwnFolder(const OwnFolder& own) {
  if (!own.made) return UniqueFd();
  UniqueFd fd = OpenFolderNoFollow(own.path);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_dev != own.device || st.st_ino != own.inode) return UniqueFd();
  return fd;
}

}  // namespace

void RemoveCreatedTemporaryFiles() {
  RemoveRecordedAndPrivate();
  OwnFolder& own = Own();
  std::lock_guard lock(own.mutex);
  // rmdir removes it only when nothing is left in it.
  if (own.fresh && OpenOwnFolder(own)) ::rmdir(own.path.c_str());
}

void RemoveCreatedTemporaryFilesAtOnce() noexcept {
  const int count = gUrgentCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    const UrgentSlot& slot = gUrgent[i];
    if (!slot.live.load(std::memory_order_acquire)) continue;
    const int fd = ::open(slot.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (slot.folder ? O_DIRECTORY : 0));
    struct stat st {};
    const bool same = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == slot.device && st.st_ino == slot.inode;
    if (same && slot.folder) UnlinkEntriesNow(fd);
    if (fd >= 0) ::close(fd);
    if (same) slot.folder ? ::rmdir(slot.path) : ::unlink(slot.path);
  }
}

void ClearTemporaryFolders() {
  RemoveRecordedAndPrivate();
  OwnFolder& own = Own();
  std::lock_guard lock(own.mutex);
  const UniqueFd fd = OpenOwnFolder(own);
  if (!fd) return;
  EmptyFolder(fd.get(), own.path, own.fresh);
  if (own.fresh) ::rmdir(own.path.c_str());
}

}  // namespace brenvik
