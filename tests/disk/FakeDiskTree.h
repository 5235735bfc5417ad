#pragma once
// A fake sysfs and /dev tree for disk inventory tests: each disk is a sysfs folder with the
// attributes the inventory reads, and its "device node" is a regular file.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "tests/support/TempDir.h"

// Tests describe fake disks with designated initializers naming only what they care about.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace brenvik::testing {

struct FakeDisk {
  std::string name;                 // e.g. "sda"
  int64_t sizeUnits = 2048;         // the sysfs size attribute (512-byte units)
  int logicalBlockSize = 512;       // < 0: no attribute
  bool hasDevice = true;            // false: no device entry (the description question fails)
  std::string vendor = "ATA     ";  // empty: no attribute
  std::string model = "FAKE DISK";
  std::string rev = "1.0";
  std::string scsiAddress;          // "H:C:T:L" below device/scsi_device; empty: none
  std::string serial;               // the sysfs serial attribute; empty: none
  std::string vpdPage80;            // raw unit serial number page; empty: none
  bool openable = true;             // false: the node is a folder, which never opens read-write
};

class FakeDiskTree {
 public:
  std::filesystem::path sysfsRoot() const { return dir_ / "sys"; }
  std::filesystem::path devRoot() const { return dir_ / "dev"; }

  // Adds a disk; the node's contents are `nodeBytes` (a regular file).
  void add(const FakeDisk& disk, std::string_view nodeBytes = "") {
    const std::filesystem::path folder = sysfsRoot() / "block" / disk.name;
    std::filesystem::create_directories(folder);
    WriteFile(folder / "size", std::to_string(disk.sizeUnits) + "\n");
    if (disk.logicalBlockSize >= 0)
      WriteFile(folder / "queue" / "logical_block_size", std::to_string(disk.logicalBlockSize) + "\n");
    if (disk.hasDevice) {
      const std::filesystem::path device = folder / "device";
      std::filesystem::create_directories(device);
      if (!disk.vendor.empty()) WriteFile(device / "vendor", disk.vendor + "\n");
      if (!disk.model.empty()) WriteFile(device / "model", disk.model + "\n");
      if (!disk.rev.empty()) WriteFile(device / "rev", disk.rev + "\n");
      if (!disk.serial.empty()) WriteFile(device / "serial", disk.serial + "\n");
      if (!disk.vpdPage80.empty()) WriteFile(device / "vpd_pg80", disk.vpdPage80);
      if (!disk.scsiAddress.empty()) std::filesystem::create_directories(device / "scsi_device" / disk.scsiAddress);
    }
    if (disk.openable) {
      WriteFile(devRoot() / disk.name, nodeBytes);
    } else {
      std::filesystem::create_directories(devRoot() / disk.name);
    }
  }

  // Adds a folder below sysfs block that is not a disk the inventory lists.
  void addFolder(const std::string& name, const std::string& marker = "") {
    std::filesystem::create_directories(sysfsRoot() / "block" / name);
    if (!marker.empty()) WriteFile(sysfsRoot() / "block" / name / marker, "1\n");
  }

 private:
  TempDir dir_;
};

}  // namespace brenvik::testing
