// The NTFS boot sector's places (any 512 or 1024 bytes), and the spanned set's search over named
// places, records and member sizes from the input: a member count, the sizes, a few named places,
// then record runs.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "raid/RaidParityPlace.h"
#include "raid/RaidSpanned.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, 1024> block{};
  std::memcpy(block.data(), data, std::min(size, block.size()));
  (void)brenvik::NtfsPlacesOf(block);
  (void)brenvik::NtfsBackupSectorOf(std::span(block).subspan(512));
  (void)brenvik::CopySectorOf(block);

  if (size < 4) return 0;
  const size_t members = 2 + data[0] % (brenvik::kMaxSpannedMembers - 1);
  size_t at = 1;
  std::vector<int64_t> sectors;
  for (size_t m = 0; m < members; ++m, ++at) sectors.push_back(at < size ? int64_t{data[at]} * 64 : 0);
  brenvik::RaidBlockMap map(members, 0);
  const size_t places = at < size ? data[at++] % 8 : 0;
  for (size_t i = 0; i < places && at + 3 <= size; ++i, at += 3)
    map.addLocated(data[at] % members, int64_t{data[at + 1]} * 8, int64_t{data[at + 2] % 16 == 0 ? 0 : data[at + 2]} * 8,
                   data[at + 2] % 3 == 0 ? int64_t{data[at + 1]} : -1);
  std::vector<brenvik::RaidRecordRun> runs;
  for (; at + 4 <= size; at += 4)
    runs.push_back({int64_t{data[at]} * 8, uint32_t{data[at + 1]} % 8, 1u + data[at + 2] % 16, static_cast<uint32_t>(data[at + 3] % (members + 1))});
  const std::optional<brenvik::RaidNtfsPlaces> ntfs =
      data[1] % 2 == 0 ? std::optional(brenvik::RaidNtfsPlaces{int64_t{data[2]} * 8, int64_t{data[3]} * 64}) : std::nullopt;
  brenvik::RaidGeometry geometry;
  brenvik::ApplySpanned(geometry, brenvik::SpannedFromPlaces(runs, map, sectors, ntfs));
  return 0;
}
