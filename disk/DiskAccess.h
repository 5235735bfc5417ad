#pragma once
// Which disks the running user is kept out of. A user who is neither root nor in the disk group
// would otherwise see empty disk lists with no reason given; the disk tools name these disks and
// the ways in instead.
#include <filesystem>
#include <vector>

#include "disk/DiskInventory.h"

namespace brenvik {

// The whole disks (as ListWholeDisks numbers them) whose device node the process may not open
// for reading and writing because permission is denied, judged with the effective user and groups
// as open(2) judges them. A node that is missing or fails for another reason is not listed: more
// rights would not help it. Nothing is opened.
std::vector<WholeDisk> ListDisksWithoutAccess(const std::filesystem::path& sysfsRoot,
                                              const std::filesystem::path& devRoot);

}  // namespace brenvik
