// brenvik-cli disks: the disk inventory the Raid Analysis and N.S Image pages list.
#include "cli/Commands.h"
#include "cli/DiskSource.h"
#include "core/TextHelpers.h"
#include "disk/DiskAccess.h"
#include "platform/CodePage.h"
#include "platform/PathText.h"

namespace brenvik::cli {
namespace {

constexpr Flag kFlags[] = {
    {"sysfs-root", "DIR", "where the disks are described (default /sys; for tests)"},
    {"dev-root", "DIR", "where the disks' device nodes are (default /dev; for tests)"},
};

constexpr std::string_view kColumns[] = {"Label", "Device", "Serial", "Size", "Sectors", "Sector size", "Node"};

int Run(const Arguments& args, Console& console) {
  const DiskInventory inventory = ScanDevices(args);
  for (const DiskDevice& disk : inventory.devices()) {
    const int64_t sectorSize = disk.bytesPerSector > 0 ? disk.bytesPerSector : 512;
    const std::u16string cells[] = {Utf16("#" + std::to_string(disk.diskNumber)),
                                    AnsiToText(disk.model),
                                    AnsiToText(disk.serial),
                                    FormatSizeText(disk.sectorCount * sectorSize),
                                    Utf16(std::to_string(disk.sectorCount)),
                                    Utf16(std::to_string(disk.bytesPerSector)),
                                    PathToText(disk.deviceNode)};
    const MachineValue values[] = {{"label", cells[0]},
                                   {"device", cells[1]},
                                   {"serial", cells[2]},
                                   {"size", disk.sectorCount * sectorSize},
                                   {"sectors", disk.sectorCount},
                                   {"sector_size", int64_t{disk.bytesPerSector}},
                                   {"node", cells[6]}};
    console.Row(kColumns, cells, values);
  }
  // Disks left out for want of rights are named rather than just missing.
  for (const WholeDisk& disk : ListDisksWithoutAccess(InventoryFor(args).sysfsRoot(), InventoryFor(args).devRoot()))
    console.Status(u"No access to " + PathToText(disk.deviceNode) +
                   u": join the disk group (then log in again) or run brenvik --admin");
  return kExitDone;
}

}  // namespace

const Subcommand kDisksCommand{
    "disks", "Lists the disks the tools can read: the inventory the pages show.", "",
    "Prints one row per whole disk: Label (#n, the number the other subcommands take), Device (model),\n"
    "Serial, Size, Sectors, Sector size and the device Node. A user without the rights to open raw\n"
    "disks sees none.",
    kFlags, Run};

}  // namespace brenvik::cli
