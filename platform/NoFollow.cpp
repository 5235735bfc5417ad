#include "platform/NoFollow.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"

namespace brenvik {

namespace {

UniqueFd KeepRegular(UniqueFd fd, int64_t& size, FileIdentity* identity = nullptr) {
  size = 0;
  if (!fd) return fd;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  size = static_cast<int64_t>(st.st_size);
  if (identity != nullptr) *identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return fd;
}

// O_NONBLOCK keeps a FIFO from blocking the open; regular files ignore it when read.
constexpr int kReadRegular = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

}  // namespace

UniqueFd OpenRegularFile(const fs::path& path, int64_t& size) {
  return KeepRegular(UniqueFd(::open(path.c_str(), kReadRegular)), size);
}

UniqueFd OpenRegularFileAt(int folderFd, std::string_view name, int64_t& size) {
  return KeepRegular(UniqueFd(::openat(folderFd, std::string(name).c_str(), kReadRegular)), size);
}

UniqueFd OpenRegularFileAt(int folderFd, std::string_view name, int64_t& size, FileIdentity& identity) {
  return KeepRegular(UniqueFd(::openat(folderFd, std::string(name).c_str(), kReadRegular)), size, &identity);
}

UniqueFd OpenFolder(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

UniqueFd OpenFolderBelow(int baseFd, std::string_view relative, bool createMissing,
                         std::vector<std::string>* created, unsigned mode) {
  UniqueFd current(::fcntl(baseFd, F_DUPFD_CLOEXEC, 0));
  size_t start = 0;
  while (current && start < relative.size()) {
    const size_t slash = relative.find('/', start);
    const size_t end = slash == std::string_view::npos ? relative.size() : slash;
    const std::string part(relative.substr(start, end - start));
    start = end + 1;
    // A NUL byte would end the name early for the system: "..\0x" must not reach it as "..".
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) return UniqueFd();
    if (createMissing) {
      if (::mkdirat(current.get(), part.c_str(), mode) == 0) {
        if (created) created->emplace_back(relative.substr(0, end));
      } else if (errno != EEXIST) {
        return UniqueFd();
      }
    }
    current = UniqueFd(::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return current;
}

bool IsRegularFileAt(int folderFd, std::string_view name) {
  const std::string leaf(name);
  struct stat st {};
  return !leaf.empty() && ::fstatat(folderFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

void ResetAttributesAt(int folderFd, std::string_view name) {
  const std::string leaf(name);
  struct stat st {};
  if (::fstatat(folderFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return;
  if ((st.st_mode & S_IWUSR) == 0) ::fchmodat(folderFd, leaf.c_str(), (st.st_mode & 07777) | S_IWUSR, 0);
}

bool DeleteRegularFileAt(int folderFd, std::string_view name) {
  return IsRegularFileAt(folderFd, name) && ::unlinkat(folderFd, std::string(name).c_str(), 0) == 0;
}

MoveResult MoveNoReplaceAt(int fromFolderFd, std::string_view fromName, int toFolderFd, std::string_view toName) {
  if (!IsRegularFileAt(fromFolderFd, fromName) || toName.empty()) return MoveResult::Failed;
  const std::string from(fromName), to(toName);
#ifdef SYS_renameat2
  if (::syscall(SYS_renameat2, fromFolderFd, from.c_str(), toFolderFd, to.c_str(), RENAME_NOREPLACE) == 0)
    return MoveResult::Moved;
  if (errno == EEXIST) return MoveResult::TargetExists;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return MoveResult::Failed;
#endif
  // linkat never replaces an existing name, so it gives the same guarantee.
  if (::linkat(fromFolderFd, from.c_str(), toFolderFd, to.c_str(), 0) != 0)
    return errno == EEXIST ? MoveResult::TargetExists : MoveResult::Failed;
  if (::unlinkat(fromFolderFd, from.c_str(), 0) != 0) {
    ::unlinkat(toFolderFd, to.c_str(), 0);
    return MoveResult::Failed;
  }
  return MoveResult::Moved;
}

IdentityRecord IdentityBytes(FileIdentity identity) {
  IdentityRecord record;
  auto* bytes = reinterpret_cast<uint8_t*>(record.bytes.data());
  StoreU64(bytes, identity.device);
  StoreU64(bytes + 8, identity.inode);
  return record;
}

void AppendIdentityBytes(std::string& out, FileIdentity identity) { out.append(IdentityBytes(identity).view()); }

FileIdentity IdentityFromBytes(const unsigned char* bytes) { return {LoadU64(bytes), LoadU64(bytes + 8)}; }

FileIdentity IdentityFromBytes(std::string_view bytes) {
  if (bytes.size() < kIdentityBytes) return {};
  return IdentityFromBytes(reinterpret_cast<const unsigned char*>(bytes.data()));
}

namespace {

FileIdentity IdentityFrom(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

}  // namespace

FileIdentity IdentityOf(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return {};
  return IdentityFrom(st);
}

FileIdentity IdentityOf(int fd, int64_t& length) {
  struct stat st {};
  length = -1;
  if (fd < 0 || ::fstat(fd, &st) != 0) return {};
  length = st.st_size;
  return IdentityFrom(st);
}

FileIdentity IdentityAt(int folderFd, std::string_view name) {
  struct stat st {};
  if (name.empty() || ::fstatat(folderFd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  return IdentityFrom(st);
}

namespace {

std::optional<RegularFileIdentity> RegularFileIdentityFrom(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  return RegularFileIdentity{IdentityFrom(st),
                             static_cast<int64_t>(st.st_size)};
}

}  // namespace

std::optional<RegularFileIdentity> RegularFileIdentityAt(int folderFd, std::string_view name) {
  struct stat st {};
  if (name.empty() || ::fstatat(folderFd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return std::nullopt;
  return RegularFileIdentityFrom(st);
}

std::optional<RegularFileIdentity> RegularFileIdentityOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return RegularFileIdentityFrom(st);
}

std::optional<FileIdentity> FolderIdentityAt(int parentFd, std::string_view name) {
  struct stat st {};
  if (name.empty() || ::fstatat(parentFd, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(st.st_mode))
    return std::nullopt;
  return IdentityFrom(st);
}

UniqueFd OpenFolderAt(int folderFd, std::string_view name) {
  return UniqueFd(::openat(folderFd, std::string(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd OpenParentFolder(int folderFd) {
  return UniqueFd(::openat(folderFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool RemoveEmptyFolderAt(int folderFd, std::string_view name) {
  return !name.empty() && ::unlinkat(folderFd, std::string(name).c_str(), AT_REMOVEDIR) == 0;
}

std::optional<PathStatus> StatusOfPath(const fs::path& path, bool followLink) {
  struct stat st {};
  if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return std::nullopt;
  PathStatus status;
  status.kind = KindOfMode(st.st_mode);
  status.identity = IdentityFrom(st);
  status.deviceNumber = static_cast<uint64_t>(st.st_rdev);
  status.size = static_cast<int64_t>(st.st_size);
  status.modifiedSeconds = static_cast<int64_t>(st.st_mtim.tv_sec);
  status.modifiedNanoseconds = static_cast<int64_t>(st.st_mtim.tv_nsec);
  return status;
}

UniqueFd ReopenOpenFile(int fd, bool direct) {
  return UniqueFd(::open(PathOfOpenFile(fd).c_str(), O_RDONLY | O_CLOEXEC | (direct ? O_DIRECT : 0)));
}

FileIdentity FolderIdentity(const fs::path& path) {
  const UniqueFd folder = OpenFolder(path);
  return IdentityOf(folder.get());
}

std::string RelativeBelowRoot(const fs::path& root, const fs::path& file) {
  std::string prefix = root.native();
  if (prefix.empty()) return {};
  if (prefix.back() != '/') prefix += '/';
  const std::string& path = file.native();
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return {};
  std::string relative = path.substr(prefix.size());
  for (size_t start = 0; start <= relative.size();) {
    const size_t end = std::min(relative.find('/', start), relative.size());
    const std::string_view part(relative.data() + start, end - start);
    if (part.empty() || part == "." || part == "..") return {};
    start = end + 1;
  }
  return relative;
}

ListedTree::ListedTree(fs::path root, FileIdentity rootIdentity) : root_(std::move(root)) {
  if (root_.empty()) return;
  rootFd_ = OpenFolder(root_);
  if (rootIdentity.known() && IdentityOf(rootFd_.get()) != rootIdentity) rootFd_.reset();
}

std::optional<ListedTree::Entry> ListedTree::Reach(const fs::path& path, FileIdentity identity) const {
  Entry entry;
  if (root_.empty()) {
    entry.folder = OpenFolder(path.parent_path());
    entry.name = path.filename().native();
  } else {
    if (!rootFd_) return std::nullopt;
    const std::string relative = RelativeBelowRoot(root_, path);
    if (relative.empty()) return std::nullopt;
    const size_t slash = relative.rfind('/');
    const std::string_view folder =
        slash == std::string::npos ? std::string_view() : std::string_view(relative).substr(0, slash);
    entry.folder = OpenFolderBelow(rootFd_.get(), folder, false);
    entry.name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  }
  if (!entry.folder || entry.name.empty() || !IsRegularFileAt(entry.folder.get(), entry.name)) return std::nullopt;
  if (identity.known() && IdentityAt(entry.folder.get(), entry.name) != identity) return std::nullopt;
  return entry;
}

UniqueFd OpenListedFile(const ListedTree::Entry& entry, FileIdentity identity) {
  int64_t size = 0;
  UniqueFd fd = OpenRegularFileAt(entry.folder.get(), entry.name, size);
  if (fd && identity.known() && IdentityOf(fd.get()) != identity) fd.reset();
  return fd;
}

UniqueFd OpenRegularFileBelow(int rootFd, const std::string& relative, FileIdentity identity, bool& supported) {
  supported = true;
  open_how how{};
  how.flags = static_cast<uint64_t>(kReadRegular);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long opened = ::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
  if (opened < 0) {
    // Without openat2 (an old kernel, or a filter that refuses it) the caller goes folder by folder.
    supported = errno != ENOSYS && errno != EPERM;
    return UniqueFd();
  }
  FileIdentity found;
  int64_t size = 0;
  UniqueFd fd = KeepRegular(UniqueFd(static_cast<int>(opened)), size, &found);
  if (fd && identity.known() && found != identity) fd.reset();
  return fd;
}

fs::path PathOfOpenFile(int fd) { return fs::path("/proc/self/fd") / std::to_string(fd); }

namespace {

// The subfolders of an open folder, read to the end before any is entered.
std::vector<std::string> SubfolderNames(int folderFd) {
  std::vector<std::string> names;
  const int listFd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
  if (dir == nullptr) {
    if (listFd >= 0) ::close(listFd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    bool folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st {};
      folder = ::fstatat(folderFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (folder) names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

constexpr int kOpenFolderNoFollow = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Empties `folder` of empty subfolders and gives it back open; an invalid result when the way
// back up no longer leads to it (a folder moved meanwhile), which ends the whole removal.
UniqueFd RemoveEmptyBelow(UniqueFd folder) {
  const FileIdentity self = IdentityOf(folder.get());
  for (const std::string& name : SubfolderNames(folder.get())) {
    UniqueFd child(::openat(folder.get(), name.c_str(), kOpenFolderNoFollow));
    if (!child) continue;
    // One folder per level held open would run out of descriptors in a deep tree.
    folder.reset();
    child = RemoveEmptyBelow(std::move(child));
    if (!child) return UniqueFd();
    folder = UniqueFd(::openat(child.get(), "..", kOpenFolderNoFollow));
    if (!folder || IdentityOf(folder.get()) != self) return UniqueFd();
    child.reset();
    ::unlinkat(folder.get(), name.c_str(), AT_REMOVEDIR);  // only an empty folder goes
  }
  return folder;
}

}  // namespace

void RemoveEmptyFoldersBelow(int folderFd) {
  UniqueFd folder(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
  if (folder) RemoveEmptyBelow(std::move(folder));
}

}  // namespace brenvik
