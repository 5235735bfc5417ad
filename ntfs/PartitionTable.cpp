#include "ntfs/PartitionTable.h"

#include <algorithm>
#include <cstring>

#include "platform/ByteOrder.h"

namespace brenvik::ntfs {
namespace {

bool Signed(std::span<const uint8_t> block) { return block.size() >= 512 && block[510] == 0x55 && block[511] == 0xAA; }

bool Extended(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool Inside(uint64_t first, uint64_t count, uint64_t diskBlocks) {
  return count > 0 && first < diskBlocks && count <= diskBlocks - first;
}

}  // namespace

std::optional<MasterBootRecord> ParseMasterBootRecord(std::span<const uint8_t> block, uint64_t diskBlocks) {
  if (!Signed(block)) return std::nullopt;
  MasterBootRecord mbr;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* e = block.data() + 446 + 16 * i;
    const uint8_t type = e[4];
    if (type == 0) continue;
    if (e[0] != 0 && e[0] != 0x80) return std::nullopt;  // no partition table: a boot sector, say
    const uint64_t first = LoadU32(e + 8), count = LoadU32(e + 12);
    if (type == 0xEE) {
      mbr.protectiveGpt = true;
      continue;
    }
    if (!Inside(first, count, diskBlocks)) return std::nullopt;
    (Extended(type) ? mbr.extended : mbr.primary).push_back({first, count});
  }
  return mbr;
}

std::optional<ExtendedBootRecord> ParseExtendedBootRecord(std::span<const uint8_t> block, uint64_t at,
                                                          const Partition& extended) {
  if (!Signed(block) || at < extended.first || at >= extended.first + extended.count) return std::nullopt;
  ExtendedBootRecord ebr;
  const uint8_t* own = block.data() + 446;
  const uint8_t* link = own + 16;
  if (own[4] != 0) {
    const uint64_t first = at + LoadU32(own + 8), count = LoadU32(own + 12);
    if (first > at && count > 0 && first < extended.first + extended.count &&
        count <= extended.first + extended.count - first)
      ebr.logical = Partition{first, count};
  }
  if (Extended(link[4])) {
    const uint64_t next = extended.first + LoadU32(link + 8);
    // The chain only moves forward inside the extended partition, so it ends.
    if (next > at && next < extended.first + extended.count) ebr.next = next;
  }
  return ebr;
}

std::optional<GptHeader> ParseGptHeader(std::span<const uint8_t> block, uint64_t blockSize, uint64_t diskBlocks) {
  if (block.size() < 92 || std::memcmp(block.data(), "EFI PART", 8) != 0) return std::nullopt;
  const uint32_t headerSize = LoadU32(&block[12]);
  if (headerSize < 92 || headerSize > blockSize) return std::nullopt;
  GptHeader header;
  header.entriesFirst = LoadU64(&block[72]);
  header.entryCount = LoadU32(&block[80]);
  header.entrySize = LoadU32(&block[84]);
  if (header.entryCount == 0 || header.entryCount > 1024 || header.entrySize < 128 || header.entrySize > 1024 ||
      header.entrySize % 8 != 0)
    return std::nullopt;
  const uint64_t blocks = (header.entryBytes() + blockSize - 1) / blockSize;
  if (header.entriesFirst < 2 || !Inside(header.entriesFirst, blocks, diskBlocks)) return std::nullopt;
  return header;
}

std::vector<Partition> ParseGptEntries(std::span<const uint8_t> entries, const GptHeader& header, uint64_t diskBlocks) {
  std::vector<Partition> partitions;
  static constexpr uint8_t kUnused[16] = {};
  for (uint64_t i = 0; i < header.entryCount && (i + 1) * header.entrySize <= entries.size(); ++i) {
    const uint8_t* e = entries.data() + i * header.entrySize;
    if (std::memcmp(e, kUnused, 16) == 0) continue;
    const uint64_t first = LoadU64(e + 32), last = LoadU64(e + 40);
    if (last < first || last - first == UINT64_MAX) continue;
    if (Inside(first, last - first + 1, diskBlocks)) partitions.push_back({first, last - first + 1});
  }
  return partitions;
}

}  // namespace brenvik::ntfs
