#include "platform/SystemEnv.h"

#include <sys/sysmacros.h>

#include "platform/FileOps.h"

namespace brenvik {

uint64_t SystemEnv::DeviceNumberOf(const std::filesystem::path& path) const {
  return deviceNumber ? deviceNumber(path) : BlockDeviceNumber(path);
}

std::filesystem::path SystemEnv::BlockEntry(uint64_t device) const {
  return sysfsRoot / "dev/block" / DeviceNumberText(device);
}

std::string DeviceNumberText(uint64_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

}  // namespace brenvik
