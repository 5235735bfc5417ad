// The FILE record check on any 1024 bytes (shorter input is padded with zeros, longer cut),
// in place as the analysis runs it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "raid/MftRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, brenvik::kMftRecordSize> block{};
  std::memcpy(block.data(), data, std::min(size, block.size()));
  if (brenvik::CheckFileRecord(block)) (void)brenvik::FileRecordNumber(block);
  return 0;
}
