#include "raid/RaidParityPlace.h"

#include "raid/RaidParityRecords.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace brenvik {
namespace {

// Stripe sizes tried, in 1024-byte positions: 4 KiB to 2 MiB.
constexpr int64_t kMinStripePositions = 4;
constexpr int64_t kMaxStripePositions = 2048;
// The rows are looked for over at most this many positions (4 GiB of range).
constexpr size_t kSearchPositions = size_t{1} << 22;
// The longest run of rows a delayed parity is looked for with, and the most stripe ends two
// geometries' continuity is compared at.
constexpr int64_t kMaxParityDelay = 64;
constexpr int64_t kMaxContestPoints = int64_t{1} << 20;

uint32_t Read32(std::span<const uint8_t> block, size_t at) {
  return uint32_t{block[at]} | uint32_t{block[at + 1]} << 8 | uint32_t{block[at + 2]} << 16 | uint32_t{block[at + 3]} << 24;
}
uint16_t Read16(std::span<const uint8_t> block, size_t at) {
  return static_cast<uint16_t>(block[at] | block[at + 1] << 8);
}
bool Has(std::span<const uint8_t> block, size_t at, const char* text) {
  const size_t length = std::strlen(text);
  return at + length <= block.size() && std::memcmp(block.data() + at, text, length) == 0;
}

// The members that may hold the parity at a position that can tell, or 0 where all may. A block of
// zeros beside blocks that are not zero is data; so is a block of text where another block is
// neither zero nor text (the XOR of text with anything but zeros is no text). Where every block
// that is not zero is text, a single stripe of text data lies beside its copy, the parity.
uint16_t ParityCandidates(const RaidBlockMap& map, size_t position, uint16_t all) {
  if (!map.telling(position)) return 0;
  const uint16_t nonZero = map.nonZero(position);
  const auto binary = static_cast<uint16_t>(nonZero & ~map.text(position));
  const uint16_t candidates = binary != 0 ? binary : nonZero;
  return candidates == all || std::popcount(nonZero) < 2 ? 0 : candidates;
}

// One way of cutting the positions into stripe rows: rows of `length` positions, the first
// beginning at position `first`; and how its rows' parity members rotate.
struct RowCut {
  int64_t length = 0;
  int64_t first = 0;
  uint64_t explained = 0;  // rows whose parity member is the rotation's
  uint64_t against = 0;    // rows with another single member, or with none
  std::vector<size_t> rotation;  // the parity member of rows first + k × length, by k modulo the members
};

// Every row of `length` positions starting at each offset below `length`, with the AND of the
// masks of its informative positions (all members when it has none) and whether it has any.
class RowMasks {
 public:
  RowMasks(const RaidBlockMap& map, size_t count, int64_t length) : length_(length) {
    const auto all = static_cast<uint16_t>((1u << map.members()) - 1);
    std::vector<uint16_t> value(count);
    informative_.assign(count + 1, 0);
    for (size_t i = 0; i < count; ++i) {
      const uint16_t candidates = ParityCandidates(map, i, all);
      const bool use = candidates != 0;
      value[i] = use ? candidates : all;
      informative_[i + 1] = informative_[i] + (use ? 1 : 0);
    }
    // A window's AND is the AND of the tail of one block of `length` and the head of the next.
    prefix_.resize(count);
    suffix_.resize(count);
    const auto block = static_cast<size_t>(length);
    for (size_t i = 0; i < count; ++i) prefix_[i] = i % block == 0 ? value[i] : static_cast<uint16_t>(prefix_[i - 1] & value[i]);
    for (size_t i = count; i-- > 0;)
      suffix_[i] = (i % block == block - 1 || i + 1 == count) ? value[i] : static_cast<uint16_t>(suffix_[i + 1] & value[i]);
  }
  // The row of positions [from, from + length).
  uint16_t mask(size_t from) const {
    const size_t last = from + static_cast<size_t>(length_) - 1;
    return from % static_cast<size_t>(length_) == 0 ? prefix_[last] : static_cast<uint16_t>(suffix_[from] & prefix_[last]);
  }
  uint32_t informative(size_t from) const { return informative_[from + static_cast<size_t>(length_)] - informative_[from]; }

 private:
  int64_t length_;
  std::vector<uint16_t> prefix_, suffix_;
  std::vector<uint32_t> informative_;
};

RowCut FitRotation(const RowMasks& masks, size_t count, int64_t length, int64_t first, size_t members) {
  RowCut cut;
  cut.length = length;
  cut.first = first;
  std::vector<uint64_t> votes(members * members);
  uint64_t determined = 0;
  int64_t k = 0;
  for (auto from = static_cast<size_t>(first); from + static_cast<size_t>(length) <= count; from += static_cast<size_t>(length), ++k) {
    if (masks.informative(from) == 0) continue;
    const uint16_t mask = masks.mask(from);
    if (mask == 0) {
      ++cut.against;
    } else if (std::popcount(mask) == 1) {
      ++determined;
      ++votes[static_cast<size_t>(k % static_cast<int64_t>(members)) * members + static_cast<size_t>(std::countr_zero(mask))];
    }
  }
  std::vector<bool> taken(members);
  for (size_t phase = 0; phase < members; ++phase) {
    const auto row = votes.begin() + static_cast<int64_t>(phase * members);
    const auto best = std::max_element(row, row + static_cast<int64_t>(members));
    const auto member = static_cast<size_t>(best - row);
    // The parity visits every member once a turn: a member chosen twice is no rotation.
    if (*best == 0 || taken[member]) {
      cut.explained = 0;
      cut.rotation.clear();
      return cut;
    }
    taken[member] = true;
    cut.rotation.push_back(member);
    cut.explained += *best;
  }
  cut.against += determined - cut.explained;
  return cut;
}

bool Acceptable(const RowCut& cut, size_t members) {
  const uint64_t enough = std::max<uint64_t>(8, 2 * members);
  return !cut.rotation.empty() && cut.explained >= enough && cut.against * 10 <= cut.explained;
}

// The numbers of the MFT records found, by member and sector.
class RecordLookup {
 public:
  RecordLookup(const std::vector<RaidRecordRun>& runs, size_t members) : byMember_(members) {
    for (const RaidRecordRun& run : runs)
      if (run.member < members) byMember_[run.member].push_back(&run);
    for (std::vector<const RaidRecordRun*>& list : byMember_)
      std::sort(list.begin(), list.end(), [](const RaidRecordRun* a, const RaidRecordRun* b) { return a->sector < b->sector; });
  }
  std::optional<int64_t> at(size_t member, int64_t sector) const {
    const std::vector<const RaidRecordRun*>& list = byMember_[member];
    const auto after = std::upper_bound(list.begin(), list.end(), sector,
                                        [](int64_t s, const RaidRecordRun* run) { return s < run->sector; });
    if (after == list.begin()) return std::nullopt;
    const RaidRecordRun& run = **std::prev(after);
    if (sector >= run.sector + 2 * int64_t{run.length} || (sector - run.sector) % 2 != 0) return std::nullopt;
    return int64_t{run.record} + (sector - run.sector) / 2;
  }

 private:
  std::vector<std::vector<const RaidRecordRun*>> byMember_;
};

// Which of two RAID 5 geometries with one start the volume's blocks continue under. Where they
// name different blocks to follow a data block, each is counted when its block continues the data
// block (the next record number after a record, else a block of the same class: zero, text,
// other) and the other's does not. Such places lie only at the ends of the finer geometry's
// stripes, so only those are looked at.
struct ContinuityContest {
  uint64_t forA = 0;
  uint64_t forB = 0;
};
ContinuityContest Contest(const RaidGeometryGuess& a, const RaidGeometryGuess& b, const RaidBlockMap& map, size_t count,
                          const RecordLookup& records) {
  ContinuityContest contest;
  const auto members = static_cast<int64_t>(a.memberOrder.size());
  const int64_t origin = (a.startSector - map.firstSector()) / 2;
  const int64_t lengthA = a.stripeSectors / 2;
  const int64_t fine = std::min(lengthA, b.stripeSectors / 2);
  if (fine <= 0 || origin < 0 || b.memberOrder.size() != a.memberOrder.size()) return contest;
  const auto classOf = [&map](size_t member, int64_t position) {
    const auto at = static_cast<size_t>(position);
    const auto bit = static_cast<uint16_t>(1u << member);
    return (map.nonZero(at) & bit) == 0 ? 0 : (map.text(at) & bit) != 0 ? 1 : 2;
  };
  struct Place {
    size_t member;
    int64_t position;
    bool operator==(const Place&) const = default;
  };
  // Where a geometry puts the volume's block `block` (1024 bytes from its first row).
  const auto placeOf = [&](const RaidGeometryGuess& g, int64_t block) {
    const int64_t length = g.stripeSectors / 2;
    const RaidStripeSlot slot = PlaceOfStripe(g.layout, members, block / length, g.parityDelay);
    return Place{g.memberOrder[slot.position], origin + slot.row * length + block % length};
  };
  std::vector<int64_t> positionInB(b.memberOrder.size());
  for (size_t position = 0; position < b.memberOrder.size(); ++position) positionInB[b.memberOrder[position]] = static_cast<int64_t>(position);
  RaidGeometryGuess plainB = b;
  plainB.recordZeroDataSector = 0;
  const auto within = [count](const Place& place) { return place.position < static_cast<int64_t>(count); };
  const auto sectorOf = [&map](const Place& place) { return map.firstSector() + 2 * place.position; };
  // Until the row of the block begins past the map.
  for (int64_t block = fine - 1, points = 0;
       origin + block / lengthA / (members - 1) * lengthA < static_cast<int64_t>(count) && points < kMaxContestPoints;
       block += fine, ++points) {
    const Place here = placeOf(a, block);
    const Place nextA = placeOf(a, block + 1);
    if (!within(here) || !within(nextA)) continue;
    // The block's place in b's volume (records are two sectors: one per block), unless b puts
    // parity there.
    const std::optional<int64_t> inB =
        RecordInRows(plainB, positionInB[here.member], sectorOf(here));
    if (!inB) continue;
    const Place nextB = placeOf(b, *inB + 1);
    if (nextB == nextA || !within(nextB)) continue;
    // A record is followed by the next number; other blocks by one of their class.
    const std::optional<int64_t> record = records.at(here.member, sectorOf(here));
    const int own = classOf(here.member, here.position);
    const auto continues = [&](const Place& next) {
      if (record) return records.at(next.member, sectorOf(next)) == *record + 1;
      return classOf(next.member, next.position) == own;
    };
    const bool continuesA = continues(nextA);
    const bool continuesB = continues(nextB);
    contest.forA += continuesA && !continuesB;
    contest.forB += continuesB && !continuesA;
  }
  return contest;
}

struct LocatedTally {
  uint64_t agree = 0;
  uint64_t disagree = 0;
};

// The blocks that name their place in the volume, against where a geometry puts that place;
// those lying where it puts a row's parity are passed over (beside stripes of zeros the parity is
// a copy of the data).
LocatedTally CheckLocated(const RaidGeometryGuess& guess, const RaidBlockMap& map) {
  LocatedTally tally;
  const auto members = static_cast<int64_t>(guess.memberOrder.size());
  const int64_t stripe = guess.stripeSectors;
  for (const RaidLocatedBlock& block : map.located()) {
    if (block.sector < guess.startSector) continue;
    const int64_t row = (block.sector - guess.startSector) / stripe;
    if (guess.memberOrder[static_cast<size_t>(RaidParityPositionOfRow(guess, row))] == block.member) continue;
    const auto holds = [&](int64_t volumeSector) {
      const RaidStripeSlot slot = PlaceOfStripe(guess.layout, members, volumeSector / stripe, guess.parityDelay);
      return guess.memberOrder[slot.position] == block.member &&
             guess.startSector + slot.row * stripe + volumeSector % stripe == block.sector;
    };
    const bool there = holds(block.volumeSector) || (block.copySector >= 0 && holds(block.copySector));
    ++(there ? tally.agree : tally.disagree);
  }
  return tally;
}

}  // namespace

RaidBlockMap::RaidBlockMap(size_t members, int64_t firstSector)
    : members_(members <= kMaxMembers ? members : 0), firstSector_(firstSector) {}

void RaidBlockMap::add(uint16_t nonZero, uint16_t text, bool telling, uint8_t q) {
  if (members_ == 0 || nonZero_.size() >= kMaxPositions) return;
  nonZero_.push_back(nonZero);
  text_.push_back(text);
  telling_.push_back(telling);
  q_.push_back(q < members_ ? q : kNoQ);
}

void RaidBlockMap::addLocated(size_t member, int64_t sector, int64_t volumeSector, int64_t copySector) {
  if (member < members_ && located_.size() < kMaxLocated) located_.push_back({member, sector, volumeSector, copySector});
}

bool IsZeroBlock(std::span<const uint8_t> block) {
  return block.empty() || (block[0] == 0 && std::memcmp(block.data(), block.data() + 1, block.size() - 1) == 0);
}

bool IsTextBlock(std::span<const uint8_t> block) {
  size_t end = block.size();
  while (end > 0 && block[end - 1] == 0) --end;
  if (end == 0) return false;
  for (size_t i = 0; i < end; ++i) {
    const uint8_t c = block[i];
    if (!(c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F))) return false;
  }
  return true;
}

std::optional<int64_t> VolumeSectorOf(std::span<const uint8_t> block) {
  if (block.size() < 1024) return std::nullopt;
  const bool bootSignature = block[510] == 0x55 && block[511] == 0xAA;
  // NTFS: its name at 3, 512-byte or larger sectors at 11.
  if (bootSignature && Has(block, 3, "NTFS    ") && Read16(block, 11) >= 512) return 0;
  // FAT12/16 and FAT32 name their type where their boot sectors differ. (FAT32's backup boot
  // sector, 6 sectors on, is the same: it never begins a stripe, which the volume's first does.)
  if (bootSignature && (Has(block, 54, "FAT1") || Has(block, 82, "FAT32   ")) && Read16(block, 11) >= 512) return 0;
  // XFS: an allocation group begins with a copy of the superblock and its free-space header names
  // the group, 512 bytes on; big-endian.
  if (Has(block, 0, "XFSB") && Has(block, 512, "XAGF")) {
    const auto be32 = [&block](size_t at) {
      return uint32_t{block[at]} << 24 | uint32_t{block[at + 1]} << 16 | uint32_t{block[at + 2]} << 8 | block[at + 3];
    };
    const uint32_t blockSize = be32(4), groupBlocks = be32(84), group = be32(512 + 8);
    if (blockSize < 512 || blockSize > 65536 || groupBlocks == 0 || groupBlocks > (1u << 31) || group > (1u << 20))
      return std::nullopt;
    return int64_t{group} * groupBlocks * (blockSize / 512);
  }
  // ext2/3/4: magic 0xEF53 at 56; the block size is 1024 << the value at 24, groups hold the
  // blocks named at 32 and begin after the first data block (at 20); a backup names its group at
  // 90 and lies at its group's first block, the primary 1024 bytes into the volume.
  if (Read16(block, 56) == 0xEF53) {
    const uint32_t logSize = Read32(block, 24), groupBlocks = Read32(block, 32), firstData = Read32(block, 20);
    const uint16_t group = Read16(block, 90);
    if (logSize > 6 || groupBlocks == 0 || groupBlocks > (1u << 20) || firstData > 1) return std::nullopt;
    const int64_t blockSectors = int64_t{2} << logSize;
    if (group == 0) return 2;
    return (firstData + int64_t{group} * groupBlocks) * blockSectors;
  }
  return std::nullopt;
}

int64_t NtfsBackupSectorOf(std::span<const uint8_t> sector) {
  if (sector.size() < 512 || sector[510] != 0x55 || sector[511] != 0xAA || !Has(sector, 3, "NTFS    ")) return -1;
  const uint16_t bytesPerSector = Read16(sector, 11);
  if (bytesPerSector < 512 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1)) != 0) return -1;
  // The boot sector counts the volume's sectors but for the one the backup takes.
  const uint64_t counted = uint64_t{Read32(sector, 0x28)} | uint64_t{Read32(sector, 0x2C)} << 32;
  if (counted == 0 || counted >= (uint64_t{1} << 48)) return -1;
  return static_cast<int64_t>(counted) * (bytesPerSector / 512);
}

int64_t CopySectorOf(std::span<const uint8_t> block) {
  if (block.size() < 512 || !VolumeSectorOf(block)) return -1;
  if (Has(block, 3, "NTFS    ")) return NtfsBackupSectorOf(block);
  if (!Has(block, 82, "FAT32   ")) return -1;
  const uint16_t backup = Read16(block, 50);
  return backup >= 1 && backup < Read16(block, 14) ? backup : -1;  // within the reserved sectors
}

RaidParityPlaces CheckParityPlaces(const RaidGeometryGuess& guess, const RaidBlockMap& map) {
  RaidParityPlaces places;
  const auto members = static_cast<int64_t>(guess.memberOrder.size());
  if (!IsRaid5(guess.layout) || guess.stripeSectors <= 1 || members < 3 || static_cast<size_t>(members) != map.members())
    return places;
  const auto all = static_cast<uint16_t>((1u << map.members()) - 1);
  for (size_t i = 0; i < map.positions(); ++i) {
    const uint16_t candidates = ParityCandidates(map, i, all);
    if (candidates == 0) continue;
    const int64_t offset = map.firstSector() + 2 * static_cast<int64_t>(i) - guess.startSector;
    // A block over a stripe boundary belongs to two rows.
    if (FloorMod(offset, guess.stripeSectors) == guess.stripeSectors - 1) continue;
    const int64_t row = FloorDiv(offset, guess.stripeSectors);
    const size_t parity = guess.memberOrder[static_cast<size_t>(RaidParityPositionOfRow(guess, row))];
    if (parity < 16 && (candidates >> parity & 1) != 0) ++places.agree;
    else ++places.disagree;
  }
  return places;
}

std::optional<RaidGeometryGuess> Raid5FromParityPlaces(const RaidBlockMap& map, const std::vector<RaidRecordRun>& runs) {
  const size_t members = map.members();
  if (members < 3) return std::nullopt;
  const size_t count = std::min(map.positions(), kSearchPositions);

  // For each stripe size, the cut whose rows the rotation explains best, and every cut nearly as
  // good: with few informative positions near the boundaries, rows cut a little earlier or later
  // hold the same evidence, and only the file system's first block says where they begin.
  struct Size {
    RowCut best;
    std::vector<RowCut> near;
  };
  std::vector<Size> sizes;
  for (int64_t length = kMinStripePositions; length <= kMaxStripePositions; length *= 2) {
    if (static_cast<size_t>(length) * members * 2 > count) break;
    const RowMasks masks(map, count, length);
    std::vector<RowCut> cuts;
    for (int64_t first = 0; first < length; ++first) {
      RowCut cut = FitRotation(masks, count, length, first, members);
      if (Acceptable(cut, members)) cuts.push_back(std::move(cut));
    }
    if (cuts.empty()) continue;
    Size size;
    size.best = *std::max_element(cuts.begin(), cuts.end(), [](const RowCut& a, const RowCut& b) { return a.explained < b.explained; });
    for (RowCut& cut : cuts)
      if (cut.explained * 10 >= size.best.explained * 9) size.near.push_back(std::move(cut));
    sizes.push_back(std::move(size));
  }
  if (sizes.empty()) return std::nullopt;
  const auto leader = std::max_element(sizes.begin(), sizes.end(),
                                       [](const Size& a, const Size& b) { return a.best.explained < b.best.explained; });
  // Another stripe size nearly as good (a half stripe whose other half is empty, say) leaves the
  // size in doubt.
  for (const Size& size : sizes)
    if (&size != &*leader && size.best.explained * 4 > leader->best.explained * 3) return std::nullopt;

  // The row the file system begins in: its first block at the start of a data stripe.
  const int64_t length = leader->best.length;
  for (const RaidLocatedBlock& first : map.located()) {
    if (first.volumeSector < 0 || first.volumeSector >= 2 * length) continue;
    const int64_t sectors = first.sector - first.volumeSector - map.firstSector();
    if (sectors < 0 || sectors % 2 != 0 || sectors / 2 >= static_cast<int64_t>(count)) continue;
    const int64_t position = sectors / 2;
    const auto cut = std::find_if(leader->near.begin(), leader->near.end(),
                                  [&](const RowCut& c) { return FloorMod(position - c.first, length) == 0; });
    if (cut == leader->near.end()) continue;
    const int64_t row = (position - cut->first) / length;
    const auto n = static_cast<int64_t>(members);
    const auto parityOf = [&](int64_t j) { return cut->rotation[static_cast<size_t>(FloorMod(row + j, n))]; };
    if (parityOf(0) == first.member) continue;

    // Left rotations put row j's parity at position n - 1 - j and the first data stripe at
    // position 0; right ones put the parity at j and the first data stripe at position 1.
    std::vector<size_t> left(members), right(members);
    for (int64_t j = 0; j < n; ++j) {
      left[static_cast<size_t>(n - 1 - j)] = parityOf(j);
      right[static_cast<size_t>(j)] = parityOf(j);
    }
    RaidGeometryGuess guess;
    guess.stripeSectors = 2 * length;
    guess.startSector = map.firstSector() + 2 * position;
    guess.explained = cut->explained;
    if (left[0] == first.member) {
      guess.memberOrder = left;
      guess.layout = RaidLayout::Raid5LeftAsymmetric;
    } else if (right[1] == first.member) {
      guess.memberOrder = right;
      guess.layout = RaidLayout::Raid5RightAsymmetric;
    } else {
      return std::nullopt;
    }
    // The parity stays on a member for a run of `length` positions: one stripe row, or as many
    // rows as a delayed parity keeps it (some controllers keep it 2, 4, 16... rows), each row a
    // stripe as many times shorter. And the data of the asymmetric and symmetric layouts part from
    // the second row on. The blocks that name their place say which of these holds them; without
    // any that tell, the one whose stripes continue into each other is the volume's, clearly ahead
    // of every other.
    RaidGeometryGuess symmetric = guess;
    symmetric.layout = guess.layout == RaidLayout::Raid5LeftAsymmetric ? RaidLayout::Raid5LeftSymmetric
                                                                       : RaidLayout::Raid5RightSymmetric;
    std::vector<RaidGeometryGuess> candidates;
    for (int64_t delay = 1; delay <= kMaxParityDelay && length / delay >= kMinStripePositions; delay *= 2) {
      for (RaidGeometryGuess candidate : {guess, symmetric}) {
        candidate.stripeSectors = 2 * length / delay;
        candidate.parityDelay = delay;
        if (CheckLocated(candidate, map).disagree == 0) candidates.push_back(std::move(candidate));
      }
    }
    if (candidates.size() <= 1) return candidates.empty() ? std::nullopt : std::optional(candidates.front());
    const RecordLookup records(runs, members);
    const auto contest = [&](const RaidGeometryGuess& a, const RaidGeometryGuess& b) {
      return Contest(a, b, map, count, records);
    };
    const auto clearlyAhead = [](const ContinuityContest& c) { return c.forA >= 3 * c.forB + 4; };
    size_t leading = 0;
    for (size_t i = 1; i < candidates.size(); ++i)
      if (clearlyAhead(contest(candidates[i], candidates[leading]))) leading = i;
    bool clear = true;
    for (size_t i = 0; i < candidates.size() && clear; ++i)
      clear = i == leading || clearlyAhead(contest(candidates[leading], candidates[i]));
    if (clear) return candidates[leading];
    // Delayed parity is the exception: where the blocks speak for no delay as much as for none,
    // the parity run is one stripe row, if its data order is clear.
    for (const RaidGeometryGuess& plain : candidates) {
      if (plain.parityDelay != 1) continue;
      const bool stands = std::all_of(candidates.begin(), candidates.end(), [&](const RaidGeometryGuess& other) {
        if (&other == &plain) return true;
        const ContinuityContest against = contest(plain, other);
        return other.parityDelay == 1 ? clearlyAhead(against) : against.forA >= 2 * against.forB + 1;
      });
      if (stands) return plain;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

namespace {

// The guess begun at the row that holds the volume's first stripe, with the member order turned
// to match, when the volume's first block lies where the guess places data; otherwise nothing.
// RAID 0, RAID 5 without delay and RAID 6.
std::optional<RaidGeometryGuess> StartedWithVolume(const RaidGeometryGuess& guess, const RaidBlockMap& map) {
  const bool parity = KeepsParity(guess.layout);
  if (!(parity || guess.layout == RaidLayout::Raid0) || guess.stripeSectors <= 0 || guess.parityDelay != 1)
    return std::nullopt;
  const auto members = static_cast<int64_t>(guess.memberOrder.size());
  const int64_t stripe = guess.stripeSectors;
  const int64_t rowsPerTurn = parity ? members : 1;
  // The data sector (counted from the first row) a geometry puts at `sector` of `member`, or
  // nullopt on parity; whole records, so compared at even distances only.
  const auto dataAt = [](const RaidGeometryGuess& g, size_t member, int64_t sector) -> std::optional<int64_t> {
    const auto named = std::find(g.memberOrder.begin(), g.memberOrder.end(), member);
    if (named == g.memberOrder.end() || sector < g.startSector) return std::nullopt;
    RaidGeometryGuess plain = g;
    plain.recordZeroDataSector = 0;
    const std::optional<int64_t> record = RecordInRows(plain, named - g.memberOrder.begin(), sector);
    if (!record) return std::nullopt;
    return 2 * *record;
  };
  for (const RaidLocatedBlock& first : map.located()) {
    if (first.volumeSector < 0 || first.volumeSector >= stripe) continue;
    const int64_t begin = first.sector - first.volumeSector;  // where the volume's first stripe lies
    if (begin < guess.startSector || (begin - guess.startSector) % stripe != 0) continue;
    if (!dataAt(guess, first.member, first.sector)) continue;  // on the guess's parity: no start
    // The same layout begun some rows later, with the member order turned to match: it must put
    // the volume's first stripe at `begin` and place everything after it as the guess does.
    for (int64_t turn = 0; turn < members; ++turn) {
      RaidGeometryGuess later = guess;
      later.startSector = begin;
      for (int64_t position = 0; position < members; ++position)
        later.memberOrder[static_cast<size_t>(position)] = guess.memberOrder[static_cast<size_t>((position + turn) % members)];
      const std::optional<int64_t> firstData = dataAt(later, first.member, begin);
      if (!firstData || *firstData != 0) continue;
      const std::optional<int64_t> shift = dataAt(guess, first.member, begin);
      bool same = shift.has_value();
      for (int64_t row = 0; same && row < 2 * rowsPerTurn; ++row)
        for (size_t member : guess.memberOrder) {
          const std::optional<int64_t> before = dataAt(guess, member, begin + row * stripe);
          const std::optional<int64_t> after = dataAt(later, member, begin + row * stripe);
          same = same && before.has_value() == after.has_value() && (!before || *before - *after == *shift);
        }
      if (!same) continue;
      later.recordZeroDataSector = guess.recordZeroDataSector - *shift;
      return later;
    }
  }
  return std::nullopt;
}

}  // namespace

void AlignStartWithVolume(RaidGeometry& geometry, const RaidBlockMap& map) {
  if (geometry.verdict != RaidGeometry::Verdict::Decided || !geometry.best || geometry.fromParityPlaces) return;
  const RaidGeometryGuess& guess = *geometry.best;
  if (guess.layout != RaidLayout::Raid10Near2) {
    if (std::optional<RaidGeometryGuess> started = StartedWithVolume(guess, map)) geometry.best = std::move(started);
    return;
  }
  // A near-2 RAID 10 is a RAID 0 over its pairs, each stripe on both members of a pair: started
  // as that (over the first member of each pair), then taken back to the pairs.
  const size_t order = guess.memberOrder.size();
  if (order < 4 || order % 2 != 0) return;
  RaidGeometryGuess overPairs = guess;
  overPairs.layout = RaidLayout::Raid0;
  overPairs.memberOrder.clear();
  for (size_t position = 0; position < order; position += 2) overPairs.memberOrder.push_back(guess.memberOrder[position]);
  const std::optional<RaidGeometryGuess> started = StartedWithVolume(overPairs, map);
  if (!started) return;
  RaidGeometryGuess pairsStarted = *started;
  pairsStarted.layout = RaidLayout::Raid10Near2;
  pairsStarted.memberOrder.clear();
  for (size_t first : started->memberOrder) {
    const auto at = std::find(guess.memberOrder.begin(), guess.memberOrder.end(), first) - guess.memberOrder.begin();
    pairsStarted.memberOrder.push_back(first);
    pairsStarted.memberOrder.push_back(guess.memberOrder[static_cast<size_t>(at) + 1]);
  }
  geometry.best = std::move(pairsStarted);
}

void ApplyParityPlaces(RaidGeometry& geometry, const RaidBlockMap& map, const std::vector<RaidRecordRun>& runs) {
  if (map.members() < 3 || !(geometry.parity.holds() || geometry.parity.memberRebuilt)) return;
  if (geometry.best && IsRaid5(geometry.best->layout)) {
    geometry.places = CheckParityPlaces(*geometry.best, map);
    if (geometry.places.contradicts() && geometry.verdict == RaidGeometry::Verdict::Decided)
      geometry.verdict = RaidGeometry::Verdict::Unexplained;
  }
  const std::optional<RaidGeometryGuess> fromPlaces = Raid5FromParityPlaces(map, runs);
  if (!fromPlaces) return;
  if (geometry.verdict == RaidGeometry::Verdict::Decided) {
    // Two kinds of evidence that name different layouts or stripe sizes: neither is trusted.
    if (geometry.best->layout != fromPlaces->layout || geometry.best->stripeSectors != fromPlaces->stripeSectors)
      geometry.verdict = RaidGeometry::Verdict::Unexplained;
    return;
  }
  geometry.decideOn(*fromPlaces, true);
  geometry.places = CheckParityPlaces(*fromPlaces, map);
}

}  // namespace brenvik
