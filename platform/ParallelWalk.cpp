#include "platform/ParallelWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/FileOps.h"

namespace brenvik {

std::string WalkedFile::Path() const {
  std::string path;
  path.reserve(folderPath.size() + 1 + name.size());
  path += folderPath;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

int DefaultWalkWorkers() {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return std::clamp(2 * cores, 16, 64);
}

namespace walk_detail {

struct Folder {
  UniqueFd fd;
  std::string path;
  std::atomic<int>* liveCount;
  Folder(int openFd, std::string folderPath, std::atomic<int>* live)
      : fd(openFd), path(std::move(folderPath)), liveCount(live) {
    liveCount->fetch_add(1, std::memory_order_relaxed);
  }
  ~Folder() { liveCount->fetch_sub(1, std::memory_order_relaxed); }
};

Batch::~Batch() = default;

void Batch::Add(std::shared_ptr<const Folder> folder, std::string_view name) {
  folders_.push_back(std::move(folder));
  names_.emplace_back(static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(name.size()));
  text_.append(name);
  text_.push_back('\0');
}

WalkedFile Batch::File(size_t i) const {
  const Folder& folder = *folders_[i];
  return {folder.fd.get(), folder.path, std::string_view(text_.data() + names_[i].first, names_[i].second)};
}

namespace {

constexpr size_t kFilesPerBatch = 64;
constexpr size_t kBatchesInFlight = 256;  // at most 16,384 files listed but not yet emitted
constexpr int kFoldersOpen = 256;         // folders held open for listed files, beyond the walk's own path
constexpr size_t kEntryBufferBytes = 64 * 1024;
constexpr auto kStopPoll = std::chrono::milliseconds(20);

class Walk {
 public:
  Walk(const ParallelWalkOptions& options, BatchFactory& factory) : options_(options), factory_(factory) {}

  bool Run(const std::filesystem::path& root) {
    const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return false;
    auto rootFolder = std::make_shared<const Folder>(rootFd, root.native(), &liveFolders_);
    const int workers = options_.workers > 0 ? options_.workers : DefaultWalkWorkers();
    std::vector<std::thread> pool;
    for (int i = 0; i < workers; ++i) pool.emplace_back([this] { Work(); });
    std::thread lister([this, folder = std::move(rootFolder)]() mutable {
      ListFolder(std::move(folder), 0);
      Submit();
      std::lock_guard lock(mutex_);
      listingDone_ = true;
      changed_.notify_all();
    });

    const bool complete = EmitInOrder();
    stop_ = true;
    {
      std::lock_guard lock(mutex_);
      changed_.notify_all();
    }
    lister.join();
    for (std::thread& worker : pool) worker.join();
    return complete;
  }

 private:
  bool StopAsked() const { return stopCheck_(); }

  // Waits on the shared condition, waking now and then to see the caller's stop flag.
  template <class Ready>
  void WaitFor(std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready() && !StopAsked()) changed_.wait_for(lock, kStopPoll);
  }

  // --- listing (one thread) ---

  void ListFolder(std::shared_ptr<const Folder> folder, size_t depth) {
    if (buffers_.size() <= depth) buffers_.push_back(std::make_unique<Entries>());
    Entries& entries = *buffers_[depth];
    while (!StopAsked()) {
      Submit();  // files already listed must not wait behind a read that may wait on the disk
      const ssize_t filled = ::getdents64(folder->fd.get(), entries.bytes, sizeof entries.bytes);
      if (filled <= 0) return;
      for (ssize_t at = 0; at < filled && !StopAsked();) {
        const auto* entry = reinterpret_cast<const dirent64*>(entries.bytes + at);
        at += entry->d_reclen;
        ListEntry(folder, entry->d_name, entry->d_type, depth);
      }
    }
  }

  void ListEntry(const std::shared_ptr<const Folder>& folder, const char* name, unsigned char type, size_t depth) {
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(folder->fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
      type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
    }
    if (type == DT_REG) {
      if (!current_) current_ = factory_.Make();
      current_->Add(folder, name);
      if (current_->size() == kFilesPerBatch) Submit();
      return;
    }
    if (type != DT_DIR || kJournalFolderName == name) return;
    WaitForFolderRoom(depth + 1);
    const int childFd = ::openat(folder->fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (childFd < 0) return;
    std::string path = folder->path;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    ListFolder(std::make_shared<const Folder>(childFd, std::move(path), &liveFolders_), depth + 1);
  }

  // Listed files keep their folders open until they are emitted: before opening another folder,
  // wait until those (beyond the `depth` folders of the walk's own path) are few enough.
  void WaitForFolderRoom(size_t depth) {
    if (liveFolders_.load(std::memory_order_relaxed) - static_cast<int>(depth) < kFoldersOpen) return;
    Submit();
    std::unique_lock lock(mutex_);
    WaitFor(lock, [&] {
      return inFlight_ == 0 || liveFolders_.load(std::memory_order_relaxed) - static_cast<int>(depth) < kFoldersOpen;
    });
  }

  // Hands the batch being filled to the workers, waiting while the window is full.
  void Submit() {
    if (!current_) return;
    std::unique_lock lock(mutex_);
    WaitFor(lock, [&] { return inFlight_ < kBatchesInFlight; });
    if (StopAsked()) {
      current_.reset();
      return;
    }
    ++inFlight_;
    toDecide_.emplace_back(submitted_++, std::move(current_));
    changed_.notify_all();
  }

  // --- deciding (the pool) ---

  void Work() {
    for (;;) {
      std::unique_lock lock(mutex_);
      WaitFor(lock, [&] { return !toDecide_.empty() || listingDone_; });
      if (StopAsked() || toDecide_.empty()) return;
      auto [index, batch] = std::move(toDecide_.front());
      toDecide_.pop_front();
      lock.unlock();
      batch->Decide(stopCheck_);
      lock.lock();
      decided_.emplace(index, std::move(batch));
      changed_.notify_all();
    }
  }

  // --- emitting (the calling thread) ---

  bool EmitInOrder() {
    for (uint64_t next = 0;; ++next) {
      std::unique_ptr<Batch> batch;
      {
        std::unique_lock lock(mutex_);
        WaitFor(lock, [&] { return decided_.count(next) != 0 || (listingDone_ && next == submitted_); });
        if (StopAsked()) break;
        auto found = decided_.find(next);
        if (found == decided_.end()) return true;  // every listed file was emitted
        batch = std::move(found->second);
        decided_.erase(found);
      }
      const bool goOn = batch->Emit(stopCheck_);
      batch.reset();  // lets go of its folders
      {
        std::lock_guard lock(mutex_);
        --inFlight_;
        changed_.notify_all();
      }
      if (!goOn) break;
    }
    stop_ = true;
    return false;
  }

  struct Entries {
    alignas(dirent64) char bytes[kEntryBufferBytes];
  };

  const ParallelWalkOptions& options_;
  BatchFactory& factory_;
  std::atomic<bool> stop_{false};
  const StopCheck stopCheck_{&stop_, options_.stopFlag};
  std::atomic<int> liveFolders_{0};

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<uint64_t, std::unique_ptr<Batch>>> toDecide_;
  std::map<uint64_t, std::unique_ptr<Batch>> decided_;
  size_t inFlight_ = 0;
  uint64_t submitted_ = 0;
  bool listingDone_ = false;

  // Listing thread only.
  std::unique_ptr<Batch> current_;
  std::vector<std::unique_ptr<Entries>> buffers_;
};

}  // namespace

bool RunParallelWalk(const std::filesystem::path& root, const ParallelWalkOptions& options, BatchFactory& factory) {
  Walk walk(options, factory);
  return walk.Run(root);
}

}  // namespace walk_detail
}  // namespace brenvik
