#pragma once
// Where the copy reads sectors from: an open file or disk, or a SCSI disk through pass-through.
// A source reads what it is asked for and says how much came; what to do about a failed read is
// the copy strategy's business.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "disk/ScsiLayer.h"
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
  // True when the system refused direct reads of the source, so that its reads pass through the
  // page cache (and may touch more than they ask for).
  virtual bool throughCache() const { return false; }
};

// A block is read in requests of this size, as rescue tools read, one after the other: a failed
// request then tells where the bad area is to within it, and only it was touched. (One request
// for a whole block may reach the disk as several, all of them touched; which one failed is lost.)
constexpr int64_t kRequestBytes = 64 * 1024;

// An open file or disk. Its reads go straight to the medium (direct I/O, aligned to what the
// disk or file system needs) wherever the system allows, so that no read reaches the source
// except the ones the copy makes: the page cache would read ahead around every request and
// retry each page of a failed one, touching every bad sector many times. Where direct reads
// are refused, or cannot be aligned to the sector size of an image file, reads go through the
// cache with read-ahead turned off; throughCache() tells when the system refused them. (An image
// file of 520-byte sectors is read through the cache by choice: it is a copy, not the failing disk.)
class HandleSource : public SectorSource {
 public:
  // `fd` stays the caller's, open for the whole copy.
  HandleSource(int fd, int32_t sectorSize);
  ~HandleSource() override;

  int64_t sectorCount() const override { return size_ < 0 ? -1 : (size_ + sectorSize_ - 1) / sectorSize_; }
  SourceRead read(int64_t sector, int64_t n, uint8_t* buffer) override;
  std::optional<SourceRead> readKeeping(int64_t sector, int64_t n, uint8_t* out, int64_t keep) override;
  SourceRead readOne(int64_t sector, uint8_t* buffer) override;
  bool throughCache() const override { return refused_; }

 private:
  int64_t wanted(int64_t offset, int64_t n) const;
  template <class Request>
  SourceRead requests(int64_t sector, int64_t n, Request&& request);
  int64_t readDirect(int64_t offset, int64_t length, uint8_t* out);
  bool useCache();
  void openSingleDirect();

  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };

  int fd_;
  int32_t sectorSize_;
  int64_t requestSectors_;
  int64_t size_;  // bytes, -1 when unknown
  std::vector<uint8_t> discard_;
  UniqueFd direct_;          // a second, direct open of the source, where it could be made
  int directFd_ = -1;        // every read goes here while it is set (direct_ or the source's own)
  int64_t alignment_ = 0;    // of offsets and lengths of direct reads
  bool alignmentKnown_ = false;  // a direct read went through at this alignment
  bool refused_ = false;         // the system refused direct reads
  std::unique_ptr<uint8_t, Free> bounce_;  // aligned, `bounceSize_` bytes
  size_t bounceSize_ = 0;
  // Through the cache: a single sector is still read directly where its size allows.
  bool singleTried_ = false;
  UniqueFd single_;
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
