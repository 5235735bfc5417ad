#pragma once
// Recognises an NTFS MFT file record in a 1024-byte block read from a RAID member.
#include <cstddef>
#include <cstdint>
#include <span>

namespace brenvik {

inline constexpr size_t kMftRecordSize = 1024;

// True when `block` is a FILE record: the update sequence matches both sector ends (the fixups
// are then applied to `block` in place), and the attribute walk meets only known attribute
// types, stays inside the block, ends at an end marker and sees an attribute that carries data
// (0x20, 0x80, 0x90 or 0xA0).
bool CheckFileRecord(std::span<uint8_t, kMftRecordSize> block);

// The record's own MFT record number (32-bit, offset 44).
uint32_t FileRecordNumber(std::span<const uint8_t, kMftRecordSize> block);

}  // namespace brenvik
