#include "platform/PrivateFolder.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/DirectoryWalk.h"

namespace brenvik {
namespace {

struct UrgentSlot {
  std::atomic<bool> live{false};
  bool folder = false;  // a private folder: its files go, then the folder
  FileIdentity identity;
  char path[PATH_MAX] = {};
};
constexpr int kUrgentSlots = 32;
UrgentSlot gUrgent[kUrgentSlots];
std::atomic<int> gUrgentCount{0};

std::mutex gUrgentMutex;  // between the threads that fill slots; the handler takes no lock

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

}  // namespace

uint32_t CurrentUserId() { return static_cast<uint32_t>(::geteuid()); }

UniqueFd OpenFolderNoFollow(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd MakeOrOpenFolderNoFollow(const fs::path& path) {
  const bool created = ::mkdir(path.c_str(), 0700) == 0;
  UniqueFd fd = OpenFolderNoFollow(path);
  if (fd && created) ::fchmod(fd.get(), 0700);
  return fd;
}

UniqueFd MakeFreshFolder(std::string& pattern) {
  if (::mkdtemp(pattern.data()) == nullptr) return UniqueFd();
  return OpenFolderNoFollow(pattern);
}

bool IsPrivateFolder(int fd, FileIdentity& identity) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0700)
    return false;
  identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

bool IsStillLinked(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

void EmptyFolderAt(int fd, const fs::path& path, bool removeFolders) {
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

void KeepForUrgentRemoval(const fs::path& path, bool folder) {
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
  slot.identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  std::memcpy(slot.path, path.c_str(), path.native().size() + 1);
  slot.live.store(true, std::memory_order_release);
  if (index == count) gUrgentCount.store(count + 1, std::memory_order_release);
}

void ForgetUrgentRemoval(const fs::path& path) {
  std::lock_guard lock(gUrgentMutex);
  const int count = gUrgentCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i)
    if (path.native() == gUrgent[i].path) gUrgent[i].live.store(false, std::memory_order_relaxed);
}

void RemoveKeptPathsAtOnce() noexcept {
  const int count = gUrgentCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    const UrgentSlot& slot = gUrgent[i];
    if (!slot.live.load(std::memory_order_acquire)) continue;
    const int fd = ::open(slot.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (slot.folder ? O_DIRECTORY : 0));
    struct stat st {};
    const bool same = fd >= 0 && ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_dev) == slot.identity.device &&
                      static_cast<uint64_t>(st.st_ino) == slot.identity.inode;
    if (same && slot.folder) UnlinkEntriesNow(fd);
    if (fd >= 0) ::close(fd);
    if (same) slot.folder ? ::rmdir(slot.path) : ::unlink(slot.path);
  }
}

}  // namespace brenvik
