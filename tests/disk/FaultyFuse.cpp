#define FUSE_USE_VERSION 31
#include "tests/disk/FaultyFuse.h"

#include <fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace brenvik::testing {

namespace fs = std::filesystem;

namespace {

constexpr const char* kImageName = "/disk.img";

FaultyImageMount& Self() { return *static_cast<FaultyImageMount*>(fuse_get_context()->private_data); }

void* Init(fuse_conn_info*, fuse_config* config) {
  config->direct_io = 1;  // every read reaches the file system as the reader made it
  config->kernel_cache = 0;
  config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
  return fuse_get_context()->private_data;
}

int GetAttributes(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, kImageName) != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = Self().size();
  return 0;
}

int ReadFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, kImageName + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* info) {
  if (std::strcmp(path, kImageName) != 0) return -ENOENT;
  if ((info->flags & O_ACCMODE) != O_RDONLY) return -EACCES;
  info->direct_io = 1;
  return 0;
}

int Read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  if (std::strcmp(path, kImageName) != 0) return -ENOENT;
  return Self().read(buffer, size, offset);
}

}  // namespace

FaultyImageMount::FaultyImageMount(const fs::path& mountPoint, std::string image, int sectorSize,
                                   std::set<int64_t> badSectors, std::set<int64_t> healingSectors)
    : mountPoint_(mountPoint), image_(std::move(image)), sectorSize_(sectorSize), bad_(std::move(badSectors)),
      healing_(std::move(healingSectors)) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    failure_ = "/dev/fuse is missing or not usable";
    return;
  }
  std::error_code error;
  fs::create_directories(mountPoint_, error);
  static fuse_operations operations = [] {
    fuse_operations o{};
    o.init = Init;
    o.getattr = GetAttributes;
    o.readdir = ReadFolder;
    o.open = Open;
    o.read = Read;
    return o;
  }();
  char name[] = "brenvik-faulty-image";
  char* argv[] = {name, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  fuse_ = fuse_new(&args, &operations, sizeof operations, this);
  fuse_opt_free_args(&args);  // fuse_new adds options of its own to them
  if (fuse_ == nullptr) {
    failure_ = "fuse_new failed";
    return;
  }
  if (fuse_mount(fuse_, mountPoint_.c_str()) != 0) {
    fuse_destroy(fuse_);
    fuse_ = nullptr;
    failure_ = "mounting the FUSE file system was refused";
    return;
  }
  loop_ = std::thread([this] {
    fuse_loop(fuse_);
    loopEnded_ = true;
  });
  // The kernel answers the first stat only once the loop runs.
  struct stat st {};
  for (int i = 0; i < 500 && ::stat(file().c_str(), &st) != 0; ++i) ::usleep(10000);
}

FaultyImageMount::~FaultyImageMount() {
  if (fuse_ == nullptr) return;
  fuse_exit(fuse_);
  // Unmounting ends the session in the kernel, and the loop's wait for the next request returns.
  // Only if that does not happen is the session's device closed under the waiting loop.
  ::umount2(mountPoint_.c_str(), MNT_DETACH);
  for (int i = 0; i < 500 && !loopEnded_; ++i) ::usleep(10000);
  const bool ended = loopEnded_;
  if (!ended) fuse_unmount(fuse_);
  if (loop_.joinable()) loop_.join();
  if (ended) fuse_unmount(fuse_);  // releases the session's device
  fuse_destroy(fuse_);
}

int FaultyImageMount::read(char* buffer, size_t length, int64_t offset) {
  {
    std::lock_guard guard(mutex_);
    reads_.push_back({offset, static_cast<int64_t>(length)});
  }
  if (afterRead) afterRead();
  if (offset >= size()) return 0;
  const int64_t n = std::min<int64_t>(static_cast<int64_t>(length), size() - offset);
  const int64_t first = offset / sectorSize_, end = (offset + n + sectorSize_ - 1) / sectorSize_;
  if (auto bad = bad_.lower_bound(first); bad != bad_.end() && *bad < end) return -EIO;
  if (auto healing = healing_.lower_bound(first); healing != healing_.end() && *healing < end) {
    if (end - first == 1) healing_.erase(healing);  // this single read fails, the next one reads
    return -EIO;
  }
  std::memcpy(buffer, image_.data() + offset, static_cast<size_t>(n));
  return static_cast<int>(n);
}

std::vector<std::pair<int64_t, int64_t>> FaultyImageMount::reads() {
  std::lock_guard guard(mutex_);
  return reads_;
}

void FaultyImageMount::clearReads() {
  std::lock_guard guard(mutex_);
  reads_.clear();
}

}  // namespace brenvik::testing
