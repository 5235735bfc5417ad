// Feeds hostile text to the rescue map reader, as a map file found beside a target would be.
// What it takes as this program's map must describe its run sector by sector, and write back
// to the same map.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "disk/RescueMap.h"

using namespace brenvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParsedRescueMap parsed = ParseRescueMap(text);
  if (!parsed.run || !parsed.map) return 0;
  const SectorMap& map = *parsed.map;
  int64_t at = map.first();
  for (const SectorArea& area : map.areas()) {
    if (area.first != at || area.end <= area.first) std::abort();
    at = area.end;
  }
  if (at != map.end() || map.end() - map.first() != parsed.run->count) std::abort();
  const ParsedRescueMap again = ParseRescueMap(FormatRescueMap(*parsed.run, map, map.first(), SectorState::NotTried));
  if (!again.map || again.map->areas() != map.areas() || *again.run != *parsed.run) std::abort();
  return 0;
}
