#pragma once
// The records found where a RAID 5 layout puts a row's parity, as evidence for or against that
// layout: a parity block that passes for a record carries the number the row's data gives it,
// while a record of the volume there speaks against the layout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "raid/RaidGeometry.h"

namespace brenvik {

// The position in the member order that holds the parity of stripe row `row` of a RAID 5 layout
// (RAID 6's P, with its Q on the next position); rows before the first one carry on the rotation
// backwards.
int64_t RaidParityPosition(RaidLayout layout, int64_t members, int64_t row);
// The same for a geometry's stripe row `row`, its delayed parity included (the parity stays on
// one position for `parityDelay` rows in turn).
int64_t RaidParityPositionOfRow(const RaidGeometryGuess& guess, int64_t row);

// The record number a striped layout puts at `sector` of the member at `position` in the order,
// the rotation carried on before the first row (where data stripes before the volume's first get
// negative numbers); nullopt where the row's parity lies.
std::optional<int64_t> RecordInRows(const RaidGeometryGuess& guess, int64_t position, int64_t sector);

// The runs of one member, in sector order.
using RaidMemberRuns = std::vector<const RaidRecordRun*>;

// The records found, member by member in sector order, read by cursors that move forward only.
class RaidFoundRecords {
 public:
  RaidFoundRecords(const std::vector<RaidRecordRun>& runs, size_t members) : runs_(runs), byMember_(members) {
    for (const RaidRecordRun& run : runs)
      if (run.member < members) byMember_[run.member].push_back(&run);
    // A run collects them position by position, so they are in order already.
    const auto bySector = [](const RaidRecordRun* a, const RaidRecordRun* b) { return a->sector < b->sector; };
    for (RaidMemberRuns& list : byMember_)
      if (!std::is_sorted(list.begin(), list.end(), bySector)) std::stable_sort(list.begin(), list.end(), bySector);
  }

  // Whether a record numbered `record` was found anywhere.
  bool numbered(int64_t record) const {
    if (numbers_.empty()) indexNumbers();
    const auto after = std::upper_bound(numbers_.begin(), numbers_.end(), std::pair(record, INT64_MAX));
    return after != numbers_.begin() && record < std::prev(after)->second;
  }

  class Cursor {
   public:
    Cursor(const RaidMemberRuns& runs, int64_t from) : runs_(&runs) {
      next_ = static_cast<size_t>(std::partition_point(runs.begin(), runs.end(), [from](const RaidRecordRun* run) {
                                    return run->sector + 2 * int64_t{run->length} <= from;
                                  }) - runs.begin());
    }
    // The number of the record found at `sector`, which is no lower than the one asked before.
    std::optional<uint32_t> at(int64_t sector) {
      while (next_ < runs_->size() && (*runs_)[next_]->sector + 2 * int64_t{(*runs_)[next_]->length} <= sector) ++next_;
      if (next_ == runs_->size()) return std::nullopt;
      const RaidRecordRun& run = *(*runs_)[next_];
      if (sector < run.sector || (sector - run.sector) % 2 != 0) return std::nullopt;
      return run.record + static_cast<uint32_t>((sector - run.sector) / 2);
    }

   private:
    const RaidMemberRuns* runs_;
    size_t next_ = 0;
  };

  Cursor cursor(size_t member, int64_t from) const { return Cursor(byMember_[member], from); }

 private:
  // The numbers found as disjoint ranges in order, made when first asked for: most layouts never
  // need them.
  void indexNumbers() const {
    for (const RaidRecordRun& run : runs_) numbers_.emplace_back(int64_t{run.record}, int64_t{run.record} + run.length);
    std::sort(numbers_.begin(), numbers_.end());
    size_t kept = 0;
    for (const auto& range : numbers_) {
      if (kept > 0 && range.first <= numbers_[kept - 1].second) numbers_[kept - 1].second = std::max(numbers_[kept - 1].second, range.second);
      else numbers_[kept++] = range;
    }
    numbers_.resize(kept);
  }

  const std::vector<RaidRecordRun>& runs_;
  std::vector<RaidMemberRuns> byMember_;
  mutable std::vector<std::pair<int64_t, int64_t>> numbers_;  // [first, end) of the numbers found
};

struct RaidParityTally {
  uint64_t explained = 0;     // parity blocks that pass for records and carry their row's number
  uint64_t contradicted = 0;  // records of the volume where the layout puts parity
};

// Where record 0 lies in the data of a geometry that the records did not give (one from the
// parity): the place most of the records found on data stripes agree on; nullopt without any.
std::optional<int64_t> RecordZeroOf(const RaidGeometryGuess& guess, const std::vector<RaidRecordRun>& runs);

RaidParityTally TallyParityRecords(const RaidGeometryGuess& guess, const std::vector<RaidRecordRun>& runs,
                                   const RaidFoundRecords& found);

}  // namespace brenvik
