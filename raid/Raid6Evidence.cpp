#include "raid/Raid6Evidence.h"

#include <algorithm>
#include <cstring>

#include "platform/FileOps.h"
#include "raid/RaidParityRecords.h"

namespace brenvik {
namespace {

constexpr size_t kBlockBytes = 1024;
// Stripe sizes tried, in 1024-byte positions: 4 KiB to 2 MiB.
constexpr int64_t kMinStripePositions = 4;
constexpr int64_t kMaxStripePositions = 2048;
// The Q places are looked at over at most this many positions (4 GiB of range).
constexpr size_t kSearchPositions = size_t{1} << 22;
// Positions with a Q before its places say anything.
constexpr uint64_t kMinQPlaces = 64;
// The syndrome is checked at most at kSampleReads positions, and no more once kSampleRows of them
// held data.
constexpr int64_t kSampleReads = 4096;
constexpr uint64_t kSampleRows = 256;

uint8_t TimesTwo(uint8_t a) { return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1d : 0)); }

// A change of the Q member between two positions that show one: a row boundary lies in (after, at].
struct QChange {
  int64_t after;
  int64_t at;
};

// The rows starting at `first` (a position in the map), `length` positions each, taken as rows
// 0, 1, ... of a RAID 6 whose first data stripe lies on `firstMember`: the member order their Q
// places give, and how many rows agree; nullopt when the Q places do not rotate.
std::optional<RaidGeometryGuess> OrderFromRows(const RaidBlockMap& map, size_t count, int64_t length, int64_t first,
                                               size_t firstMember) {
  const auto n = static_cast<int64_t>(map.members());
  // For each row turn (row mod n) the member holding Q most often.
  std::vector<uint64_t> votes(static_cast<size_t>(n * n));
  uint64_t placed = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t q = map.q(i);
    if (q == RaidBlockMap::kNoQ) continue;
    const int64_t turn = FloorMod(FloorDiv(static_cast<int64_t>(i) - first, length), n);
    ++votes[static_cast<size_t>(turn * n + q)];
    ++placed;
  }
  // Row r keeps its Q on position n - r mod n: position 0 in row 0, then n - 1, n - 2, ...
  std::vector<size_t> order(static_cast<size_t>(n), SIZE_MAX);
  std::vector<bool> taken(static_cast<size_t>(n));
  uint64_t agree = 0;
  int64_t unseen = -1;
  for (int64_t turn = 0; turn < n; ++turn) {
    const auto row = votes.begin() + turn * n;
    const auto best = std::max_element(row, row + n);
    if (*best == 0) {
      if (unseen >= 0) return std::nullopt;  // two turns never seen: the order is not known
      unseen = turn;
      continue;
    }
    const auto member = static_cast<size_t>(best - row);
    if (taken[member]) return std::nullopt;  // Q visits every member once a turn
    taken[member] = true;
    order[static_cast<size_t>(FloorMod(n - turn, n))] = member;
    agree += *best;
  }
  if (unseen >= 0) {
    const auto left = static_cast<size_t>(std::find(taken.begin(), taken.end(), false) - taken.begin());
    order[static_cast<size_t>(FloorMod(n - unseen, n))] = left;
  }
  // The volume's first stripe follows row 0's Q.
  if (order[1] != firstMember) return std::nullopt;
  // Nearly every Q where the rotation puts it.
  if ((placed - agree) * 20 > placed) return std::nullopt;
  // The rows that keep their Q where the order says.
  uint64_t rows = 0;
  int64_t counted = INT64_MIN;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t q = map.q(i);
    const int64_t row = FloorDiv(static_cast<int64_t>(i) - first, length);
    if (q == RaidBlockMap::kNoQ || row == counted || order[static_cast<size_t>(FloorMod(n - FloorMod(row, n), n))] != q) continue;
    counted = row;
    ++rows;
  }
  RaidGeometryGuess guess;
  guess.layout = RaidLayout::Raid6LeftSymmetric;
  guess.stripeSectors = 2 * length;
  guess.startSector = map.firstSector() + 2 * first;
  guess.memberOrder = std::move(order);
  guess.explained = rows;
  return guess;
}

}  // namespace

RaidSyndromeRow CheckRaid6Row(std::span<const uint8_t* const> blocks, size_t length, size_t p) {
  const size_t n = blocks.size();
  if (n < 4 || p >= n) return RaidSyndromeRow::Empty;
  thread_local std::vector<uint8_t> pSum, qSum;
  pSum.assign(length, 0);
  qSum.assign(length, 0);
  bool data = false;
  // Horner's rule from the highest data stripe down: Q = D0 + 2 D1 + 4 D2 + ...
  for (size_t index = n - 2; index-- > 0;) {
    const uint8_t* block = blocks[(p + 2 + index) % n];
    for (size_t i = 0; i < length; ++i) {
      data = data || block[i] != 0;
      pSum[i] ^= block[i];
      qSum[i] = static_cast<uint8_t>(TimesTwo(qSum[i]) ^ block[i]);
    }
  }
  const bool pRight = std::memcmp(pSum.data(), blocks[p], length) == 0;
  const bool qRight = std::memcmp(qSum.data(), blocks[(p + 1) % n], length) == 0;
  if (!data && pRight && qRight) return RaidSyndromeRow::Empty;
  return pRight && qRight ? RaidSyndromeRow::Agrees : RaidSyndromeRow::Disagrees;
}

RaidSyndromeTally CheckRaid6Syndrome(const RaidGeometryGuess& guess, const std::vector<std::filesystem::path>& paths,
                                     int64_t firstSector, int64_t endSector) {
  RaidSyndromeTally tally;
  const size_t n = guess.memberOrder.size();
  const int64_t stripe = guess.stripeSectors;
  if (guess.layout != RaidLayout::Raid6LeftSymmetric || n < 4 || n != paths.size() || stripe < 2 ||
      guess.startSector < 0 || endSector <= firstSector)
    return tally;
  for (size_t member : guess.memberOrder)
    if (member >= n) return tally;
  std::vector<UniqueFd> fds;
  for (const std::filesystem::path& path : paths) {
    if (path.empty()) return tally;
    fds.push_back(OpenSharedInput(path, true));
    if (!fds.back()) return tally;
  }
  // Whole blocks at even distances from the first row, inside the range.
  const int64_t from = guess.startSector + 2 * ((std::max(firstSector, guess.startSector) - guess.startSector + 1) / 2);
  const int64_t positions = (endSector - from) / 2;
  if (positions <= 0) return tally;
  const int64_t step = std::max<int64_t>(1, positions / kSampleReads);
  std::vector<uint8_t> buffer(n * kBlockBytes);
  std::vector<const uint8_t*> blocks(n);
  for (int64_t k = 0; k < positions && tally.agree + tally.disagree < kSampleRows; k += step) {
    const int64_t sector = from + 2 * k;
    // A block over a stripe boundary belongs to two rows.
    if (FloorMod(sector - guess.startSector, stripe) + 2 > stripe) continue;
    bool read = true;
    for (size_t position = 0; position < n && read; ++position) {
      uint8_t* block = buffer.data() + position * kBlockBytes;
      read = ReadAt(fds[guess.memberOrder[position]].get(), block, kBlockBytes, sector * 512) == int64_t{kBlockBytes};
      blocks[position] = block;
    }
    if (!read) break;
    const int64_t row = FloorDiv(sector - guess.startSector, stripe);
    const auto p = static_cast<size_t>(RaidParityPosition(guess.layout, static_cast<int64_t>(n), row));
    switch (CheckRaid6Row(blocks, kBlockBytes, p)) {
      case RaidSyndromeRow::Empty: break;
      case RaidSyndromeRow::Agrees: ++tally.agree; break;
      case RaidSyndromeRow::Disagrees: ++tally.disagree; break;
    }
  }
  return tally;
}

std::optional<RaidGeometryGuess> Raid6FromQPlaces(const RaidBlockMap& map) {
  const size_t n = map.members();
  if (n < 4) return std::nullopt;
  const size_t count = std::min(map.positions(), kSearchPositions);
  std::vector<QChange> changes;
  uint64_t places = 0;
  int64_t last = -1;
  uint8_t lastQ = RaidBlockMap::kNoQ;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t q = map.q(i);
    if (q == RaidBlockMap::kNoQ) continue;
    ++places;
    if (last >= 0 && q != lastQ) changes.push_back({last, static_cast<int64_t>(i)});
    last = static_cast<int64_t>(i);
    lastQ = q;
  }
  // Q must be seen to move round the members at least once.
  if (places < kMinQPlaces || changes.size() < n) return std::nullopt;

  // The largest stripe whose row boundaries fall within every change (a few strays aside): each
  // smaller one that divides it fits them too.
  for (int64_t length = kMaxStripePositions; length >= kMinStripePositions; length /= 2) {
    std::vector<uint32_t> fits(static_cast<size_t>(length));
    uint64_t anywhere = 0;
    for (const QChange& change : changes) {
      if (change.at - change.after >= length) {
        ++anywhere;
        continue;
      }
      for (int64_t boundary = change.after + 1; boundary <= change.at; ++boundary) ++fits[static_cast<size_t>(boundary % length)];
    }
    const uint64_t needed = changes.size() - changes.size() / 100;
    const auto fitting = [&](int64_t first) { return fits[static_cast<size_t>(FloorMod(first, length))] + anywhere >= needed; };
    if (std::none_of(fits.begin(), fits.end(), [&](uint32_t f) { return f + anywhere >= needed; })) continue;

    // The row the file system begins in: its first block at the start of the row's first data stripe.
    for (const RaidLocatedBlock& block : map.located()) {
      if (block.volumeSector < 0 || block.volumeSector >= 2 * length) continue;
      const int64_t sectors = block.sector - block.volumeSector - map.firstSector();
      if (sectors < 0 || sectors % 2 != 0 || sectors / 2 >= static_cast<int64_t>(count)) continue;
      const int64_t first = sectors / 2;
      if (!fitting(first)) continue;
      if (std::optional<RaidGeometryGuess> guess = OrderFromRows(map, count, length, first, block.member)) return guess;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

void ApplyRaid6Evidence(RaidGeometry& geometry, const RaidBlockMap& map,
                        const std::function<RaidSyndromeTally(const RaidGeometryGuess&)>& syndrome) {
  if (!geometry.parity.raid6Holds()) return;
  const std::optional<RaidGeometryGuess> fromPlaces = Raid6FromQPlaces(map);
  if (geometry.verdict == RaidGeometry::Verdict::Decided && geometry.best) {
    if (geometry.best->layout != RaidLayout::Raid6LeftSymmetric) {
      geometry.verdict = RaidGeometry::Verdict::Unexplained;
      return;
    }
    geometry.syndrome = syndrome(*geometry.best);
    // Two kinds of evidence that name different stripe sizes: neither is trusted.
    if (geometry.syndrome.contradicts() || (fromPlaces && fromPlaces->stripeSectors != geometry.best->stripeSectors))
      geometry.verdict = RaidGeometry::Verdict::Unexplained;
    return;
  }
  if (!fromPlaces) return;
  const RaidSyndromeTally tally = syndrome(*fromPlaces);
  if (!tally.confirms()) return;
  geometry.decideOn(*fromPlaces, true);
  geometry.syndrome = tally;
}

}  // namespace brenvik
