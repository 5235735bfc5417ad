#include "disk/ImagingJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
#include "platform/PathText.h"
#include "platform/StorageIdentity.h"

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

// What a read of the source gave.
struct SourceRead {
  int64_t bytes = 0;   // bytes read, from the first sector asked for on
  bool atEnd = false;  // the source ends after `bytes`: nothing further can ever be read
};

class SectorSource {
 public:
  virtual ~SectorSource() = default;
  // Reads `n` sectors from `sector` on.
  virtual SourceRead read(int64_t sector, int64_t n, uint8_t* buffer) = 0;
  // The same read, but only the first `keep` bytes of every sector land in `out`, `keep` apart
  // (keep < sector size), which saves copying the block once more. Nothing when the source
  // cannot read this way.
  virtual std::optional<SourceRead> readKeeping(int64_t, int64_t, uint8_t*, int64_t) { return std::nullopt; }
  // Reads one sector as exactly as the source allows, so that a bad neighbour does not fail it.
  virtual SourceRead readOne(int64_t sector, uint8_t* buffer) { return read(sector, 1, buffer); }
};

class HandleSource : public SectorSource {
 public:
  HandleSource(int fd, int32_t sectorSize) : fd_(fd), sectorSize_(sectorSize) {}

  SourceRead read(int64_t sector, int64_t n, uint8_t* buffer) override {
    int64_t offset = 0;
    if (__builtin_mul_overflow(sector, int64_t{sectorSize_}, &offset) || offset < 0) return {};
    const size_t wanted = static_cast<size_t>(n * sectorSize_);
    SourceRead result;
    size_t got = 0;
    while (got < wanted) {
      const int64_t count = ReadAt(fd_, buffer + got, wanted - got, offset + static_cast<int64_t>(got));
      result.atEnd = count == 0;
      if (count <= 0) break;
      got += static_cast<size_t>(count);
    }
    result.bytes = static_cast<int64_t>(got);
    return result;
  }

  std::optional<SourceRead> readKeeping(int64_t sector, int64_t n, uint8_t* out, int64_t keep) override {
    int64_t offset = 0;
    if (__builtin_mul_overflow(sector, int64_t{sectorSize_}, &offset) || offset < 0) return SourceRead{};
    discard_.resize(static_cast<size_t>(sectorSize_ - keep));
    constexpr int64_t kSectorsPerCall = IOV_MAX / 2;
    std::vector<iovec> parts;
    SourceRead result;
    for (int64_t first = 0; first < n; first += kSectorsPerCall) {
      const int64_t count = std::min(kSectorsPerCall, n - first);
      parts.clear();
      for (int64_t i = first; i < first + count; ++i) {
        parts.push_back({out + i * keep, static_cast<size_t>(keep)});
        parts.push_back({discard_.data(), discard_.size()});
      }
      const int64_t wanted = count * sectorSize_;
      const int64_t read = ReadScattered(fd_, parts, offset + result.bytes);
      if (read > 0) result.bytes += read;
      result.atEnd = read == 0;
      if (read != wanted) break;  // end of the source or a failed read: the caller looks closer
    }
    return result;
  }

  // A page-cache read fails for every sector of a memory page that holds one bad sector, so a
  // single sector is read with direct I/O where the source allows it.
  SourceRead readOne(int64_t sector, uint8_t* buffer) override {
    if (!directTried_) openDirect();
    if (direct_) {
      const int64_t got = ReadAt(direct_.get(), aligned_.get(), static_cast<size_t>(sectorSize_), sector * sectorSize_);
      if (got >= 0) {
        std::copy_n(aligned_.get(), got, buffer);
        return {got, got < sectorSize_};
      }
      if (errno != EINVAL) return {};
      direct_.reset();  // the file system or the sector size does not allow direct reads
    }
    return read(sector, 1, buffer);
  }

 private:
  void openDirect() {
    directTried_ = true;
    // A second open of the same file, not of the path, which may lead elsewhere by now.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    direct_.reset(::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
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
  std::vector<uint8_t> discard_;
  bool directTried_ = false;
  UniqueFd direct_;
  std::unique_ptr<uint8_t, Free> aligned_;
};

class ScsiSource : public SectorSource {
 public:
  ScsiSource(ScsiTarget& target, int32_t sectorSize) : target_(target), sectorSize_(sectorSize) {}
  SourceRead read(int64_t sector, int64_t n, uint8_t* buffer) override {
    // READ(10) addresses 32 bits of blocks: beyond that it would silently read the wrong blocks.
    if (sector < 0 || sector + n > (int64_t{1} << 32)) return {0, n == 1};
    const size_t bytes = static_cast<size_t>(n * sectorSize_);
    const int result = target_.read10(static_cast<uint32_t>(sector), static_cast<uint16_t>(n),
                                      static_cast<uint32_t>(sectorSize_), std::span(buffer, bytes));
    if (result == kScsiNoSense) return {static_cast<int64_t>(bytes), false};
    // "Logical block address out of range" for one block: the disk ends before it.
    constexpr int kIllegalRequest = 0x050000;
    return {0, n == 1 && result == kIllegalRequest && target_.sense()[12] == 0x21};
  }

 private:
  ScsiTarget& target_;
  int32_t sectorSize_;
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
    if (startWriteback_) ::sync_file_range(fd_, offset, static_cast<int64_t>(size), SYNC_FILE_RANGE_WRITE);
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

// The sectors of one block after its read: [first, tried) were read or found unreadable (those
// in `bad`); sectors from `tried` on were not tried because Stop came first.
struct BlockOutcome {
  int64_t first = 0;
  int64_t tried = 0;
  std::vector<std::pair<int64_t, int64_t>> bad;  // [first, end) runs of unreadable sectors
};

class CopyLoop {
 public:
  CopyLoop(const ImagingRequest& p, ImagingReporter& sink, const std::atomic<int>& stop,
           std::function<int64_t()> now, int64_t blockSectors, RescueMapKeeper& sectors)
      : p_(p), sink_(sink), stop_(stop), now_(std::move(now)), block_(blockSectors), sectors_(sectors) {}

  // Returns the progress maximum, in blocks.
  int64_t run(SectorSource& source, int targetFd) {
    copyPass(source, targetFd);
    if (stop_.load() == 0 && p_.retryPasses > 0) retryPasses(source, targetFd);
    if (stop_.load() == 0) {
      position_ = p_.sourceStart + std::max<int64_t>(p_.sourceCount, 0);
      sectors_.at(position_, SectorState::Finished);
    }
    // The map as the run leaves it, whenever the last one went out.
    ImagingDisplays displays;
    displays.lba = Utf8ToText(std::to_string(position_));
    report(std::move(displays), position_, false);
    return progressMaximum_;
  }

 private:
  // Copies every sector not tried yet, block by block; a block that does not read in full is
  // read again sector by sector, so only sectors that really cannot be read stay 0xBB.
  void copyPass(SectorSource& source, int targetFd) {
    const int64_t S = p_.sourceStart, K = p_.sourceCount, B = block_;
    const int64_t Ps = p_.sourceSectorSize, Pt = p_.targetSectorSize;
    const int64_t end = S + std::max<int64_t>(K, 0);
    progressMaximum_ = end / B;
    sink_.Progress(0, progressMaximum_);
    start_ = now_();
    const auto firstArea = sectors_.next(S, SectorState::NotTried);
    displayStart_ = firstArea ? firstArea->first : end;
    position_ = displayStart_;
    settledAtStart_ = SettledBytes(TotalsOf(snapshot(position_, true)->blocks));

    // With equal sector sizes the read goes straight into the output buffer. Otherwise the input
    // buffer has room for the tail an output sector may take beyond its source sector, so that a
    // larger target sector never reads outside the buffer; that tail is fill.
    const bool direct = Ps == Pt;
    std::vector<uint8_t> input(direct ? 0 : static_cast<size_t>(Ps * B + std::max<int64_t>(0, Pt - Ps)));
    std::vector<uint8_t> output[2] = {std::vector<uint8_t>(static_cast<size_t>(Pt * B)),
                                      std::vector<uint8_t>(static_cast<size_t>(Pt * B))};
    scratch_.resize(static_cast<size_t>(Ps));
    int slot = 0;
    BlockWriter writer(targetFd, sectors_.hasFile());
    for (auto area = firstArea; area; area = sectors_.next(area->end, SectorState::NotTried)) {
      for (int64_t current = area->first; current < area->end;) {
        if (stop_.load() != 0) {
          finishWrite(writer);
          return;
        }
        const int64_t n = std::min(B, area->end - current);
        uint8_t* out = output[slot].data();
        uint8_t* in = direct ? out : input.data();
        const size_t inSpan = direct ? static_cast<size_t>(n * Ps) : static_cast<size_t>(n * Ps + std::max<int64_t>(0, Pt - Ps));
        BlockOutcome outcome = readBlock(source, current, n, in, inSpan, out);
        if (targetOffset(current) == 0 && out[511] == 0xAA) out[511] = kFill;  // never a complete boot signature

        // Rows of the previous block first, so they stay in block order. A Stop that came while the
        // previous block was written ends the copy before this block, as if the blocks ran one after
        // the other; the block read ahead is dropped.
        const bool overlapped = finishWrite(writer);
        if (overlapped && stop_.load() != 0) break;
        for (const auto& [first, last] : outcome.bad) reportUnreadable(first, last);
        startWrite(writer, out, static_cast<size_t>(n * Pt), targetOffset(current), current + n, std::move(outcome));
        current += n;
        slot ^= 1;
      }
      if (stop_.load() != 0) break;
    }
    finishWrite(writer);
  }

  // Reads one block into `out` (through `in` when the sector sizes differ) and looks closer at
  // whatever did not read: each sector after the first one missing is read once more on its own.
  BlockOutcome readBlock(SectorSource& source, int64_t current, int64_t n, uint8_t* in, size_t inSpan, uint8_t* out) {
    const int64_t Ps = p_.sourceSectorSize, Pt = p_.targetSectorSize;
    const bool kept = Pt < Ps;
    std::optional<SourceRead> read;
    if (kept) read = source.readKeeping(current, n, out, Pt);
    const bool keeping = read.has_value();
    if (keeping) {
      if (read->bytes < n * Ps)
        for (int64_t i = 0; i < n; ++i)
          std::fill(out + i * Pt + std::clamp<int64_t>(read->bytes - i * Ps, 0, Pt), out + (i + 1) * Pt, kFill);
    } else {
      read = source.read(current, n, in);
      std::fill(in + std::clamp<int64_t>(read->bytes, 0, static_cast<int64_t>(inSpan)), in + inSpan, kFill);
    }

    BlockOutcome outcome{current, current + n, {}};
    const int64_t whole = std::clamp<int64_t>(read->bytes / Ps, 0, n);
    if (whole < n && read->atEnd) {
      outcome.bad.push_back({current + whole, current + n});
    } else {
      for (int64_t i = whole; i < n; ++i) {
        if (stop_.load() != 0) {
          outcome.tried = current + i;
          break;
        }
        // A dead area may take long sector by sector: LBA shows the copy is still moving.
        showSector(current + i);
        const SourceRead one = source.readOne(current + i, scratch_.data());
        // The bytes that did come stay, over whatever the block read left there.
        uint8_t* place = keeping ? out + i * Pt : in + i * Ps;
        std::copy_n(scratch_.data(), std::clamp<int64_t>(one.bytes, 0, keeping ? Pt : Ps), place);
        if (one.bytes >= Ps) continue;
        const int64_t badEnd = one.atEnd ? current + n : current + i + 1;
        if (!outcome.bad.empty() && outcome.bad.back().second == current + i) outcome.bad.back().second = badEnd;
        else outcome.bad.push_back({current + i, badEnd});
        if (one.atEnd) break;
      }
    }
    if (!keeping && in != out)
      for (int64_t i = 0; i < n; ++i) std::copy_n(in + i * Ps, Pt, out + i * Pt);
    return outcome;
  }

  // After the copy, each sector still unreadable gets up to `retryPasses` more tries on its own;
  // a sector that reads is written and counts as finished.
  void retryPasses(SectorSource& source, int targetFd) {
    const int64_t Ps = p_.sourceSectorSize;
    const int64_t before = sectors_.count(SectorState::Bad);
    if (before == 0) return;
    const int64_t began = now_();
    std::vector<uint8_t> buffer(static_cast<size_t>(Ps * block_));
    int64_t sourceEnd = INT64_MAX;  // the first sector the source was found to end before
    for (int pass = 0; pass < p_.retryPasses && stop_.load() == 0; ++pass) {
      for (auto area = sectors_.next(p_.sourceStart, SectorState::Bad); area && area->first < sourceEnd;
           area = sectors_.next(area->end, SectorState::Bad)) {
        for (int64_t s = area->first; s < area->end && s < sourceEnd && stop_.load() == 0;) {
          // An unreadable area of a whole block or more is seldom damage of the medium; more often
          // the disk was gone for a while. It is tried a block at a time first, so that a disk
          // that came back is not read one sector per request; a block that still fails is tried
          // sector by sector.
          const int64_t n = std::min(block_, area->end - s);
          if (n == block_) {
            sectors_.at(s, SectorState::Bad);
            showSector(s);
            if (source.read(s, n, buffer.data()).bytes >= n * Ps) {
              writeRecovered(targetFd, s, n, buffer.data());
              s += n;
              continue;
            }
          }
          for (const int64_t last = s + n; s < last && s < sourceEnd && stop_.load() == 0; ++s) {
            sectors_.at(s, SectorState::Bad);
            showSector(s);
            const SourceRead one = source.readOne(s, buffer.data());
            if (one.atEnd && one.bytes < Ps) sourceEnd = s;
            if (one.bytes >= Ps) writeRecovered(targetFd, s, 1, buffer.data());
          }
        }
        if (stop_.load() != 0) break;
      }
    }
    showSector(p_.sourceStart + std::max<int64_t>(p_.sourceCount, 0));
    const int64_t after = sectors_.count(SectorState::Bad);
    char text[160];
    std::snprintf(text, sizeof text, "，恢复%lld个扇区，仍有%lld个坏扇区", static_cast<long long>(before - after),
                  static_cast<long long>(after));
    sink_.Message(u"重试", u"重试用时" + FormatRemainingTime(now_() - began) + Utf8ToText(text));
  }

  // Writes `n` sectors read on a retry (source sectors back to back in `data`, which it may
  // reorder) and marks them finished. Only each sector's own bytes are written: with larger
  // target sectors the tail of a target sector keeps what the copy put there.
  void writeRecovered(int targetFd, int64_t first, int64_t n, uint8_t* data) {
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
    if (written) sectors_.set(first, first + n, SectorState::Finished);
    else sink_.Message(u"写入", OffsetText("写入位置%lld错误", targetOffset(first)));
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

  // One row per run of consecutive unreadable sectors, even when the run spans blocks.
  void reportUnreadable(int64_t first, int64_t end) {
    if (first != unreadableEnd_) sink_.Message(u"读取", OffsetText("读取位置%lld错误", first * p_.sourceSectorSize));
    unreadableEnd_ = end;
  }

  void startWrite(BlockWriter& writer, const uint8_t* data, size_t size, int64_t offset, int64_t next,
                  BlockOutcome outcome) {
    writer.start(data, size, offset);
    pending_ = Pending{offset, next, std::move(outcome)};
  }

  // Finishes the pending write, if any, records its sectors and reports it; true when there was one.
  bool finishWrite(BlockWriter& writer) {
    if (!pending_) return false;
    const bool written = writer.wait();
    if (!written) {
      // The target does not hold these sectors: they stay not tried, for a later run.
      sink_.Message(u"写入", OffsetText("写入位置%lld错误", pending_->offset));
    } else {
      const BlockOutcome& o = pending_->outcome;
      sectors_.set(o.first, o.tried, SectorState::Finished);
      for (const auto& [first, end] : o.bad) sectors_.set(first, std::min(end, o.tried), SectorState::Bad);
    }
    sectors_.at(pending_->next, SectorState::NotTried);
    sink_.Progress(pending_->next / block_, progressMaximum_);
    const int64_t end = p_.sourceStart + std::max<int64_t>(p_.sourceCount, 0);
    report(ComputeDisplays(pending_->next, displayStart_, end - displayStart_, p_.sourceSectorSize, now_() - start_),
           pending_->next, true);
    pending_.reset();
    return true;
  }

  struct Pending {
    int64_t offset;  // where the block goes
    int64_t next;    // the source sector after it
    BlockOutcome outcome;
  };

  const ImagingRequest& p_;
  ImagingReporter& sink_;
  const std::atomic<int>& stop_;
  std::function<int64_t()> now_;
  int64_t block_;
  RescueMapKeeper& sectors_;
  int64_t progressMaximum_ = 0;
  int64_t start_ = 0;
  int64_t displayStart_ = 0;  // the first sector this run reads: speed and time count from there
  int64_t position_ = 0;      // the sector the run is at
  int64_t settledAtStart_ = 0;  // bytes finished or found bad before this run: the rate counts the rest
  static constexpr std::chrono::milliseconds kMapInterval{250};
  std::chrono::steady_clock::time_point lastMap_{};
  int64_t unreadableEnd_ = -1;
  std::vector<uint8_t> scratch_;
  std::optional<Pending> pending_;
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

void Interrupted(ImagingReporter& sink, std::u16string_view error) {
  sink.Message(u"错误", error);
  sink.Message(u"镜像", u"镜像中断");
}

std::string DeviceNumberText(uint64_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// What the source is, in words that stay the same when the same source is chosen again: a disk
// that dropped off the bus and came back under another node name keeps its identifier.
std::string SourceIdentity(const ImagingRequest& p, const fs::path& sysfsRoot) {
  if (p.sourceScsi != nullptr) {
    const ScsiDevice& d = *p.sourceScsi;
    return "scsi " + d.displayName + " serial=" + TextToUtf8(d.serial) + " blocks=" + std::to_string(d.blockCount) +
           "x" + std::to_string(d.blockLength);
  }
  const fs::path path = !p.sourceImage.empty() ? p.sourceImage : p.sourceDiskNode;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "path " + path.string();
  if (S_ISBLK(st.st_mode)) {
    const fs::path entry = sysfsRoot / "dev/block" / DeviceNumberText(st.st_rdev);
    for (const char* name : {"device/wwid", "wwid", "device/serial", "serial", "loop/backing_file"}) {
      const std::string id = FirstLine(entry / name);
      if (!id.empty())
        return "disk " + FirstLine(entry / "device/model") + " id=" + id + " sectors=" + FirstLine(entry / "size");
    }
    return "disk " + path.string() + " sectors=" + FirstLine(entry / "size");
  }
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  return "image " + (error ? path : absolute).string() + " bytes=" + std::to_string(st.st_size);
}

// The target holds what the map says it holds only when it reaches at least as far as the last
// sector the map says was written (finished or filled as unreadable).
bool TargetReaches(const fs::path& target, const SectorMap& sectors, const ImagingRequest& p) {
  int64_t written = p.sourceStart;
  for (const SectorArea& area : sectors.areas())
    if (area.state != SectorState::NotTried) written = area.end;
  struct stat st {};
  return ::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         st.st_size >= (p.targetStart + written - p.sourceStart) * p.targetSectorSize;
}

// How the run starts with respect to the map beside an image-file target.
struct MapPlan {
  std::optional<RescueMapFile> file;  // none: no map is kept
  SectorMap sectors;
  bool resume = false;
};

MapPlan PlanMap(const ImagingRequest& p, const RescueRun& run, bool imageTarget, const StorageProbe& probe,
                ImagingReporter& sink) {
  MapPlan plan;
  const int64_t end = p.sourceStart + std::max<int64_t>(p.sourceCount, 0);
  plan.sectors = SectorMap(p.sourceStart, end);
  // Only an image file gets a map: a disk or a special file named as target has no "beside". A
  // run with negative sectors (which read nothing) has no place in a map either.
  struct stat st {};
  if (!imageTarget || (::lstat(p.targetFile.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) || p.sourceStart < 0 ||
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
    sink.Message(u"映射", u"已有同名文件不是映射文件，本次不写映射");
    return plan;
  }
  if (onInput) return plan;
  plan.file = std::move(file);
  if (loaded.found == RescueMapFile::Found::None) return plan;
  if (loaded.parsed.run == run && loaded.parsed.map && TargetReaches(p.targetFile, *loaded.parsed.map, p)) {
    plan.sectors = std::move(*loaded.parsed.map);
    plan.resume = true;
    auto from = plan.sectors.next(p.sourceStart, SectorState::NotTried);
    if (!from) from = plan.sectors.next(p.sourceStart, SectorState::Bad);
    char text[96];
    std::snprintf(text, sizeof text, "按映射文件继续，从扇区%lld开始", static_cast<long long>(from ? from->first : end));
    sink.Message(u"映射", Utf8ToText(text));
  } else {
    sink.Message(u"映射", u"映射文件与本次镜像不符，重新开始");
  }
  return plan;
}

}  // namespace

std::u16string TargetRefusal(const ImagingRequest& p, const ImagingEnvironment& env) {
  const fs::path target = !p.targetFile.empty() ? p.targetFile : p.targetDiskNode;
  if (target.empty()) return {};
  const std::u16string same = u"目标设备就是源设备，不能写入";
  if (p.targetFile.empty() && p.targetDisk >= 0 && p.targetDisk == p.sourceDisk) return same;

  const StorageProbe probe = ProbeOf(env);
  const bool targetIsDevice = (env.deviceNumber ? env.deviceNumber(target) : BlockDeviceNumber(target)) != 0;
  const FileKind kind = KindOfPath(target);
  if (!targetIsDevice && kind != FileKind::Missing && kind != FileKind::Regular)
    return u"目标既不是普通文件也不是磁盘，不能写入";

  const StorageIdentity targetStorage = IdentifyStorage(target, probe);
  std::vector<StorageIdentity> sources;
  if (p.sourceScsi != nullptr && p.sourceScsi->blockDevice != 0)
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

ImagingOutcome RunImaging(const ImagingRequest& p, const std::atomic<int>& stop, ImagingReporter& sink,
                          const ImagingEnvironment& env) {
  sink.Message(u"镜像", u"正在镜像...");
  // The page refuses these sizes already; the buffers and the boot-signature rule rely on it.
  for (int32_t size : {p.sourceSectorSize, p.targetSectorSize}) {
    if (size < 512 || size > kMaxSectorSize) {
      Interrupted(sink, u"请正确填写扇区大小");
      return {};
    }
  }
  if (!OffsetsFit(p)) {
    Interrupted(sink, u"起始位置或大小超出范围");
    return {};
  }
  const std::u16string refusal = TargetRefusal(p, env);
  if (!refusal.empty()) {
    sink.Message(u"错误", u"打开目标设备错误");
    Interrupted(sink, refusal);
    return {};
  }

  // A source that is neither a file nor a disk (a FIFO, for one) could never be read; it is
  // refused before the target is created or emptied.
  const fs::path sourcePath = !p.sourceImage.empty() ? p.sourceImage : p.sourceDiskNode;
  if (p.sourceScsi == nullptr && !sourcePath.empty()) {
    const FileKind kind = KindOfPath(sourcePath);
    if (kind != FileKind::Missing && kind != FileKind::Regular && kind != FileKind::BlockDevice) {
      Interrupted(sink, u"打开源设备错误");
      return {};
    }
  }

  UniqueFd target;
  int openError = 0;
  const auto deviceNumber = env.deviceNumber ? env.deviceNumber : BlockDeviceNumber;
  const bool imageTarget = !p.targetFile.empty() && deviceNumber(p.targetFile) == 0;
  const RescueRun run{SourceIdentity(p, env.sysfsRoot), p.sourceSectorSize, p.targetSectorSize,
                      p.sourceStart, p.sourceCount, p.targetStart};
  MapPlan plan = PlanMap(p, run, imageTarget, ProbeOf(env), sink);
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
      sink.Message(u"错误", u"打开目标设备错误");
      Interrupted(sink, u"目标设备正被系统使用（已挂载或被占用），写入会损坏它");
    } else {
      Interrupted(sink, u"打开目标设备错误");
    }
    return {};
  }

  auto now = env.nowSeconds ? env.nowSeconds : SteadySeconds;
  int64_t progressMaximum = 0;
  try {
    std::optional<ScsiTarget> scsi;
    UniqueFd sourceFd;
    std::unique_ptr<SectorSource> source;
    int64_t blockSectors = kHandleBlockSectors;
    if (p.sourceScsi != nullptr && env.scsi != nullptr) {
      scsi.emplace(*env.scsi);
      scsi->bind(p.sourceScsi);
      source = std::make_unique<ScsiSource>(*scsi, p.sourceSectorSize);
      blockSectors = kScsiBlockSectors;
    } else {
      sourceFd = sourcePath.empty() ? UniqueFd() : OpenSharedInput(sourcePath, true);
      if (!sourceFd) {
        target.reset();
        Interrupted(sink, u"打开源设备错误");
        return {};
      }
      source = std::make_unique<HandleSource>(sourceFd.get(), p.sourceSectorSize);
    }
    RescueMapKeeper sectors(std::move(plan.file), run, std::move(plan.sectors), target.get());
    sectors.saveNow();
    progressMaximum = CopyLoop(p, sink, stop, now, blockSectors, sectors).run(*source, target.get());
    if (!sectors.finish()) sink.Message(u"映射", u"映射文件写入失败");
  } catch (const std::bad_alloc&) {
    Interrupted(sink, u"内存不足");
    return {};
  }
  target.reset();
  sink.Message(u"镜像", u"镜像完成");
  sink.Progress(0, progressMaximum);
  return {true};
}

}  // namespace brenvik
