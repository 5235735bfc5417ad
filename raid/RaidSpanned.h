#pragma once
// A spanned set (JBOD): the members one after the other, each from the same start sector on. Its
// volume lies on every member in one line, without stripe breaks: a block found at `sector` of
// the member that begins `before` sectors into the volume holds volume sector
// before + sector - start. The blocks that name their place in the volume (boot sectors,
// superblocks and their backups) and NTFS's first MFT records, whose places its boot sector names
// (the MFT, and its mirror near the middle of the volume), pin down which member holds which part;
// the member sizes say where each member ends. An answer is given only where exactly one member
// order fits all of them, and blocks beyond the first member confirm that the set is spanned.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "raid/RaidGeometry.h"
#include "raid/RaidParityPlace.h"

namespace brenvik {

// Where an NTFS volume keeps its MFT and the MFT's mirror, in 512-byte volume sectors, as its boot
// sector names them.
struct RaidNtfsPlaces {
  int64_t mft = 0;
  int64_t mirror = 0;
  bool operator==(const RaidNtfsPlaces&) const = default;
};
// nullopt for anything but an NTFS boot sector with sizes and places in range.
std::optional<RaidNtfsPlaces> NtfsPlacesOf(std::span<const uint8_t> block);

// The spanned geometry that the named places (`map`), the NTFS places (when the run met the
// volume's boot sector) and the records single out over members of `memberSectors` sectors each
// (as given); nullopt when none does, or more than one order fits. At most kMaxSpannedMembers.
constexpr size_t kMaxSpannedMembers = 8;
std::optional<RaidGeometryGuess> SpannedFromPlaces(const std::vector<RaidRecordRun>& runs, const RaidBlockMap& map,
                                                   std::span<const int64_t> memberSectors,
                                                   const std::optional<RaidNtfsPlaces>& ntfs);

// Gives the spanned answer where the analysis had none; where it had another, two kinds of
// evidence disagree and the answer is no longer given as decided.
void ApplySpanned(RaidGeometry& geometry, const std::optional<RaidGeometryGuess>& spanned);

}  // namespace brenvik
