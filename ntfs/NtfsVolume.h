#pragma once
// What an NTFS volume says about where its own data lies: the boot sector, the file records of
// the MFT (with their update sequences), the data runs of a non-resident attribute and the
// cluster bitmap. Everything here reads bytes from a disk that may be failing or hostile: every
// length, offset and run is checked against the buffer and the volume before it is used, and a
// structure that does not hold together gives nothing rather than a guess. No Qt.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brenvik::ntfs {

// A run of bytes of the volume, from its first byte.
struct Extent {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool operator==(const Extent&) const = default;
};

struct BootSector {
  uint32_t bytesPerSector = 0;  // 256 ... 4096, a power of two
  uint32_t clusterSize = 0;     // bytes, a power of two up to 2 MiB
  uint64_t totalSectors = 0;    // of the volume; the backup boot sector is the sector after them
  uint64_t mftCluster = 0;
  uint64_t mftMirrorCluster = 0;
  uint32_t recordSize = 0;  // bytes of a file record, a power of two, 256 ... 64 KiB
  uint64_t volumeBytes() const { return totalSectors * bytesPerSector; }
  uint64_t clusterCount() const { return volumeBytes() / clusterSize; }
};

// The boot sector in the first 512 bytes of `sector`, when it is an NTFS one whose figures hold
// together (the MFT and its mirror inside the volume).
std::optional<BootSector> ParseBootSector(std::span<const uint8_t> sector);

// Checks a file record ("FILE") and undoes its update sequence in place: the last two bytes of
// every 512 bytes must carry the sequence number, and get back the bytes the array kept. False
// (the record then unusable) when the array does not fit or a stride was torn.
bool ApplyFixups(std::span<uint8_t> record);

// The run list of a non-resident attribute as extents of the volume, in the order of the
// attribute's data; sparse runs hold nothing on disk and are left out. Nothing when the list is
// damaged: a header wider than its field, a run of length 0, a run outside the volume's
// `clusterCount` clusters, or more than `maxRuns` runs.
std::optional<std::vector<Extent>> DecodeRunList(std::span<const uint8_t> runs, uint32_t clusterSize,
                                                 uint64_t clusterCount, size_t maxRuns = 65536);

// The unnamed $DATA attribute of a file record (after ApplyFixups), when it is non-resident and
// starts at the file's beginning.
struct NonResidentData {
  std::vector<Extent> extents;  // where the allocated clusters lie, cut to `initializedSize`
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
  bool complete = false;  // the runs cover every allocated cluster (no part lives in another record)
};
std::optional<NonResidentData> FindUnnamedData(std::span<const uint8_t> record, const BootSector& boot);

// Cuts extents (in data order) to their first `length` bytes.
std::vector<Extent> FirstBytes(const std::vector<Extent>& extents, uint64_t length);

// Where byte `offset` of a file whose data lies in `extents` (data order) lies on the volume.
std::optional<uint64_t> VolumeOffset(const std::vector<Extent>& extents, uint64_t offset);

// The clusters a bitmap marks used, as extents of the volume in disk order, gathered piece by
// piece. To keep memory bounded on a badly fragmented volume, once there are more than
// `maxExtents` of them, gaps are closed, the smallest first (doubling the gap closed each time):
// the extents then cover a little free space too, never less than the used space.
class UsedClusters {
 public:
  UsedClusters(uint32_t clusterSize, uint64_t clusterCount, size_t maxExtents = size_t{1} << 22);
  // Bytes of the bitmap from byte `at` on; bits past the volume's clusters are ignored.
  void add(uint64_t at, std::span<const uint8_t> bytes);
  // Clusters whose bitmap bytes could not be read count as used.
  void addUnknown(uint64_t at, uint64_t byteCount);
  const std::vector<Extent>& extents() const { return extents_; }
  uint64_t usedBytes() const;

 private:
  void mark(uint64_t firstCluster, uint64_t count);
  void coarsen();

  uint32_t clusterSize_;
  uint64_t clusterCount_;
  size_t maxExtents_;
  uint64_t closedGap_ = 0;  // in bytes: gaps up to this size are closed
  std::vector<Extent> extents_;
};

}  // namespace brenvik::ntfs
