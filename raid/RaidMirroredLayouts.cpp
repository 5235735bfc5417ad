#include "raid/RaidMirroredLayouts.h"

#include <algorithm>
#include <map>

namespace brenvik {
namespace {

// The runs of one member, in sector order.
using MemberRuns = std::vector<const RaidRecordRun*>;

// Records that member a and member b both hold at the same sector with the same number.
uint64_t SharedRecords(const MemberRuns& a, const MemberRuns& b) {
  uint64_t shared = 0;
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const RaidRecordRun& x = *a[i];
    const RaidRecordRun& y = *b[j];
    const int64_t xEnd = x.sector + 2 * int64_t{x.length};
    const int64_t yEnd = y.sector + 2 * int64_t{y.length};
    const int64_t from = std::max(x.sector, y.sector);
    const int64_t to = std::min(xEnd, yEnd);
    if (from < to && x.sector - 2 * int64_t{x.record} == y.sector - 2 * int64_t{y.record}) shared += (to - from + 1) / 2;
    if (xEnd <= yEnd) ++i; else ++j;
  }
  return shared;
}

}  // namespace

std::optional<RaidGeometryGuess> MirrorOf(const std::vector<RaidRecordRun>& runs, size_t members) {
  std::vector<uint64_t> held(members);
  for (const RaidRecordRun& run : runs) held[run.member] += run.length;
  if (held[0] < kMinRecords) return std::nullopt;
  // Members that hold very different numbers of records cannot be copies of each other.
  for (uint64_t records : held)
    if (records < kMirrorShare * static_cast<double>(held[0]) || held[0] < kMirrorShare * static_cast<double>(records))
      return std::nullopt;
  std::vector<MemberRuns> byMember(members);
  for (const RaidRecordRun& run : runs) byMember[run.member].push_back(&run);
  uint64_t explained = 0;
  uint64_t fewest = UINT64_MAX;
  for (size_t m = 1; m < members; ++m) {
    const uint64_t shared = SharedRecords(byMember[0], byMember[m]);
    if (shared < kMirrorShare * static_cast<double>(held[0]) || shared < kMirrorShare * static_cast<double>(held[m]))
      return std::nullopt;
    explained += shared;
    fewest = std::min(fewest, shared);
  }
  RaidGeometryGuess guess;
  guess.layout = RaidLayout::Mirror;
  for (size_t m = 0; m < members; ++m) guess.memberOrder.push_back(m);
  // Where record 0 would lie: the offset most of the first member's records agree on.
  std::map<int64_t, uint64_t> offsets;
  for (const RaidRecordRun* run : byMember[0]) offsets[run->sector - 2 * int64_t{run->record}] += run->length;
  guess.recordZeroDataSector =
      std::max_element(offsets.begin(), offsets.end(), [](const auto& a, const auto& b) { return a.second < b.second; })->first;
  guess.explained = explained + fewest;
  return guess;
}

std::optional<RaidGeometry> MirroredPairsOf(const RaidRecordCollector& records) {
  const size_t members = records.memberCount();
  if (members < 4 || members % 2 != 0) return std::nullopt;
  const std::vector<RaidRecordRun>& runs = records.runs();
  std::vector<uint64_t> held(members);
  std::vector<MemberRuns> byMember(members);
  for (const RaidRecordRun& run : runs) {
    held[run.member] += run.length;
    byMember[run.member].push_back(&run);
  }
  std::vector<size_t> copyOf(members, SIZE_MAX);
  for (size_t a = 0; a < members; ++a) {
    if (copyOf[a] != SIZE_MAX) continue;
    if (held[a] < kMinRecords) return std::nullopt;
    for (size_t b = a + 1; b < members && copyOf[a] == SIZE_MAX; ++b) {
      if (copyOf[b] != SIZE_MAX) continue;
      const uint64_t shared = SharedRecords(byMember[a], byMember[b]);
      if (shared >= kMirrorShare * static_cast<double>(held[a]) && shared >= kMirrorShare * static_cast<double>(held[b])) {
        copyOf[a] = b;
        copyOf[b] = a;
      }
    }
    if (copyOf[a] == SIZE_MAX) return std::nullopt;
  }
  // The pairs in the order of their first member, each as one member of a RAID 0 set.
  std::vector<size_t> firstOfPair, pairOf(members);
  for (size_t m = 0; m < members; ++m) {
    if (copyOf[m] > m) {
      pairOf[m] = pairOf[copyOf[m]] = firstOfPair.size();
      firstOfPair.push_back(m);
    }
  }
  RaidRecordCollector pairs(firstOfPair.size());
  for (const RaidRecordRun& run : runs) {
    if (firstOfPair[pairOf[run.member]] != run.member) continue;
    for (uint32_t i = 0; i < run.length; ++i) pairs.add(pairOf[run.member], run.sector + 2 * int64_t{i}, run.record + i);
  }
  RaidGeometry striped = InferRaidGeometry(pairs, RaidParityEvidence{});
  if (striped.verdict != RaidGeometry::Verdict::Decided || !striped.best || striped.best->layout != RaidLayout::Raid0)
    return std::nullopt;
  RaidGeometry geometry;
  geometry.verdict = RaidGeometry::Verdict::Decided;
  geometry.records = records.records();
  geometry.best = striped.best;
  geometry.best->layout = RaidLayout::Raid10Near2;
  geometry.best->memberOrder.clear();
  for (size_t pair : striped.best->memberOrder) {
    geometry.best->memberOrder.push_back(firstOfPair[pair]);
    geometry.best->memberOrder.push_back(copyOf[firstOfPair[pair]]);
  }
  // Each record explained on one member of a pair is explained on its copy too.
  geometry.best->explained = 2 * striped.best->explained;
  return geometry;
}

}  // namespace brenvik
