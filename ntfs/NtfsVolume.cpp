#include "ntfs/NtfsVolume.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/ByteOrder.h"

namespace brenvik::ntfs {
namespace {

constexpr size_t kStride = 512;  // the update sequence protects every 512 bytes, whatever the sector size
constexpr uint32_t kDataType = 0x80;
constexpr uint32_t kEndType = 0xFFFFFFFF;

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// 2^shift for the signed size fields of the boot sector, or 0 when out of range.
uint64_t SizeOf(int8_t field, uint32_t clusterSize) {
  if (field > 0) return uint64_t{static_cast<uint8_t>(field)} * clusterSize;
  const int shift = -field;
  return shift >= 8 && shift <= 31 ? uint64_t{1} << shift : 0;
}

}  // namespace

std::optional<BootSector> ParseBootSector(std::span<const uint8_t> sector) {
  if (sector.size() < 512) return std::nullopt;
  const uint8_t* s = sector.data();
  if (std::memcmp(s + 3, "NTFS    ", 8) != 0 || s[510] != 0x55 || s[511] != 0xAA) return std::nullopt;
  BootSector boot;
  boot.bytesPerSector = LoadU16(s + 0x0B);
  if (!PowerOfTwo(boot.bytesPerSector) || boot.bytesPerSector < 256 || boot.bytesPerSector > 4096) return std::nullopt;
  const uint8_t perCluster = s[0x0D];
  uint64_t clusterSize = 0;
  if (perCluster == 0) return std::nullopt;
  if (perCluster <= 0x80) clusterSize = uint64_t{perCluster} * boot.bytesPerSector;
  else if (256 - perCluster <= 21) clusterSize = uint64_t{1} << (256 - perCluster);
  if (!PowerOfTwo(clusterSize) || clusterSize < boot.bytesPerSector || clusterSize > (uint64_t{1} << 21)) return std::nullopt;
  boot.clusterSize = static_cast<uint32_t>(clusterSize);
  boot.totalSectors = LoadU64(s + 0x28);
  // A volume beyond 2^63 bytes is no real one, and its byte offsets would not fit the copy's.
  if (boot.totalSectors == 0 || boot.totalSectors > (uint64_t{1} << 62) / boot.bytesPerSector) return std::nullopt;
  boot.mftCluster = LoadU64(s + 0x30);
  boot.mftMirrorCluster = LoadU64(s + 0x38);
  const uint64_t clusters = boot.clusterCount();
  if (boot.mftCluster >= clusters || boot.mftMirrorCluster >= clusters) return std::nullopt;
  const uint64_t recordSize = SizeOf(static_cast<int8_t>(s[0x40]), boot.clusterSize);
  if (!PowerOfTwo(recordSize) || recordSize < 256 || recordSize > 65536) return std::nullopt;
  boot.recordSize = static_cast<uint32_t>(recordSize);
  return boot;
}

bool ApplyFixups(std::span<uint8_t> record) {
  if (record.size() < kStride || record.size() % kStride != 0 || std::memcmp(record.data(), "FILE", 4) != 0) return false;
  const size_t offset = LoadU16(&record[4]), count = LoadU16(&record[6]);
  const size_t strides = record.size() / kStride;
  // The array holds the sequence number and one saved pair per stride, inside the first stride
  // and before its protected last two bytes.
  if (count != strides + 1 || offset % 2 != 0 || offset < 0x28 || offset + 2 * count > kStride - 2) return false;
  const uint16_t sequence = LoadU16(&record[offset]);
  for (size_t i = 0; i < strides; ++i)
    if (LoadU16(&record[(i + 1) * kStride - 2]) != sequence) return false;
  for (size_t i = 0; i < strides; ++i) std::memcpy(&record[(i + 1) * kStride - 2], &record[offset + 2 * (i + 1)], 2);
  return true;
}

std::optional<std::vector<Extent>> DecodeRunList(std::span<const uint8_t> runs, uint32_t clusterSize,
                                                 uint64_t clusterCount, size_t maxRuns) {
  std::vector<Extent> extents;
  int64_t lcn = 0;
  size_t at = 0, seen = 0;
  while (true) {
    if (at >= runs.size()) return std::nullopt;  // no terminator inside the attribute
    const uint8_t header = runs[at++];
    if (header == 0) break;
    const size_t lengthBytes = header & 0x0F, offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || runs.size() - at < lengthBytes + offsetBytes)
      return std::nullopt;
    if (++seen > maxRuns) return std::nullopt;
    uint64_t length = 0;
    for (size_t k = 0; k < lengthBytes; ++k) length |= uint64_t{runs[at + k]} << (8 * k);
    at += lengthBytes;
    if (length == 0 || length > clusterCount) return std::nullopt;
    if (offsetBytes == 0) continue;  // sparse: nothing on disk
    uint64_t raw = 0;
    for (size_t k = 0; k < offsetBytes; ++k) raw |= uint64_t{runs[at + k]} << (8 * k);
    at += offsetBytes;
    if (offsetBytes < 8 && (raw >> (8 * offsetBytes - 1)) & 1) raw |= ~uint64_t{0} << (8 * offsetBytes);  // sign
    const int64_t delta = static_cast<int64_t>(raw);
    if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0 || static_cast<uint64_t>(lcn) >= clusterCount ||
        length > clusterCount - static_cast<uint64_t>(lcn))
      return std::nullopt;
    extents.push_back({static_cast<uint64_t>(lcn) * clusterSize, length * clusterSize});
  }
  return extents;
}

std::optional<NonResidentData> FindUnnamedData(std::span<const uint8_t> record, const BootSector& boot) {
  if (record.size() < 0x30) return std::nullopt;
  const size_t used = std::min<size_t>(LoadU32(&record[0x18]), record.size());
  size_t at = LoadU16(&record[0x14]);
  // Each attribute moves forward by at least its header, so the walk ends within the record.
  while (at + 8 <= used) {
    const uint32_t type = LoadU32(&record[at]);
    if (type == kEndType) break;
    const uint32_t length = LoadU32(&record[at + 4]);
    if (length < 0x18 || length % 8 != 0 || length > used - at) return std::nullopt;
    const std::span<const uint8_t> attribute = record.subspan(at, length);
    at += length;
    if (type != kDataType || attribute[9] != 0) continue;  // another type, or a named stream
    if (attribute[8] == 0 || length < 0x40) return std::nullopt;  // resident: no clusters of its own
    if (LoadU64(&attribute[0x10]) != 0) return std::nullopt;   // not the start of the data
    const size_t runsAt = LoadU16(&attribute[0x20]);
    if (runsAt < 0x40 || runsAt >= length) return std::nullopt;
    NonResidentData data;
    const uint64_t allocated = LoadU64(&attribute[0x28]);
    data.dataSize = LoadU64(&attribute[0x30]);
    data.initializedSize = std::min(LoadU64(&attribute[0x38]), data.dataSize);
    if (data.dataSize > allocated || allocated > boot.volumeBytes()) return std::nullopt;
    const auto extents = DecodeRunList(attribute.subspan(runsAt), boot.clusterSize, boot.clusterCount());
    if (!extents) return std::nullopt;
    const uint64_t highestVcn = LoadU64(&attribute[0x18]);
    data.complete = highestVcn < std::numeric_limits<uint64_t>::max() / boot.clusterSize &&
                    (highestVcn + 1) * boot.clusterSize >= allocated;
    data.extents = FirstBytes(*extents, data.initializedSize);
    return data;
  }
  return std::nullopt;
}

std::vector<Extent> FirstBytes(const std::vector<Extent>& extents, uint64_t length) {
  std::vector<Extent> cut;
  for (const Extent& e : extents) {
    if (length == 0) break;
    cut.push_back({e.offset, std::min(e.length, length)});
    length -= cut.back().length;
  }
  return cut;
}

std::optional<uint64_t> VolumeOffset(const std::vector<Extent>& extents, uint64_t offset) {
  for (const Extent& e : extents) {
    if (offset < e.length) return e.offset + offset;
    offset -= e.length;
  }
  return std::nullopt;
}

UsedClusters::UsedClusters(uint32_t clusterSize, uint64_t clusterCount, size_t maxExtents)
    : clusterSize_(clusterSize), clusterCount_(clusterCount), maxExtents_(std::max<size_t>(maxExtents, 2)) {}

void UsedClusters::add(uint64_t at, std::span<const uint8_t> bytes) {
  if (at >= (clusterCount_ + 7) / 8) return;
  bytes = bytes.first(std::min<uint64_t>(bytes.size(), (clusterCount_ + 7) / 8 - at));
  uint64_t runStart = 0, runLength = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint8_t b = bytes[i];
    const uint64_t base = (at + i) * 8;
    if (b == 0xFF && runLength > 0 && runStart + runLength == base) {
      runLength += 8;
      continue;
    }
    for (int bit = 0; bit < 8; ++bit) {
      if (!((b >> bit) & 1)) continue;
      const uint64_t cluster = base + bit;
      if (runLength > 0 && runStart + runLength == cluster) {
        ++runLength;
      } else {
        if (runLength > 0) mark(runStart, runLength);
        runStart = cluster;
        runLength = 1;
      }
    }
  }
  if (runLength > 0) mark(runStart, runLength);
}

void UsedClusters::addUnknown(uint64_t at, uint64_t byteCount) {
  if (at >= (clusterCount_ + 7) / 8) return;
  byteCount = std::min(byteCount, (clusterCount_ + 7) / 8 - at);
  mark(at * 8, byteCount * 8);
}

// Clusters come in ascending order, piece after piece, so each run extends the last extent or
// follows it.
void UsedClusters::mark(uint64_t firstCluster, uint64_t count) {
  if (firstCluster >= clusterCount_) return;
  count = std::min(count, clusterCount_ - firstCluster);
  const Extent e{firstCluster * clusterSize_, count * clusterSize_};
  if (!extents_.empty()) {
    Extent& last = extents_.back();
    const uint64_t lastEnd = last.offset + last.length;
    if (e.offset <= lastEnd + closedGap_ && e.offset + e.length >= last.offset) {
      last.length = std::max(lastEnd, e.offset + e.length) - last.offset;
      return;
    }
  }
  extents_.push_back(e);
  if (extents_.size() > maxExtents_) coarsen();
}

void UsedClusters::coarsen() {
  while (extents_.size() > maxExtents_ / 2) {
    closedGap_ = closedGap_ == 0 ? clusterSize_ : closedGap_ * 2;
    std::vector<Extent> merged;
    for (const Extent& e : extents_) {
      if (!merged.empty() && e.offset <= merged.back().offset + merged.back().length + closedGap_)
        merged.back().length = e.offset + e.length - merged.back().offset;
      else
        merged.push_back(e);
    }
    extents_ = std::move(merged);
  }
}

uint64_t UsedClusters::usedBytes() const {
  uint64_t total = 0;
  for (const Extent& e : extents_) total += e.length;
  return total;
}

}  // namespace brenvik::ntfs
