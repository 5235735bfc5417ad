#include "disk/SectorSource.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "platform/FileOps.h"

namespace brenvik::imaging {

namespace {

// The widest alignment a direct read is tried at before the cache is used instead.
constexpr int64_t kMaxAlignment = 4096;
constexpr int64_t kMaxBlockSize = 1 << 20;
// Buffers of direct reads are aligned for any device.
constexpr size_t kMemoryAlignment = 4096;
// A direct read the system refused for its alignment (nothing was read, nothing touched).
constexpr int64_t kRefused = -2;

}  // namespace

HandleSource::HandleSource(int fd, int32_t sectorSize)
    : fd_(fd), sectorSize_(sectorSize), requestSectors_(std::max<int64_t>(1, kRequestBytes / sectorSize)),
      size_(FileSize(fd)) {
  bool device = false;
  const int64_t alignment = DirectReadAlignment(fd, &device);
  // A block size past any real disk's is not believed: the reads would grow without need.
  const bool believable = alignment > 0 && alignment <= kMaxBlockSize;
  alignment_ = believable ? alignment : 512;
  alignmentKnown_ = believable;
  // A disk is read in its own blocks whatever the sector size; a file only where every sector
  // starts on the alignment, as a wider read would touch the neighbours of the sector asked for.
  const bool fits = device || (alignment_ <= kMaxAlignment && sectorSize_ % alignment_ == 0);
  if (alignment != 0 && fits) {
    direct_ = ReopenOpenFile(fd_, /*direct=*/true);
    if (direct_) directFd_ = direct_.get();
    // A disk udisks2 opened for the user cannot be opened again by name: its own descriptor
    // reads directly instead.
    else if (SetDirectIo(fd_, true)) directFd_ = fd_;
  }
  refused_ = directFd_ < 0 && (alignment == 0 || device || fits);
  if (directFd_ < 0) AdviseNoReadAhead(fd_);
}

HandleSource::~HandleSource() = default;

int64_t HandleSource::wanted(int64_t offset, int64_t n) const {
  return size_ < 0 ? n * sectorSize_ : std::clamp<int64_t>(size_ - offset, 0, n * sectorSize_);
}

// Reads `n` sectors from `sector` on, one request of at most `requestSectors_` at a time:
// `request(first, count, offset)` reads sectors [first, first + count) of the block. Stops at the
// first request that does not read in full (one call each: asking again at the failing place
// would hit the bad area twice).
template <class Request>
SourceRead HandleSource::requests(int64_t sector, int64_t n, Request&& request) {
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

// One direct read covering [offset, offset + length), widened to the alignment; the bytes of the
// range that came, -1 on a failed read, kRefused when the system refuses direct reads here.
int64_t HandleSource::readDirect(int64_t offset, int64_t length, uint8_t* out) {
  for (;;) {
    const int64_t low = offset / alignment_ * alignment_;
    const int64_t high = (offset + length + alignment_ - 1) / alignment_ * alignment_;
    const auto span = static_cast<size_t>(high - low);
    if (span > bounceSize_) {
      const size_t size = (span + kMemoryAlignment - 1) / kMemoryAlignment * kMemoryAlignment;
      bounce_.reset(static_cast<uint8_t*>(std::aligned_alloc(kMemoryAlignment, size)));
      bounceSize_ = bounce_ ? size : 0;
      if (!bounce_) return kRefused;
    }
    const iovec part{bounce_.get(), span};
    const int64_t got = ReadScattered(directFd_, {&part, 1}, low);
    if (got < 0 && errno == EINVAL && !alignmentKnown_) {
      // The file system did not say what it needs: a wider alignment is tried (refused reads
      // never reach the medium), as long as sectors still start on it.
      if (alignment_ < kMaxAlignment && sectorSize_ % (alignment_ * 2) == 0) {
        alignment_ *= 2;
        continue;
      }
      return kRefused;
    }
    if (got < 0) return -1;
    alignmentKnown_ = true;
    const int64_t useful = std::clamp<int64_t>(got - (offset - low), 0, length);
    std::memcpy(out, bounce_.get() + (offset - low), static_cast<size_t>(useful));
    return useful;
  }
}

bool HandleSource::useCache() {
  refused_ = true;
  if (directFd_ == fd_) SetDirectIo(fd_, false);
  directFd_ = -1;
  direct_.reset();
  bounce_.reset();
  bounceSize_ = 0;
  AdviseNoReadAhead(fd_);
  return false;
}

SourceRead HandleSource::read(int64_t sector, int64_t n, uint8_t* buffer) {
  return requests(sector, n, [&](int64_t first, int64_t count, int64_t offset) {
    uint8_t* out = buffer + first * sectorSize_;
    if (directFd_ >= 0) {
      const int64_t got = readDirect(offset, count * sectorSize_, out);
      if (got != kRefused) return got;
      useCache();
    }
    const iovec part{out, static_cast<size_t>(count * sectorSize_)};
    return ReadScattered(fd_, {&part, 1}, offset);
  });
}

std::optional<SourceRead> HandleSource::readKeeping(int64_t sector, int64_t n, uint8_t* out, int64_t keep) {
  // Direct reads land in an aligned buffer first: the copy picks the kept bytes from the block.
  if (directFd_ >= 0) return std::nullopt;
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

SourceRead HandleSource::readOne(int64_t sector, uint8_t* buffer) {
  int64_t offset = 0;
  if (__builtin_mul_overflow(sector, int64_t{sectorSize_}, &offset) || offset < 0) return {0, false, sectorSize_};
  if (directFd_ >= 0) {
    const int64_t got = readDirect(offset, sectorSize_, buffer);
    if (got != kRefused) return {std::max<int64_t>(got, 0), got >= 0 && got >= wanted(offset, 1), sectorSize_};
    useCache();
  }
  // A page-cache read fails for every sector of a memory page that holds one bad sector, so a
  // single sector is still read directly where its size allows.
  if (!singleTried_) openSingleDirect();
  if (single_) {
    const iovec one{bounce_.get(), static_cast<size_t>(sectorSize_)};
    const int64_t got = ReadScattered(single_.get(), {&one, 1}, offset);
    if (got >= 0) {
      std::copy_n(bounce_.get(), got, buffer);
      return {got, got >= wanted(offset, 1), sectorSize_};
    }
    if (errno != EINVAL) return {0, false, sectorSize_};
    single_.reset();  // the file system or the sector size does not allow direct reads
  }
  return read(sector, 1, buffer);
}

void HandleSource::openSingleDirect() {
  singleTried_ = true;
  // A second open of the same file, not of the path, which may lead elsewhere by now.
  single_ = ReopenOpenFile(fd_, /*direct=*/true);
  if (!single_) return;
  const size_t size = (static_cast<size_t>(sectorSize_) + kMemoryAlignment - 1) / kMemoryAlignment * kMemoryAlignment;
  bounce_.reset(static_cast<uint8_t*>(std::aligned_alloc(kMemoryAlignment, size)));
  bounceSize_ = bounce_ ? size : 0;
  if (!bounce_) single_.reset();
}

}  // namespace brenvik::imaging
