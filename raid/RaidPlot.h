#pragma once
// What the Raid Analysis plot shows, worked out without drawing anything: the records found on
// each member as points (x: the member sector, y: the record number), grouped in runs of
// consecutive records; the stretch of the plane that holds them; and the inferred geometry drawn
// over them (where stripe rows begin, the record number it expects at each sector of a member).
// The drawing itself (a page's view, a PNG or SVG file) only maps these onto pixels.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "raid/RaidGeometry.h"

namespace brenvik {

// A stretch of the plane: member sectors across, record numbers up.
struct RaidPlotBounds {
  double sectorFrom = 0;
  double sectorTo = 1;
  double recordFrom = 0;
  double recordTo = 1;
};

// A straight piece of a member's expected record line.
struct RaidPlotSegment {
  int64_t sectorFrom = 0;
  double recordFrom = 0;
  int64_t sectorTo = 0;
  double recordTo = 0;
};

struct RaidPlotModel {
  size_t members = 0;
  // The records found, in runs of consecutive records on one member: those the geometry was
  // inferred from (between the positions read when the answer came from there).
  std::vector<RaidRecordRun> runs;
  // The answer drawn over the records, when the run gave one (decided or the uncertain best),
  // and its first line of text.
  std::optional<RaidGeometryGuess> geometry;
  std::u16string caption;
};

// The stretch that shows the records: every sector that holds one, and the record numbers of all
// but the stray few at either end (a parity block or an old copy far away from the MFT would
// otherwise squeeze the rest into a line), with a small margin. A plane of 1 × 1 when empty.
RaidPlotBounds WholePlot(const RaidPlotModel& model);

// The sectors in [from, to] where the geometry's stripe rows begin; empty for a mirror or when
// there are more than `limit` of them (too dense to tell apart).
std::vector<int64_t> StripeBoundaries(const RaidGeometryGuess& geometry, int64_t from, int64_t to, size_t limit);

// The geometry's expected record numbers on `member` between sectors `from` and `to`: one
// segment per stripe of data that member holds there (none on parity); empty when there would
// be more than `limit` of them.
std::vector<RaidPlotSegment> ExpectedRecordLine(const RaidGeometryGuess& geometry, size_t member, int64_t from,
                                                int64_t to, size_t limit);

enum class PlotFormat { Png, Svg };
// The picture format a file name asks for by its extension (.png or .svg, any case).
std::optional<PlotFormat> PlotFormatOf(const std::filesystem::path& path);

}  // namespace brenvik
