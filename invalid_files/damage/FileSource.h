#pragma once
// What every format check reads through: the open file, its size, and the job's stop flag, with a
// buffered forward reader for the decoders that pull bytes as they go.
#include <atomic>
#include <cstdint>
#include <vector>

#include "invalid_files/damage/IntegrityCheck.h"

namespace brenvik::damage {

struct FileSource {
  int fd = -1;
  int64_t size = 0;
  const std::atomic<int>* stop = nullptr;

  bool Stopped() const { return stop != nullptr && stop->load(std::memory_order_relaxed) != 0; }
  // Exactly `count` bytes at `offset`, all inside the file.
  bool ReadExact(int64_t offset, void* into, size_t count) const;
};

// Hands out the file from a position onwards through a buffer, for the decoders that pull bytes
// as they go (often a few at a time); `consumed()` is how far a decoder has taken bytes, so the end
// of its structure is known once it is done.
class ForwardReader {
 public:
  static constexpr size_t kChunk = 256 * 1024;
  explicit ForwardReader(const FileSource& file, int64_t start = 0) : file_(file), next_(start) {}

  // Copies up to `count` bytes; fewer only at the end of the file or once stopped.
  size_t Read(uint8_t* into, size_t count);
  // The buffered bytes not yet taken, refilled when empty (empty at the end or once stopped);
  // Take() then says how many of them were used.
  std::pair<const uint8_t*, size_t> Peek();
  void Take(size_t count) { at_ += count; }
  int64_t consumed() const { return next_ - static_cast<int64_t>(buffer_.size() - at_); }
  bool stopped() const { return stopped_; }

 private:
  bool Refill();

  const FileSource& file_;
  int64_t next_;  // the file position after the buffer
  bool stopped_ = false;
  std::vector<uint8_t> buffer_;
  size_t at_ = 0;
};

// Random access through a window of the file, for the formats whose structure points back and forth.
class WindowReader {
 public:
  static constexpr size_t kWindow = 256 * 1024;
  explicit WindowReader(const FileSource& file) : file_(file) {}
  // `count` bytes at `offset` (count <= kWindow), or nullptr when they are not all inside the file.
  const uint8_t* At(int64_t offset, size_t count);
  // Up to `count` bytes at `offset`, as many as the file holds; sets `got`.
  const uint8_t* Upto(int64_t offset, size_t count, size_t& got);

 private:
  const FileSource& file_;
  std::vector<uint8_t> window_;
  int64_t start_ = -1;
};

// Each check takes a file whose first bytes named its type.
IntegrityVerdict CheckJpeg(const FileSource& file);
IntegrityVerdict CheckPng(const FileSource& file);
IntegrityVerdict CheckGif(const FileSource& file);
IntegrityVerdict CheckBmp(const FileSource& file);
// The information header sizes BMP writers use (core, the two OS/2 forms, Windows' 3 to 5).
bool KnownBmpHeaderSize(uint32_t size);
IntegrityVerdict CheckPdf(const FileSource& file);
IntegrityVerdict CheckZip(const FileSource& file);
IntegrityVerdict CheckGzip(const FileSource& file);
IntegrityVerdict CheckRar(const FileSource& file);
IntegrityVerdict CheckCompound(const FileSource& file);
IntegrityVerdict CheckMp3(const FileSource& file);
// An ID3v2 tag's header: "ID3", a version from 2 to 4, and a size of four 7-bit bytes (text that
// starts with the letters has none of that).
bool IsId3Header(const uint8_t* head, size_t got);

}  // namespace brenvik::damage
