#pragma once
// What the rescue map view shows, computed from a map's block list alone, so that a running copy
// and a map file (this program's or GNU ddrescue's) are drawn alike: the source as a row-major
// grid of cells, each a run of whole sectors in the worst state found among them, and the totals
// (how much is finished, bad or still to read, where the run is, how fast and how long). No Qt.
// The texts are for people only and are built figure by figure, so they come in the user's
// language (the source texts where no catalogue applies) to the view and to brenvik-cli alike.
#include <cstdint>
#include <memory>
#include <utility>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "disk/RescueMap.h"

namespace brenvik {

// Ordered from best to worst: a cell takes the last of its sectors' states. The sector being
// read now outranks them all, so the eye finds it.
enum class CellState : uint8_t { Finished, NotTried, NonTrimmed, NonScraped, Bad, Reading };
inline constexpr int kCellStateCount = 6;

// A map block's status character as a cell state; anything unknown counts as not tried.
CellState CellStateOf(char status);
// "Finished", "Not tried", "Non-trimmed", "Non-scraped", "Bad", "Being read".
std::u16string_view CellStateName(CellState state);

// A rescue map as the view takes it: from a running copy or from a map file.
struct RescueMapSnapshot {
  std::vector<RescueMapBlock> blocks;  // back to back, in source bytes
  int32_t sectorSize = 512;            // names sectors in hover texts
  std::optional<int64_t> position;     // the byte the run is at, when known
  bool reading = false;                // a copy is running: the sector at `position` is being read
  // Known only while a copy runs (or right after it):
  std::optional<int64_t> elapsedSeconds;
  std::optional<int64_t> bytesPerSecond;  // settled (finished or found bad) this run, per second
  std::optional<int64_t> remainingSeconds;
  // The bytes the running phase of a copy limited to a domain reads, sorted runs of [first, end);
  // none: the whole map.
  std::shared_ptr<const std::vector<std::pair<int64_t, int64_t>>> domain;
};

// Bytes of each state.
struct RescueTotals {
  int64_t size = 0, finished = 0, notTried = 0, nonTrimmed = 0, nonScraped = 0, bad = 0;
};
RescueTotals TotalsOf(std::span<const RescueMapBlock> blocks);

// One line of totals, the same for the view and brenvik-cli's progress line:
// "Finished: 1.5 GB (37.50%)  Bad: 4.0 KB (<0.01%)  Not tried: ...  Position: sector N  Rate: ...
// Elapsed: 0:01:02  Remaining: 1:00:00". Non-trimmed and non-scraped appear when present; the
// run's figures when known.
std::u16string RescueTotalsText(const RescueMapSnapshot& map);
// "part" as a share of "whole" with two decimals, never rounded to 0% or 100% unless exact.
std::u16string ShareText(int64_t part, int64_t whole);
// "H:MM:SS".
std::u16string DurationText(int64_t seconds);

struct MapCells {
  int64_t first = 0;      // the byte cell 0 starts at
  int64_t end = 0;        // one past the map's last byte
  int64_t cellBytes = 0;  // whole sectors; the last cell may hold fewer
  std::vector<CellState> cells;
  std::vector<bool> inDomain;  // per cell, when the map has a domain: the cell holds some of it
};
// At most `maxCells` cells (at least one) over the whole map, each of as few whole sectors as
// that allows. Work is bounded by the number of blocks plus the number of cells.
MapCells BuildMapCells(const RescueMapSnapshot& map, int64_t maxCells);

// A cell's hover text: its sector range, its state and, when it mixes states, the bytes of each:
// "Sectors 0 - 8191: Bad (Finished 4.0 MB, Bad 1.0 KB)".
std::u16string DescribeCell(const RescueMapSnapshot& map, const MapCells& cells, size_t index);

// The snapshot of a map file's text, or nothing when it is not a map.
std::optional<RescueMapSnapshot> SnapshotOfMap(const ParsedRescueMap& parsed);

}  // namespace brenvik
