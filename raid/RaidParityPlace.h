#pragma once
// Where a RAID 5 row keeps its parity, told from the blocks themselves. At an offset of a row, the
// parity block is zero only where the data blocks beside it are (or cancel out), and text only
// where the data beside it is a single block of text: so a block of zeros beside blocks that are
// not, or a block of text beside one that is neither, is data. Over a stripe row, the member whose
// blocks are never told to be data holds the parity. The rotation of that member from row to
// row gives the stripe size and the member order; the file system's first block (a boot sector or
// a superblock, of NTFS, FAT, ext2/3/4 or XFS) gives the row the volume begins with. This serves
// volumes without MFT records, and checks an answer the records gave.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "raid/RaidGeometry.h"

namespace brenvik {

// A block that names its own place in the volume (a boot sector, a superblock or its backup): the
// member (index as given), its sector there, and the volume's sector it holds.
struct RaidLocatedBlock {
  size_t member = 0;
  int64_t sector = 0;
  int64_t volumeSector = 0;
  // Another volume sector the same bytes lie at, or -1: FAT32 keeps a copy of its boot sector.
  int64_t copySector = -1;
};

// What each member's 1024-byte block holds at each position of a run, in a few bits: not zero,
// text, and whether the position can tell where the parity lies: the XOR over the members is zero
// there and no block that is not zero is a fill pattern (two data blocks filled alike, such as two
// unused pages of a log file, leave a parity of zeros); and which member holds a RAID 6 row's Q.
// Kept for the first kMaxPositions positions only (16 GiB of range), three bytes and a bit per
// position.
class RaidBlockMap {
 public:
  static constexpr size_t kMaxMembers = 16;
  static constexpr size_t kMaxPositions = size_t{1} << 24;
  static constexpr size_t kMaxLocated = 4096;

  // An empty map for more than kMaxMembers members: it takes nothing.
  RaidBlockMap(size_t members, int64_t firstSector);

  static constexpr uint8_t kNoQ = 0xFF;

  // The next position's blocks: bit m of `nonZero` (of `text`) set when member m's block is not
  // all zeros (is text); `q` the one member whose block is the XOR of all of them (a RAID 6 row's
  // Q), or kNoQ.
  void add(uint16_t nonZero, uint16_t text, bool telling, uint8_t q = kNoQ);
  // Member `member`'s block at `sector` holds the volume's sector `volumeSector` (see
  // VolumeSectorOf).
  void addLocated(size_t member, int64_t sector, int64_t volumeSector, int64_t copySector = -1);

  size_t members() const { return members_; }
  int64_t firstSector() const { return firstSector_; }
  size_t positions() const { return nonZero_.size(); }
  uint16_t nonZero(size_t position) const { return nonZero_[position]; }
  uint16_t text(size_t position) const { return text_[position]; }
  bool telling(size_t position) const { return telling_[position]; }
  uint8_t q(size_t position) const { return q_[position]; }
  const std::vector<RaidLocatedBlock>& located() const { return located_; }

 private:
  size_t members_;
  int64_t firstSector_;
  std::vector<uint16_t> nonZero_;
  std::vector<uint16_t> text_;
  std::vector<bool> telling_;
  std::vector<uint8_t> q_;
  std::vector<RaidLocatedBlock> located_;
};

// Whether a 1024-byte block is all zeros, or text (tabs, line ends and printable ASCII, perhaps
// ending in zeros).
bool IsZeroBlock(std::span<const uint8_t> block);
bool IsTextBlock(std::span<const uint8_t> block);
// The volume sector a 1024-byte block holds when it names it: 0 for an NTFS or FAT boot sector and
// for the first XFS allocation group's header (others by their number), 2 for the primary
// superblock of ext2/3/4 (1024 bytes into its volume), and a backup superblock's place by the
// group it names. nullopt for anything else.
std::optional<int64_t> VolumeSectorOf(std::span<const uint8_t> block);
// Where a copy of such a block lies too (a FAT32 boot sector names its backup's sector, an NTFS
// one the volume's last sector), or -1.
int64_t CopySectorOf(std::span<const uint8_t> block);
// The volume sector where NTFS keeps the backup of the boot sector `sector` (512 bytes): its last;
// -1 for anything but an NTFS boot sector.
int64_t NtfsBackupSectorOf(std::span<const uint8_t> sector);

// How far a RAID 5 geometry's parity places agree with the blocks: positions where the member it
// puts the parity on is not zero while others are not zero either, against positions where it is
// zero. Blocks that straddle a stripe boundary and positions that cannot tell are left out.
RaidParityPlaces CheckParityPlaces(const RaidGeometryGuess& guess, const RaidBlockMap& map);

// The RAID 5 geometry the parity places and the file system's first block single out: the stripe
// size whose rows rotate their parity over the members, the row holding the first block, the
// rotation's direction and the member order they imply, and whether the data follows the parity
// (symmetric) or keeps the member order (asymmetric), told by the blocks that name their place in
// the volume, else by how blocks (and the MFT records found, `runs`) continue across the stripe
// boundaries. A parity kept on one member for several rows (delayed parity) is told from a longer
// stripe the same way. nullopt where any of these is in doubt. `explained` counts the stripe rows
// whose parity member agrees.
std::optional<RaidGeometryGuess> Raid5FromParityPlaces(const RaidBlockMap& map, const std::vector<RaidRecordRun>& runs = {});

// Checks a RAID 5 answer against the parity places, and answers from them where the records did
// not: an answer they contradict is no longer given as decided; without a decided answer, one
// they single out is given (`fromParityPlaces`). Only where the members' parity holds (or a
// member was rebuilt from it).
void ApplyParityPlaces(RaidGeometry& geometry, const RaidBlockMap& map, const std::vector<RaidRecordRun>& runs = {});

// The records cannot tell a start from one a turn of the layout later; the file system's first
// block can. Moves a decided RAID 0, RAID 5 or RAID 6 answer's start (and turns its member order, as a
// symmetric layout needs) to the row where the volume's first stripe lies, when that row is one
// the records allow, so that the volume assembled begins with the file system.
void AlignStartWithVolume(RaidGeometry& geometry, const RaidBlockMap& map);

}  // namespace brenvik
