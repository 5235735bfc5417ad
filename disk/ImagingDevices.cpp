#include "disk/ImagingDevices.h"

#include <set>

#include "core/TextHelpers.h"
#include "disk/DiskAccess.h"
#include "disk/DiskInventory.h"
#include "disk/ImagingForm.h"
#include "disk/SgTransport.h"
#include "platform/CodePage.h"
#include "platform/UDisks.h"

namespace brenvik {
namespace {

constexpr int kMaxScsiDevices = 255;

}  // namespace

ImagingDeviceScan ScanImagingDevices(const ImagingDeviceSources& sources) {
  ImagingDeviceScan scan;
  std::shared_ptr<ScsiTransport> transport = sources.makeTransport
                                                 ? sources.makeTransport()
                                                 : std::make_shared<SgTransport>(sources.system);
  auto scsiHost = std::make_shared<ScsiHostInterface>(
      transport, sources.clock != nullptr ? *sources.clock : SystemScsiClock());
  scan.manager = std::make_shared<ScsiDeviceManager>(scsiHost);

  // A disk the user may not open is listed when udisks2 can open it for the copy.
  std::set<std::filesystem::path> throughUDisks;
  for (const WholeDisk& disk : ListDisksWithoutAccess(sources.system.sysfsRoot, sources.system.devRoot)) {
    if (UDisksKnowsDisk(sources.system, disk.deviceNode)) throughUDisks.insert(disk.deviceNode);
    else scan.denied.push_back(disk.deviceNode);
  }
  DiskInventory inventory(sources.system);
  inventory.ScanDiskDevices([&](const std::filesystem::path& node) { return throughUDisks.count(node) != 0; });
  for (const DiskDevice& disk : inventory.devices()) {
    if (disk.bytesPerSector < 512 || disk.bytesPerSector % 512 != 0) continue;
    scan.standard.push_back({AnsiToText(disk.model), Utf16("#" + std::to_string(disk.diskNumber)),
                             AnsiToText(disk.serial), Utf16(std::to_string(disk.sectorCount))});
    scan.diskNodes[disk.diskNumber] = disk.deviceNode;
  }

  int examined = 0;
  for (const auto& device : scan.manager->devices()) {
    if (++examined > kMaxScsiDevices) break;
    if (device->deviceType != 0) continue;
    ScsiTarget target(*scsiHost);
    target.bind(device.get());
    uint32_t lastBlock = 0, blockLength = 0;
    target.readCapacity(lastBlock, blockLength);
    if (blockLength == 0 || blockLength % 512 == 0) continue;
    device->blockLength = blockLength;
    device->blockCount = static_cast<uint32_t>(lastBlock + 1u);
    device->serial.clear();
    for (const DiskDevice& disk : inventory.devices())
      if (disk.portNumber == device->address.adapter && disk.targetId == device->address.target &&
          disk.lun == device->address.lun)
        device->serial = AnsiToText(disk.serial);
    scan.nonStandard.push_back({ScsiDeviceText(*device), ScsiAddressText(device->address), device->serial,
                                Utf16(std::to_string(device->blockCount))});
  }
  return scan;
}

}  // namespace brenvik
