#include "raid/MftRecord.h"

#include <cstring>

#include "platform/ByteOrder.h"

namespace brenvik {
namespace {

// The caller bounds `offset` within the block.
uint16_t Read16(std::span<const uint8_t, kMftRecordSize> block, size_t offset) { return LoadU16(&block[offset]); }
uint32_t Read32(std::span<const uint8_t, kMftRecordSize> block, size_t offset) { return LoadU32(&block[offset]); }
void Write16(std::span<uint8_t, kMftRecordSize> block, size_t offset, uint16_t value) { StoreU16(&block[offset], value); }

constexpr uint32_t kEndMarker = 0xFFFFFFFF;

bool IsKnownAttributeType(uint32_t type) { return type >= 0x10 && type <= 0x100 && type % 0x10 == 0; }

bool CarriesData(uint32_t type) { return type == 0x20 || type == 0x80 || type == 0x90 || type == 0xA0; }

}  // namespace

bool CheckFileRecord(std::span<uint8_t, kMftRecordSize> block) {
  if (std::memcmp(block.data(), "FILE", 4) != 0) return false;
  const size_t sequenceOffset = block[4];
  if (sequenceOffset != 0x30 && sequenceOffset != 0x2A) return false;
  const uint16_t sequenceNumber = Read16(block, sequenceOffset);
  if (Read16(block, 510) != sequenceNumber || Read16(block, 1022) != sequenceNumber) return false;
  Write16(block, 1022, Read16(block, sequenceOffset + 4));
  Write16(block, 510, Read16(block, sequenceOffset + 2));

  size_t position = Read16(block, 20);
  if (position >= kMftRecordSize) return false;
  bool carriesData = false;
  for (bool first = true;; first = false) {
    // Every header must lie inside the block: the end marker needs 4 bytes, any other header 8.
    if (position + 4 > kMftRecordSize) return false;
    const uint32_t type = Read32(block, position);
    if (type == kEndMarker) return !first && carriesData;
    if (!IsKnownAttributeType(type)) return false;
    if (position + 8 > kMftRecordSize) return false;
    carriesData |= CarriesData(type);
    const uint32_t length = Read32(block, position + 4);
    if (length == 0) return false;
    const uint64_t next = static_cast<uint64_t>(position) + length;
    if (next >= kMftRecordSize) return false;
    position = static_cast<size_t>(next);
  }
}

uint32_t FileRecordNumber(std::span<const uint8_t, kMftRecordSize> block) { return Read32(block, 44); }

}  // namespace brenvik
