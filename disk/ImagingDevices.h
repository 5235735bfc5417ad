#pragma once
// The N.S Image device lists: whole disks whose sectors are a multiple of 512 bytes (source and
// target), and SCSI disks of other sector sizes reached through pass-through (source only).
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk/ScsiLayer.h"
#include "disk/ScsiTransport.h"
#include "platform/SystemEnv.h"

namespace brenvik {

// Where the scan finds disks and SCSI devices; tests point it at a fake tree and a simulated bus.
struct ImagingDeviceSources {
  SystemEnv system;
  // Empty: the SG_IO pass-through over the two roots.
  std::function<std::shared_ptr<ScsiTransport>()> makeTransport;
  ScsiClock* clock = nullptr;  // nullptr: the system clock
};

// A row of the device lists: Device, Label ("#n" or the SCSI address), Serial, Size in sectors.
struct ImagingDeviceRow {
  std::u16string device, label, serial, size;
};

struct ImagingDeviceScan {
  std::shared_ptr<ScsiDeviceManager> manager;  // owns the SCSI devices the rows name
  std::vector<ImagingDeviceRow> standard;
  std::vector<ImagingDeviceRow> nonStandard;
  std::map<int, std::filesystem::path> diskNodes;  // disk number: the node every later open uses
  std::vector<std::filesystem::path> denied;       // disks left out for want of rights
};

// Scans both lists (at most 255 SCSI devices are examined).
ImagingDeviceScan ScanImagingDevices(const ImagingDeviceSources& sources);

}  // namespace brenvik
