#include "platform/NoFollow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace brenvik {

namespace {

UniqueFd KeepRegular(UniqueFd fd, int64_t& size) {
  size = 0;
  if (!fd) return fd;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  size = static_cast<int64_t>(st.st_size);
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

UniqueFd OpenFolder(const fs::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

UniqueFd OpenFolderBelow(int baseFd, std::string_view relative, bool createMissing) {
  UniqueFd current(::fcntl(baseFd, F_DUPFD_CLOEXEC, 0));
  while (current && !relative.empty()) {
    const size_t slash = relative.find('/');
    const std::string part(relative.substr(0, slash));
    relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
    if (part.empty() || part == "." || part == "..") return UniqueFd();
    if (createMissing && ::mkdirat(current.get(), part.c_str(), 0777) != 0 && errno != EEXIST) return UniqueFd();
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

bool MoveRegularFileAt(int fromFolderFd, std::string_view fromName, int toFolderFd, std::string_view toName) {
  if (!IsRegularFileAt(fromFolderFd, fromName) || toName.empty()) return false;
  return ::renameat(fromFolderFd, std::string(fromName).c_str(), toFolderFd, std::string(toName).c_str()) == 0;
}

}  // namespace brenvik
