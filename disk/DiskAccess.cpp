#include "disk/DiskAccess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace brenvik {

std::vector<WholeDisk> ListDisksWithoutAccess(const std::filesystem::path& sysfsRoot,
                                              const std::filesystem::path& devRoot) {
  std::vector<WholeDisk> denied;
  for (WholeDisk& disk : ListWholeDisks(sysfsRoot, devRoot)) {
    // Asking instead of opening: an open of a disk node can spin up or probe the drive.
    if (::faccessat(AT_FDCWD, disk.deviceNode.c_str(), R_OK | W_OK, AT_EACCESS) == 0) continue;
    if (errno == EACCES || errno == EPERM) denied.push_back(std::move(disk));
  }
  return denied;
}

}  // namespace brenvik
