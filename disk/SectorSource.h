#pragma once
// Where the copy reads sectors from: an open file or disk, or a SCSI disk through pass-through.
// A source reads what it is asked for and says how much came; what to do about a failed read is
// the copy strategy's business.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "disk/ScsiLayer.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"

namespace brenvik::imaging {

// What a read of the source gave: `bytes` from the first sector asked for on, and whether that
// is all of it. A failed read may have touched more than it returned, up to `touched` bytes: the
// whole request that failed. A read that fails is never issued again at the failing place within
// the same phase: on a failing disk every touch of a bad area costs time and may damage it further.
struct SourceRead {
  int64_t bytes = 0;
  bool complete = false;
  int64_t touched = 0;
};

class SectorSource {
 public:
  virtual ~SectorSource() = default;
  // Sectors the source holds (the last one may be partly there), or -1 when it cannot tell.
  virtual int64_t sectorCount() const = 0;
  // Reads `n` sectors from `sector` on.
  virtual SourceRead read(int64_t sector, int64_t n, uint8_t* buffer) = 0;
  // The same read, but only the first `keep` bytes of every sector land in `out`, `keep` apart
  // (keep < sector size), which saves copying the block once more. Nothing when the source
  // cannot read this way.
  virtual std::optional<SourceRead> readKeeping(int64_t, int64_t, uint8_t*, int64_t) { return std::nullopt; }
  // Reads one sector as exactly as the source allows, so that a bad neighbour does not fail it.
  virtual SourceRead readOne(int64_t sector, uint8_t* buffer) { return read(sector, 1, buffer); }
};

// A block is read in requests of this size, as rescue tools read, one after the other: a failed
// request then tells where the bad area is to within it, and only it was touched. (One request
// for a whole block may reach the disk as several, all of them touched; which one failed is lost.)
constexpr int64_t kRequestBytes = 64 * 1024;

// An open file or disk, read with pread and its kin.
class HandleSource : public SectorSource {
 public:
  HandleSource(int fd, int32_t sectorSize)
      : fd_(fd), sectorSize_(sectorSize), requestSectors_(std::max<int64_t>(1, kRequestBytes / sectorSize)),
        size_(FileSize(fd)) {}

  int64_t sectorCount() const override { return size_ < 0 ? -1 : (size_ + sectorSize_ - 1) / sectorSize_; }

  SourceRead read(int64_t sector, int64_t n, uint8_t* buffer) override {
    return requests(sector, n, [&](int64_t first, int64_t count, int64_t offset) {
      const iovec part{buffer + first * sectorSize_, static_cast<size_t>(count * sectorSize_)};
      return ReadScattered(fd_, {&part, 1}, offset);
    });
  }

  std::optional<SourceRead> readKeeping(int64_t sector, int64_t n, uint8_t* out, int64_t keep) override {
    discard_.resize(static_cast<size_t>(sectorSize_ - keep));
    std::vector<iovec> parts;
    return requests(sector, n, [&](int64_t first, int64_t count, int64_t offset) {
      parts.clear();
      for (int64_t i = first; i < first + count; ++i) {
        parts.push_back({out + i * keep, static_cast<size_t>(keep)});
        parts.push_back({discard_.data(), discard_.size()});
      }
      return ReadScattered(fd_, parts, offset);
    });
  }

  // A page-cache read fails for every sector of a memory page that holds one bad sector, so a
  // single sector is read with direct I/O where the source allows it.
  SourceRead readOne(int64_t sector, uint8_t* buffer) override {
    if (!directTried_) openDirect();
    if (direct_) {
      const int64_t offset = sector * sectorSize_;
      const iovec one{aligned_.get(), static_cast<size_t>(sectorSize_)};
      const int64_t got = ReadScattered(direct_.get(), {&one, 1}, offset);
      if (got >= 0) {
        std::copy_n(aligned_.get(), got, buffer);
        return {got, got >= wanted(offset, 1), sectorSize_};
      }
      if (errno != EINVAL) return {0, false, sectorSize_};
      direct_.reset();  // the file system or the sector size does not allow direct reads
    }
    return read(sector, 1, buffer);
  }

 private:
  // Bytes the source holds of `n` sectors at `offset`.
  int64_t wanted(int64_t offset, int64_t n) const {
    return size_ < 0 ? n * sectorSize_ : std::clamp<int64_t>(size_ - offset, 0, n * sectorSize_);
  }

  // Reads `n` sectors from `sector` on, one request of at most `requestSectors_` at a time:
  // `request(first, count, offset)` reads sectors [first, first + count) of the block. Stops at the
  // first request that does not read in full (one call each: asking again at the failing place
  // would hit the bad area twice).
  template <class Request>
  SourceRead requests(int64_t sector, int64_t n, Request&& request) {
    int64_t offset = 0;
    if (__builtin_mul_overflow(sector, int64_t{sectorSize_}, &offset) || offset < 0) return {0, false, n * sectorSize_};
    const int64_t all = wanted(offset, n);
    SourceRead result;
    for (int64_t first = 0; first < n && result.bytes < all; first += requestSectors_) {
      const int64_t count = std::min(requestSectors_, n - first);
      const int64_t expected = std::min(count * sectorSize_, all - result.bytes);
      const int64_t got = request(first, count, offset + result.bytes);
      result.touched = (first + count) * sectorSize_;
      if (got > 0) result.bytes += got;
      if (got != expected) return result;
    }
    result.complete = true;
    result.touched = result.bytes;
    return result;
  }

  void openDirect() {
    directTried_ = true;
    // A second open of the same file, not of the path, which may lead elsewhere by now.
    direct_ = ReopenOpenFile(fd_, /*direct=*/true);
    if (!direct_) return;
    const size_t size = (static_cast<size_t>(sectorSize_) + 4095) / 4096 * 4096;
    aligned_.reset(static_cast<uint8_t*>(std::aligned_alloc(4096, size)));
    if (!aligned_) direct_.reset();
  }

  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };

  int fd_;
  int32_t sectorSize_;
  int64_t requestSectors_;
  int64_t size_;  // bytes, -1 when unknown
  std::vector<uint8_t> discard_;
  bool directTried_ = false;
  UniqueFd direct_;
  std::unique_ptr<uint8_t, Free> aligned_;
};

// A SCSI disk, read with READ(10); its reads bypass the page cache already.
class ScsiSource : public SectorSource {
 public:
  ScsiSource(ScsiTarget& target, int32_t sectorSize, int64_t blockCount)
      : target_(target), sectorSize_(sectorSize), blockCount_(blockCount) {}

  int64_t sectorCount() const override { return blockCount_ > 0 ? blockCount_ : -1; }

  SourceRead read(int64_t sector, int64_t n, uint8_t* buffer) override {
    // READ(10) addresses 32 bits of blocks: beyond that it would silently read the wrong blocks.
    const int64_t bytes = n * sectorSize_;
    if (sector < 0 || sector + n > (int64_t{1} << 32)) return {0, false, bytes};
    const int result = target_.read10(static_cast<uint32_t>(sector), static_cast<uint16_t>(n),
                                      static_cast<uint32_t>(sectorSize_), std::span(buffer, static_cast<size_t>(bytes)));
    // READ(10) fails as a whole: any of its blocks may be the bad one.
    return {result == kScsiNoSense ? bytes : 0, result == kScsiNoSense, bytes};
  }

 private:
  ScsiTarget& target_;
  int32_t sectorSize_;
  int64_t blockCount_;
};

}  // namespace brenvik::imaging
