#pragma once
// Works out the geometry of a RAID set from where its MFT records lie: the records of one NTFS
// volume are numbered in volume order, so consecutive numbers that sit contiguously on one member
// make up one stripe, and the member holding the next number holds the next stripe. From these
// the stripe size, the member order, RAID 0 / RAID 5 (and its parity rotation) / RAID 6 / mirror,
// and the sector where the first stripe row begins are inferred, together with how many of the
// found records the answer explains.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

// Records found at consecutive positions of one member with consecutive numbers.
struct RaidRecordRun {
  int64_t sector = 0;     // member sector of the first record
  uint32_t record = 0;    // number of the first record
  uint32_t length = 0;    // records in the run
  uint32_t member = 0;    // index in the members as given
};

// Takes the records of a run in the order the run finds them (position by position, member by
// member) and keeps them as runs, so that memory follows the number of stripes met rather than
// the number of records. Past kMaxRuns further runs are only counted, not kept.
class RaidRecordCollector {
 public:
  static constexpr size_t kMaxRuns = size_t{1} << 22;

  explicit RaidRecordCollector(size_t memberCount);

  // The record numbered `record` found in the 1024-byte block at `sector` of `member`.
  void add(size_t member, int64_t sector, uint32_t record) {
    ++records_;
    const size_t last = lastRun_[member];
    if (last != kNone) {
      RaidRecordRun& run = runs_[last];
      if (sector == run.sector + 2 * int64_t{run.length} && record == run.record + run.length &&
          run.length < UINT32_MAX) {
        ++run.length;
        return;
      }
    }
    startRun(member, sector, record);
  }

  size_t memberCount() const { return lastRun_.size(); }
  uint64_t records() const { return records_; }
  const std::vector<RaidRecordRun>& runs() const { return runs_; }

 private:
  static constexpr size_t kNone = SIZE_MAX;
  void startRun(size_t member, int64_t sector, uint32_t record);

  std::vector<RaidRecordRun> runs_;
  std::vector<size_t> lastRun_;
  uint64_t records_ = 0;
};

enum class RaidLayout {
  Raid0,
  Raid5LeftAsymmetric,   // parity from the last member down, data in member order
  Raid5LeftSymmetric,    // parity from the last member down, data starts after the parity
  Raid5RightAsymmetric,  // parity from the first member up, data in member order
  Raid5RightSymmetric,   // parity from the first member up, data starts after the parity
  Mirror,                // every member holds the same records at the same positions
  Raid10Near2,  // Linux md's near layout with two copies: stripe k on positions 2k and 2k + 1, row by row
  Spanned,      // JBOD: the members one after the other (RaidSpanned.h)
  // Linux md's RAID 6, left-symmetric: row r's P on position n - 1 - r mod n, Q after it, the data
  // after Q; Q is the Reed-Solomon syndrome over GF(2^8) (polynomial 0x11d, generator 2).
  Raid6LeftSymmetric,
};

inline bool IsRaid5(RaidLayout layout) {
  return layout == RaidLayout::Raid5LeftAsymmetric || layout == RaidLayout::Raid5LeftSymmetric ||
         layout == RaidLayout::Raid5RightAsymmetric || layout == RaidLayout::Raid5RightSymmetric;
}
// A RAID 5 whose data begins after the row's parity and wraps round, not in member order.
inline bool IsSymmetric(RaidLayout layout) {
  return layout == RaidLayout::Raid5LeftSymmetric || layout == RaidLayout::Raid5RightSymmetric;
}
// The layouts whose rows keep parity (RAID 5 and RAID 6), as opposed to RAID 0 and the copies.
inline bool KeepsParity(RaidLayout layout) { return IsRaid5(layout) || layout == RaidLayout::Raid6LeftSymmetric; }

// Rows and turns are counted from a start that sectors may lie before: division rounds down.
inline int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
inline int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }
// A sector's offset into its stripe; stripe sizes are powers of two.
inline int64_t InStripe(int64_t sector, int64_t stripe) { return sector & (stripe - 1); }

struct RaidGeometryGuess {
  RaidLayout layout = RaidLayout::Raid0;
  int64_t stripeSectors = 0;  // 0 for a mirror
  // The members (indexes into the members as given) in array order; all members for a mirror.
  std::vector<size_t> memberOrder;
  // The sector of every member where the first stripe row begins: the smallest start that fits
  // the records. The records cannot tell it from a start one full turn of the layout later (one
  // stripe for RAID 0 and the symmetric RAID 5 layouts, with the member order rotated by one for
  // those; as many stripes as there are members for the asymmetric ones). 0 for a mirror.
  int64_t startSector = 0;
  // Where record 0 lies in the array's data, in sectors counted from the first stripe of the
  // first row (records are two sectors long): negative when the first row begins after it. For a
  // mirror, the member sector of record 0.
  int64_t recordZeroDataSector = 0;
  // Found records that sit where this geometry puts them, with the RAID 5 parity blocks that
  // pass for records and carry the number the data of their row gives them.
  uint64_t explained = 0;
  // RAID 5 only, given by hand: the stripe rows in turn whose parity stays on one member before it
  // moves on (delayed parity); 1 when it moves on every row.
  int64_t parityDelay = 1;
};

// Where a striped layout over `members` puts the volume's data stripe `chunk`: the position in
// the member order and the stripe row, counted from the first row.
struct RaidStripeSlot {
  size_t position = 0;
  int64_t row = 0;
};
// `parityDelay` rows in turn keep their RAID 5 parity on one member (delayed parity, as some
// hardware controllers write it); 1 for the parity moving on every row.
RaidStripeSlot PlaceOfStripe(RaidLayout layout, int64_t members, int64_t chunk, int64_t parityDelay = 1);
// The data stripes of one stripe row: all members for RAID 0, one fewer for RAID 5, two fewer for RAID 6.
int64_t DataStripesPerRow(RaidLayout layout, int64_t members);
// The layout's key as the JSON and brenvik-cli's --layout name it ("raid0", "raid5-left-symmetric",
// "raid1"); nullopt for an unknown key.
std::optional<RaidLayout> LayoutOfKey(std::string_view key);

// Where a geometry puts a record: the member (index as given) and its sector there.
struct RaidRecordPlace {
  size_t member = 0;
  int64_t sector = 0;
};
// The place of `record`; for a mirror, on the first member. nullopt before the first row.
std::optional<RaidRecordPlace> PlaceOfRecord(const RaidGeometryGuess& guess, int64_t record);
// The record number the geometry puts at `sector` of `member` (index as given), counting a
// record's second sector as its own; nullopt on parity, before the first row, or on a member
// the geometry does not name.
std::optional<int64_t> RecordExpectedAt(const RaidGeometryGuess& guess, size_t member, int64_t sector);

// The parity of a RAID 5 row as evidence: in every row, the XOR of all members' blocks at one
// offset is zero (the parity is the XOR of the data), which a RAID 0 set shows only by chance.
// Counted over blocks that are not the same on every member (zeros everywhere, a mirror).
struct RaidParityEvidence {
  uint64_t checked = 0;  // blocks compared across all members
  uint64_t zero = 0;     // of them, those whose XOR over the members is zero

  // At least this many blocks, and nearly all (or nearly none) of them with a zero XOR, before the
  // parity says anything: a few repeated blocks on a RAID 0 set, or a few rows written while a
  // member was away, must not decide the layout.
  static constexpr uint64_t kMinChecked = 64;
  bool holds() const { return checked >= kMinChecked && zero * 10 >= checked * 9; }
  bool absent() const { return checked >= kMinChecked && zero * 4 <= checked; }
  // A member given as missing was read as the XOR of the others: the parity cannot be checked,
  // and the set is taken for one that keeps parity (RAID 0 has nothing to rebuild from).
  bool memberRebuilt = false;

  // RAID 6 keeps two syndromes: P, the XOR of the data, and Q, their Reed-Solomon sum. The XOR of
  // all members' blocks is then Q itself. Counted over the blocks checked where at least three
  // blocks are not zero (a row of one data block has P and Q beside it; a lone block of data on
  // RAID 0 is the XOR of its row too, and says nothing): one member's block equals the XOR (`q`),
  // or several do (`qTwins`: a row whose only data is its first stripe, of which P and Q are copies).
  uint64_t q = 0;
  uint64_t qTwins = 0;
  // Nearly every block checked with a Q, and most of them a Q on one member only.
  bool raid6Holds() const {
    return !memberRebuilt && q >= kMinChecked && (q + qTwins) * 10 >= checked * 9 && q * 4 >= checked;
  }
};

// How far a RAID 5 geometry's parity places agree with the members' blocks (RaidParityPlace.h).
struct RaidParityPlaces {
  uint64_t agree = 0;
  uint64_t disagree = 0;
  static constexpr uint64_t kMinChecked = 64;
  bool contradicts() const { return agree + disagree >= kMinChecked && disagree * 10 > agree + disagree; }
};

// How far a RAID 6 geometry's P and Q agree with those computed from its data (Raid6Evidence.h),
// over the sampled positions that hold any data.
struct RaidSyndromeTally {
  uint64_t agree = 0;
  uint64_t disagree = 0;
  static constexpr uint64_t kMinAgree = 8;
  bool contradicts() const { return disagree * 20 > agree; }
  bool confirms() const { return agree >= kMinAgree && !contradicts(); }
};

struct RaidGeometry {
  enum class Verdict {
    NothingToSay,      // fewer than two members, or too many to try every layout
    NotEnoughRecords,  // the records found do not single out one geometry
    Unexplained,       // the best geometry leaves too many records unexplained to be trusted
    Decided,           // one geometry explains nearly all records, clearly more than any other
  };
  Verdict verdict = Verdict::NothingToSay;
  uint64_t records = 0;  // records found in the run
  // The answer when decided; when unexplained, the geometry that explains most of the records
  // if the records single one out.
  std::optional<RaidGeometryGuess> best;
  // The best geometry that differs from `best`, when it explains nearly as many records.
  std::optional<RaidGeometryGuess> nextBest;
  // Records also lie at the sectors between the positions read (a volume that begins at an odd
  // sector read from an even one, or the reverse). When they decide a geometry and the positions
  // read do not, the answer is theirs (`fromOtherParity`); otherwise, when they are more than
  // the records read, `otherParityStart` names the sector to start at to read them (else -1).
  bool fromOtherParity = false;
  int64_t otherParityStart = -1;
  // The parity check over the positions read: where it holds, RAID 0 is no answer; where it
  // clearly fails, no RAID 5 layout is.
  RaidParityEvidence parity;
  // The answer's parity places checked against the blocks (RAID 5 answers only), and whether the
  // answer comes from them rather than from the records; `explained` then counts stripe rows.
  RaidParityPlaces places;
  bool fromParityPlaces = false;
  // A RAID 6 answer's P and Q computed again from its data.
  RaidSyndromeTally syndrome;

  // Gives `answer`, found by other evidence than the records read, as the decided one.
  void decideOn(const RaidGeometryGuess& answer, bool fromPlaces) {
    verdict = Verdict::Decided;
    best = answer;
    nextBest.reset();
    fromParityPlaces = fromPlaces;
    fromOtherParity = false;
  }
};

RaidGeometry InferRaidGeometry(const RaidRecordCollector& records, const RaidParityEvidence& parity = {});
// The answer for a run that read `records` at the positions of its range and `otherParity` at the
// sectors between them; `startSector` is the range's first sector.
RaidGeometry InferRaidGeometry(const RaidRecordCollector& records, const RaidRecordCollector& otherParity,
                               int64_t startSector, const RaidParityEvidence& parity = {});

// The lines the page shows under the found count ("" when there is nothing to say).
std::u16string FormatGeometryText(const RaidGeometry& geometry);
// One JSON object; member indexes count from 0 in the order the members were given.
std::string FormatGeometryJson(const RaidGeometry& geometry);

}  // namespace brenvik
