// Any bytes as a cluster bitmap, fed in pieces with pieces that could not be read in between,
// kept within few extents so that closing gaps is exercised too.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "ntfs/NtfsVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brenvik::ntfs;
  if (size < 4) return 0;
  // The first bytes choose the volume's clusters (up to a little past the bitmap) and the cap.
  const int64_t bits = static_cast<int64_t>(size - 4) * 8;
  const int64_t delta = static_cast<int64_t>(data[0] | data[1] << 8) % 4096 - 2048;
  UsedClusters used(4096, static_cast<uint64_t>(std::max<int64_t>(1, bits + delta)), data[2] % 64);
  const std::span<const uint8_t> bitmap(data + 4, size - 4);
  const size_t piece = data[3] + 1;
  uint64_t at = 0;
  for (size_t k = 0; k < bitmap.size(); k += piece) {
    const size_t n = std::min(piece, bitmap.size() - k);
    if ((k / piece) % 5 == 4) used.addUnknown(at, n);
    else used.add(at, bitmap.subspan(k, n));
    at += n;
  }
  (void)used.usedBytes();
  return 0;
}
