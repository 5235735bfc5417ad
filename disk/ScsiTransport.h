#pragma once
// What the SCSI layer needs from the machine: the host adapters and devices that exist, and one
// device-to-host command at a time. The pass-through over SG_IO implements it for real disks; a
// simulated disk implements it for tests. Nothing here ever writes to a device.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "disk/ScsiCodes.h"

namespace brenvik {

struct ScsiAddress {
  int adapter = 0;
  int target = 0;
  int lun = 0;
  bool operator==(const ScsiAddress&) const = default;
};

// One host adapter as the adapter inquiry reports it.
struct HostAdapterInfo {
  int adapter = 0;
  int ownId = -1;          // the adapter's own SCSI id (-1: it has none)
  int maxTargets = 255;
  std::array<uint8_t, 3> unique{};  // adapter-specific values
  std::string managerId;   // at most 16 characters
  std::string identifier;  // at most 16 characters
};

class ScsiTransport {
 public:
  virtual ~ScsiTransport() = default;

  // Number of host adapters (0 to 255), or -1 when the pass-through is not available.
  virtual int adapterCount() = 0;
  // The adapter's data, or nothing when there is no such adapter.
  virtual std::optional<HostAdapterInfo> inquireAdapter(int adapter) = 0;
  // True when a device answers at the address.
  virtual bool hasDevice(const ScsiAddress& address) = 0;
  // Runs one command whose data flows from the device into `data`; sense data, when the device
  // returns any, goes into `sense`. `timeoutMs` < 0 means no limit.
  virtual ScsiCompletion execute(const ScsiAddress& address, std::span<const uint8_t> cdb, std::span<uint8_t> data,
                                 std::span<uint8_t> sense, int timeoutMs) = 0;
  // The kernel's block device (st_rdev) for the disk at the address, 0 when unknown; used to keep
  // a copy from writing onto the disk it reads.
  virtual uint64_t blockDeviceOf(const ScsiAddress&) { return 0; }
};

// Time as the retry policy sees it; tests replace it so retries never sleep.
class ScsiClock {
 public:
  virtual ~ScsiClock() = default;
  virtual int64_t seconds() = 0;
  virtual void pause(int milliseconds) = 0;
};

// The steady clock and a real sleep.
ScsiClock& SystemScsiClock();

}  // namespace brenvik
