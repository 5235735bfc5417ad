#pragma once
// The copy's writer: one block at a time on a thread of its own.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

namespace brenvik::imaging {

// Writes one block at a time on a thread of its own, so the next block is read meanwhile.
// Without a thread (none could be started) it writes at once.
class BlockWriter {
 public:
  // `startWriteback`: hand every block to the disk at once, so that the flush a rescue map needs
  // before it may claim the blocks finds little left to wait for.
  BlockWriter(int fd, bool startWriteback) : fd_(fd), startWriteback_(startWriteback) {
    try {
      thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
    }
  }
  ~BlockWriter() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard guard(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  void start(const uint8_t* data, size_t size, int64_t offset) {
    if (!thread_.joinable()) {
      result_ = write(data, size, offset);
      return;
    }
    {
      std::lock_guard guard(mutex_);
      data_ = data;
      size_ = size;
      offset_ = offset;
      queued_ = true;
    }
    wake_.notify_all();
  }

  // Waits for the block started last; true when it was written completely.
  bool wait() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !queued_; });
    return result_;
  }

 private:
  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return queued_ || quit_; });
      if (quit_) return;
      lock.unlock();
      const bool written = write(data_, size_, offset_);
      lock.lock();
      result_ = written;
      queued_ = false;
      wake_.notify_all();
    }
  }

  bool write(const uint8_t* data, size_t size, int64_t offset) {
    if (!WriteAllAt(fd_, data, size, offset)) return false;
    if (startWriteback_) StartWriteback(fd_, offset, static_cast<int64_t>(size));
    return true;
  }

  int fd_;
  bool startWriteback_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  int64_t offset_ = 0;
  bool queued_ = false;
  bool quit_ = false;
  bool result_ = true;
};

}  // namespace brenvik::imaging
