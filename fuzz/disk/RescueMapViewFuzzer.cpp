// Feeds hostile map files to what the map view makes of them: the cells for a grid whose size
// the input also picks, every cell's hover text and the totals. Cells must stay within the grid
// and cover the map; the totals must add up to it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "disk/RescueMapModel.h"

using namespace brenvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int64_t maxCells = (data[0] | data[1] << 8) - 16;  // a few below 1 as well
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  auto map = SnapshotOfMap(ParseRescueMap(text));
  if (!map) return 0;
  map->reading = true;
  const MapCells cells = BuildMapCells(*map, maxCells);
  if (cells.cells.size() > static_cast<size_t>(std::max<int64_t>(maxCells, 1))) std::abort();
  if (!map->blocks.empty() && (cells.cells.empty() || cells.cellBytes <= 0)) std::abort();
  for (size_t i = 0; i < cells.cells.size(); ++i)
    if (DescribeCell(*map, cells, i).empty()) std::abort();
  const RescueTotals totals = TotalsOf(map->blocks);
  if (totals.size != cells.end - cells.first ||
      totals.finished + totals.notTried + totals.nonTrimmed + totals.nonScraped + totals.bad != totals.size)
    std::abort();
  RescueTotalsText(*map);
  return 0;
}
