#pragma once
// Where the system's facts about storage are read: the sysfs tree, the device nodes, the mount
// table, which paths stand for block devices, and the bus where udisks2 opens disks. Every job and scan that asks those questions is
// given one of these; the defaults are the running system's, and tests point them at a fake tree
// whose "devices" are regular files.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace brenvik {

struct SystemEnv {
  std::filesystem::path sysfsRoot = "/sys";
  std::filesystem::path devRoot = "/dev";
  std::filesystem::path mountInfo = "/proc/self/mountinfo";
  // The block device a path stands for, 0 for none; empty: the device number of a block device
  // node (symbolic links followed).
  std::function<uint64_t(const std::filesystem::path&)> deviceNumber;
  // The D-Bus system bus where udisks2 opens disks for the user; empty: the system's own.
  std::string systemBus;

  uint64_t DeviceNumberOf(const std::filesystem::path& path) const;
  // The sysfs folder of the block device `device` ("<sysfs>/dev/block/major:minor").
  std::filesystem::path BlockEntry(uint64_t device) const;
};

// A device number as sysfs writes it: "major:minor".
std::string DeviceNumberText(uint64_t device);

}  // namespace brenvik
