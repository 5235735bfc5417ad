#pragma once
// RAID 6 told from its blocks. A RAID 6 row keeps P, the XOR of its data, and Q, the data's
// Reed-Solomon sum over GF(2^8); the XOR of all of a row's blocks is therefore Q, which the run
// finds on one member (RaidBlockMap::q). Q moves back one position in the member order from row to
// row, so where it changes member gives the stripe size, whom it visits in turn gives the member
// order, and the file system's first block gives the row the volume begins with. Any RAID 6 answer
// is then checked by computing P and Q from the data of a sample of rows read again.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "raid/RaidGeometry.h"
#include "raid/RaidParityPlace.h"

namespace brenvik {

enum class RaidSyndromeRow {
  Empty,      // data, P and Q all zero: says nothing
  Agrees,     // P and Q are those of the data
  Disagrees,
};
// One offset of a RAID 6 row: `blocks` are its members' blocks in array order, `length` bytes
// each, `p` the position of P (Q follows it, the data follows Q).
RaidSyndromeRow CheckRaid6Row(std::span<const uint8_t* const> blocks, size_t length, size_t p);

// Reads up to a few thousand positions spread between `firstSector` and `endSector` of the members
// (`paths`, as given) and checks each with CheckRaid6Row under `guess`, until some hundreds have
// data. Nothing is counted when a member is missing (an empty path) or does not open.
RaidSyndromeTally CheckRaid6Syndrome(const RaidGeometryGuess& guess, const std::vector<std::filesystem::path>& paths,
                                     int64_t firstSector, int64_t endSector);

// The RAID 6 geometry the Q places and the file system's first block single out, or nullopt where
// any of it is in doubt. `explained` counts the stripe rows whose Q lies where it says.
std::optional<RaidGeometryGuess> Raid6FromQPlaces(const RaidBlockMap& map);

// Where the members' blocks show RAID 6: a RAID 6 answer the syndrome (`syndrome`, a check of a
// guess against the members) or the Q places contradict is no longer given as decided; without a
// decided answer, one the Q places single out and the syndrome confirms is given
// (`fromParityPlaces`).
void ApplyRaid6Evidence(RaidGeometry& geometry, const RaidBlockMap& map,
                        const std::function<RaidSyndromeTally(const RaidGeometryGuess&)>& syndrome);

}  // namespace brenvik
