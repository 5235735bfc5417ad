#include "platform/DirectoryWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace brenvik {
namespace {

class Walker {
 public:
  Walker(const WalkOptions& options, const WalkVisitor& visitor) : options_(options), visitor_(visitor) {}

  bool stopped() const {
    return stopped_ || (options_.stopFlag != nullptr && options_.stopFlag->load(std::memory_order_relaxed) != 0);
  }

  // Walks the open folder `dirFd` whose path is in path_. Takes ownership of dirFd.
  void walkFolder(int dirFd) {
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
      ::close(dirFd);
      return;
    }
    const size_t baseLength = path_.size();
    while (!stopped()) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) break;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;

      unsigned char type = entry->d_type;
      struct stat st {};
      bool haveStat = false;
      if (type == DT_UNKNOWN) {
        if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        haveStat = true;
        type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
      }
      const bool isOther = type != DT_REG && type != DT_DIR;
      if (isOther && !options_.reportOthers) continue;

      path_.resize(baseLength);
      if (path_.empty() || path_.back() != '/') path_ += '/';
      const size_t nameOffset = path_.size();
      path_ += name;
      const std::string_view fullPath(path_);
      const std::string_view leaf = fullPath.substr(nameOffset);

      if (isOther) {
        if (visitor_({WalkEntryKind::Other, fullPath, leaf, -1, ::dirfd(dir)}) == WalkControl::Stop) stopped_ = true;
        continue;
      }

      if (type == DT_REG) {
        int64_t size = -1;
        if (options_.wantSize) {
          if (!haveStat && ::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
          if (!S_ISREG(st.st_mode)) continue;
          size = static_cast<int64_t>(st.st_size);
        }
        if (visitor_({WalkEntryKind::File, fullPath, leaf, size, ::dirfd(dir)}) == WalkControl::Stop) stopped_ = true;
        continue;
      }

      const WalkControl control = visitor_({WalkEntryKind::Folder, fullPath, leaf, -1, ::dirfd(dir)});
      if (control == WalkControl::Stop) { stopped_ = true; break; }
      if (control == WalkControl::SkipFolder) continue;
      const int childFd = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childFd >= 0) walkFolder(childFd);
      path_.resize(nameOffset + std::strlen(name));
      if (options_.reportFolderLeft && !stopped_) {
        const std::string_view again(path_);
        if (visitor_({WalkEntryKind::FolderLeft, again, again.substr(nameOffset), -1, ::dirfd(dir)}) == WalkControl::Stop)
          stopped_ = true;
      }
    }
    path_.resize(baseLength);
    ::closedir(dir);
  }

  std::string path_;

 private:
  const WalkOptions& options_;
  const WalkVisitor& visitor_;
  bool stopped_ = false;
};

}  // namespace

bool WalkTree(const std::filesystem::path& root, const WalkOptions& options, const WalkVisitor& visitor) {
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  Walker walker(options, visitor);
  walker.path_ = root.native();
  walker.walkFolder(fd);
  return !walker.stopped();
}

}  // namespace brenvik
