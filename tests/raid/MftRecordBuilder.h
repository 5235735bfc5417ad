#pragma once
// Builds NTFS MFT file records as they lie on disk (update sequence applied to both sector
// ends), for tests, benchmarks and fuzz seeds.
#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

namespace brenvik::testing {

using MftBlock = std::array<uint8_t, 1024>;

inline void Put16(MftBlock& block, size_t offset, uint16_t value) {
  block[offset] = static_cast<uint8_t>(value);
  block[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void Put32(MftBlock& block, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) block[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// A record with the given attribute types (each 0x18 bytes long) and an end marker. The bytes
// the update sequence number stands in for at both sector ends are 0xA1B2 and 0xC3D4.
inline MftBlock MakeFileRecord(uint32_t recordNumber, std::initializer_list<uint32_t> attributeTypes = {0x10, 0x30, 0x80},
                               uint16_t sequenceOffset = 0x30) {
  MftBlock block{};
  std::memcpy(block.data(), "FILE", 4);
  Put16(block, 4, sequenceOffset);
  Put16(block, 6, 3);  // update sequence count: the number and two sector entries
  Put16(block, 20, 0x38);
  Put32(block, 44, recordNumber);
  size_t position = 0x38;
  for (uint32_t type : attributeTypes) {
    Put32(block, position, type);
    Put32(block, position + 4, 0x18);
    position += 0x18;
  }
  Put32(block, position, 0xFFFFFFFF);
  const uint16_t sequenceNumber = 0x0007;
  Put16(block, sequenceOffset, sequenceNumber);
  Put16(block, sequenceOffset + 2, 0xA1B2);
  Put16(block, sequenceOffset + 4, 0xC3D4);
  Put16(block, 510, sequenceNumber);
  Put16(block, 1022, sequenceNumber);
  return block;
}

inline std::string AsBytes(const MftBlock& block) { return std::string(reinterpret_cast<const char*>(block.data()), block.size()); }

}  // namespace brenvik::testing
