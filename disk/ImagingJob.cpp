#include "disk/ImagingJob.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "core/TextHelpers.h"
#include "disk/RescueMap.h"
#include "disk/RescueMapModel.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"
#include "platform/StorageIdentity.h"
#include "platform/Sysfs.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kFill = 0xBB;

std::u16string OffsetText(const char* format, int64_t offset) {
  char text[96];
  std::snprintf(text, sizeof text, format, static_cast<long long>(offset));
  return Utf8ToText(text);
}

// ---- sources ----

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

// ---- the copy loop ----

// How far the copy skips past a failed read: one request at first, twice as far with each
// failure that follows, up to `maxSkip`.
struct ReadSizes {
  int64_t block = 0;  // sectors of a block
  int64_t firstSkip = 0;
  int64_t maxSkip = 0;
};

// The phases, in the order a run goes through them, by the state of the sectors each one reads.
constexpr SectorState kPhases[] = {SectorState::NotTried, SectorState::NonTrimmed, SectorState::NonScraped,
                                   SectorState::Bad};

class CopyLoop {
 public:
  CopyLoop(const ImagingRequest& p, ImagingReporter& reporter, const std::atomic<int>& stop,
           std::function<int64_t()> now, ReadSizes sizes, int64_t end, RescueMapKeeper& sectors)
      : p_(p), sink_(reporter), stop_(stop), now_(std::move(now)), sizes_(sizes), end_(end), sectors_(sectors),
        found_(p.sourceStart, end) {}

  // Good data first: every readable area is copied before a bad area is looked at closely. Then
  // the failed areas are trimmed from their edges inward, what remains inside is read sector by
  // sector, and unreadable sectors get the retry passes. Returns the progress maximum, in blocks.
  int64_t run(SectorSource& source, int targetFd) {
    copyPhase(source, targetFd);
    if (!stopped()) trimPhase(source, targetFd);
    if (!stopped()) scrapePhase(source, targetFd);
    reportUnreadable();
    if (!stopped() && p_.retryPasses > 0) retryPasses(source, targetFd);
    if (!stopped()) {
      sectors_.at(end_, SectorState::Finished);
      position_ = end_;
    }
    // The map as the run leaves it, whenever the last one went out; the LBA where the run ended.
    ImagingDisplays displays;
    displays.lba = Utf8ToText(std::to_string(position_));
    report(std::move(displays), position_, false);
    return progressMaximum_;
  }

 private:
  bool stopped() const { return stop_.load() != 0; }

  // Copies the areas not tried yet, block by block. A read that fails marks the area it touched
  // as failed and the copy skips ahead, further while the errors go on, so that a bad area is
  // crossed with few reads; a second pass then reads what was skipped, without skipping.
  void copyPhase(SectorSource& source, int targetFd) {
    const int64_t S = p_.sourceStart, B = sizes_.block;
    const int64_t Ps = p_.sourceSectorSize, Pt = p_.targetSectorSize;
    progressMaximum_ = end_ / B;
    sink_.Progress(0, progressMaximum_);
    start_ = now_();
    const auto firstArea = sectors_.next(S, SectorState::NotTried);
    displayStart_ = firstArea ? firstArea->first : end_;
    position_ = displayStart_;
    settledAtStart_ = SettledBytes(TotalsOf(snapshot(position_, true)->blocks));

    // With equal sector sizes the read goes straight into the output buffer. Otherwise the input
    // buffer has room for the tail an output sector may take beyond its source sector, so that a
    // larger target sector never reads outside the buffer; that tail is fill.
    std::vector<uint8_t> in(Ps == Pt ? 0 : static_cast<size_t>(Ps * B + std::max<int64_t>(0, Pt - Ps)));
    std::vector<uint8_t> output[2] = {std::vector<uint8_t>(static_cast<size_t>(Pt * B)),
                                      std::vector<uint8_t>(static_cast<size_t>(Pt * B))};
    slot_ = 0;
    BlockWriter writer(targetFd, sectors_.hasFile());
    const Buffers buffers{in, output};
    std::vector<std::pair<int64_t, int64_t>> skipped;
    copyAreas(source, writer, buffers, S, end_, 1, &skipped);
    // The second pass reads only what the first one skipped: an area whose write failed waits for
    // a later run.
    for (const auto& [from, to] : skipped) {
      if (stopped()) break;
      copyAreas(source, writer, buffers, from, to, 2, nullptr);
    }
    finishWrite(writer);
  }

  struct Buffers {
    std::vector<uint8_t>& input;
    std::vector<uint8_t> (&output)[2];
  };

  // Copies the areas not tried yet in [from, to); with `skipped`, a failed read is followed by a
  // skip ahead, and the skipped areas are added there.
  void copyAreas(SectorSource& source, BlockWriter& writer, const Buffers& buffers, int64_t from, int64_t to, int pass,
                 std::vector<std::pair<int64_t, int64_t>>* skipped) {
    const int64_t B = sizes_.block, Ps = p_.sourceSectorSize, Pt = p_.targetSectorSize;
    int64_t skip = 0;  // 0 while reads succeed
    for (int64_t at = from; !stopped();) {
      const auto area = sectors_.next(at, SectorState::NotTried);
      if (!area || area->first >= to) break;
      const int64_t current = area->first, areaEnd = std::min(area->end, to);
      const int64_t n = std::min(B, areaEnd - current);
      uint8_t* out = buffers.output[slot_].data();
      uint8_t* in = Ps == Pt ? out : buffers.input.data();
      const size_t inSpan = Ps == Pt ? static_cast<size_t>(n * Ps) : static_cast<size_t>(n * Ps + std::max<int64_t>(0, Pt - Ps));
      const SourceRead read = readBlock(source, current, n, in, inSpan, out);
      if (targetOffset(current) == 0 && out[511] == 0xAA) out[511] = kFill;  // never a complete boot signature

      // A Stop that came while the previous block was written ends the copy before this block,
      // as if the blocks ran one after the other; the block read ahead is dropped.
      const bool overlapped = finishWrite(writer);
      if (overlapped && stopped()) break;
      sectors_.at(current, SectorState::NotTried, pass);
      const int64_t good = read.complete ? n : std::clamp<int64_t>(read.bytes / Ps, 0, n);
      if (good > 0) startWrite(writer, out, static_cast<size_t>(good * Pt), targetOffset(current), current + good);
      slot_ ^= 1;
      if (read.complete) {
        skip = 0;
        at = current + n;
        continue;
      }
      // The failed request touched the area up to its end: that is the area to trim. Beyond it
      // the first pass skips ahead, further while the errors go on.
      const int64_t touched = current + (read.touched + Ps - 1) / Ps;
      const int64_t failedEnd = std::clamp<int64_t>(touched, current + good + 1, current + n);
      sectors_.set(current + good, failedEnd, SectorState::NonTrimmed);
      skip = skip == 0 ? sizes_.firstSkip : std::min(skip * 2, sizes_.maxSkip);
      at = failedEnd;
      if (skipped != nullptr && at < to) {
        skipped->push_back({at, std::min(at + skip, to)});
        at += skip;
      }
    }
  }

  // Reads one block into `out` (through `in` when the sector sizes differ); whatever did not come
  // is fill.
  SourceRead readBlock(SectorSource& source, int64_t current, int64_t n, uint8_t* in, size_t inSpan, uint8_t* out) {
    const int64_t Ps = p_.sourceSectorSize, Pt = p_.targetSectorSize;
    std::optional<SourceRead> read;
    if (Pt < Ps) read = source.readKeeping(current, n, out, Pt);
    if (read) {
      if (read->bytes < n * Ps)
        for (int64_t i = 0; i < n; ++i)
          std::fill(out + i * Pt + std::clamp<int64_t>(read->bytes - i * Ps, 0, Pt), out + (i + 1) * Pt, kFill);
      return *read;
    }
    read = source.read(current, n, in);
    std::fill(in + std::clamp<int64_t>(read->bytes, 0, static_cast<int64_t>(inSpan)), in + inSpan, kFill);
    if (in != out)
      for (int64_t i = 0; i < n; ++i) std::copy_n(in + i * Ps, Pt, out + i * Pt);
    return *read;
  }

  // Each failed area is read sector by sector from its leading edge until a sector fails, then
  // from its trailing edge back until one fails; what lies between is left for the scraping.
  void trimPhase(SectorSource& source, int targetFd) {
    for (int64_t at = p_.sourceStart; !stopped();) {
      const auto area = sectors_.next(at, SectorState::NonTrimmed);
      if (!area) break;
      int64_t first = area->first, end = area->end;
      while (first < end && !stopped())
        if (!readSingle(source, targetFd, first++, SectorState::NonTrimmed)) break;
      while (end > first && !stopped())
        if (!readSingle(source, targetFd, --end, SectorState::NonTrimmed)) break;
      if (stopped()) break;
      sectors_.set(first, end, SectorState::NonScraped);
      at = area->end;
    }
  }

  // What trimming left inside the failed areas is read one sector at a time.
  void scrapePhase(SectorSource& source, int targetFd) {
    for (int64_t at = p_.sourceStart; !stopped();) {
      const auto area = sectors_.next(at, SectorState::NonScraped);
      if (!area) break;
      for (int64_t s = area->first; s < area->end && !stopped(); ++s) readSingle(source, targetFd, s, SectorState::NonScraped);
      at = area->end;
    }
  }

  // Reads one sector in the phase of `state`; a sector that reads is written and finished, one
  // that does not is filled and bad. True when it read.
  bool readSingle(SectorSource& source, int targetFd, int64_t sector, SectorState phase, int pass = 1) {
    sectors_.at(sector, phase, pass);
    // A dead area may take long sector by sector: LBA shows the copy is still moving.
    showSector(sector);
    std::fill(scratch_.begin(), scratch_.end(), kFill);
    const SourceRead one = source.readOne(sector, scratch_.data());
    if (one.complete) {
      writeRecovered(targetFd, sector, 1, scratch_.data());
      return true;
    }
    if (phase != SectorState::Bad) {
      // The bytes that did come stay, over the fill, as the copy always kept them.
      writeSectors(targetFd, sector, 1, scratch_.data(), SectorState::Bad);
      found_.set(sector, sector + 1, SectorState::Bad);
    }
    return false;
  }

  // After the copy, each sector still unreadable gets up to `retryPasses` more tries on its own;
  // a sector that reads is written and counts as finished.
  void retryPasses(SectorSource& source, int targetFd) {
    const int64_t Ps = p_.sourceSectorSize, B = sizes_.block;
    const int64_t before = sectors_.count(SectorState::Bad);
    if (before == 0) return;
    const int64_t began = now_();
    std::vector<uint8_t> buffer(static_cast<size_t>(Ps * B));
    for (int pass = 1; pass <= p_.retryPasses && !stopped(); ++pass) {
      for (auto area = sectors_.next(p_.sourceStart, SectorState::Bad); area && !stopped();
           area = sectors_.next(area->end, SectorState::Bad)) {
        for (int64_t s = area->first; s < area->end && !stopped();) {
          // An unreadable area of a whole block or more is seldom damage of the medium; more often
          // the disk was gone for a while. It is tried a block at a time first, so that a disk
          // that came back is not read one sector per request; sectors after a failure in such a
          // block are tried on their own.
          int64_t single = std::min(B, area->end - s);
          if (single == B) {
            sectors_.at(s, SectorState::Bad, pass);
            showSector(s);
            const SourceRead read = source.read(s, B, buffer.data());
            const int64_t good = read.complete ? B : std::clamp<int64_t>(read.bytes / Ps, 0, B);
            if (good > 0) writeRecovered(targetFd, s, good, buffer.data());
            s += good;
            single -= good;
          }
          for (const int64_t last = s + single; s < last && !stopped(); ++s)
            readSingle(source, targetFd, s, SectorState::Bad, pass);
        }
      }
    }
    const int64_t after = sectors_.count(SectorState::Bad);
    char text[160];
    std::snprintf(text, sizeof text, "，恢复%lld个扇区，仍有%lld个坏扇区", static_cast<long long>(before - after),
                  static_cast<long long>(after));
    sink_.Message(u"重试", u"重试用时" + FormatRemainingTime(now_() - began) + Utf8ToText(text));
  }

  // Writes `n` sectors read on their own (source sectors back to back in `data`, which it may
  // reorder) and marks them finished.
  void writeRecovered(int targetFd, int64_t first, int64_t n, uint8_t* data) {
    writeSectors(targetFd, first, n, data, SectorState::Finished);
  }

  // Writes `n` source sectors (back to back in `data`, which it may reorder) to their places and
  // then marks them `state`, so the map never claims what the target does not hold. Only each
  // sector's own bytes are written: with larger target sectors the tail of a target sector keeps
  // what the copy put there.
  void writeSectors(int targetFd, int64_t first, int64_t n, uint8_t* data, SectorState state) {
    const int64_t Ps = p_.sourceSectorSize, Pt = p_.targetSectorSize;
    bool written = true;
    if (Pt <= Ps) {
      for (int64_t i = 1; i < n; ++i) std::memmove(data + i * Pt, data + i * Ps, static_cast<size_t>(Pt));
      if (targetOffset(first) == 0 && data[511] == 0xAA) data[511] = kFill;
      written = WriteAllAt(targetFd, data, static_cast<size_t>(n * Pt), targetOffset(first));
    } else {
      for (int64_t i = 0; i < n && written; ++i) {
        uint8_t* sector = data + i * Ps;
        if (targetOffset(first + i) == 0 && sector[511] == 0xAA) sector[511] = kFill;
        written = WriteAllAt(targetFd, sector, static_cast<size_t>(Ps), targetOffset(first + i));
      }
    }
    if (written) sectors_.set(first, first + n, state);
    else sink_.Message(u"写入", OffsetText("写入位置%lld错误", targetOffset(first)));
  }

  // One row per run of sectors this run found unreadable, once the copy is through with them.
  void reportUnreadable() {
    for (const SectorArea& area : found_.areas())
      if (area.state == SectorState::Bad)
        sink_.Message(u"读取", OffsetText("读取位置%lld错误", area.first * p_.sourceSectorSize));
  }

  void showSector(int64_t sector) {
    ImagingDisplays displays;
    displays.lba = Utf8ToText(std::to_string(sector));
    report(std::move(displays), sector, true);
  }

  static int64_t SettledBytes(const RescueTotals& totals) { return totals.finished + totals.bad; }

  // The displays, with the map a few times a second (and always when the run has ended): often
  // enough to watch, seldom enough that copying the map costs the copy nothing.
  void report(ImagingDisplays displays, int64_t position, bool reading) {
    position_ = position;
    const auto now = std::chrono::steady_clock::now();
    if (!reading || now - lastMap_ >= kMapInterval) {
      lastMap_ = now;
      displays.map = snapshot(position, reading);
    }
    sink_.Tally(displays);
  }

  std::shared_ptr<const RescueMapSnapshot> snapshot(int64_t position, bool reading) const {
    auto map = std::make_shared<RescueMapSnapshot>();
    const int64_t Ps = p_.sourceSectorSize;
    const std::vector<SectorArea> areas = sectors_.areas();
    map->blocks.reserve(areas.size());
    for (const SectorArea& area : areas)
      map->blocks.push_back({area.first * Ps, (area.end - area.first) * Ps, static_cast<char>(area.state)});
    map->sectorSize = p_.sourceSectorSize;
    map->position = position * Ps;
    map->reading = reading;
    const int64_t elapsed = now_() - start_;
    map->elapsedSeconds = elapsed;
    const RescueTotals totals = TotalsOf(map->blocks);
    const int64_t settled = SettledBytes(totals) - settledAtStart_;
    if (elapsed > 0 && settled > 0) {
      map->bytesPerSecond = settled / elapsed;
      if (*map->bytesPerSecond > 0)
        map->remainingSeconds = (totals.size - SettledBytes(totals)) / *map->bytesPerSecond;
    }
    return map;
  }

  int64_t targetOffset(int64_t sector) const {
    return (p_.targetStart + sector - p_.sourceStart) * p_.targetSectorSize;
  }

  void startWrite(BlockWriter& writer, const uint8_t* data, size_t size, int64_t offset, int64_t next) {
    writer.start(data, size, offset);
    pending_ = Pending{offset, next - static_cast<int64_t>(size) / p_.targetSectorSize, next};
  }

  // Finishes the pending write, if any, records its sectors and reports it; true when there was one.
  bool finishWrite(BlockWriter& writer) {
    if (!pending_) return false;
    if (writer.wait()) sectors_.set(pending_->first, pending_->next, SectorState::Finished);
    // Otherwise the target does not hold these sectors: they stay not tried, for a later run.
    else sink_.Message(u"写入", OffsetText("写入位置%lld错误", pending_->offset));
    sink_.Progress(pending_->next / sizes_.block, progressMaximum_);
    report(ComputeDisplays(pending_->next, displayStart_, end_ - displayStart_, p_.sourceSectorSize, now_() - start_),
           pending_->next, true);
    pending_.reset();
    return true;
  }

  struct Pending {
    int64_t offset;  // where the block goes
    int64_t first;   // its first source sector
    int64_t next;    // the source sector after it
  };

  const ImagingRequest& p_;
  ImagingReporter& sink_;
  const std::atomic<int>& stop_;
  std::function<int64_t()> now_;
  ReadSizes sizes_;
  int64_t end_;  // one past the last sector of the run the source holds
  RescueMapKeeper& sectors_;
  SectorMap found_;  // the sectors this run found unreadable, for one row per run of them
  int64_t progressMaximum_ = 0;
  int64_t start_ = 0;
  int64_t displayStart_ = 0;  // the first sector this run reads: speed and time count from there
  int64_t position_ = 0;        // the sector the run is at
  int64_t settledAtStart_ = 0;  // bytes finished or found bad before this run: the rate counts the rest
  static constexpr std::chrono::milliseconds kMapInterval{250};
  std::chrono::steady_clock::time_point lastMap_{};
  std::vector<uint8_t> scratch_ = std::vector<uint8_t>(static_cast<size_t>(p_.sourceSectorSize));
  std::optional<Pending> pending_;
  int slot_ = 0;  // the output buffer the next block goes to, while the other may still be written
};

int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// True when every sector number and byte offset of the run fits in 64 bits, so that numbers
// typed into the page can never make the copy compute a wrapped offset.
bool OffsetsFit(const ImagingRequest& p) {
  const int64_t count = std::max<int64_t>(p.sourceCount, 0);
  int64_t end = 0, sourceBytes = 0, targetEnd = 0, targetBytes = 0;
  return !__builtin_add_overflow(p.sourceStart, count, &end) &&
         !__builtin_mul_overflow(end, int64_t{p.sourceSectorSize}, &sourceBytes) &&
         !__builtin_add_overflow(p.targetStart, count, &targetEnd) &&
         !__builtin_mul_overflow(targetEnd, int64_t{p.targetSectorSize}, &targetBytes) &&
         !__builtin_mul_overflow(p.sourceStart, int64_t{p.sourceSectorSize}, &sourceBytes) &&
         !__builtin_mul_overflow(p.targetStart, int64_t{p.targetSectorSize}, &targetBytes);
}

StorageProbe ProbeOf(const ImagingEnvironment& env) {
  return StorageProbe{env.sysfsRoot, env.mountInfo, env.deviceNumber};
}

void Interrupted(ImagingReporter& reporter, std::u16string_view error) {
  reporter.Message(u"错误", error);
  reporter.Message(u"镜像", u"镜像中断");
}

// What the source is, in words that stay the same when the same source is chosen again and differ
// for another source at the same name: a disk by its identifier and size (a disk that dropped off
// the bus and came back under another node name keeps them), a file by its device, inode, size and
// modification time.
std::string SourceIdentity(const ImagingRequest& p, const fs::path& sysfsRoot) {
  if (p.sourceScsi) {
    const ScsiDevice& d = *p.sourceScsi;
    return "scsi " + d.displayName + " serial=" + TextToUtf8(d.serial) + " blocks=" + std::to_string(d.blockCount) +
           "x" + std::to_string(d.blockLength);
  }
  const auto fileIdentity = [](const PathStatus& file) {
    return " dev=" + DeviceNumberText(file.identity.device) + " ino=" + std::to_string(file.identity.inode) +
           " bytes=" + std::to_string(file.size) + " mtime=" + std::to_string(file.modifiedSeconds) + "." +
           std::to_string(file.modifiedNanoseconds);
  };
  const fs::path path = !p.sourceImage.empty() ? p.sourceImage : p.sourceDiskNode;
  const std::optional<PathStatus> st = StatusOfPath(path);
  if (!st) return "path " + path.string();
  if (st->kind == FileKind::BlockDevice) {
    const fs::path entry = sysfsRoot / "dev/block" / DeviceNumberText(st->deviceNumber);
    const std::string size = " sectors=" + ReadSysfsLine(entry / "size");
    for (const char* name : {"device/wwid", "wwid", "device/serial", "serial"}) {
      const std::string id = ReadSysfsLine(entry / name);
      if (!id.empty()) return "disk " + ReadSysfsLine(entry / "device/model") + " id=" + id + size;
    }
    // A loop device is the file behind it.
    const std::string backing = LoopBackingFile(st->deviceNumber, sysfsRoot);
    if (const auto file = backing.empty() ? std::nullopt : StatusOfPath(backing))
      return "loop " + backing + fileIdentity(*file) + size;
    return "disk " + path.string() + size;
  }
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  return "image " + (error ? path : absolute).string() + fileIdentity(*st);
}

// One past the last sector of the run the source holds: the end of the source ends the copy,
// and what lies beyond it is neither read nor unreadable.
int64_t RunEnd(const ImagingRequest& p, int64_t sourceSectors) {
  const int64_t end = p.sourceStart + std::max<int64_t>(p.sourceCount, 0);
  return sourceSectors < 0 ? end : std::max(p.sourceStart, std::min(end, sourceSectors));
}

// The target holds what the map says it holds only when it reaches at least as far as the last
// sector the map says was written (finished or filled as unreadable).
bool TargetReaches(const fs::path& target, const SectorMap& sectors, const ImagingRequest& p) {
  int64_t written = p.sourceStart;
  for (const SectorArea& area : sectors.areas())
    if (area.state == SectorState::Finished || area.state == SectorState::Bad) written = area.end;
  const std::optional<PathStatus> st = StatusOfPath(target, /*followLink=*/false);
  return st && st->kind == FileKind::Regular && st->size >= (p.targetStart + written - p.sourceStart) * p.targetSectorSize;
}

// How the run starts with respect to the map beside an image-file target.
struct MapPlan {
  std::optional<RescueMapFile> file;  // none: no map is kept
  SectorMap sectors;
  bool resume = false;
  bool lacking = false;  // an image file that gets no map (its row says why): the run is not complete
};


MapPlan PlanMap(const ImagingRequest& p, const RescueRun& run, bool imageTarget, const StorageProbe& probe,
                ImagingReporter& reporter) {
  MapPlan plan;
  plan.sectors = SectorMap(run.start, run.start + run.count);
  // Only an image file gets a map: a disk or a special file named as target has no "beside". A
  // run with negative sectors (which read nothing) has no place in a map either.
  const std::optional<PathStatus> existing = StatusOfPath(p.targetFile, /*followLink=*/false);
  if (!imageTarget || (existing && existing->kind != FileKind::Regular) || p.sourceStart < 0 ||
      p.targetStart < 0)
    return plan;
  RescueMapFile file(p.targetFile);
  std::vector<StorageIdentity> inputs;
  for (const fs::path& input : {p.sourceImage, p.sourceDiskNode})
    if (!input.empty()) inputs.push_back(IdentifyStorage(input, probe));
  RescueMapFile::Loaded loaded = file.load();
  // The map is an output too: it never replaces the source, whatever name leads to it. (Where it
  // would only lie on the source's disk, the target does too and is refused when it is opened.)
  const bool onInput = SharesStorageWithAny(IdentifyStorage(file.path(), probe), inputs);
  if (loaded.found == RescueMapFile::Found::Other || (onInput && loaded.found == RescueMapFile::Found::Map)) {
    reporter.Message(u"映射", u"已有同名文件不是映射文件，本次不写映射");
    plan.lacking = true;
    return plan;
  }
  if (onInput) {
    reporter.Message(u"映射", u"映射文件写入失败");
    plan.lacking = true;
    return plan;
  }
  plan.file = std::move(file);
  if (loaded.found == RescueMapFile::Found::None) return plan;
  if (loaded.parsed.run == run && loaded.parsed.map && TargetReaches(p.targetFile, *loaded.parsed.map, p)) {
    plan.sectors = std::move(*loaded.parsed.map);
    plan.resume = true;
  } else {
    reporter.Message(u"映射", u"映射文件与本次镜像不符，重新开始");
  }
  return plan;
}

// Where a resumed run starts: the first sector of the earliest phase with work left.
int64_t ResumePoint(const SectorMap& sectors) {
  for (SectorState phase : kPhases)
    if (const auto area = sectors.next(sectors.first(), phase)) return area->first;
  return sectors.end();
}

// Another source of the same name, size and identifiers (a disk of the same model in the same
// bay) would pass the map's identity: a sample of the finished sectors, spread over them, is read
// again and compared with what the target holds. Sectors that do not read now prove nothing.
bool FinishedSectorsMatch(SectorSource& source, int targetFd, const SectorMap& sectors, const ImagingRequest& p) {
  constexpr int64_t kSamples = 16;
  const int64_t finished = sectors.count(SectorState::Finished);
  const int64_t Ps = p.sourceSectorSize, Pt = p.targetSectorSize, compared = std::min(Ps, Pt);
  std::vector<uint8_t> read(static_cast<size_t>(Ps)), kept(static_cast<size_t>(compared));
  // The target was opened for writing only: the same file is opened again to read.
  const UniqueFd held = ReopenOpenFile(targetFd);
  if (!held) return false;
  const std::vector<SectorArea> areas = sectors.areas();
  auto area = areas.begin();
  int64_t before = 0;  // finished sectors in the areas before `area`
  for (int64_t i = 0; i < std::min(kSamples, finished); ++i) {
    const int64_t index = (2 * i + 1) * finished / (2 * std::min(kSamples, finished));
    for (; area->state != SectorState::Finished || index >= before + area->end - area->first; ++area)
      if (area->state == SectorState::Finished) before += area->end - area->first;
    const int64_t sector = area->first + (index - before);
    std::fill(read.begin(), read.end(), kFill);
    if (!source.readOne(sector, read.data()).complete) continue;
    const int64_t at = (p.targetStart + sector - p.sourceStart) * Pt;
    if (at == 0 && compared > 511 && read[511] == 0xAA) read[511] = kFill;
    if (ReadAt(held.get(), kept.data(), kept.size(), at) != compared || !std::equal(kept.begin(), kept.end(), read.begin()))
      return false;
  }
  return true;
}

}  // namespace

std::u16string TargetRefusal(const ImagingRequest& p, const ImagingEnvironment& env) {
  const fs::path target = !p.targetFile.empty() ? p.targetFile : p.targetDiskNode;
  if (target.empty()) return {};
  const std::u16string same = u"目标设备就是源设备，不能写入";
  if (p.targetFile.empty() && p.targetDisk >= 0 && p.targetDisk == p.sourceDisk) return same;

  if (!p.targetFile.empty() && ReachedThroughLink(p.targetFile)) return u"目标文件经由符号链接，不能写入";

  const StorageProbe probe = ProbeOf(env);
  const bool targetIsDevice = (env.deviceNumber ? env.deviceNumber(target) : BlockDeviceNumber(target)) != 0;
  const FileKind kind = KindOfPath(target);
  if (!targetIsDevice && kind != FileKind::Missing && kind != FileKind::Regular)
    return u"目标既不是普通文件也不是磁盘，不能写入";

  const StorageIdentity targetStorage = IdentifyStorage(target, probe);
  std::vector<StorageIdentity> sources;
  if (p.sourceScsi && p.sourceScsi->blockDevice != 0)
    sources.push_back(IdentifyBlockDevice(p.sourceScsi->blockDevice, probe));
  for (const fs::path& source : {p.sourceImage, p.sourceDiskNode})
    if (!source.empty()) sources.push_back(IdentifyStorage(source, probe));
  for (const StorageIdentity& source : sources) {
    switch (CompareStorage(targetStorage, source)) {
      case StorageClash::None: break;
      case StorageClash::OutputOnInputsDisk:
        return u"目标文件位于源磁盘的文件系统上，写入会覆盖源磁盘上待恢复的数据";
      case StorageClash::InputOnOutputsDisk: return u"源镜像文件位于目标设备上，写入会损坏它";
      case StorageClash::Same: return same;
    }
  }

  // A mounted file system on any device sharing the target's sectors (a partition, a holder, a
  // loop device over a target file) would be corrupted under the kernel's feet.
  for (const StorageIdentity& mounted : MountedFileSystems(probe))
    if (CompareStorage(targetStorage, mounted) == StorageClash::Same)
      return u"目标设备上有已挂载的文件系统，写入会损坏它";
  return {};
}

ImagingOutcome RunImaging(const ImagingRequest& p, const std::atomic<int>& stop, ImagingReporter& reporter,
                          const ImagingEnvironment& env) {
  reporter.Message(u"镜像", u"正在镜像...");
  constexpr ImagingOutcome kRefused{ImagingEnd::Refused};
  // The page refuses these sizes already; the buffers and the boot-signature rule rely on it.
  for (int32_t size : {p.sourceSectorSize, p.targetSectorSize}) {
    if (size < 512 || size > kMaxSectorSize) {
      Interrupted(reporter, u"请正确填写扇区大小");
      return kRefused;
    }
  }
  if (!OffsetsFit(p)) {
    Interrupted(reporter, u"起始位置或大小超出范围");
    return kRefused;
  }
  const std::u16string refusal = TargetRefusal(p, env);
  if (!refusal.empty()) {
    reporter.Message(u"错误", u"打开目标设备错误");
    Interrupted(reporter, refusal);
    return kRefused;
  }

  // A source that is neither a file nor a disk (a FIFO, for one) could never be read; it is
  // refused before the target is created or emptied.
  const fs::path sourcePath = !p.sourceImage.empty() ? p.sourceImage : p.sourceDiskNode;
  if (!p.sourceScsi && !sourcePath.empty()) {
    const FileKind kind = KindOfPath(sourcePath);
    if (kind != FileKind::Missing && kind != FileKind::Regular && kind != FileKind::BlockDevice) {
      Interrupted(reporter, u"打开源设备错误");
      return kRefused;
    }
  }

  const auto now = env.nowSeconds ? env.nowSeconds : SteadySeconds;
  int64_t progressMaximum = 0;
  ImagingOutcome outcome;
  try {
    // The source opens first, so that a source that cannot be read leaves the target as it was.
    std::optional<ScsiDevice> scsiDevice = p.sourceScsi;  // the target binds to it for the whole copy
    std::optional<ScsiTarget> scsi;
    UniqueFd sourceFd;
    std::unique_ptr<SectorSource> source;
    ReadSizes sizes;
    if (scsiDevice && env.scsi != nullptr) {
      scsi.emplace(*env.scsi);
      scsi->bind(&*scsiDevice);
      source = std::make_unique<ScsiSource>(*scsi, p.sourceSectorSize, scsiDevice->blockCount);
      sizes.block = sizes.firstSkip = kScsiBlockSectors;
    } else {
      sourceFd = sourcePath.empty() ? UniqueFd() : OpenSharedInput(sourcePath, true);
      if (!sourceFd) {
        Interrupted(reporter, u"打开源设备错误");
        return {};
      }
      source = std::make_unique<HandleSource>(sourceFd.get(), p.sourceSectorSize);
      sizes.block = kHandleBlockSectors;
      sizes.firstSkip = std::max<int64_t>(1, kRequestBytes / p.sourceSectorSize);
    }
    const int64_t end = RunEnd(p, source->sectorCount());
    // As rescue tools do: the skip grows to a hundredth of the run, at most 1 GiB.
    sizes.maxSkip = std::max(sizes.firstSkip, std::min((end - p.sourceStart) / 100, (int64_t{1} << 30) / p.sourceSectorSize));

    const auto deviceNumber = env.deviceNumber ? env.deviceNumber : BlockDeviceNumber;
    const bool imageTarget = !p.targetFile.empty() && deviceNumber(p.targetFile) == 0;
    const RescueRun run{SourceIdentity(p, env.sysfsRoot), p.sourceSectorSize, p.targetSectorSize,
                        p.sourceStart, end - p.sourceStart, p.targetStart};
    MapPlan plan = PlanMap(p, run, imageTarget, ProbeOf(env), reporter);
    UniqueFd target;
    int openError = 0;
    if (imageTarget) {
      const fs::path inputs[] = {p.sourceImage, p.sourceDiskNode};
      // Continuing from the map keeps what the target holds; otherwise the target starts empty.
      target = plan.resume ? OpenOutputKeeping(p.targetFile, inputs, ProbeOf(env))
                           : CreateOutput(p.targetFile, inputs, ProbeOf(env));
    } else if (!p.targetFile.empty() || !p.targetDiskNode.empty()) {
      target = OpenDeviceExclusive(!p.targetFile.empty() ? p.targetFile : p.targetDiskNode, &openError);
    }
    if (!target) {
      if (openError == EBUSY) {
        reporter.Message(u"错误", u"打开目标设备错误");
        Interrupted(reporter, u"目标设备正被系统使用（已挂载或被占用），写入会损坏它");
      } else {
        Interrupted(reporter, u"打开目标设备错误");
      }
      return {};
    }
    if (plan.resume) {
      if (FinishedSectorsMatch(*source, target.get(), plan.sectors, p)) {
        char text[96];
        std::snprintf(text, sizeof text, "按映射文件继续，从扇区%lld开始",
                      static_cast<long long>(ResumePoint(plan.sectors)));
        reporter.Message(u"映射", Utf8ToText(text));
      } else {
        reporter.Message(u"映射", u"源设备与映射文件记录的不是同一来源，重新开始");
        plan.sectors = SectorMap(run.start, end);
        if (!SetFileLength(target.get(), 0)) {
          Interrupted(reporter, u"打开目标设备错误");
          return {};
        }
      }
    }

    RescueMapKeeper sectors(std::move(plan.file), run, std::move(plan.sectors), target.get());
    sectors.saveNow();
    progressMaximum = CopyLoop(p, reporter, stop, now, sizes, end, sectors).run(*source, target.get());
    // A map that could not be kept leaves a copy that cannot be resumed or trusted as complete.
    bool mapLacking = plan.lacking;
    if (!sectors.finish()) {
      reporter.Message(u"映射", u"映射文件写入失败");
      mapLacking = true;
    }
    // Unreadable sectors stay bad; sectors whose write failed stay not tried.
    if (stop.load() != 0) outcome.end = ImagingEnd::Stopped;
    else if (mapLacking || sectors.count(SectorState::Finished) < end - p.sourceStart) outcome.end = ImagingEnd::Incomplete;
    else outcome.end = ImagingEnd::Completed;
  } catch (const std::bad_alloc&) {
    Interrupted(reporter, u"内存不足");
    return {};
  }
  reporter.Message(u"镜像", u"镜像完成");
  reporter.Progress(0, progressMaximum);
  return outcome;
}

}  // namespace brenvik
