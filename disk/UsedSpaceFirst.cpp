#include "disk/UsedSpaceFirst.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/TextHelpers.h"
#include "disk/CopyStrategy.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/PartitionTable.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik::imaging {
namespace {

using ntfs::Extent;

constexpr std::u16string_view kPhase = u"阶段";
constexpr size_t kFirstRecords = 16;      // the system files' records, $MFT to $Extend
constexpr int kMaxLogicalPartitions = 256;  // extended boot records followed, at most
constexpr size_t kBitmapChunk = 1 << 20;

struct Volume {
  uint64_t offset = 0;  // bytes from the run's first sector
  uint64_t length = 0;
  std::optional<ntfs::BootSector> boot;
  std::vector<Extent> mft;  // on the disk, in data order
  std::optional<ntfs::NonResidentData> bitmap;
};

std::u16string Numbered(const char* format, long long value) {
  char text[200];
  std::snprintf(text, sizeof text, format, value);
  return Utf8ToText(text);
}

class UsedFirst {
 public:
  UsedFirst(DomainCopy& io, ImagingReporter& reporter)
      : io_(io), reporter_(reporter), block_(io.request.targetSectorSize),
        viewBytes_(static_cast<uint64_t>(io.end - io.request.sourceStart) * block_) {}

  UsedSpaceOutcome run(bool usedOnly) {
    reporter_.Message(kPhase, u"复制分区表与引导扇区");
    findVolumes();
    if (stopped()) return outcome_;
    if (volumes_.empty()) {
      reporter_.Message(kPhase, u"未找到可识别的NTFS文件系统，按顺序复制整个磁盘");
      outcome_.asked = SectorDomain();
      copyRest();
      return outcome_;
    }
    outcome_.known = true;

    reporter_.Message(kPhase, u"复制MFT");
    for (Volume& v : volumes_) readMft(v);
    if (stopped()) return outcome_;
    reporter_.Message(kPhase, u"MFT已复制完成");

    reporter_.Message(kPhase, u"复制$Bitmap");
    std::vector<Extent> used;
    for (Volume& v : volumes_) readBitmap(v, used);
    if (stopped()) return outcome_;

    reporter_.Message(kPhase, u"复制已用空间");
    for (const Extent& e : unknown_) used.push_back(e);
    copy(used);
    if (stopped()) return outcome_;
    if (usedOnly) {
      reporter_.Message(kPhase, u"已用空间复制完成，其余空间未读取");
      return outcome_;
    }
    reporter_.Message(kPhase, u"复制其余空间");
    copyRest();
    return outcome_;
  }

 private:
  bool stopped() const { return io_.stop.load() != 0; }

  // The sectors holding bytes [offset, offset + length) of the run.
  SectorDomain domainOf(std::span<const Extent> extents) const {
    SectorDomain domain;
    const int64_t S = io_.request.sourceStart;
    std::vector<Extent> sorted(extents.begin(), extents.end());
    std::sort(sorted.begin(), sorted.end(), [](const Extent& a, const Extent& b) { return a.offset < b.offset; });
    for (const Extent& e : sorted) {
      if (e.length == 0 || e.offset >= viewBytes_) continue;
      const uint64_t end = std::min(viewBytes_, e.offset + std::min(e.length, viewBytes_));
      domain.add(S + static_cast<int64_t>(e.offset / block_), S + static_cast<int64_t>((end + block_ - 1) / block_));
    }
    return io_.outer ? domain.intersect(*io_.outer) : domain;
  }

  void copy(std::span<const Extent> extents) {
    if (stopped()) return;
    const SectorDomain domain = domainOf(extents);
    if (domain.empty()) return;
    for (const auto& [first, end] : domain.runs()) outcome_.asked.add(first, end);
    io_.copy(domain);
  }

  void copyRest() {
    SectorDomain all;
    all.add(io_.request.sourceStart, io_.end);
    if (io_.outer) all = all.intersect(*io_.outer);
    if (!stopped() && !all.empty()) io_.copy(all);
  }

  // Bytes [offset, offset + length) as the target holds them. Only finished sectors count: the
  // rest are left as fill and reported in `missing` (offsets from `offset`).
  std::vector<uint8_t> read(uint64_t offset, size_t length, std::vector<Extent>* missing = nullptr) const {
    std::vector<uint8_t> data(length, kFill);
    if (offset >= viewBytes_) {
      if (missing) missing->push_back({0, length});
      return data;
    }
    const int64_t S = io_.request.sourceStart, T = io_.request.targetStart;
    const uint64_t end = std::min<uint64_t>(viewBytes_, offset + length);
    const int64_t firstSector = S + static_cast<int64_t>(offset / block_);
    const int64_t endSector = S + static_cast<int64_t>((end + block_ - 1) / block_);
    uint64_t done = offset;  // bytes before this are handled
    const auto gap = [&](uint64_t to) {
      if (to > done && missing) missing->push_back({done - offset, to - done});
      done = std::max(done, to);
    };
    for (int64_t at = firstSector; at < endSector;) {
      const auto area = io_.sectors.next(at, SectorState::Finished);
      if (!area || area->first >= endSector) break;
      const uint64_t from = std::max<uint64_t>(offset, static_cast<uint64_t>(area->first - S) * block_);
      const uint64_t to = std::min<uint64_t>(end, static_cast<uint64_t>(area->end - S) * block_);
      gap(from);
      const int64_t got = ReadAt(io_.readFd, data.data() + (from - offset), to - from,
                                 static_cast<int64_t>(from) + T * block_);
      const uint64_t good = got < 0 ? 0 : static_cast<uint64_t>(got);
      if (good < to - from) std::fill(data.begin() + (from - offset) + good, data.begin() + (to - offset), kFill);
      done = from + good;
      gap(to);
      at = area->end;
    }
    gap(offset + length);
    // The copy never leaves a complete boot signature in the target's first sector: its end is put
    // back here so that the table or boot sector there is read as the source holds it.
    if (T == 0 && offset <= 511 && offset + length > 511 && data[510 - offset] == 0x55 && data[511 - offset] == kFill)
      data[511 - offset] = 0xAA;
    return data;
  }

  std::vector<uint8_t> fetch(uint64_t offset, size_t length) {
    const Extent e{offset, length};
    copy({&e, 1});
    return read(offset, length);
  }

  void findVolumes() {
    const uint64_t blocks = viewBytes_ / block_;
    if (blocks == 0) return;
    const std::vector<uint8_t> first = fetch(0, block_);
    std::vector<ntfs::Partition> partitions;
    if (ntfs::ParseBootSector(first)) {
      partitions.push_back({0, blocks});
    } else if (const auto mbr = ntfs::ParseMasterBootRecord(first, blocks)) {
      partitions = mbr->primary;
      if (mbr->protectiveGpt && blocks > 2) {
        // The backup header at the disk's end comes along: it is a block.
        const Extent tables[] = {{block_, block_}, {(blocks - 1) * block_, block_}};
        copy(tables);
        if (const auto header = ntfs::ParseGptHeader(read(block_, block_), block_, blocks)) {
          const std::vector<uint8_t> entries = fetch(header->entriesFirst * block_, header->entryBytes());
          for (const ntfs::Partition& p : ntfs::ParseGptEntries(entries, *header, blocks)) partitions.push_back(p);
        }
      }
      for (const ntfs::Partition& extended : mbr->extended) {
        std::optional<uint64_t> at = extended.first;
        for (int i = 0; at && i < kMaxLogicalPartitions && !stopped(); ++i) {
          const auto ebr = ntfs::ParseExtendedBootRecord(fetch(*at * block_, block_), *at, extended);
          if (!ebr) break;
          if (ebr->logical) partitions.push_back(*ebr->logical);
          at = ebr->next;
        }
      }
    }
    // Every boot sector and its backup at the partition's end, in one go.
    std::vector<Extent> bootSectors;
    for (const ntfs::Partition& p : partitions) {
      bootSectors.push_back({p.first * block_, block_});
      if (p.count > 1) bootSectors.push_back({(p.first + p.count - 1) * block_, block_});
    }
    copy(bootSectors);
    int number = 0;
    for (const ntfs::Partition& p : partitions) {
      ++number;
      Volume v{p.first * block_, p.count * block_, std::nullopt, {}, std::nullopt};
      v.boot = ntfs::ParseBootSector(read(v.offset, block_));
      if (!v.boot && p.count > 1) v.boot = ntfs::ParseBootSector(read(v.offset + v.length - block_, block_));
      if (v.boot && v.boot->volumeBytes() <= v.length) {
        volumes_.push_back(std::move(v));
      } else {
        reporter_.Message(kPhase, Numbered("第%lld个分区不是可识别的NTFS，整个分区作为已用空间复制", number));
        unknown_.push_back({v.offset, v.length});
      }
    }
  }

  std::optional<ntfs::NonResidentData> dataOf(uint64_t at, const ntfs::BootSector& boot) const {
    std::vector<uint8_t> record = read(at, boot.recordSize);
    if (!ntfs::ApplyFixups(record)) return std::nullopt;
    return ntfs::FindUnnamedData(record, boot);
  }

  void giveUp(Volume& v, const char* why) {
    reporter_.Message(kPhase, Utf8ToText(why));
    unknown_.push_back({v.offset, v.length});
    v.boot.reset();
  }

  void readMft(Volume& v) {
    if (stopped() || !v.boot) return;
    const ntfs::BootSector& b = *v.boot;
    const uint64_t mft = v.offset + b.mftCluster * b.clusterSize;
    const uint64_t mirror = v.offset + b.mftMirrorCluster * b.clusterSize;
    const Extent start[] = {{mft, std::min<uint64_t>(kFirstRecords * b.recordSize, v.offset + v.length - mft)},
                            {mirror, std::min<uint64_t>(std::max<uint64_t>(4 * b.recordSize, b.clusterSize),
                                                        v.offset + v.length - mirror)}};
    copy(start);
    auto data = dataOf(mft, b);
    if (!data) data = dataOf(mirror, b);
    if (!data || data->extents.empty()) return giveUp(v, "MFT无法读取，整个分区作为已用空间复制");
    if (!data->complete) reporter_.Message(kPhase, u"MFT的一部分记录在扩展记录中，未能全部先复制");
    for (Extent& e : data->extents) e.offset += v.offset;
    v.mft = std::move(data->extents);
    copy(v.mft);
    // $Bitmap is file record 6.
    const auto at = ntfs::VolumeOffset(v.mft, 6ull * b.recordSize);
    if (at) v.bitmap = dataOf(*at, b);
    if (!v.bitmap) giveUp(v, "$Bitmap无法读取，整个分区作为已用空间复制");
  }

  void readBitmap(Volume& v, std::vector<Extent>& used) {
    if (stopped() || !v.boot || !v.bitmap) return;
    const ntfs::BootSector& b = *v.boot;
    const uint64_t bytes = (b.clusterCount() + 7) / 8;
    std::vector<Extent> extents = ntfs::FirstBytes(v.bitmap->extents, bytes);
    for (Extent& e : extents) e.offset += v.offset;
    copy(extents);
    if (stopped()) return;
    ntfs::UsedClusters clusters(b.clusterSize, b.clusterCount());
    uint64_t at = 0;  // byte of the bitmap
    for (const Extent& e : extents) {
      for (uint64_t k = 0; k < e.length; k += kBitmapChunk) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kBitmapChunk, e.length - k));
        std::vector<Extent> missing;
        const std::vector<uint8_t> data = read(e.offset + k, n, &missing);
        uint64_t good = 0;
        for (const Extent& m : missing) {
          clusters.add(at + good, std::span(data).subspan(good, m.offset - good));
          clusters.addUnknown(at + m.offset, m.length);
          good = m.offset + m.length;
        }
        clusters.add(at + good, std::span(data).subspan(good));
        at += n;
      }
    }
    // Bitmap bytes the file does not hold (or could not be placed): their clusters may be used.
    if (at < bytes) clusters.addUnknown(at, bytes - at);
    std::u16string text = u"已用空间%s";
    text.replace(text.find(u"%s"), 2, RateSizeText(static_cast<int64_t>(clusters.usedBytes())));
    reporter_.Message(kPhase, text);
    for (const Extent& e : clusters.extents()) used.push_back({e.offset + v.offset, e.length});
  }

  DomainCopy& io_;
  ImagingReporter& reporter_;
  uint64_t block_;      // bytes of a logical block of the disk as the target holds it
  uint64_t viewBytes_;  // the run, in the target's bytes
  std::vector<Volume> volumes_;
  std::vector<Extent> unknown_;  // partitions whose used space is not known: copied whole
  UsedSpaceOutcome outcome_;
};

}  // namespace

UsedSpaceOutcome CopyUsedSpaceFirst(DomainCopy& io, ImagingReporter& reporter, bool usedOnly) {
  return UsedFirst(io, reporter).run(usedOnly);
}

}  // namespace brenvik::imaging
