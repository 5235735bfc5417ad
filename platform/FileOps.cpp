#include "platform/FileOps.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace brenvik {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

UniqueFd OpenShared(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fd;
  // O_NONBLOCK only keeps a FIFO from blocking the open; reads on regular files ignore it,
  // but clear it so a device node read behaves normally.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

UniqueFd OpenSharedInput(const fs::path& path, bool devicesToo) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fd;
  const FileKind kind = KindOfOpenFile(fd.get());
  if (kind != FileKind::Regular && !(devicesToo && kind == FileKind::BlockDevice)) return UniqueFd();
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

UniqueFd OpenSharedAt(int folderFd, const char* name) {
  return UniqueFd(::openat(folderFd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
}

UniqueFd OpenReadWrite(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
}

uint64_t BlockDeviceNumber(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
  return st.st_rdev;
}

UniqueFd OpenDeviceExclusive(const fs::path& path, int* error) {
  // O_EXCL without O_CREAT: for a block device it claims the device exclusively; other files
  // open normally.
  // A device is written only as the node chosen, never through a link at that name.
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!fd) {
    if (error != nullptr) *error = errno;
    return fd;
  }
  const FileKind kind = KindOfOpenFile(fd.get());
  if (kind != FileKind::Regular && kind != FileKind::BlockDevice) {
    if (error != nullptr) *error = EINVAL;
    return UniqueFd();
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

namespace {

// A symbolic link `link` found in the folder `folder` that a program must not follow: the folder
// is sticky and others may write to it, and the link belongs neither to this process's user nor
// to the folder's owner.
bool PlantedLink(const struct stat& folder, const struct stat& link) {
  return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0 && link.st_uid != ::geteuid() &&
         link.st_uid != folder.st_uid;
}

// The folder that holds `path`, reached part by part so that a link planted on the way is seen
// (`refusal` becomes Link); `name` receives the last part. Invalid when a part cannot be reached.
UniqueFd OutputFolder(const fs::path& path, std::string& name, OutputRefusal& refusal) {
  name = path.filename().native();
  const fs::path parent = path.parent_path();
  UniqueFd folder(::open(parent.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (const fs::path& part : parent.relative_path()) {
    if (!folder) return folder;
    const std::string& step = part.native();
    if (step.empty() || step == ".") continue;
    struct stat link {}, here {};
    if (::fstatat(folder.get(), step.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode) &&
        ::fstat(folder.get(), &here) == 0 && PlantedLink(here, link)) {
      refusal = OutputRefusal::Link;
      return UniqueFd();
    }
    folder = UniqueFd(::openat(folder.get(), step.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  return folder;
}

// What stands at `name` in `folder`, a link taken as itself: None when nothing or a regular file.
OutputRefusal RefusalOfName(int folder, const std::string& name) {
  if (name.empty() || name == "." || name == "..") return OutputRefusal::NotRegular;
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return OutputRefusal::None;
  if (S_ISLNK(st.st_mode)) return OutputRefusal::Link;
  return S_ISREG(st.st_mode) ? OutputRefusal::None : OutputRefusal::NotRegular;
}

// Opens an output after the refusals every output passes; `keepContents`: open an existing file
// as it is, without creating or truncating it.
UniqueFd OpenCheckedOutput(const fs::path& path, std::span<const fs::path> inputs, const StorageProbe& probe,
                           bool keepContents, OutputRefusal* refusal) {
  OutputRefusal why = OutputRefusal::None;
  const auto refuse = [&](OutputRefusal reason) {
    if (refusal != nullptr) *refusal = reason;
    return UniqueFd();
  };
  if (refusal != nullptr) *refusal = OutputRefusal::None;
  std::string name;
  const UniqueFd folder = OutputFolder(path, name, why);
  if (why != OutputRefusal::None) return refuse(why);
  if (!folder) return UniqueFd();
  if ((why = RefusalOfName(folder.get(), name)) != OutputRefusal::None) return refuse(why);
  std::vector<StorageIdentity> inputIdentities;
  inputIdentities.reserve(inputs.size());
  for (const auto& input : inputs) inputIdentities.push_back(IdentifyStorage(input, probe));
  // Checked before opening, so that not even an empty file is created on an input's disk.
  if (SharesStorageWithAny(IdentifyStorage(path, probe), inputIdentities)) return refuse(OutputRefusal::OnInput);
  // Open without truncating first, so the check and the truncation act on the same file even
  // if a link was swapped in between (O_NOFOLLOW: a link swapped in is not followed);
  // O_NONBLOCK keeps a FIFO swapped in from blocking the open.
  UniqueFd fd(::openat(folder.get(), name.c_str(),
                       O_WRONLY | (keepContents ? 0 : O_CREAT) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666));
  if (!fd) return errno == ELOOP ? refuse(OutputRefusal::Link) : UniqueFd();
  struct stat out {};
  if (::fstat(fd.get(), &out) != 0) return UniqueFd();
  if (!S_ISREG(out.st_mode)) return refuse(OutputRefusal::NotRegular);
  if (SharesStorageWithAny(IdentifyStat(out, probe), inputIdentities)) return refuse(OutputRefusal::OnInput);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  // An empty file needs no truncation, and truncating one makes ext4 flush the whole output
  // when it is closed (its guard for files replaced by truncation): a large copy got several
  // times slower.
  if (!keepContents && out.st_size > 0 && ::ftruncate(fd.get(), 0) != 0) return UniqueFd();
  return fd;
}

}  // namespace

OutputRefusal RefusalOfOutput(const fs::path& path, std::span<const fs::path> inputs, const StorageProbe& probe) {
  OutputRefusal why = OutputRefusal::None;
  std::string name;
  const UniqueFd folder = OutputFolder(path, name, why);
  if (why != OutputRefusal::None) return why;
  // A folder that cannot be reached refuses nothing: creating the output fails there.
  if (folder && (why = RefusalOfName(folder.get(), name)) != OutputRefusal::None) return why;
  std::vector<StorageIdentity> inputIdentities;
  for (const auto& input : inputs) inputIdentities.push_back(IdentifyStorage(input, probe));
  return SharesStorageWithAny(IdentifyStorage(path, probe), inputIdentities) ? OutputRefusal::OnInput
                                                                             : OutputRefusal::None;
}

bool ReachedThroughLink(const fs::path& path) {
  OutputRefusal why = OutputRefusal::None;
  std::string name;
  const UniqueFd folder = OutputFolder(path, name, why);
  if (why == OutputRefusal::Link) return true;
  struct stat st {};
  return folder && !name.empty() && ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode);
}

UniqueFd CreateOutput(const fs::path& path, std::span<const fs::path> inputs, const StorageProbe& probe,
                      OutputRefusal* refusal) {
  return OpenCheckedOutput(path, inputs, probe, false, refusal);
}

UniqueFd OpenOutputKeeping(const fs::path& path, std::span<const fs::path> inputs, const StorageProbe& probe) {
  return OpenCheckedOutput(path, inputs, probe, true, nullptr);
}


bool CloseOutput(UniqueFd& fd) {
  if (!fd) return false;
  // The descriptor is gone after close whatever it returns, EINTR included, so never retry.
  return ::close(fd.release()) == 0;
}

UniqueFd CreateExclusive(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
}

UniqueFd CreateUnnamedTemporary(const fs::path& folder) {
  return UniqueFd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}

int64_t ModificationTime(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mtime : 0;
}

bool SameOutput(const fs::path& a, const fs::path& b) {
  struct stat sa {}, sb {};
  const bool hasA = ::stat(a.c_str(), &sa) == 0, hasB = ::stat(b.c_str(), &sb) == 0;
  if (hasA || hasB) return hasA && hasB && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  if (a.filename().empty() || a.filename() != b.filename()) return false;
  const fs::path folderA = a.has_parent_path() ? a.parent_path() : fs::path("."),
                 folderB = b.has_parent_path() ? b.parent_path() : fs::path(".");
  return ::stat(folderA.c_str(), &sa) == 0 && ::stat(folderB.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

int64_t ReadScattered(int fd, std::span<const iovec> parts, int64_t offset) {
  for (;;) {
    const ssize_t n = ::preadv(fd, parts.data(), static_cast<int>(parts.size()), offset);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

int64_t DirectReadAlignment(int fd, bool* blockDevice) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  if (blockDevice != nullptr) *blockDevice = S_ISBLK(st.st_mode);
  if (S_ISBLK(st.st_mode)) {
    int size = 0;
    return ::ioctl(fd, BLKSSZGET, &size) == 0 && size > 0 ? size : -1;
  }
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN) != 0)
    return sx.stx_dio_offset_align;
  return -1;
}

bool SetDirectIo(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

void AdviseNoReadAhead(int fd) { ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM); }

void AdviseWillNeed(int fd, int64_t offset, int64_t length) { ::posix_fadvise(fd, offset, length, POSIX_FADV_WILLNEED); }

int64_t ReadAt(int fd, void* buffer, size_t size, int64_t offset) {
  size_t done = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (done < size) {
    const ssize_t n = ::pread(fd, bytes + done, size - done, offset + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t ReadFull(int fd, void* buffer, size_t size) {
  size_t done = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (done < size) {
    const ssize_t n = ::read(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool WriteFull(int fd, const void* buffer, size_t size) {
  const auto* bytes = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAllAt(int fd, const void* buffer, size_t size, int64_t offset) {
  const auto* bytes = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, bytes, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

int64_t FileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
    return static_cast<int64_t>(bytes);
  }
  return static_cast<int64_t>(st.st_size);
}

int64_t RegularFileSize(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool MoveReplace(const fs::path& from, const fs::path& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

MoveResult MoveNoReplace(const fs::path& from, const fs::path& to) {
#ifdef SYS_renameat2
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return MoveResult::Moved;
  if (errno == EEXIST) return MoveResult::TargetExists;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return MoveResult::Failed;
#endif
  // link() never replaces an existing name, so it gives the same guarantee.
  if (::link(from.c_str(), to.c_str()) != 0) return errno == EEXIST ? MoveResult::TargetExists : MoveResult::Failed;
  if (::unlink(from.c_str()) != 0) {
    ::unlink(to.c_str());
    return MoveResult::Failed;
  }
  return MoveResult::Moved;
}

bool DeleteFile(const fs::path& path) { return ::unlink(path.c_str()) == 0; }

bool RemoveFolder(const fs::path& path) { return ::rmdir(path.c_str()) == 0; }

void ResetAttributes(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
  if ((st.st_mode & S_IWUSR) == 0) ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

bool CreateFolders(const fs::path& path, unsigned mode) {
  if (path.empty()) return false;
  if (IsFolder(path)) return true;
  const fs::path parent = path.parent_path();
  if (!parent.empty() && parent != path && !IsFolder(parent)) CreateFolders(parent, mode);
  if (::mkdir(path.c_str(), mode) == 0) return true;
  return IsFolder(path);
}

FileKind KindOfMode(unsigned mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Folder;
  if (S_ISBLK(mode)) return FileKind::BlockDevice;
  if (S_ISSOCK(mode)) return FileKind::Socket;
  return FileKind::Other;
}

FileKind KindOfOpenFile(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? KindOfMode(st.st_mode) : FileKind::Missing;
}

FileKind KindOfPath(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? KindOfMode(st.st_mode) : FileKind::Missing;
}

bool SetFileLength(int fd, int64_t length) {
  if (length < 0) return false;
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0)
    if (errno != EINTR) return false;
  return true;
}

bool ReplaceFileBelow(const fs::path& base, const fs::path& relative, const std::function<bool(int fd)>& fill,
                      unsigned folderMode) {
  UniqueFd folder(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return folder && ReplaceFileBelowAt(folder.get(), relative, fill, folderMode);
}

bool ReplaceFileBelowAt(int baseFd, const fs::path& relative, const std::function<bool(int fd)>& fill,
                        unsigned folderMode) {
  std::vector<std::string> parts;
  for (const auto& part : relative) {
    const std::string& name = part.native();
    if (name.empty() || name == "/" || name == "." || name == "..") return false;
    parts.push_back(name);
  }
  if (parts.empty() || relative.is_absolute()) return false;

  UniqueFd folder(::openat(baseFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return false;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (::mkdirat(folder.get(), parts[i].c_str(), folderMode) != 0 && errno != EEXIST) return false;
    UniqueFd next(::openat(folder.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return false;
    folder = std::move(next);
  }

  const std::string& name = parts.back();
  const int dir = folder.get();
  // A plain file with no other link is overwritten in place and cut to its new length afterwards:
  // neither a truncation to zero nor a rename over the old file, both of which make ext4 write
  // the data out at once, which costs milliseconds per file. Anything else standing at the name
  // is removed first and the file created afresh, never following a link.
  UniqueFd out(::openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (out && (::fstat(out.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) out.reset();
  if (!out) {
    if (::unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) return false;
    out.reset(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) return false;
  }
  const bool written = fill(out.get());
  const off_t end = written ? ::lseek(out.get(), 0, SEEK_CUR) : -1;
  if (end < 0 || !SetFileLength(out.get(), end)) {
    out.reset();
    ::unlinkat(dir, name.c_str(), 0);
    return false;
  }
  return true;
}

bool IsFolder(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool ReplaceFileAtomicallyAt(int folderFd, const std::string& name, std::string_view contents) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  std::string temporary;
  UniqueFd fd;
  for (int attempt = 0; attempt < 16 && !fd; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%012llx", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    temporary = "." + name + suffix;
    fd.reset(::openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd && errno != EEXIST) return false;
  }
  if (!fd) return false;
  const bool written = WriteFull(fd.get(), contents.data(), contents.size()) && ::fsync(fd.get()) == 0 && CloseOutput(fd);
  if (!written || ::renameat(folderFd, temporary.c_str(), folderFd, name.c_str()) != 0) {
    ::unlinkat(folderFd, temporary.c_str(), 0);
    return false;
  }
  ::fsync(folderFd);
  return true;
}

bool SyncData(int fd) { return ::fdatasync(fd) == 0; }

void StartWriteback(int fd, int64_t offset, int64_t size) {
  (void)::sync_file_range(fd, offset, size, SYNC_FILE_RANGE_WRITE);
}

Access ReadWriteAccess(const fs::path& path) {
  if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0) return Access::Allowed;
  return errno == EACCES || errno == EPERM ? Access::Denied : Access::Unknown;
}

}  // namespace brenvik
