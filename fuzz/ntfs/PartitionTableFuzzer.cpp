// Any bytes as the first blocks of a disk: the MBR, the extended boot record chain it leads to
// and the GPT header and entries, on a disk of as many 512-byte blocks as the input holds.
#include <cstdint>
#include <optional>
#include <span>

#include "ntfs/PartitionTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brenvik::ntfs;
  const std::span<const uint8_t> disk(data, size);
  const uint64_t blocks = size / 512 + 64;
  const auto block = [&](uint64_t n) { return n < size / 512 ? disk.subspan(n * 512, 512) : std::span<const uint8_t>(); };
  const auto mbr = ParseMasterBootRecord(block(0), blocks);
  if (mbr) {
    for (const Partition& extended : mbr->extended) {
      std::optional<uint64_t> at = extended.first;
      for (int i = 0; at && i < 256; ++i) {
        const auto ebr = ParseExtendedBootRecord(block(*at), *at, extended);
        at = ebr ? ebr->next : std::nullopt;
      }
    }
  }
  if (const auto header = ParseGptHeader(block(1), 512, blocks))
    if (header->entriesFirst < size / 512)
      (void)ParseGptEntries(disk.subspan(header->entriesFirst * 512), *header, blocks);
  return 0;
}
