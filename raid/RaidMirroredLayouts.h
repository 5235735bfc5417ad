#pragma once
// The layouts whose members hold copies of each other, told from the MFT records each member
// holds: a mirror, and Linux md's RAID 10 near-2 (pairs of copies striped as a RAID 0).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "raid/RaidGeometry.h"

namespace brenvik {

// Fewer records than this never decide anything.
inline constexpr uint64_t kMinRecords = 16;
// Copies: each of two members shares at least this share of its records with the other.
inline constexpr double kMirrorShare = 0.9;

// A mirror when every member shares nearly all of its records with the first.
std::optional<RaidGeometryGuess> MirrorOf(const std::vector<RaidRecordRun>& runs, size_t members);

// Linux md's RAID 10, near layout with two copies, over an even number of members: the members
// pair up as copies (each pair shares nearly all of its records, as a mirror does), and the pairs
// are a RAID 0 set, the first of each pair standing for it. Decided when every member has its
// copy and the pairs' RAID 0 is decided.
std::optional<RaidGeometry> MirroredPairsOf(const RaidRecordCollector& records);

}  // namespace brenvik
