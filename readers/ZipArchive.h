#pragma once
// A thin layer over the zip reader: walks the items of an archive, gives each item's name (raw and
// made safe) and its modification time, and extracts an item to a fixed place below a folder.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

namespace brenvik {

// Entry times outside this range (100-ns file time units) count as no time at all.
constexpr int64_t kEarliestEntryTime = 0xFFFFFFFF;
constexpr int64_t kLatestEntryTime = 0x0200000000000000;
inline bool IsAcceptedEntryTime(int64_t fileTime) {
  return fileTime >= kEarliestEntryTime && fileTime <= kLatestEntryTime;
}

// An extracted part larger than this counts as missing, so a zip bomb cannot fill the disk.
constexpr uint64_t kExtractedPartCap = 64ull << 20;

// Where an item's directory record sits, to come back to it after walking on.
struct ZipItemPosition {
  uint64_t directoryOffset = 0;
  uint64_t index = 0;
};

// When an item was last changed. Its DOS date and time are a wall-clock reading in the zone of
// whoever wrote the archive, so they are shown as stored; an extended-timestamp (0x5455) or NTFS
// (0x000A) extra field gives the true moment, shown in this machine's zone.
struct ZipItemTime {
  // The moment as a UTC file time, for ordering and the accepted range (a DOS time is taken as a
  // reading in this machine's zone); 0 when invalid.
  int64_t fileTime = 0;
  // A DOS time: the stored reading, counted as if it were a UTC file time; -1 for a true moment.
  int64_t wallClock = -1;
};

// The time as it goes into names ("YYYY-MM-DD hh-mm-ss").
std::u16string ZipTimeText(const ZipItemTime& time);

struct ZipItem {
  std::string rawName;   // the stored name bytes, at most 1020 of them
  std::u16string name;   // decoded from UTF-8, then made safe by SafeEntryName
  ZipItemTime time;      // the modification time
};

// The stored name with any drive letter, leading separators and everything up to the last ".."
// part removed, "." and empty parts dropped, and the parts joined by "/".
std::u16string SafeEntryName(std::u16string_view name);

// What reading one item through says about it.
enum class ZipItemCheck { Whole, Passed, LocalHeaderDamaged, DataDamaged, CrcError, OverBudget };

class ZipArchive {
 public:
  // Opens the archive; isOpen() is false for a missing, damaged or non-zip file.
  explicit ZipArchive(const std::filesystem::path& path);
  // The same over a file the caller has open and keeps open while the archive is (it stays the
  // caller's), read as if it ended after `length` bytes when `length` is not negative.
  explicit ZipArchive(int fd, int64_t length = -1);
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  bool isOpen() const { return handle_ != nullptr; }
  // Moves to the first / next item; false at the end of the items or on a damaged directory.
  bool First();
  bool Next();
  // Describes the current item; false when its directory record cannot be read.
  bool Current(ZipItem& item);
  // Only the current item's stored name bytes (at most 1020).
  bool CurrentRawName(std::string& rawName);
  // The current item's place, and a move back to a place taken earlier.
  bool Remember(ZipItemPosition& position);
  bool GoTo(const ZipItemPosition& position);
  // Inflates the current item into `relative` below the open folder `folderFd` (see
  // ReplaceFileBelow: missing folders are created, no link is followed or written through). False,
  // with no file written, when the item cannot be read or inflates to more than `cap` bytes.
  bool ExtractCurrent(int folderFd, const std::filesystem::path& relative, uint64_t cap = kExtractedPartCap);
  // Inflates the current item into `contents`; false when it cannot be read or holds more than
  // `cap` bytes.
  bool ReadCurrent(std::string& contents, uint64_t cap);
  // The number of items the directory's end record states.
  uint64_t StatedItemCount();
  // Inflates the current item to its stated size and compares its CRC, without keeping anything.
  // Encrypted items and methods other than store and deflate are Passed. `budget` is what may
  // still be inflated; OverBudget (or Stop) ends the read early.
  ZipItemCheck CheckCurrent(uint64_t& budget, const std::atomic<int>* stop);
  void Close();

 private:
  // Feeds the current item's inflated bytes to `sink` chunk by chunk; false when the item cannot
  // be read, holds more than `cap` bytes or `sink` refuses a chunk.
  template <typename Sink>
  bool InflateCurrent(uint64_t cap, Sink&& sink);

  void* handle_ = nullptr;
};

}  // namespace brenvik
