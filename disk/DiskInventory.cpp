#include "disk/DiskInventory.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <optional>
#include <system_error>

#include "disk/SgTransport.h"
#include "platform/FileOps.h"
#include "platform/Sysfs.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool IsPrintable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string Trim(std::string_view text) {
  while (!text.empty() && IsSpace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && IsSpace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return std::string(text);
}

// The model: vendor, product and revision, each decoded, joined without separator.
std::string ReadModel(const fs::path& sysfsFolder) {
  const fs::path device = sysfsFolder / "device";
  std::string model;
  for (const char* name : {"vendor", "model"}) {
    if (auto text = ReadSysfsAttribute(device / name)) model += DecodeDescriptorString(*text);
  }
  std::optional<std::string> revision = ReadSysfsAttribute(device / "rev");
  if (!revision) revision = ReadSysfsAttribute(device / "firmware_rev");  // NVMe names it so
  if (revision) model += DecodeDescriptorString(*revision);
  if (model.size() > kMaxDiskText) model.resize(kMaxDiskText);
  return model;
}

// The description question: a disk with neither a device entry nor a loop backing entry has
// nothing to describe it and does not answer.
bool HasDescription(const fs::path& sysfsFolder) {
  std::error_code error;
  return fs::exists(sysfsFolder / "device", error) || fs::exists(sysfsFolder / "loop", error);
}

struct Geometry {
  int64_t size = 0;
  int32_t bytesPerSector = 0;
};

// Size and logical block size; nullopt when the size cannot be read.
std::optional<Geometry> ReadGeometry(const fs::path& sysfsFolder) {
  // sysfs counts the size in 512-byte units whatever the disk's block size.
  const std::optional<int64_t> units = ReadSysfsInteger(sysfsFolder / "size");
  if (!units || *units < 0 || *units > INT64_MAX / 512) return std::nullopt;
  Geometry geometry;
  geometry.size = *units * 512;
  const std::optional<int64_t> block = ReadSysfsInteger(sysfsFolder / "queue" / "logical_block_size");
  if (block && *block > 0 && *block <= INT32_MAX) geometry.bytesPerSector = static_cast<int32_t>(*block);
  return geometry;
}

struct ScsiAddress {
  int32_t host = -1, channel = -1, target = -1, lun = -1;
};

std::optional<ScsiAddress> ParseScsiAddress(std::string_view text) {
  std::array<int64_t, 4> parts{};
  for (size_t i = 0; i < parts.size(); ++i) {
    const size_t colon = i + 1 < parts.size() ? text.find(':') : text.size();
    if (colon == std::string_view::npos) return std::nullopt;
    const std::optional<int64_t> value = ParseSysfsInteger(text.substr(0, colon));
    if (!value || *value < 0 || *value > INT32_MAX) return std::nullopt;
    parts[i] = *value;
    text.remove_prefix(std::min(text.size(), colon + 1));
  }
  return ScsiAddress{static_cast<int32_t>(parts[0]), static_cast<int32_t>(parts[1]), static_cast<int32_t>(parts[2]),
                     static_cast<int32_t>(parts[3])};
}

// The H:C:T:L address: the name the device entry links to, or the entry below scsi_device.
std::optional<ScsiAddress> ReadScsiAddress(const fs::path& sysfsFolder) {
  const fs::path device = sysfsFolder / "device";
  std::error_code error;
  const fs::path target = fs::read_symlink(device, error);
  if (!error) {
    if (auto address = ParseScsiAddress(target.filename().native())) return address;
  }
  for (fs::directory_iterator it(device / "scsi_device", error), end; !error && it != end; it.increment(error)) {
    if (auto address = ParseScsiAddress(it->path().filename().native())) return address;
  }
  return std::nullopt;
}

// ATA IDENTIFY DEVICE through ATA PASS-THROUGH (16): PIO data-in, one 512-byte block. A read:
// nothing is written to the disk.
std::string AskAtaSerial(int fd) {
  const std::array<uint8_t, 16> cdb{0x85, 4 << 1, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
  std::array<uint8_t, 512> identify{};
  if (!ReadCommandOnDevice(fd, cdb, identify.data(), identify.size())) return {};
  // Bridges that do not pass the command on may still answer with zeros.
  if (std::all_of(identify.begin(), identify.end(), [](uint8_t b) { return b == 0; })) return {};
  return RemoveBlanks(SerialFromIdentifyData(identify));
}

std::string AskVpdSerial(int fd) {
  const std::array<uint8_t, 6> cdb{0x12, 0x01, 0x80, 0x00, 0xFF, 0x00};  // INQUIRY, EVPD, page 0x80
  std::array<uint8_t, 255> page{};
  if (!ReadCommandOnDevice(fd, cdb, page.data(), page.size())) return {};
  return SerialFromVpdPage(page);
}

// Linux does not let a device be opened for reading and writing without a probe, so the
// permission question is asked the way the disk tools will later open it.
UniqueFd OpenDisk(const WholeDisk& disk) { return OpenReadWrite(disk.deviceNode); }

}  // namespace

bool NaturalNameLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && isDigit(a[ei])) ++ei;
      while (ej < b.size() && isDigit(b[ej])) ++ej;
      // Compare as numbers without converting: skip leading zeros, then length, then digits.
      size_t si = i, sj = j;
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int order = a.substr(si, ei - si).compare(b.substr(sj, ej - sj));
      if (order != 0) return order < 0;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
  return a < b;  // names equal as numbers ("sd01" and "sd1"): keep a fixed order
}

std::vector<WholeDisk> ListWholeDisks(const fs::path& sysfsRoot, const fs::path& devRoot) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(sysfsRoot / "block", error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().native();
    const fs::path folder = it->path();
    std::error_code probe;
    if (fs::exists(folder / "partition", probe)) continue;
    if (StartsWith(name, "ram") || StartsWith(name, "zram")) continue;
    // A loop device is a disk only while a file is attached to it.
    if (StartsWith(name, "loop") && !fs::exists(folder / "loop" / "backing_file", probe)) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return NaturalNameLess(a, b); });
  if (names.size() > static_cast<size_t>(kMaxDiskNumbers)) names.resize(kMaxDiskNumbers);

  std::vector<WholeDisk> disks;
  for (size_t n = 0; n < names.size(); ++n) {
    std::string nodeName = names[n];
    std::replace(nodeName.begin(), nodeName.end(), '!', '/');  // "cciss!c0d0" is /dev/cciss/c0d0
    disks.push_back({static_cast<int32_t>(n), names[n], sysfsRoot / "block" / names[n], devRoot / nodeName});
  }
  return disks;
}

std::string DecodeDescriptorString(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  constexpr size_t kMaxDecoded = 999;  // the answer buffer holds 1000 bytes with its NUL
  std::string decoded;
  bool ended = false;  // a decoded NUL ends the text; later pairs are still checked
  unsigned current = 0;
  int nibbles = 0;
  bool fallback = false;
  for (char raw : text) {
    unsigned char c = static_cast<unsigned char>(raw);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    if (IsSpace(c)) c = '0';
    unsigned nibble;
    if (c >= '0' && c <= '9') {
      nibble = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      nibble = c - 'a' + 10;
    } else {
      fallback = true;
      break;
    }
    current = (current << 4) | nibble;
    if (++nibbles < 2) continue;
    const unsigned byte = current & 0xFF;
    current = 0;
    nibbles = 0;
    if (byte != 0 && !IsPrintable(static_cast<unsigned char>(byte))) {
      fallback = true;
      break;
    }
    if (byte == 0) ended = true;
    if (!ended && decoded.size() < kMaxDecoded) decoded.push_back(static_cast<char>(byte));
  }
  if (fallback) {
    const bool printable = std::all_of(text.begin(), text.end(), [](char c) { return IsPrintable(static_cast<unsigned char>(c)); });
    decoded = printable ? std::string(text.substr(0, kMaxDecoded)) : std::string();
  }
  return Trim(decoded);
}

std::string SerialFromIdentifyData(std::span<const uint8_t> identify) {
  if (identify.size() < 40) return {};
  std::string serial;
  for (size_t word = 10; word < 20; ++word) {
    serial.push_back(static_cast<char>(identify[word * 2 + 1]));  // ATA strings: high byte first
    serial.push_back(static_cast<char>(identify[word * 2]));
  }
  while (serial.size() > 1 && serial.back() == ' ') serial.pop_back();
  return serial;
}

std::string SerialFromVpdPage(std::span<const uint8_t> page) {
  if (page.size() < 4 || page[1] != 0x80) return {};
  const size_t length = std::min<size_t>((static_cast<size_t>(page[2]) << 8) | page[3], page.size() - 4);
  return RemoveBlanks(std::string_view(reinterpret_cast<const char*>(page.data()) + 4, length));
}

std::string RemoveBlanks(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  std::string result;
  for (char c : text) {
    if (c == ' ') continue;
    if (result.size() == kMaxDiskText) break;
    result.push_back(c);
  }
  return result;
}

std::string ReadDiskSerial(int fd, const fs::path& sysfsFolder) {
  const bool blockDevice = KindOfOpenFile(fd) == FileKind::BlockDevice;
  if (blockDevice) {
    if (std::string serial = AskAtaSerial(fd); !serial.empty()) return serial;
    if (std::string serial = AskVpdSerial(fd); !serial.empty()) return serial;
  }
  // The kernel keeps the unit serial number page it read at probe time.
  if (auto page = ReadSysfsBytes(sysfsFolder / "device" / "vpd_pg80")) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(page->data());
    if (std::string serial = SerialFromVpdPage({bytes, page->size()}); !serial.empty()) return serial;
  }
  if (auto serial = ReadSysfsAttribute(sysfsFolder / "device" / "serial")) return RemoveBlanks(*serial);
  return {};
}

DiskInventory::DiskInventory(fs::path sysfsRoot, fs::path devRoot)
    : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {}

void DiskInventory::ScanDiskIdentities() {
  identities_.clear();
  for (const WholeDisk& disk : ListWholeDisks(sysfsRoot_, devRoot_)) {
    UniqueFd fd = OpenDisk(disk);
    if (!fd) continue;
    if (!HasDescription(disk.sysfsFolder)) continue;
    DiskIdentity identity;
    identity.diskNumber = disk.diskNumber;
    identity.model = ReadModel(disk.sysfsFolder);
    identity.serial = ReadDiskSerial(fd.get(), disk.sysfsFolder);
    if (auto geometry = ReadGeometry(disk.sysfsFolder)) identity.diskSize = geometry->size;
    identity.deviceNode = disk.deviceNode;
    identities_.push_back(std::move(identity));
  }
}

void DiskInventory::ScanDiskDevices(const std::function<bool(const fs::path& node)>& openedElsewhere) {
  devices_.clear();
  for (const WholeDisk& disk : ListWholeDisks(sysfsRoot_, devRoot_)) {
    UniqueFd fd = OpenDisk(disk);
    if (!fd && !(openedElsewhere && openedElsewhere(disk.deviceNode))) continue;
    DiskDevice device;
    device.diskNumber = disk.diskNumber;
    if (HasDescription(disk.sysfsFolder)) device.model = ReadModel(disk.sysfsFolder);
    device.serial = ReadDiskSerial(fd.get(), disk.sysfsFolder);
    if (auto geometry = ReadGeometry(disk.sysfsFolder)) {
      device.bytesPerSector = geometry->bytesPerSector;
      device.sectorCount = geometry->size / (geometry->bytesPerSector > 0 ? geometry->bytesPerSector : 512);
    }
    if (auto address = ReadScsiAddress(disk.sysfsFolder)) {
      device.portNumber = address->host;
      device.targetId = address->target;
      device.lun = address->lun;
    }
    device.deviceNode = disk.deviceNode;
    devices_.push_back(std::move(device));
  }
}

fs::path DiskInventory::IdentityNode(int32_t diskNumber) const {
  for (const DiskIdentity& identity : identities_)
    if (identity.diskNumber == diskNumber) return identity.deviceNode;
  return {};
}

DiskInventory ScanSystemDiskIdentities() {
  DiskInventory inventory;
  inventory.ScanDiskIdentities();
  return inventory;
}

}  // namespace brenvik
