#pragma once
// Copies and thumbnails among the files a Check walked. A copy is a file with the same bytes as
// one met earlier in the walk; a thumbnail is a JPEG file with the same bytes as the thumbnail
// embedded in another picture of the walk. Only files that every other criterion let pass take
// part, so the file a copy or thumbnail is kept for always stays.
//
// The walk notes each such file, in walk order, in a spill file in the temporary folder, with a
// hash of its first and last 4 KiB taken while the walk has it open, and counts it in fixed-size
// counts keyed by size and that hash. After the walk only the files whose count says they could
// have a twin are held in memory. They are grouped by size, then by the hash of their first and
// last 4 KiB, then by a hash of all their bytes (xxHash), and a byte comparison decides before
// anything is listed. Memory thus stays flat in the files that have no twin.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "invalid_files/EmbeddedThumbnail.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"

namespace brenvik {

// What a file's reading tells the twin criteria, gathered where the walk has the file open.
struct TwinFacts {
  bool edgeRead = false;
  uint64_t edgeHash = 0;  // xxHash of the first and last 4 KiB (of all bytes up to 8 KiB)
  bool jpeg = false;
  std::optional<ThumbnailPlace> thumbnail;  // a picture's embedded JPEG thumbnail
  uint64_t thumbnailHash = 0;               // xxHash of the thumbnail's bytes
};

// The facts of the open file `fd` of `size` bytes: its edges when `duplicates`, a picture's
// thumbnail when `thumbnails`.
TwinFacts CollectTwinFacts(int fd, int64_t size, bool duplicates, bool thumbnails);

class TwinFinder {
 public:
  // The spill file goes into `temporaryFolder` (unnamed, so nothing is left behind); without one
  // it is held in memory.
  TwinFinder(bool duplicates, bool thumbnails, const std::filesystem::path& temporaryFolder);
  ~TwinFinder();
  TwinFinder(const TwinFinder&) = delete;
  TwinFinder& operator=(const TwinFinder&) = delete;

  bool duplicates() const { return duplicates_; }
  bool thumbnails() const { return thumbnails_; }

  // A file that passed every other criterion, in walk order. Empty files are never twins.
  void Note(std::string_view path, int64_t size, FileIdentity identity, const TwinFacts& facts);

  enum class Kind : uint8_t { Duplicate, Thumbnail };
  struct Twin {
    Kind kind;
    std::string path;       // the file listed
    int64_t size = 0;
    FileIdentity identity;  // which file was compared
    std::string keptPath;   // the file kept: the first copy, or the picture holding the thumbnail
    uint64_t ordinal = 0;   // the listed file's place in the walk among the noted files
  };
  // After the walk: every copy and thumbnail among the noted files, in walk order. Files are
  // reached below `root` without following links and only while they are the files noted. A set
  // `stop` ends the search with nothing found, or the list where it stands.
  void Find(const std::filesystem::path& root, FileIdentity rootIdentity, int workers, const std::atomic<int>& stop,
            const std::function<void(Twin&&)>& found);

 private:
  struct Spill;
  bool duplicates_;
  bool thumbnails_;
  uint64_t ordinal_ = 0;
  std::vector<uint8_t> sizeCounts_;      // saturating counts of files by a hash of size and edges
  std::vector<uint64_t> jpegSizes_;      // bits: a JPEG file of a size with this hash was noted
  std::vector<uint64_t> thumbnailSizes_; // bits: an embedded thumbnail of a length with this hash
  std::unique_ptr<Spill> spill_;
};

}  // namespace brenvik
