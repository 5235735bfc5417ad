#pragma once
// The partition tables of a disk being imaged: the MBR (with its chain of extended boot records)
// and the GPT behind a protective MBR. Bytes come from a disk that may be failing or hostile:
// every entry is checked against the disk's size, and a table that does not hold together gives
// nothing. No Qt.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brenvik::ntfs {

// A partition in logical blocks of the disk.
struct Partition {
  uint64_t first = 0;
  uint64_t count = 0;
  bool operator==(const Partition&) const = default;
};

struct MasterBootRecord {
  bool protectiveGpt = false;       // a GPT follows at block 1
  std::vector<Partition> primary;   // the entries that are not extended partitions
  std::vector<Partition> extended;  // extended partitions, whose boot records chain the logical ones
};
// Nothing when block 0 carries no boot signature or an entry runs past `diskBlocks`.
std::optional<MasterBootRecord> ParseMasterBootRecord(std::span<const uint8_t> block, uint64_t diskBlocks);

// One extended boot record at block `at` of the extended partition that starts at `extendedFirst`:
// the logical partition it holds and where the next record is.
struct ExtendedBootRecord {
  std::optional<Partition> logical;
  std::optional<uint64_t> next;
};
std::optional<ExtendedBootRecord> ParseExtendedBootRecord(std::span<const uint8_t> block, uint64_t at,
                                                          const Partition& extended);

struct GptHeader {
  uint64_t entriesFirst = 0;  // block of the first entry
  uint32_t entryCount = 0;    // at most 1024
  uint32_t entrySize = 0;     // 128 ... 1024, a multiple of 8
  uint64_t entryBytes() const { return uint64_t{entryCount} * entrySize; }
};
std::optional<GptHeader> ParseGptHeader(std::span<const uint8_t> block, uint64_t blockSize, uint64_t diskBlocks);
// The partitions among `entries` (entryCount entries of entrySize bytes; a short buffer gives
// the ones it holds), in table order.
std::vector<Partition> ParseGptEntries(std::span<const uint8_t> entries, const GptHeader& header, uint64_t diskBlocks);

}  // namespace brenvik::ntfs
