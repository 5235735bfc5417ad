#include "platform/StorageIdentity.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Sysfs.h"

namespace brenvik {

namespace fs = std::filesystem;

namespace {

// An attribute's text; empty when it cannot be read, which every caller treats as "none".
std::string Attribute(const fs::path& path) { return ReadSysfsAttribute(path).value_or(std::string()); }

// A hostile or broken tree could list endless holders; a real stack has a handful.
constexpr size_t kMaxDevicesInFamily = 4096;

uint64_t ParseDeviceNumber(const std::string& text) {
  unsigned majorNumber = 0, minorNumber = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &majorNumber, &minorNumber, &extra) != 2) return 0;
  return makedev(majorNumber, minorNumber);
}

StorageUnit FileUnit(const struct stat& st) {
  return {StorageUnit::Kind::File, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

StorageUnit DeviceUnit(uint64_t device) { return {StorageUnit::Kind::BlockDevice, device, 0}; }

struct MountEntry {
  uint64_t device = 0;  // as the mount table gives it (0:n for file systems such as btrfs)
  std::string source;   // the mounted device's path, when it is one
};

// The mount table's entries; a line it cannot read is skipped.
std::vector<MountEntry> ReadMountTable(const fs::path& mountInfo) {
  std::vector<MountEntry> entries;
  std::ifstream in(mountInfo);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, number, field, type, source;
    if (!(fields >> id >> parent >> number)) continue;
    while (fields >> field && field != "-") {
    }
    fields >> type >> source;
    entries.push_back({ParseDeviceNumber(number), source.size() > 1 && source.front() == '/' ? source : std::string()});
  }
  return entries;
}

uint64_t BlockDeviceAt(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) ? st.st_rdev : 0;
}

// The block device a file system with device number `fileSystemDevice` is mounted from, 0 when
// the mount table names none.
uint64_t MountSourceOf(uint64_t fileSystemDevice, const fs::path& mountInfo) {
  for (const MountEntry& entry : ReadMountTable(mountInfo))
    if (entry.device == fileSystemDevice)
      if (const uint64_t device = BlockDeviceAt(entry.source); device != 0) return device;
  return 0;
}

class DeviceWalk {
 public:
  explicit DeviceWalk(const StorageProbe& probe) : probe_(probe) {}

  // Adds `device` and everything it is built on to `out`: the disk of a partition, the slaves of
  // a device-mapper or md device, a loop device's backing file; what such a backing file lies on
  // goes to `backingHost`, as a file's file system does.
  void addBuiltOn(uint64_t device, std::set<StorageUnit>& out, std::set<StorageUnit>& backingHost) {
    walk(device, out, [&](const fs::path& entry, std::deque<uint64_t>& queue) {
      std::error_code error;
      if (fs::exists(entry / "partition", error)) queue.push_back(DeviceOf(entry.parent_path()));
      forEachEntry(entry / "slaves", [&](const fs::path& slave) { queue.push_back(DeviceOf(slave)); });
      addLoopBacking(entry / "loop", out, backingHost, queue);
    });
  }

  // Adds `device` and everything built on it: a whole disk's partitions, holders.
  void addBuiltAbove(uint64_t device, std::set<StorageUnit>& out) {
    walk(device, out, [&](const fs::path& entry, std::deque<uint64_t>& queue) {
      std::error_code error;
      if (!fs::exists(entry / "partition", error))
        forEachEntry(entry, [&](const fs::path& child) {
          if (fs::exists(child / "partition", error)) queue.push_back(DeviceOf(child));
        });
      forEachEntry(entry / "holders", [&](const fs::path& holder) { queue.push_back(DeviceOf(holder)); });
    });
  }

  // Adds what the file system whose files carry device number `fileSystemDevice` lies on.
  void addFileSystem(uint64_t fileSystemDevice, std::set<StorageUnit>& out) {
    std::error_code error;
    uint64_t device = fileSystemDevice;
    // File systems such as btrfs give their files a device number of their own; the block
    // device they are mounted from is then read from the mount table.
    if (!fs::exists(probe_.BlockEntry(device), error))
      device = MountSourceOf(device, probe_.mountInfo);
    if (device != 0) addBuiltOn(device, out, out);
  }

 private:
  template <class Step>
  void walk(uint64_t device, std::set<StorageUnit>& out, Step step) {
    std::deque<uint64_t> queue{device};
    size_t visited = 0;
    while (!queue.empty() && ++visited < kMaxDevicesInFamily) {
      const uint64_t current = queue.front();
      queue.pop_front();
      if (current == 0 || !out.insert(DeviceUnit(current)).second) continue;
      std::error_code error;
      const fs::path entry = fs::canonical(probe_.BlockEntry(current), error);
      if (!error) step(entry, queue);
    }
  }

  static uint64_t DeviceOf(const fs::path& entry) { return ParseDeviceNumber(Attribute(entry / "dev")); }

  template <class Visit>
  static void forEachEntry(const fs::path& folder, Visit visit) {
    std::error_code error;
    size_t seen = 0;
    for (fs::directory_iterator it(folder, error), end; !error && it != end && seen < kMaxDevicesInFamily;
         it.increment(error), ++seen)
      visit(it->path());
  }

  void addLoopBacking(const fs::path& loop, std::set<StorageUnit>& out, std::set<StorageUnit>& backingHost,
                      std::deque<uint64_t>& queue) {
    // The kernel's own record of the backing file's device and inode, where it offers one, holds
    // even when the file was renamed; the path is what every kernel shows.
    const uint64_t backingDevice = ParseDeviceNumber(Attribute(loop / "backing_dev"));
    const std::string backingInode = Attribute(loop / "backing_inode");
    if (backingDevice != 0 && !backingInode.empty()) {
      out.insert({StorageUnit::Kind::File, backingDevice, std::strtoull(backingInode.c_str(), nullptr, 10)});
      addFileSystem(backingDevice, backingHost);
    }
    const std::string backingFile = Attribute(loop / "backing_file");
    struct stat st {};
    if (backingFile.empty() || backingFile.front() != '/' || ::stat(backingFile.c_str(), &st) != 0) return;
    if (S_ISBLK(st.st_mode)) {
      queue.push_back(st.st_rdev);  // a loop device over a device
      return;
    }
    out.insert(FileUnit(st));
    addFileSystem(st.st_dev, backingHost);
  }

  const StorageProbe& probe_;
};

bool Intersects(const std::set<StorageUnit>& a, const std::set<StorageUnit>& b) {
  const auto& small = a.size() <= b.size() ? a : b;
  const auto& large = a.size() <= b.size() ? b : a;
  return std::any_of(small.begin(), small.end(), [&](const StorageUnit& unit) { return large.count(unit) != 0; });
}

}  // namespace

StorageIdentity IdentifyBlockDevice(uint64_t device, const StorageProbe& probe) {
  StorageIdentity identity;
  DeviceWalk walk(probe);
  walk.addBuiltOn(device, identity.reads, identity.host);
  identity.writes = identity.reads;
  walk.addBuiltAbove(device, identity.writes);
  return identity;
}

StorageIdentity IdentifyStat(const struct stat& st, const StorageProbe& probe) {
  if (S_ISBLK(st.st_mode)) return IdentifyBlockDevice(st.st_rdev, probe);
  StorageIdentity identity;
  identity.reads.insert(FileUnit(st));
  identity.writes = identity.reads;
  DeviceWalk(probe).addFileSystem(st.st_dev, identity.host);
  return identity;
}

StorageIdentity IdentifyStorage(const fs::path& path, const StorageProbe& probe) {
  if (probe.deviceNumber)
    if (const uint64_t device = probe.deviceNumber(path); device != 0) return IdentifyBlockDevice(device, probe);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return IdentifyStat(st, probe);
  StorageIdentity identity;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  if (errno == ENOENT && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    DeviceWalk(probe).addFileSystem(st.st_dev, identity.host);
  return identity;
}

std::filesystem::path LoopBackingFile(uint64_t device, const SystemEnv& system) {
  return Attribute(system.BlockEntry(device) / "loop/backing_file");
}

StorageClash CompareStorage(const StorageIdentity& output, const StorageIdentity& input) {
  if (Intersects(output.writes, input.reads)) return StorageClash::Same;
  if (Intersects(output.host, input.reads)) return StorageClash::OutputOnInputsDisk;
  if (Intersects(output.writes, input.host)) return StorageClash::InputOnOutputsDisk;
  return StorageClash::None;
}

bool SameStorage(const StorageIdentity& a, const StorageIdentity& b) {
  return CompareStorage(a, b) == StorageClash::Same || CompareStorage(b, a) == StorageClash::Same;
}

std::vector<StorageIdentity> MountedFileSystems(const StorageProbe& probe) {
  std::vector<StorageIdentity> mounted;
  std::set<uint64_t> seen;
  for (const MountEntry& entry : ReadMountTable(probe.mountInfo)) {
    std::error_code error;
    uint64_t device = entry.device;
    if (major(device) == 0 || !fs::exists(probe.BlockEntry(device), error))
      device = BlockDeviceAt(entry.source);  // btrfs and the like: the device named as the source
    if (device != 0 && seen.insert(device).second) mounted.push_back(IdentifyBlockDevice(device, probe));
  }
  return mounted;
}

bool SharesStorageWithAny(const StorageIdentity& output, std::span<const StorageIdentity> inputs) {
  return std::any_of(inputs.begin(), inputs.end(),
                     [&](const StorageIdentity& input) { return CompareStorage(output, input) != StorageClash::None; });
}

}  // namespace brenvik
