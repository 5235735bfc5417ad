#pragma once
// Serves one read-only file through FUSE (libfuse3) in a folder, its bytes computed by the
// caller on each read, so that a volume that exists only as a computation (an assembled RAID set)
// can be opened by any program, loop-mounted or checked without a copy being made.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

struct fuse;

namespace brenvik {

class ReadOnlyFileMount {
 public:
  // Reads up to `length` bytes at `offset` into the buffer; the count read (0 at the end), or
  // -1 when the data cannot be read (the reader then sees an I/O error). Called on several of the
  // file system's threads at once.
  using ReadFunction = std::function<int64_t(char* buffer, size_t length, int64_t offset)>;
  // Where the bytes of a read lie unchanged in other open files, so that the kernel moves them to
  // the reader without a copy through this process (splice).
  struct FilePiece {
    int fd;
    int64_t position;
    size_t size;
  };
  // Fills `pieces` for up to `length` bytes at `offset` (fewer at the end); false when some of the
  // bytes must be computed, which `read` then does. Called on several threads at once.
  using LocateFunction = std::function<bool(int64_t offset, size_t length, std::vector<FilePiece>& pieces)>;

  // Mounts on `mountPoint` (an existing folder) a file system holding only the file `name`, of
  // `size` bytes, mode 0444: opens for writing are refused. failure() tells when that did not work.
  ReadOnlyFileMount(const std::filesystem::path& mountPoint, std::string name, int64_t size, ReadFunction read,
                    LocateFunction locate = nullptr);
  // Unmounts (lazily: a program that still holds the file open keeps reading it until it closes it).
  ~ReadOnlyFileMount();
  ReadOnlyFileMount(const ReadOnlyFileMount&) = delete;
  ReadOnlyFileMount& operator=(const ReadOnlyFileMount&) = delete;

  // Empty when mounted; otherwise why not (FUSE missing from this build or this machine, the
  // folder refused).
  const std::string& failure() const { return failure_; }
  std::filesystem::path file() const { return mountPoint_ / name_; }
  // True once the file system was unmounted from outside (fusermount3 -u, umount).
  bool ended() const { return loopEnded_; }

  // Called on the file system's threads.
  int64_t size() const { return size_; }
  const std::string& name() const { return name_; }
  int64_t read(char* buffer, size_t length, int64_t offset) const { return read_(buffer, length, offset); }
  bool locate(int64_t offset, size_t length, std::vector<FilePiece>& pieces) const {
    return locate_ && locate_(offset, length, pieces);
  }

 private:
  std::filesystem::path mountPoint_;
  std::string name_;
  int64_t size_;
  ReadFunction read_;
  LocateFunction locate_;
  std::string failure_;
  struct fuse* fuse_ = nullptr;
  std::thread loop_;
  std::atomic<bool> loopEnded_{false};
};

}  // namespace brenvik
