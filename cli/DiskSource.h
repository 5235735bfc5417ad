#pragma once
// The disk inventory as the subcommands see it: the roots come from --sysfs-root and --dev-root
// (a fake tree in tests), scanned when a subcommand asks.
#include "cli/CliSupport.h"
#include "disk/DiskInventory.h"

namespace brenvik::cli {

// The system as the subcommands see it: the defaults, with the roots the arguments name.
inline SystemEnv SystemFor(const Arguments& args) {
  SystemEnv system;
  if (const auto root = args.Value("sysfs-root")) system.sysfsRoot = *root;
  if (const auto root = args.Value("dev-root")) system.devRoot = *root;
  return system;
}

inline DiskInventory InventoryFor(const Arguments& args) { return DiskInventory(SystemFor(args)); }

// The identity list (the Raid Analysis disks).
inline DiskInventory ScanIdentities(const Arguments& args) {
  DiskInventory inventory = InventoryFor(args);
  inventory.ScanDiskIdentities();
  return inventory;
}

// The device list (the N.S Image disks).
inline DiskInventory ScanDevices(const Arguments& args) {
  DiskInventory inventory = InventoryFor(args);
  inventory.ScanDiskDevices();
  return inventory;
}

}  // namespace brenvik::cli
