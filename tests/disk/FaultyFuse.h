#pragma once
// A small FUSE file system for tests of reads from failing disks: mounted by the test (as root)
// on a fresh folder, it serves one image file, "disk.img", whose chosen sectors fail with EIO,
// and records every read that reaches it. Reads are direct (no page cache in between), so each
// read of the file arrives here as the reader made it, in chunks of at most the kernel's size.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct fuse;

namespace brenvik::testing {

class FaultyImageMount {
 public:
  // `badSectors` fail every read that touches them. `healingSectors` fail every read of more
  // than one sector and their first single-sector read, and read normally after that.
  FaultyImageMount(const std::filesystem::path& mountPoint, std::string image, int sectorSize,
                   std::set<int64_t> badSectors, std::set<int64_t> healingSectors = {});
  ~FaultyImageMount();
  FaultyImageMount(const FaultyImageMount&) = delete;
  FaultyImageMount& operator=(const FaultyImageMount&) = delete;

  // Empty when mounted; otherwise why not (no /dev/fuse, mount refused).
  const std::string& failure() const { return failure_; }
  std::filesystem::path file() const { return mountPoint_ / "disk.img"; }

  // Every read of disk.img since the last clear, as (byte offset, size).
  std::vector<std::pair<int64_t, int64_t>> reads();
  void clearReads();

  // Called on the file system's own thread after every read of disk.img is recorded (a test's
  // Stop at a chosen read); set before the reads it should see.
  std::function<void()> afterRead;

  // Called on the file system's own thread.
  int read(char* buffer, size_t length, int64_t offset);
  int64_t size() const { return static_cast<int64_t>(image_.size()); }

 private:
  std::filesystem::path mountPoint_;
  std::string image_;
  int sectorSize_;
  std::set<int64_t> bad_;
  std::set<int64_t> healing_;
  std::string failure_;
  struct fuse* fuse_ = nullptr;
  std::thread loop_;
  std::atomic<bool> loopEnded_{false};
  std::mutex mutex_;
  std::vector<std::pair<int64_t, int64_t>> reads_;
};

}  // namespace brenvik::testing
