#pragma once
// The disk inventory: the whole-disk block devices of the machine, numbered 0, 1, 2, ... in
// natural name order (sda, sdb, ..., loop2 before loop10), with the identity and geometry the
// disk tools show and work with. Everything is read from sysfs and the device nodes below two
// roots, so tests run against a fake tree whose "devices" are regular files.
//
// A disk that cannot be opened for reading and writing is absent from both lists; its number
// stays taken, so the numbers of the other disks do not depend on permissions.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemEnv.h"

namespace brenvik {

// Disk numbers 0 to 254 are probed; 255 and above never are.
inline constexpr int kMaxDiskNumbers = 255;
// Model and serial texts hold at most this many (single-byte, ANSI) characters.
inline constexpr size_t kMaxDiskText = 254;

// One disk of the identity list.
struct DiskIdentity {
  int32_t diskNumber = 0;
  int64_t diskSize = 0;  // bytes; 0 when the size could not be read
  std::string model;     // vendor, product and revision joined without separator
  std::string serial;    // no blank in it
  std::filesystem::path deviceNode;  // every later open of this disk number uses this node
};

// One disk of the device list.
struct DiskDevice {
  int32_t portNumber = -1;  // SCSI host (H of H:C:T:L); -1 when the disk has no SCSI address
  int32_t targetId = -1;    // T; -1 likewise
  int32_t lun = -1;         // L; -1 likewise
  int32_t bytesPerSector = 0;  // logical block size; 0 when unknown
  int32_t diskNumber = 0;
  int64_t sectorCount = 0;  // size / bytes per sector (/ 512 when that is 0); 0 when the size is unknown
  std::string model;
  std::string serial;
  std::filesystem::path deviceNode;
};

class DiskInventory;
// Where the main window learns the disks at start; tests give a fake tree or none.
using DiskIdentitySource = std::function<DiskInventory()>;
// The identity list of this machine's disks (/sys and /dev).
DiskInventory ScanSystemDiskIdentities();

class DiskInventory {
 public:
  // The system's disks, or those of the tree `system` points at.
  explicit DiskInventory(const SystemEnv& system = {}) : DiskInventory(system.sysfsRoot, system.devRoot) {}
  DiskInventory(std::filesystem::path sysfsRoot, std::filesystem::path devRoot);

  // Empties the identity list and fills it. A disk whose description cannot be read (no
  // device or loop entry in sysfs) is left out of this list.
  void ScanDiskIdentities();
  // Empties the device list and fills it with every disk that opens, with defaults where a
  // question fails (-1 address, 0 sector size and count, empty model). A disk that does not open
  // is listed too when `openedElsewhere` says it can be opened another way (by udisks2): then its
  // description comes from sysfs alone.
  void ScanDiskDevices(const std::function<bool(const std::filesystem::path& node)>& openedElsewhere = {});

  const std::vector<DiskIdentity>& identities() const { return identities_; }
  const std::vector<DiskDevice>& devices() const { return devices_; }
  void ClearDevices() { devices_.clear(); }

  // The device node of a disk number from the last identity scan; empty when not listed.
  std::filesystem::path IdentityNode(int32_t diskNumber) const;

  const std::filesystem::path& sysfsRoot() const { return sysfsRoot_; }
  const std::filesystem::path& devRoot() const { return devRoot_; }

 private:
  std::filesystem::path sysfsRoot_;
  std::filesystem::path devRoot_;
  std::vector<DiskIdentity> identities_;
  std::vector<DiskDevice> devices_;
};

// A whole-disk block device as numbered by the scans.
struct WholeDisk {
  int32_t diskNumber = 0;
  std::string name;                   // sysfs name, e.g. "sda"
  std::filesystem::path sysfsFolder;  // <sysfs>/block/<name>
  std::filesystem::path deviceNode;   // <dev>/<name> ("!" in a sysfs name stands for "/")
};

// The whole-disk block devices below `sysfsRoot`/block in natural name order, numbered from 0:
// partitions, RAM and zram devices and loop devices without a backing file are left out; at
// most kMaxDiskNumbers entries.
std::vector<WholeDisk> ListWholeDisks(const std::filesystem::path& sysfsRoot, const std::filesystem::path& devRoot);

// True when `a` sorts before `b` with digit runs compared as numbers ("loop2" < "loop10").
bool NaturalNameLess(std::string_view a, std::string_view b);

// A vendor, product or revision string as a disk reports it, which may come as plain text or as
// hexadecimal text (two digits per character): hex pairs decoding to printable characters are
// decoded ("4142" -> "AB"); anything else is taken as it stands when every character is
// printable ("1234" stays, since 0x12 is not printable), else the result is empty. Leading and
// trailing whitespace is removed.
std::string DecodeDescriptorString(std::string_view text);

// The serial number of an open disk: ATA IDENTIFY DEVICE through an ATA PASS-THROUGH command
// where the disk answers it, else the unit serial number (VPD page 0x80, asked of the disk or
// read from sysfs), else the sysfs serial attribute; every blank removed, at most kMaxDiskText
// characters, empty when nothing answers. Nothing is written to the disk.
std::string ReadDiskSerial(int fd, const std::filesystem::path& sysfsFolder);

// The serial in 512 bytes of IDENTIFY data: words 10 to 19, high byte first, trailing blanks
// removed (the first character is never removed).
std::string SerialFromIdentifyData(std::span<const uint8_t> identify);
// The serial in a unit serial number page (VPD 0x80 as returned by the disk); empty when the
// page is malformed.
std::string SerialFromVpdPage(std::span<const uint8_t> page);
// Text with every blank (0x20) removed, ending at the first NUL, cut to kMaxDiskText characters.
std::string RemoveBlanks(std::string_view text);

}  // namespace brenvik
