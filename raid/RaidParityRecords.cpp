#include "raid/RaidParityRecords.h"

#include <algorithm>
#include <map>

namespace brenvik {

int64_t RaidParityPosition(RaidLayout layout, int64_t members, int64_t row) {
  const int64_t turn = FloorMod(row, members);
  const bool left = layout == RaidLayout::Raid5LeftAsymmetric || layout == RaidLayout::Raid5LeftSymmetric ||
                    layout == RaidLayout::Raid6LeftSymmetric;
  return left ? members - 1 - turn : turn;
}

int64_t RaidParityPositionOfRow(const RaidGeometryGuess& guess, int64_t row) {
  return RaidParityPosition(guess.layout, static_cast<int64_t>(guess.memberOrder.size()),
                            FloorDiv(row, std::max<int64_t>(1, guess.parityDelay)));
}

std::optional<int64_t> RecordInRows(const RaidGeometryGuess& guess, int64_t position, int64_t sector) {
  const auto members = static_cast<int64_t>(guess.memberOrder.size());
  const int64_t stripe = guess.stripeSectors;
  const int64_t row = FloorDiv(sector - guess.startSector, stripe);
  int64_t chunk = row * members + position;
  if (guess.layout == RaidLayout::Raid6LeftSymmetric) {
    // P, then Q after it, then the data in order, wrapping round.
    const int64_t p = RaidParityPosition(guess.layout, members, row);
    const int64_t index = FloorMod(position - p - 2, members);
    if (index >= members - 2) return std::nullopt;
    chunk = row * (members - 2) + index;
  } else if (guess.layout != RaidLayout::Raid0) {
    // Which data stripe of the row the position holds, if not the row's parity.
    const int64_t parity = RaidParityPositionOfRow(guess, row);
    if (position == parity) return std::nullopt;
    const int64_t index = IsSymmetric(guess.layout) ? (position - parity - 1 + members) % members
                                                    : (position < parity ? position : position - 1);
    chunk = row * (members - 1) + index;
  }
  const int64_t dataSector = chunk * stripe + (sector - guess.startSector - row * stripe);
  return FloorDiv(dataSector - guess.recordZeroDataSector, 2);
}

std::optional<int64_t> RecordZeroOf(const RaidGeometryGuess& guess, const std::vector<RaidRecordRun>& runs) {
  if (!KeepsParity(guess.layout) && guess.layout != RaidLayout::Raid0) return std::nullopt;
  if (guess.stripeSectors <= 0) return std::nullopt;
  std::vector<int64_t> positionOf(guess.memberOrder.size(), -1);
  for (size_t position = 0; position < guess.memberOrder.size(); ++position)
    if (guess.memberOrder[position] < positionOf.size()) positionOf[guess.memberOrder[position]] = static_cast<int64_t>(position);
  RaidGeometryGuess plain = guess;
  plain.recordZeroDataSector = 0;
  std::map<int64_t, uint64_t> votes;
  for (const RaidRecordRun& run : runs) {
    if (run.member >= positionOf.size() || positionOf[run.member] < 0 || run.sector < guess.startSector) continue;
    // The data sector of the run's first record less twice its number: where record 0 lies.
    if (const std::optional<int64_t> half = RecordInRows(plain, positionOf[run.member], run.sector))
      votes[2 * *half - 2 * int64_t{run.record} + (run.sector - guess.startSector) % 2] += run.length;
  }
  if (votes.empty()) return std::nullopt;
  return std::max_element(votes.begin(), votes.end(), [](const auto& a, const auto& b) { return a.second < b.second; })->first;
}

// Looks at the records found where a RAID 5 layout puts a row's parity. A parity block that
// passes for a record carries the number the row's data gives it: the XOR of the numbers the
// layout puts at the same place of the row's data stripes. Where the MFT ends within the row (or
// has a gap), the stripes past it hold other data, mostly zeros, which add nothing: then it is the
// XOR of the records found there, each where the layout puts it, while the records the layout
// puts in the other stripes were found nowhere (beside a single record the parity is a copy of
// it). Any other record there that sits in its stripe as the volume's records do (its sector and
// its number agree on the offset into the stripe) is a record of the volume that the layout
// cannot hold: it speaks against the layout. Records that agree on no offset (old copies,
// records inside other files) say nothing either way.
RaidParityTally TallyParityRecords(const RaidGeometryGuess& guess, const std::vector<RaidRecordRun>& runs,
                                   const RaidFoundRecords& found) {
  RaidParityTally tally;
  if (!KeepsParity(guess.layout) || guess.stripeSectors <= 0) return tally;
  const int64_t stripe = guess.stripeSectors;
  const auto members = static_cast<int64_t>(guess.memberOrder.size());
  const bool raid6 = guess.layout == RaidLayout::Raid6LeftSymmetric;
  std::vector<int64_t> positionOf(guess.memberOrder.size(), -1);
  for (size_t position = 0; position < guess.memberOrder.size(); ++position)
    if (guess.memberOrder[position] < positionOf.size()) positionOf[guess.memberOrder[position]] = static_cast<int64_t>(position);
  struct OtherPlace {
    int64_t firstExpected;  // the number the layout puts there at the segment's first sector
    RaidFoundRecords::Cursor found;
  };
  std::vector<OtherPlace> others;
  for (const RaidRecordRun& run : runs) {
    if (run.member >= positionOf.size() || positionOf[run.member] < 0) continue;
    const bool ofTheVolume =
        InStripe(run.sector - 2 * int64_t{run.record} - guess.startSector - guess.recordZeroDataSector, stripe) == 0;
    for (uint32_t i = 0; i < run.length;) {
      const int64_t sector = run.sector + 2 * int64_t{i};
      const int64_t row = FloorDiv(sector - guess.startSector, stripe);
      const int64_t rowEnd = guess.startSector + (row + 1) * stripe;
      const auto inRow = static_cast<uint32_t>(std::min<int64_t>(run.length - i, (rowEnd - sector + 1) / 2));
      const int64_t parity = RaidParityPosition(guess.layout, members, row);
      const int64_t q = raid6 ? (parity + 1) % members : -1;
      if (parity != positionOf[run.member] && q != positionOf[run.member]) {
        i += inRow;
        continue;
      }
      // What the other places of the row hold at the same sectors: within one stripe of a row,
      // the number the layout puts there grows by one from record to record. RAID 6's Q weighs
      // every data stripe but the first by a power of two, so it passes for a record only as a
      // copy of the first, where the others are empty: its one place to compare with.
      others.clear();
      for (int64_t position = 0; position < members; ++position) {
        if (position == parity || position == q) continue;
        if (q == positionOf[run.member] && position != (parity + 2) % members) continue;
        others.push_back({*RecordInRows(guess, position, sector),
                          found.cursor(guess.memberOrder[static_cast<size_t>(position)], sector)});
      }
      for (uint32_t k = 0; k < inRow; ++k) {
        const int64_t at = sector + 2 * int64_t{k};
        const uint32_t number = run.record + i + k;
        uint32_t expectedSum = 0, foundSum = 0;
        bool expectedAll = true, foundAll = true, foundAny = false;
        for (OtherPlace& other : others) {
          const int64_t expected = other.firstExpected + k;
          const bool numbered = expected >= 0 && expected <= int64_t{UINT32_MAX};
          expectedSum ^= static_cast<uint32_t>(expected);
          expectedAll = expectedAll && numbered;
          if (const std::optional<uint32_t> record = other.found.at(at)) {
            foundAny = true;
            foundSum ^= *record;
            foundAll = foundAll && numbered && expected == int64_t{*record};
          }
        }
        // Where the records found are the XOR, the places without one must hold no MFT: the
        // records the layout puts there were found nowhere.
        bool twofold = false;
        if (foundAny && foundAll && foundSum == number) {
          for (OtherPlace& other : others) {
            const int64_t expected = other.firstExpected + k;
            if (other.found.at(at) || expected < 0 || expected > int64_t{UINT32_MAX}) continue;
            if (expected == int64_t{number}) twofold = true;
            else if (found.numbered(expected)) foundAll = false;
          }
        }
        if (expectedAll && expectedSum == number) {
          ++tally.explained;
        } else if (foundAny && foundAll && foundSum == number) {
          // The XOR of records at the same place of consecutive stripes is numbered like the
          // next stripe's record there: where the layout puts that very record in an empty
          // place of the row, the block is its parity or the record itself on another member,
          // and says nothing either way.
          if (!twofold) ++tally.explained;
        } else if (ofTheVolume) {
          ++tally.contradicted;
        } else {
          // Parity numbers are seldom consecutive, so parity runs are short: a run whose numbers
          // are not the parity's ends the look at its first such record.
          i = run.length;
          break;
        }
      }
      if (i < run.length) i += inRow;
    }
  }
  return tally;
}

}  // namespace brenvik
