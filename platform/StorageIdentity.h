#pragma once
// Which storage a path occupies, so that an output is never written onto one of its own inputs
// under another name. Two names lead to the same storage when they are the same file (two paths,
// a hard link), a loop device and its backing file, a disk and its partitions, device-mapper or
// md holders and the devices they are built on; and a file written on a file system lies on the
// disk that file system is mounted from, so imaging that disk into such a file would overwrite
// the free space the image is being taken of.
#include <sys/stat.h>

#include <compare>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <span>
#include <vector>

#include "platform/SystemEnv.h"

namespace brenvik {

// One piece of storage: a file (device and inode) or a whole block device (its number).
struct StorageUnit {
  enum class Kind : uint8_t { File, BlockDevice };
  Kind kind = Kind::File;
  uint64_t device = 0;
  uint64_t inode = 0;  // 0 for a block device
  auto operator<=>(const StorageUnit&) const = default;
};

struct StorageIdentity {
  // What the path's contents are read from: a file itself; a block device with what it is built on
  // (the disk a partition lies on, the slaves of a device-mapper or md device, a loop device's
  // backing file and what that file lies on).
  std::set<StorageUnit> reads;
  // What writing the path changes: all of `reads`, and for a block device also what is built on it
  // (its partitions, its holders).
  std::set<StorageUnit> writes;
  // For a file: what the file system holding it lies on (the `reads` of the device it is mounted
  // from). Writing the file changes that storage's free space, and writing that storage raw
  // changes the file. For a loop device: the same for its backing file. Empty where no device
  // was found (tmpfs, for one).
  std::set<StorageUnit> host;
};

// Where the system's device relations are read (sysfs, the mount table); tests point it at fake trees.
using StorageProbe = SystemEnv;

// The storage a path occupies (symbolic links followed). A path that does not exist occupies
// nothing itself, but a file created there would lie on its folder's file system, so that folder's
// host is given.
StorageIdentity IdentifyStorage(const std::filesystem::path& path, const StorageProbe& probe = {});
// The same for a file already open (from its fstat), so the check covers the file actually opened.
StorageIdentity IdentifyStat(const struct stat& st, const StorageProbe& probe = {});
// The storage of a block device given by its number (a SCSI disk's block device, for one).
StorageIdentity IdentifyBlockDevice(uint64_t device, const StorageProbe& probe = {});

// The file behind the loop device `device` as the kernel names it; empty for another device.
std::filesystem::path LoopBackingFile(uint64_t device, const SystemEnv& system);

enum class StorageClash {
  None,
  Same,                  // both reach the same file or sectors
  OutputOnInputsDisk,    // the output is a file on a file system that lies on the input's storage
  InputOnOutputsDisk,    // the input is a file on a file system that lies on the output's storage
};
// How writing `output` would touch `input`.
StorageClash CompareStorage(const StorageIdentity& output, const StorageIdentity& input);
// True when both reach the same file or sectors, whichever is taken as the output: two names
// of one file, a loop device and its backing file, a disk and one of its partitions.
bool SameStorage(const StorageIdentity& a, const StorageIdentity& b);
// The storage of every file system in the mount table that is mounted from a block device.
std::vector<StorageIdentity> MountedFileSystems(const StorageProbe& probe = {});
// True when writing `output` would change any of `inputs`.
bool SharesStorageWithAny(const StorageIdentity& output, std::span<const StorageIdentity> inputs);

}  // namespace brenvik
