#include "platform/ReadOnlyFileMount.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#if BRENVIK_HAVE_FUSE
#define FUSE_USE_VERSION 31
#include <fuse.h>
#endif

namespace brenvik {

namespace fs = std::filesystem;

#if BRENVIK_HAVE_FUSE
namespace {

const ReadOnlyFileMount& Self() { return *static_cast<const ReadOnlyFileMount*>(fuse_get_context()->private_data); }

bool IsServedFile(const char* path) { return path[0] == '/' && Self().name() == path + 1; }

void* Init(fuse_conn_info* connection, fuse_config* config) {
  // The file never changes while mounted: the kernel may keep what it read and read ahead.
  config->kernel_cache = 1;
  config->entry_timeout = config->attr_timeout = 3600;
  connection->max_readahead = 1 << 20;
  connection->max_read = 1 << 19;
  // Bytes that lie unchanged in a member go to the reader without a copy through this process.
  if ((connection->capable & FUSE_CAP_SPLICE_WRITE) != 0) connection->want |= FUSE_CAP_SPLICE_WRITE;
  if ((connection->capable & FUSE_CAP_SPLICE_MOVE) != 0) connection->want |= FUSE_CAP_SPLICE_MOVE;
  return fuse_get_context()->private_data;
}

int GetAttributes(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  if (!IsServedFile(path)) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = Self().size();
  st->st_blksize = 1 << 16;
  st->st_blocks = (Self().size() + 511) / 512;
  return 0;
}

int ReadFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, Self().name().c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* info) {
  if (!IsServedFile(path)) return -ENOENT;
  if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  info->keep_cache = 1;
  return 0;
}

// The buffers of a reply, freed by the library (fuse_free_buf: memory buffers and the vector).
fuse_bufvec* NewBuffers(size_t count) {
  const size_t bytes = sizeof(fuse_bufvec) + (std::max<size_t>(count, 1) - 1) * sizeof(fuse_buf);
  auto* buffers = static_cast<fuse_bufvec*>(std::calloc(1, bytes));
  if (buffers != nullptr) buffers->count = count;
  return buffers;
}

int ReadBuffers(const char* path, fuse_bufvec** out, size_t size, off_t offset, fuse_file_info*) {
  if (!IsServedFile(path)) return -ENOENT;
  if (offset < 0) return -EINVAL;
  size = std::min<size_t>(size, INT_MAX);
  thread_local std::vector<ReadOnlyFileMount::FilePiece> pieces;
  pieces.clear();
  if (Self().locate(offset, size, pieces)) {
    fuse_bufvec* buffers = NewBuffers(pieces.size());
    if (buffers == nullptr) return -ENOMEM;
    for (size_t i = 0; i < pieces.size(); ++i) {
      buffers->buf[i].size = pieces[i].size;
      buffers->buf[i].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
      buffers->buf[i].fd = pieces[i].fd;
      buffers->buf[i].pos = pieces[i].position;
    }
    *out = buffers;
    return 0;
  }
  fuse_bufvec* buffers = NewBuffers(1);
  void* memory = std::malloc(std::max<size_t>(size, 1));
  if (buffers == nullptr || memory == nullptr) {
    std::free(buffers);
    std::free(memory);
    return -ENOMEM;
  }
  const int64_t got = Self().read(static_cast<char*>(memory), size, offset);
  if (got < 0) {
    std::free(buffers);
    std::free(memory);
    return -EIO;
  }
  buffers->buf[0].mem = memory;
  buffers->buf[0].size = static_cast<size_t>(got);
  *out = buffers;
  return 0;
}

}  // namespace
#endif

ReadOnlyFileMount::ReadOnlyFileMount(const fs::path& mountPoint, std::string name, int64_t size, ReadFunction read,
                                     LocateFunction locate)
    : mountPoint_(mountPoint), name_(std::move(name)), size_(size), read_(std::move(read)), locate_(std::move(locate)) {
#if BRENVIK_HAVE_FUSE
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    failure_ = "/dev/fuse is missing or not usable";
    return;
  }
  static const fuse_operations operations = [] {
    fuse_operations o{};
    o.init = Init;
    o.getattr = GetAttributes;
    o.readdir = ReadFolder;
    o.open = Open;
    o.read_buf = ReadBuffers;
    return o;
  }();
  char program[] = "brenvik", option[] = "-o", options[] = "ro,max_read=524288,fsname=brenvik-raid,subtype=brenvik";
  char* argv[] = {program, option, options, nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, argv);
  fuse_ = fuse_new(&args, &operations, sizeof operations, this);
  fuse_opt_free_args(&args);
  if (fuse_ == nullptr) {
    failure_ = "the FUSE file system could not be made";
    return;
  }
  if (fuse_mount(fuse_, mountPoint_.c_str()) != 0) {
    fuse_destroy(fuse_);
    fuse_ = nullptr;
    failure_ = "the system refused the mount";
    return;
  }
  loop_ = std::thread([this] {
    fuse_loop_mt(fuse_, 0);
    loopEnded_ = true;
  });
  // The kernel answers the first look-up only once the loop runs.
  struct stat st {};
  for (int i = 0; i < 500 && ::stat(file().c_str(), &st) != 0; ++i) ::usleep(10000);
#else
  failure_ = "this build has no FUSE (libfuse3)";
#endif
}

ReadOnlyFileMount::~ReadOnlyFileMount() {
#if BRENVIK_HAVE_FUSE
  if (fuse_ == nullptr) return;
  fuse_exit(fuse_);
  // Unmounting ends the session in the kernel once nobody holds the file open, and the loop's
  // wait for the next request returns. Only if that does not happen soon (a user without the
  // right to unmount, a loop device still over the file) is the session closed under the loop.
  if (!loopEnded_) ::umount2(mountPoint_.c_str(), MNT_DETACH);
  for (int i = 0; i < 300 && !loopEnded_; ++i) ::usleep(10000);
  const bool ended = loopEnded_;
  if (!ended) fuse_unmount(fuse_);
  if (loop_.joinable()) loop_.join();
  if (ended) fuse_unmount(fuse_);
  fuse_destroy(fuse_);
#endif
}

}  // namespace brenvik
