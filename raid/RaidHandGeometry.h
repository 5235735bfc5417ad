#pragma once
// A RAID geometry typed by hand (the page's fields, brenvik-cli's --layout, --stripe, --order,
// --start and --parity-delay), read into the geometry the volume is assembled by.
#include <cstddef>
#include <optional>
#include <string>

#include "raid/RaidGeometry.h"

namespace brenvik {

// A geometry given by hand, as typed.
struct RaidGeometryTexts {
  std::string layout;       // a layout's key ("raid5-left-symmetric", see LayoutOfKey)
  std::string stripe;       // KiB, or with a unit: 64K, 1M, 128s (sectors); may be empty for raid1 and jbod
  std::string order;        // the members numbered from 1 as given, separated by commas; empty: as given
  std::string start;        // the sector of the first stripe row; empty: 0
  std::string parityDelay;  // RAID 5's delayed parity in rows; empty: 1
};
enum class RaidGeometryField { None, Layout, Stripe, Order, Start, ParityDelay };
// The geometry the texts give over `members` members; nullopt with `bad` naming the first text
// that does not parse (or, for the stripe, is missing). Whether it fits the members is the
// volume's to say (RaidVolumeRefusal::Geometry).
std::optional<RaidGeometryGuess> ParseRaidGeometry(const RaidGeometryTexts& texts, size_t members, RaidGeometryField& bad);

}  // namespace brenvik
