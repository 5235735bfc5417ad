#pragma once
// Disks opened by udisks2 for the user: polkit asks once for the one disk, and no part of the
// program runs as root. Used where opening a disk node directly is refused for want of rights;
// where udisks2 is not there (no system bus, no service, no such disk), the caller goes on as
// before (the disk group, a start with disk access, root).
#include <filesystem>
#include <string>

#include "platform/FileOps.h"
#include "platform/SystemEnv.h"

namespace brenvik {

enum class DiskUse {
  Backup,   // read a source disk (OpenForBackup: read-only, exclusive)
  Restore,  // write a target disk (OpenForRestore: write-only, exclusive)
};

struct UDisksOpen {
  UniqueFd fd;               // the disk, opened by udisks2
  bool unavailable = false;  // no udisks2 to ask, or it does not know the disk: try the other ways
  std::string error;         // the D-Bus error name when udisks2 refused (not authorised, busy)
};

// Asks udisks2 on `system.systemBus` for the disk at `node` (a device node; the block object is
// found by its kernel name and must name the same node). Waits for the user's answer to polkit's
// question, at most a few minutes.
UDisksOpen OpenDiskThroughUDisks(const SystemEnv& system, const std::filesystem::path& node, DiskUse use);

// True when udisks2 is there to open the disk at `node` (nothing is opened, nobody is asked).
bool UDisksKnowsDisk(const SystemEnv& system, const std::filesystem::path& node);

// The object path udisks2 gives the block device of kernel name `name` ("sda", "dm-0").
std::string UDisksBlockObject(const std::string& name);

}  // namespace brenvik
