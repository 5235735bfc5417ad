#pragma once
// The SCSI transport of a Linux machine: host adapters and devices from sysfs
// (class/scsi_host/hostH, class/scsi_device/H:C:T:L), commands through the SCSI generic node of
// each device with the sg3_utils pass-through. The sysfs and /dev roots are parameters so that
// tests can point the enumeration at a fake tree.
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "disk/ScsiTransport.h"
#include "platform/SystemEnv.h"

namespace brenvik {

class SgTransport : public ScsiTransport {
 public:
  explicit SgTransport(const SystemEnv& system = {}) : SgTransport(system.sysfsRoot, system.devRoot) {}
  SgTransport(std::filesystem::path sysfsRoot, std::filesystem::path devRoot);
  ~SgTransport() override;

  int adapterCount() override;
  std::optional<HostAdapterInfo> inquireAdapter(int adapter) override;
  bool hasDevice(const ScsiAddress& address) override;
  ScsiCompletion execute(const ScsiAddress& address, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                         std::span<uint8_t> sense, int timeoutMs) override;
  uint64_t blockDeviceOf(const ScsiAddress& address) override;

 protected:
  // The sysfs folder of the device at the address (lowest channel first), if there is one.
  std::optional<std::filesystem::path> deviceFolder(const ScsiAddress& address) const;
  // The SCSI generic node (/dev/sgN) of the device at the address, if it has one.
  std::optional<std::filesystem::path> genericNode(const ScsiAddress& address) const;

 private:
  int openNode(const ScsiAddress& address);

  std::filesystem::path sysfsRoot_;
  std::filesystem::path devRoot_;
  std::mutex mutex_;
  std::map<std::tuple<int, int, int>, int> openNodes_;
};

// One SCSI command on an open disk device reading `size` bytes from it (a disk's description
// asked for before any SCSI address is known); true when it completed cleanly.
bool ReadCommandOnDevice(int fd, std::span<const uint8_t> cdb, uint8_t* data, unsigned size);

}  // namespace brenvik
