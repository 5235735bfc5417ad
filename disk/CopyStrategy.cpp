#include "disk/CopyStrategy.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "core/TextHelpers.h"
#include "disk/BlockWriter.h"
#include "disk/SectorDomain.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik::imaging {
namespace {

std::u16string OffsetText(const char* format, int64_t offset) {
  char text[96];
  std::snprintf(text, sizeof text, format, static_cast<long long>(offset));
  return Utf8ToText(text);
}

class CopyLoop {
 public:
  CopyLoop(const ImagingRequest& p, ImagingReporter& reporter, const std::atomic<int>& stop,
           std::function<int64_t()> now, ReadSizes sizes, int64_t end, RescueMapKeeper& sectors,
           const SectorDomain* domain)
      : p_(p), sink_(reporter), stop_(stop), now_(std::move(now)), sizes_(sizes), end_(end), sectors_(sectors),
        domain_(domain), found_(p.sourceStart, end) {
    if (domain_ != nullptr) {
      auto bytes = std::make_shared<std::vector<std::pair<int64_t, int64_t>>>();
      bytes->reserve(domain_->runs().size());
      for (const auto& [first, last] : domain_->runs())
        bytes->push_back({first * p.sourceSectorSize, last * p.sourceSectorSize});
      domainBytes_ = std::move(bytes);
    }
  }

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
      // Inside a domain the run may leave work outside it: the map then points at that work, so
      // that the next run (this program's or ddrescue's) goes on there.
      std::optional<SectorArea> left;
      for (SectorState phase : kPhases)
        if (domain_ != nullptr && !left && phase != SectorState::Bad && (left = sectors_.next(p_.sourceStart, phase)))
          sectors_.at(left->first, phase);
      if (!left) sectors_.at(end_, SectorState::Finished);
      position_ = left ? left->first : end_;
    }
    // The map as the run leaves it, whenever the last one went out; the LBA where the run ended.
    ImagingDisplays displays;
    displays.lba = Utf8ToText(std::to_string(position_));
    report(std::move(displays), position_, false);
    return progressMaximum_;
  }

 private:
  bool stopped() const { return stop_.load() != 0; }

  // The next area of `state` this run reads: inside the domain, when there is one.
  std::optional<SectorArea> next(int64_t from, SectorState state) const { return NextIn(sectors_, domain_, from, state); }

  // Copies the areas not tried yet, block by block. A read that fails marks the area it touched
  // as failed and the copy skips ahead, further while the errors go on, so that a bad area is
  // crossed with few reads; a second pass then reads what was skipped, without skipping.
  void copyPhase(SectorSource& source, int targetFd) {
    const int64_t S = p_.sourceStart, B = sizes_.block;
    const int64_t Ps = p_.sourceSectorSize, Pt = p_.targetSectorSize;
    progressMaximum_ = end_ / B;
    sink_.Progress(0, progressMaximum_);
    start_ = now_();
    const auto firstArea = next(S, SectorState::NotTried);
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
      const auto area = next(at, SectorState::NotTried);
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
      const auto area = next(at, SectorState::NonTrimmed);
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
      const auto area = next(at, SectorState::NonScraped);
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
    // A copy made of several domains, one after the other, tries again only what this one found
    // unreadable: a bad sector is not tried once more by every later domain that holds it.
    SectorDomain foundBad;
    if (domain_ != nullptr)
      for (const SectorArea& area : found_.areas())
        if (area.state == SectorState::Bad) foundBad.add(area.first, area.end);
    const SectorDomain* retried = domain_ != nullptr ? &foundBad : nullptr;
    const auto bad = [&] { return retried ? CountIn(sectors_, *retried, SectorState::Bad) : sectors_.count(SectorState::Bad); };
    const int64_t before = bad();
    if (before == 0) return;
    const int64_t began = now_();
    std::vector<uint8_t> buffer(static_cast<size_t>(Ps * B));
    for (int pass = 1; pass <= p_.retryPasses && !stopped(); ++pass) {
      for (auto area = NextIn(sectors_, retried, p_.sourceStart, SectorState::Bad); area && !stopped();
           area = NextIn(sectors_, retried, area->end, SectorState::Bad)) {
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
    const int64_t after = bad();
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
    map->domain = domainBytes_;
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
  const SectorDomain* domain_;  // none: the whole run
  std::shared_ptr<const std::vector<std::pair<int64_t, int64_t>>> domainBytes_;  // the domain, for the map view
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

}  // namespace

int64_t RunCopyStrategy(const ImagingRequest& request, ImagingReporter& reporter, const std::atomic<int>& stop,
                        std::function<int64_t()> now, ReadSizes sizes, int64_t end, RescueMapKeeper& sectors,
                        SectorSource& source, int targetFd, const SectorDomain* domain) {
  return CopyLoop(request, reporter, stop, std::move(now), sizes, end, sectors, domain).run(source, targetFd);
}

}  // namespace brenvik::imaging
