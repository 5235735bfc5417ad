// The blocks that name their place (any 1024 bytes), and the parity-place search, check and start
// alignment over a block map whose bits come from the input: a member count, then per position
// the not-zero and text masks and whether it can tell, a few named places, and record runs.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "raid/RaidParityPlace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, 1024> block{};
  std::memcpy(block.data(), data, std::min(size, block.size()));
  (void)brenvik::VolumeSectorOf(block);

  if (size < 4) return 0;
  const size_t members = 3 + data[0] % 6;
  const int64_t first = data[1];
  brenvik::RaidBlockMap map(members, first);
  const auto mask = static_cast<uint16_t>((1u << members) - 1);
  size_t at = 2;
  // A few named places first, then the positions; repeated to reach more rows than the input has.
  for (int i = 0; i < data[2] % 4 && at + 3 <= size; ++i, at += 3)
    map.addLocated(data[at] % members, int64_t{data[at + 1]} * 2, int64_t{data[at + 2]} * 2);
  const size_t body = at;
  for (int round = 0; round < 16 && body + 3 <= size; ++round)
    for (size_t p = body; p + 3 <= size; p += 3)
      map.add(static_cast<uint16_t>(data[p] & mask), static_cast<uint16_t>(data[p + 1] & data[p] & mask), data[p + 2] & 1);
  // Record runs from the first bytes again: any member, sector, number and length.
  std::vector<brenvik::RaidRecordRun> runs;
  for (size_t p = 4; p + 4 <= std::min<size_t>(size, 64); p += 4)
    runs.push_back({int64_t{data[p]} * 2, uint32_t{data[p + 1]}, uint32_t{data[p + 2] % 64u + 1u}, static_cast<uint32_t>(data[p + 3] % members)});
  if (const auto guess = brenvik::Raid5FromParityPlaces(map, runs)) (void)brenvik::CheckParityPlaces(*guess, map);
  brenvik::RaidGeometryGuess guess;
  guess.layout = brenvik::RaidLayout::Raid5LeftSymmetric;
  guess.stripeSectors = 8 << (data[3] % 4);
  for (size_t m = 0; m < members; ++m) guess.memberOrder.push_back((m + data[3]) % members);
  (void)brenvik::CheckParityPlaces(guess, map);
  // A records' answer moved to where a named first block says the volume begins.
  brenvik::RaidGeometry geometry;
  geometry.verdict = brenvik::RaidGeometry::Verdict::Decided;
  guess.layout = data[3] % 2 == 0 ? brenvik::RaidLayout::Raid0 : brenvik::RaidLayout::Raid5LeftAsymmetric;
  guess.startSector = data[1] % 64;
  geometry.best = guess;
  brenvik::AlignStartWithVolume(geometry, map);
  return 0;
}
