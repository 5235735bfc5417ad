#include "platform/DirectoryWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace brenvik {
namespace {

// Bytes of folder entries fetched per system call. Larger than the C library's readdir buffer,
// so a folder of a thousand recovered files is read in one call.
constexpr size_t kEntryBufferBytes = 64 * 1024;

class Walker {
 public:
  Walker(const WalkOptions& options, const WalkVisitor& visitor) : options_(options), visitor_(visitor) {}

  bool stopped() const {
    return stopped_ || (options_.stopFlag != nullptr && options_.stopFlag->load(std::memory_order_relaxed) != 0);
  }

  // Walks the open folder `dirFd` whose path is in path_. Takes ownership of dirFd.
  void walkFolder(int dirFd, size_t depth) {
    // A subfolder is walked while its parent's entries wait in the parent's buffer: one per depth.
    if (buffers_.size() <= depth) buffers_.push_back(std::make_unique<Entries>());
    Entries& entries = *buffers_[depth];
    const size_t baseLength = path_.size();
    if (path_.empty() || path_.back() != '/') path_ += '/';
    const size_t nameOffset = path_.size();
    while (!stopped()) {
      const ssize_t filled = ::getdents64(dirFd, entries.bytes, sizeof entries.bytes);
      if (filled <= 0) break;
      for (ssize_t at = 0; at < filled && !stopped();) {
        const auto* entry = reinterpret_cast<const dirent64*>(entries.bytes + at);
        at += entry->d_reclen;
        if (!visit(dirFd, entry->d_name, entry->d_type, nameOffset, depth)) break;
      }
    }
    path_.resize(baseLength);
    ::close(dirFd);
  }

  std::string path_;

 private:
  struct Entries {
    alignas(dirent64) char bytes[kEntryBufferBytes];
  };

  // Reports one entry of the folder `dirFd` (and walks it when it is a folder); false when the
  // walk of this folder ends here.
  bool visit(int dirFd, const char* name, unsigned char type, size_t nameOffset, size_t depth) {
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return true;

    struct stat st {};
    bool haveStat = false;
    if (type == DT_UNKNOWN) {
      if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
      haveStat = true;
      type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
    }
    const bool isOther = type != DT_REG && type != DT_DIR;
    if (isOther && !options_.reportOthers) return true;

    path_.resize(nameOffset);
    path_ += name;
    const std::string_view fullPath(path_);
    const std::string_view leaf = fullPath.substr(nameOffset);

    if (isOther) {
      if (visitor_({WalkEntryKind::Other, fullPath, leaf, -1, dirFd}) == WalkControl::Stop) stopped_ = true;
      return true;
    }

    if (type == DT_REG) {
      int64_t size = -1;
      if (options_.wantSize) {
        if (!haveStat && ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
        if (!S_ISREG(st.st_mode)) return true;
        size = static_cast<int64_t>(st.st_size);
      }
      if (visitor_({WalkEntryKind::File, fullPath, leaf, size, dirFd}) == WalkControl::Stop) stopped_ = true;
      return true;
    }

    if (kJournalFolderName == leaf) return true;
    const WalkControl control = visitor_({WalkEntryKind::Folder, fullPath, leaf, -1, dirFd});
    if (control == WalkControl::Stop) {
      stopped_ = true;
      return false;
    }
    if (control == WalkControl::SkipFolder) return true;
    const size_t folderEnd = path_.size();
    const int childFd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (childFd >= 0) walkFolder(childFd, depth + 1);
    path_.resize(folderEnd);
    if (options_.reportFolderLeft && !stopped_) {
      const std::string_view again(path_);
      if (visitor_({WalkEntryKind::FolderLeft, again, again.substr(nameOffset), -1, dirFd}) == WalkControl::Stop)
        stopped_ = true;
    }
    return true;
  }

  const WalkOptions& options_;
  const WalkVisitor& visitor_;
  std::vector<std::unique_ptr<Entries>> buffers_;
  bool stopped_ = false;
};

// Walks below the open folder `fd`, which the walk takes over.
bool WalkFromFolder(int fd, const std::filesystem::path& root, const WalkOptions& options, const WalkVisitor& visitor) {
  Walker walker(options, visitor);
  walker.path_ = root.native();
  walker.walkFolder(fd, 0);
  return !walker.stopped();
}

}  // namespace

bool WalkTree(const std::filesystem::path& root, const WalkOptions& options, const WalkVisitor& visitor) {
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  return WalkFromFolder(fd, root, options, visitor);
}

bool WalkOpenTree(int rootFd, const std::filesystem::path& rootPath, const WalkOptions& options,
                  const WalkVisitor& visitor) {
  // A fresh descriptor of the same folder keeps its own read position and lets the walk close it.
  const int fd = ::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  return WalkFromFolder(fd, rootPath, options, visitor);
}

}  // namespace brenvik
