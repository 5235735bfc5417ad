// RAID 6's row check over blocks taken from the input, and the search for its geometry over a
// block map whose Q members and named places come from the input: a member count, a few named
// places, then per position a Q member (or none).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "raid/Raid6Evidence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t members = 4 + data[0] % 6;
  // The row: the input's bytes cut into the members' blocks, P somewhere among them.
  const size_t length = (size - 2) / members;
  if (length > 0) {
    std::vector<const uint8_t*> blocks;
    for (size_t m = 0; m < members; ++m) blocks.push_back(data + 2 + m * length);
    (void)brenvik::CheckRaid6Row(blocks, length, data[1] % (members + 1));
  }

  brenvik::RaidBlockMap map(members, data[1]);
  size_t at = 3;
  for (int i = 0; i < data[2] % 4 && at + 3 <= size; ++i, at += 3)
    map.addLocated(data[at] % members, int64_t{data[at + 1]} * 2, int64_t{data[at + 2]} % 4 * 2);
  const size_t body = at;
  // Each input byte stands for a run of positions, so that rows of every stripe size are reached.
  for (int round = 0; round < 8 && body < size; ++round)
    for (size_t p = body; p < size; ++p)
      for (int k = 0; k < 1 + (data[p] >> 4); ++k)
        map.add(0, 0, false, (data[p] & 0x0F) < members ? static_cast<uint8_t>(data[p] & 0x0F) : brenvik::RaidBlockMap::kNoQ);
  brenvik::RaidGeometry geometry;
  geometry.parity.checked = geometry.parity.q = 1000;
  brenvik::ApplyRaid6Evidence(geometry, map, [](const brenvik::RaidGeometryGuess& guess) {
    brenvik::RaidSyndromeTally tally;
    tally.agree = guess.memberOrder.size() * 4;
    return tally;
  });
  return 0;
}
