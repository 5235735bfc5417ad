#pragma once
// The rescue map of an image copy: which source sectors the target holds ("+"), which could not
// be read ("-"), which were not tried yet ("?"), and the two states between: a failed read's area
// not yet trimmed from its edges ("*") and the inside left after trimming, not yet read sector by
// sector ("/"). A run resumes in the phase those states call for. It is kept beside an image-file target as
// "<target>.map" in the mapfile format of GNU ddrescue (source byte positions and sizes), so that
// ddrescuelog and ddrescueview read it. Comment lines carry what the run was (source, sector
// sizes, start, count, target start), so that a later run on the same target can tell whether it
// may continue from the map. No Qt.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/FileOps.h"

namespace brenvik {

// The letters are ddrescue's, so its tools read the map.
enum class SectorState : char { NotTried = '?', NonTrimmed = '*', NonScraped = '/', Bad = '-', Finished = '+' };

// What a map must agree on before a run continues from it.
struct RescueRun {
  std::string source;  // what the source is (kind, name, serial, size); any bytes
  int32_t sourceSectorSize = 0;
  int32_t targetSectorSize = 0;
  int64_t start = 0;  // first source sector
  int64_t count = 0;  // sectors of the run
  int64_t targetStart = 0;
  bool operator==(const RescueRun&) const = default;
};

struct SectorArea {
  int64_t first = 0;
  int64_t end = 0;  // one past the last sector
  SectorState state = SectorState::NotTried;
  bool operator==(const SectorArea&) const = default;
};

// The state of every sector of [first, end), held as runs of equal state.
class SectorMap {
 public:
  SectorMap() = default;
  SectorMap(int64_t first, int64_t end);  // every sector not tried

  int64_t first() const { return first_; }
  int64_t end() const { return end_; }
  // Sets [first, end) (clipped to the map) to `state`.
  void set(int64_t first, int64_t end, SectorState state);
  // The first area of `state` that ends after `from`, starting no earlier than `from`.
  std::optional<SectorArea> next(int64_t from, SectorState state) const;
  int64_t count(SectorState state) const;
  std::vector<SectorArea> areas() const;

 private:
  int64_t first_ = 0, end_ = 0;
  std::map<int64_t, SectorArea> areas_;  // by first sector; together they cover [first_, end_)
};

// The map file's text; `position` is the sector the run is at, `passState` what it is doing
// (copying "?", trimming "*", scraping "/", retrying "-", done "+") and `pass` which pass of it.
std::string FormatRescueMap(const RescueRun& run, const SectorMap& map, int64_t position, SectorState passState,
                            int pass = 1);

// One line of a map's block list: source bytes [position, position + size) in state `status`
// ('?', '*', '/', '-' or '+').
struct RescueMapBlock {
  int64_t position = 0;
  int64_t size = 0;
  char status = '?';
  bool operator==(const RescueMapBlock&) const = default;
};

// What a map file's text holds.
struct ParsedRescueMap {
  bool isMap = false;              // the text has a ddrescue mapfile's shape
  std::optional<RescueRun> run;    // the run identity, when the map was written by this program
  std::optional<SectorMap> map;    // the sectors, when the blocks cover exactly the run in whole sectors
  int64_t position = 0;            // the status line: where the run was
  std::vector<RescueMapBlock> blocks;  // back to back, as the file lists them
};
// Takes hostile text: every number is checked before use.
ParsedRescueMap ParseRescueMap(std::string_view text);

// The map file beside an image target. Nothing is reached through a symbolic link, and a file at
// that name that is not a map is never replaced.
class RescueMapFile {
 public:
  explicit RescueMapFile(const std::filesystem::path& target);  // "<target>.map"
  // A map file named by its own path, such as one a user opens to look at.
  static RescueMapFile at(const std::filesystem::path& mapPath);

  const std::filesystem::path& path() const { return path_; }

  enum class Found { None, Map, Other };
  struct Loaded {
    Found found = Found::None;
    ParsedRescueMap parsed;
  };
  // Other: a link, folder, special file or a file that is not a map, or one too large to be ours.
  Loaded load() const;
  // Writes a new file, flushes it, renames it over the map and flushes the folder, so the map
  // on disk is always either the old one or the new one in full.
  bool save(std::string_view text) const;

 private:
  std::filesystem::path path_;
};

// The sectors of a running copy, shared by the copy and the checkpoints that save them. With a
// map file, a checkpoint every few seconds flushes the target and then saves what was written
// before the flush, so the map never claims a sector the target might still lose in a power
// cut. Without a file the sectors only live in memory (disk targets keep no map).
class RescueMapKeeper {
 public:
  RescueMapKeeper(std::optional<RescueMapFile> file, RescueRun run, SectorMap sectors, int targetFd,
                  std::chrono::milliseconds interval = std::chrono::seconds(3));
  ~RescueMapKeeper();
  RescueMapKeeper(const RescueMapKeeper&) = delete;
  RescueMapKeeper& operator=(const RescueMapKeeper&) = delete;

  bool hasFile() const { return file_.has_value(); }
  void set(int64_t first, int64_t end, SectorState state);
  // Where the run is and what it is doing, for the map's status line.
  void at(int64_t sector, SectorState phase, int pass = 1);
  std::optional<SectorArea> next(int64_t from, SectorState state) const;
  int64_t count(SectorState state) const;
  std::vector<SectorArea> areas() const;

  // Saves the map as it stands, without flushing the target (it claims nothing new).
  bool saveNow();
  // Ends the checkpoints, flushes the target and saves the map. False when a save or a flush
  // failed at any time during the run.
  bool finish();

 private:
  void checkpoints(std::chrono::milliseconds interval);
  bool flushAndSave();

  std::optional<RescueMapFile> file_;
  RescueRun run_;
  int targetFd_;
  mutable std::mutex mutex_;
  SectorMap sectors_;
  int64_t position_ = 0;
  SectorState phase_ = SectorState::NotTried;
  int pass_ = 1;
  bool failed_ = false;
  bool ending_ = false;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace brenvik
