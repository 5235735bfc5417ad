// Any bytes as a boot sector, as a file record (update sequence, attribute walk, data runs) and
// as a bare run list, the way the used-space copy reads them from a failing disk.
#include <cstdint>
#include <vector>

#include "ntfs/NtfsVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brenvik::ntfs;
  const std::span<const uint8_t> input(data, size);
  (void)ParseBootSector(input);
  BootSector boot;
  boot.bytesPerSector = 512;
  boot.clusterSize = 4096;
  boot.totalSectors = uint64_t{1} << 24;
  boot.recordSize = 1024;
  for (size_t recordSize : {size_t{1024}, size_t{4096}}) {
    std::vector<uint8_t> record(data, data + std::min(size, recordSize));
    record.resize(recordSize);
    if (ApplyFixups(record))
      if (const auto found = FindUnnamedData(record, boot)) (void)VolumeOffset(found->extents, 6 * 1024);
  }
  if (const auto runs = DecodeRunList(input, 4096, uint64_t{1} << 21)) (void)FirstBytes(*runs, size * 4096);
  return 0;
}
