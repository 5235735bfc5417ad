#pragma once
// Real kernel mechanisms for fault tests: a small mounted file system (a full disk), a loop device
// over an image file, a file system mounted from a device. Each undoes itself when destroyed;
// `valid()` is false where the machine refuses (no root, no loop support), and the test skips.
#include <cstdint>
#include <filesystem>
#include <string>

namespace brenvik::testing {

class ScopedMount {
 public:
  // A tmpfs of `bytes` at `folder` (created when missing).
  static ScopedMount Tmpfs(const std::filesystem::path& folder, uint64_t bytes);
  // A ramfs at `folder`: a file system that refuses direct I/O.
  static ScopedMount Ramfs(const std::filesystem::path& folder);
  // The file system on `device` (made with `mkfsCommand`, e.g. "mkfs.ext2 -q -F") at `folder`.
  static ScopedMount Formatted(const std::filesystem::path& device, const std::string& mkfsCommand,
                               const std::string& type, const std::filesystem::path& folder);
  ScopedMount(ScopedMount&& other) noexcept : folder_(std::move(other.folder_)) { other.folder_.clear(); }
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  ~ScopedMount();

  bool valid() const { return !folder_.empty(); }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return folder_ / name; }

 private:
  ScopedMount() = default;
  std::filesystem::path folder_;
};

class LoopDevice {
 public:
  // `options` for losetup; kAsDisk: read-only with direct I/O on the backing file, as close to a
  // disk as a loop device gets: each read of the device reaches the backing file once, as made.
  static constexpr const char* kAsDisk = "-r --direct-io=on";
  explicit LoopDevice(const std::filesystem::path& backingFile, const std::string& options = "");
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  ~LoopDevice();

  bool valid() const { return !node_.empty(); }
  const std::filesystem::path& node() const { return node_; }

 private:
  std::filesystem::path node_;
};

}  // namespace brenvik::testing
