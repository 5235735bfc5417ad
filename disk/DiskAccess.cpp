#include "disk/DiskAccess.h"

#include "platform/FileOps.h"

namespace brenvik {

std::vector<WholeDisk> ListDisksWithoutAccess(const std::filesystem::path& sysfsRoot,
                                              const std::filesystem::path& devRoot) {
  std::vector<WholeDisk> denied;
  for (WholeDisk& disk : ListWholeDisks(sysfsRoot, devRoot)) {
    if (ReadWriteAccess(disk.deviceNode) == Access::Denied) denied.push_back(std::move(disk));
  }
  return denied;
}

}  // namespace brenvik
