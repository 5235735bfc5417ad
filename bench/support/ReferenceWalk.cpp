#include "bench/support/ReferenceWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brenvik::bench {

namespace {

// Folders waiting to be read; a thread that finds the queue empty waits until every busy thread
// is done, so the walk ends when the queue is empty and nobody can add to it.
class FolderQueue {
 public:
  explicit FolderQueue(int rootFd) { folders_.push_back(rootFd); }
  int Take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !folders_.empty() || busy_ == 0; });
    if (folders_.empty()) return -1;
    ++busy_;
    const int fd = folders_.front();
    folders_.pop_front();
    return fd;
  }
  void Add(int fd) {
    std::lock_guard lock(mutex_);
    folders_.push_back(fd);
    ready_.notify_one();
  }
  void Done() {
    std::lock_guard lock(mutex_);
    --busy_;
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<int> folders_;
  int busy_ = 0;
};

int64_t WalkFromQueue(FolderQueue& queue, size_t readBytes) {
  std::vector<char> entries(64 * 1024), bytes(readBytes > 0 ? readBytes : 1);
  int64_t files = 0;
  for (int dirFd; (dirFd = queue.Take()) >= 0; queue.Done()) {
    for (ssize_t filled; (filled = ::getdents64(dirFd, entries.data(), entries.size())) > 0;) {
      for (ssize_t at = 0; at < filled;) {
        const auto* entry = reinterpret_cast<const dirent64*>(entries.data() + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (entry->d_type == DT_DIR) {
          const int child = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
          if (child >= 0) queue.Add(child);
        } else if (entry->d_type == DT_REG) {
          const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
          if (fd < 0) continue;
          if (::read(fd, bytes.data(), readBytes) >= 0) ++files;
          ::close(fd);
        }
      }
    }
    ::close(dirFd);
  }
  return files;
}

}  // namespace

ReferenceWalkResult ReferenceWalk(const std::filesystem::path& root, int threads, size_t readBytes) {
  const auto start = std::chrono::steady_clock::now();
  const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return {};
  FolderQueue queue(rootFd);
  std::vector<int64_t> counts(static_cast<size_t>(threads), 0);
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back([&, i] { counts[static_cast<size_t>(i)] = WalkFromQueue(queue, readBytes); });
  for (std::thread& thread : pool) thread.join();
  ReferenceWalkResult result;
  for (const int64_t count : counts) result.files += count;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

bool DropPageCache() {
  ::sync();
  std::ofstream drop("/proc/sys/vm/drop_caches");
  drop << "3\n";
  drop.flush();
  return static_cast<bool>(drop);
}

void MakeFlatTree(const std::filesystem::path& root, int files, int perFolder, size_t size) {
  std::string bytes(size, '\0');
  for (int i = 0; i < files; ++i) {
    const std::filesystem::path folder = root / ("d" + std::to_string(i / perFolder));
    if (i % perFolder == 0) std::filesystem::create_directories(folder);
    for (size_t b = 0; b < size; ++b) bytes[b] = static_cast<char>('a' + (i + b) % 26);
    std::ofstream(folder / ("f" + std::to_string(i) + ".bin"), std::ios::binary).write(bytes.data(), bytes.size());
  }
}

}  // namespace brenvik::bench
