#pragma once
// A walk of a folder tree that decides about its files on several threads and hands the
// decisions back in the order a single-thread depth-first walk meets the files.
//
// One thread lists the folders (regular files and folders only; links, FIFOs, sockets and
// devices are never opened; the journal folder is not entered) and hands the files out in
// batches; a pool of workers runs `decide` on each file through its open folder; the calling
// thread runs `emitDecision` on each decision in walk order, as soon as every earlier file is
// decided. (Not `emit`: Qt defines that name as a macro, and pages include this header.)
// At most a fixed number of batches are between listing and emitting, so memory stays bounded
// whatever the tree's size, and no thread waits on another while there is work to take.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/DirectoryWalk.h"

namespace brenvik {

struct WalkedFile {
  int folderFd;                 // the open folder holding the file, for *at calls
  std::string_view folderPath;  // the folder's path: the root as given, then "/" + name per level
  std::string_view name;        // the file's name; name.data() is NUL-terminated
  std::string Path() const;     // folderPath + "/" + name
};

struct ParallelWalkOptions {
  int workers = 0;  // threads deciding about files; 0 = DefaultWalkWorkers()
  const std::atomic<int>* stopFlag = nullptr;  // nonzero ends the walk within a fraction of a second
};

// Enough threads for every core, and more so that files waiting on the disk do not leave a core
// idle: twice the core count, at least 16 (a cold disk keeps that many reads busy; a warm walk
// loses nothing by the threads that find no work), at most 64.
int DefaultWalkWorkers();

namespace walk_detail {

struct Folder;

// The walk's own stop (the emitter ended it) or the caller's flag.
struct StopCheck {
  const std::atomic<bool>* walk;
  const std::atomic<int>* caller;
  bool operator()() const {
    return walk->load(std::memory_order_relaxed) || (caller && caller->load(std::memory_order_relaxed) != 0);
  }
};

// Files listed in walk order, handed to one worker at a time and then to the emitting thread.
class Batch {
 public:
  virtual ~Batch();
  void Add(std::shared_ptr<const Folder> folder, std::string_view name);
  size_t size() const { return names_.size(); }
  WalkedFile File(size_t i) const;
  virtual void Decide(const StopCheck& stopped) = 0;
  virtual bool Emit(const StopCheck& stopped) = 0;  // false: the walk ends here

 private:
  std::vector<std::shared_ptr<const Folder>> folders_;  // per file (shared by the files of a folder)
  std::vector<std::pair<uint32_t, uint32_t>> names_;     // offset and length in text_
  std::string text_;                                     // the names, each NUL-terminated
};

class BatchFactory {
 public:
  virtual ~BatchFactory() = default;
  virtual std::unique_ptr<Batch> Make() = 0;
};

// Runs the walk; true when every file below `root` was emitted (false when the root cannot be
// opened or the walk stopped).
bool RunParallelWalk(const std::filesystem::path& root, const ParallelWalkOptions& options, BatchFactory& factory);

template <class DecideFn, class EmitFn>
class DecisionBatch final : public Batch {
 public:
  using Decision = decltype(std::declval<DecideFn&>()(std::declval<const WalkedFile&>()));
  DecisionBatch(DecideFn& decide, EmitFn& emitDecision) : decide_(decide), emit_(emitDecision) {}

  void Decide(const StopCheck& stopped) override {
    decisions_.reserve(size());
    for (size_t i = 0; i < size() && !stopped(); ++i) decisions_.push_back(decide_(File(i)));
  }
  bool Emit(const StopCheck& stopped) override {
    for (size_t i = 0; i < decisions_.size(); ++i) {
      if (stopped() || !emit_(File(i), std::move(decisions_[i]))) return false;
    }
    return decisions_.size() == size();
  }

 private:
  DecideFn& decide_;
  EmitFn& emit_;
  std::vector<Decision> decisions_;
};

template <class DecideFn, class EmitFn>
class DecisionFactory final : public BatchFactory {
 public:
  DecisionFactory(DecideFn& decide, EmitFn& emitDecision) : decide_(decide), emit_(emitDecision) {}
  std::unique_ptr<Batch> Make() override { return std::make_unique<DecisionBatch<DecideFn, EmitFn>>(decide_, emit_); }

 private:
  DecideFn& decide_;
  EmitFn& emit_;
};

}  // namespace walk_detail

// Walks below `root`: `decide(const WalkedFile&)` runs on the workers, for many files at once, and
// must be safe to call from several threads; it returns a movable decision.
// `emitDecision(const WalkedFile&, Decision&&)` runs on the calling thread, once per file in walk order,
// and returns false to end the walk. Returns true when every file was emitted.
template <class Decide, class Emit>
bool ParallelWalkFiles(const std::filesystem::path& root, const ParallelWalkOptions& options, Decide&& decide,
                       Emit&& emitDecision) {
  walk_detail::DecisionFactory<std::remove_reference_t<Decide>, std::remove_reference_t<Emit>> factory(decide,
                                                                                                     emitDecision);
  return walk_detail::RunParallelWalk(root, options, factory);
}

}  // namespace brenvik
