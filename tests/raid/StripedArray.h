#pragma once
// Lays an NTFS volume that holds nothing but an MFT (or a real one) over the member images of a
// RAID set, the way a controller would: RAID 0, RAID 5 in each parity rotation (parity computed,
// not left blank), or a mirror, with the first stripe row at a given sector.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "raid/RaidGeometry.h"
#include "tests/raid/MftRecordBuilder.h"

namespace brenvik::testing {

struct ArrayShape {
  RaidLayout layout = RaidLayout::Raid0;
  int members = 2;
  int64_t stripeSectors = 8;
  int64_t startSector = 0;
  int64_t records = 3000;
};

// The volume: records 0, 1, 2, ... back to back. Like real records, they differ in layout
// (where the attributes begin, which ones there are), so that a parity block, the XOR of several
// records, is rarely a record itself.
inline std::string MftVolume(int64_t records) {
  static const std::initializer_list<uint32_t> kAttributeSets[] = {
      {0x10, 0x30, 0x80}, {0x10, 0x80}, {0x10, 0x30, 0x40, 0x90, 0xA0}, {0x30, 0x20, 0x80, 0x100}};
  std::string volume;
  volume.reserve(static_cast<size_t>(records) * 1024);
  for (int64_t r = 0; r < records; ++r) {
    const uint32_t hash = static_cast<uint32_t>(r) * 2654435761u;
    MftBlock block = MakeFileRecord(static_cast<uint32_t>(r), kAttributeSets[(hash >> 20) % 4]);
    const size_t firstAttribute = 0x38 + 8 * ((hash >> 24) % 3);
    std::memmove(block.data() + firstAttribute, block.data() + 0x38, 0x100);
    std::memset(block.data() + 0x38, 0, firstAttribute - 0x38);
    Put16(block, 20, static_cast<uint16_t>(firstAttribute));
    volume += AsBytes(block);
  }
  return volume;
}

// A gzip file unpacked; empty when it cannot be read.
inline std::string Gunzip(const std::filesystem::path& path) {
  std::string bytes;
  gzFile file = gzopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  char buffer[1 << 16];
  for (int got; (got = gzread(file, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<size_t>(got));
  gzclose(file);
  return bytes;
}

// The real NTFS volume made by mkntfs and ntfs-3g (tests/data/raid/README.md), unpacked; empty
// when it cannot be read.
inline std::string RealNtfsVolume(const std::filesystem::path& dataFolder) {
  return Gunzip(dataFolder / "raid/ntfs-volume.img.gz");
}

// The member (in array order) that holds data stripe `index` of stripe row `row`, and the
// member holding the row's parity (`members` for RAID 0).
struct RowSlot {
  size_t member;
  size_t parity;
};
inline RowSlot SlotInRow(const ArrayShape& shape, size_t row, size_t index) {
  const auto members = static_cast<size_t>(shape.members);
  if (shape.layout == RaidLayout::Raid0) return {index, members};
  const bool left = shape.layout == RaidLayout::Raid5LeftAsymmetric || shape.layout == RaidLayout::Raid5LeftSymmetric;
  const bool symmetric = shape.layout == RaidLayout::Raid5LeftSymmetric || shape.layout == RaidLayout::Raid5RightSymmetric;
  const size_t parity = left ? members - 1 - row % members : row % members;
  return {symmetric ? (parity + 1 + index) % members : index < parity ? index : index + 1, parity};
}

inline size_t DataPerRow(const ArrayShape& shape) {
  return static_cast<size_t>(shape.layout == RaidLayout::Raid0 ? shape.members : shape.members - 1);
}

// Where the array puts record `record`: the member in array order and the sector there.
inline std::pair<size_t, int64_t> RecordPlaceInArray(const ArrayShape& shape, int64_t record) {
  const int64_t chunk = 2 * record / shape.stripeSectors;
  const auto row = static_cast<size_t>(chunk) / DataPerRow(shape);
  const RowSlot slot = SlotInRow(shape, row, static_cast<size_t>(chunk) % DataPerRow(shape));
  return {slot.member, shape.startSector + static_cast<int64_t>(row) * shape.stripeSectors + 2 * record % shape.stripeSectors};
}

// The member images in array order.
inline std::vector<std::string> StripeVolume(const ArrayShape& shape, const std::string& volume) {
  const auto members = static_cast<size_t>(shape.members);
  const size_t start = static_cast<size_t>(shape.startSector) * 512;
  if (shape.layout == RaidLayout::Mirror) return std::vector<std::string>(members, std::string(start, '\0') + volume);

  const size_t stripe = static_cast<size_t>(shape.stripeSectors) * 512;
  const bool raid5 = shape.layout != RaidLayout::Raid0;
  const size_t dataPerRow = DataPerRow(shape);
  const size_t rows = (volume.size() + dataPerRow * stripe - 1) / (dataPerRow * stripe);
  std::vector<std::string> images(members, std::string(start + rows * stripe, '\0'));
  for (size_t row = 0; row < rows; ++row) {
    for (size_t index = 0; index < dataPerRow; ++index) {
      const auto [member, parity] = SlotInRow(shape, row, index);
      const size_t from = (row * dataPerRow + index) * stripe;
      if (from >= volume.size()) break;
      const size_t length = std::min(stripe, volume.size() - from);
      std::memcpy(images[member].data() + start + row * stripe, volume.data() + from, length);
      if (!raid5) continue;
      char* sum = images[parity].data() + start + row * stripe;
      for (size_t i = 0; i < length; ++i) sum[i] = static_cast<char>(sum[i] ^ volume[from + i]);
    }
  }
  return images;
}

}  // namespace brenvik::testing
