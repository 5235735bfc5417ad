#include "raid/RaidGeometry.h"

#include "raid/RaidParityRecords.h"

#include <algorithm>
#include <array>
#include <map>
#include <span>
#include <tuple>

namespace brenvik {
namespace {

// Stripe sizes tried, in sectors: 4 KiB to 2 MiB.
constexpr int64_t kMinStripe = 8;
constexpr int64_t kMaxStripe = 4096;
// Every order of up to this many members is within reach of the fit below.
constexpr size_t kMaxMembers = 16;
// Fewer records than this never decide anything.
constexpr uint64_t kMinRecords = 16;
// The layouts are fitted on the pieces of at most kSampleRuns runs, at most kSamplePieces of
// them, and stripe starts are looked for among at most kSampleStarts runs; each sample is taken
// in kSampleBlocks stretches of neighbours, so that every stretch spans whole stripe rows. The
// kLeadersCounted best fits are then counted again over all the records.
constexpr size_t kSamplePieces = 4096;
constexpr size_t kSampleRuns = 8192;
constexpr size_t kSampleStarts = 65536;
constexpr size_t kSampleBlocks = 32;
constexpr size_t kLeadersCounted = 8;
// A mirror: each pair of members shares at least this share of its records.
constexpr double kMirrorShare = 0.9;
// An answer is decided when it explains at least this share of the records found, and the next
// best explains less than kCloseShare of what it explains. A next best explaining kShownShare of
// that is shown beside it.
constexpr double kNearlyAll = 0.9;
constexpr double kCloseShare = 0.9;
constexpr double kShownShare = 0.5;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

constexpr std::array<RaidLayout, 5> kStripedLayouts = {RaidLayout::Raid0, RaidLayout::Raid5LeftAsymmetric,
                                                       RaidLayout::Raid5LeftSymmetric, RaidLayout::Raid5RightAsymmetric,
                                                       RaidLayout::Raid5RightSymmetric};

// Where the volume's data stripe `chunk` lies: position in the member order and stripe row.
struct Slot {
  size_t position;
  int64_t row;
};

Slot Place(RaidLayout layout, int64_t members, int64_t chunk, int64_t parityDelay = 1) {
  if (layout == RaidLayout::Raid0) return {static_cast<size_t>(chunk % members), chunk / members};
  const int64_t dataPerRow = members - 1;
  const int64_t row = chunk / dataPerRow;
  const int64_t index = chunk % dataPerRow;
  const int64_t turn = row / parityDelay % members;
  const bool left = layout == RaidLayout::Raid5LeftAsymmetric || layout == RaidLayout::Raid5LeftSymmetric;
  const bool symmetric = layout == RaidLayout::Raid5LeftSymmetric || layout == RaidLayout::Raid5RightSymmetric;
  const int64_t parity = left ? members - 1 - turn : turn;
  const int64_t position = symmetric ? (parity + 1 + index) % members : (index < parity ? index : index + 1);
  return {static_cast<size_t>(position), row};
}

// One layout over a number of members, as a table over the data stripes after which it
// repeats (a turn), so that placing a stripe takes no division.
class LayoutTable {
 public:
  LayoutTable(RaidLayout layout, int64_t members)
      : layout_(layout), rowsPerTurn_(layout == RaidLayout::Raid0 ? 1 : members) {
    const int64_t period = layout == RaidLayout::Raid0 ? members : members * (members - 1);
    for (int64_t chunk = 0; chunk < period; ++chunk) slots_.push_back(Place(layout, members, chunk));
  }
  RaidLayout layout() const { return layout_; }
  int64_t period() const { return static_cast<int64_t>(slots_.size()); }
  int64_t rowsPerTurn() const { return rowsPerTurn_; }
  // The slot of data stripe turn × period + index (index below the period, or one period above
  // it at most).
  Slot slot(int64_t turn, int64_t index) const {
    if (index >= period()) {
      index -= period();
      ++turn;
    }
    const Slot& slot = slots_[static_cast<size_t>(index)];
    return {slot.position, turn * rowsPerTurn_ + slot.row};
  }

 private:
  RaidLayout layout_;
  int64_t rowsPerTurn_;
  std::vector<Slot> slots_;
};

// Sector offsets into a stripe; stripe sizes are powers of two.
int64_t InStripe(int64_t sector, int64_t stripe) { return sector & (stripe - 1); }

// The stripe grid for one stripe size: where rows begin on the members (`start`, below the
// stripe size) and where stripes begin in record numbers (a record r starts 2r + `phase`
// sectors into a stripe-aligned stretch of the volume).
struct Grid {
  int64_t stripe = 0;
  int64_t start = 0;
  int64_t phase = 0;
};

// A part of a run that falls in one stripe of the volume.
struct Piece {
  int64_t chunk;   // the volume's stripe, counted from the grid's origin
  int64_t row;     // the member's stripe row, counted from the grid's start
  uint32_t member;
  uint32_t weight;  // records
};

// A piece with its stripe split into turns of one layout's period.
struct TurnPiece {
  int64_t turn;
  int64_t row;
  uint32_t index;
  uint32_t member;
  uint32_t weight;
};

std::vector<TurnPiece> InTurns(const std::vector<Piece>& pieces, int64_t period) {
  std::vector<TurnPiece> turns;
  turns.reserve(pieces.size());
  for (const Piece& piece : pieces)
    turns.push_back({piece.chunk / period, piece.row, static_cast<uint32_t>(piece.chunk % period), piece.member, piece.weight});
  return turns;
}

// Calls visit(i) for up to `limit` of the indexes below `count`: all of them, or kSampleBlocks
// stretches of neighbours spread over them.
template <class Visit>
void ForEachSampled(size_t count, size_t limit, Visit visit) {
  if (count <= limit) {
    for (size_t i = 0; i < count; ++i) visit(i);
    return;
  }
  const size_t blockSize = limit / kSampleBlocks;
  const size_t step = (count - blockSize) / (kSampleBlocks - 1);
  for (size_t block = 0; block < kSampleBlocks; ++block)
    for (size_t i = block * step; i < block * step + blockSize; ++i) visit(i);
}

// Runs that begin a stripe for certain: the record before their first was found too, at the
// end of another run. That run is looked for among the runs found shortly before or after: a
// stripe follows one on another member in the same or the previous stripe row, and only the
// other members' runs of those rows lie between them. Looked for in a sample of the runs.
std::vector<const RaidRecordRun*> StripeStarts(const std::vector<RaidRecordRun>& runs, size_t members) {
  const size_t window = 4 * members + 8;
  std::vector<const RaidRecordRun*> starts;
  ForEachSampled(runs.size(), kSampleStarts, [&](size_t i) {
    const size_t last = std::min(runs.size(), i + window + 1);
    for (size_t j = i > window ? i - window : 0; j < last; ++j) {
      if (j != i && uint64_t{runs[j].record} + runs[j].length == runs[i].record) {
        starts.push_back(&runs[i]);
        return;
      }
    }
  });
  return starts;
}

// The grid the stripe starts agree on most, for one stripe size; nullopt without any start.
std::optional<Grid> GridFor(int64_t stripe, const std::vector<const RaidRecordRun*>& starts) {
  if (starts.empty()) return std::nullopt;
  std::vector<uint32_t> votes(static_cast<size_t>(stripe));
  for (const RaidRecordRun* run : starts) ++votes[static_cast<size_t>(InStripe(run->sector, stripe))];
  Grid grid;
  grid.stripe = stripe;
  grid.start = std::max_element(votes.begin(), votes.end()) - votes.begin();
  std::fill(votes.begin(), votes.end(), 0);
  for (const RaidRecordRun* run : starts)
    if (InStripe(run->sector, stripe) == grid.start) ++votes[static_cast<size_t>(InStripe(-2 * int64_t{run->record}, stripe))];
  grid.phase = std::max_element(votes.begin(), votes.end()) - votes.begin();
  return grid;
}

// A run's records sit where the grid puts stripe contents when their sector and their number
// agree on the offset into the stripe.
bool OnGrid(const RaidRecordRun& run, const Grid& grid) {
  return InStripe(run.sector - 2 * int64_t{run.record} - grid.start - grid.phase, grid.stripe) == 0;
}

// Calls visit(piece) for each stripe piece of the runs that lie on the grid.
template <class Visit>
void ForEachPiece(std::span<const RaidRecordRun> runs, const Grid& grid, Visit visit) {
  for (const RaidRecordRun& run : runs) {
    if (!OnGrid(run, grid)) continue;
    int64_t record = run.record;
    int64_t sector = run.sector;
    int64_t left = run.length;
    while (left > 0) {
      const int64_t volumeSector = grid.phase + 2 * record;
      const int64_t chunk = volumeSector / grid.stripe;
      const int64_t take = std::min(left, ((chunk + 1) * grid.stripe - volumeSector + 1) / 2);
      visit(Piece{chunk, FloorDiv(sector - grid.start, grid.stripe), run.member, static_cast<uint32_t>(take)});
      record += take;
      sector += 2 * take;
      left -= take;
    }
  }
}

template <class Item>
std::vector<Item> Sample(std::span<const Item> items, size_t limit) {
  std::vector<Item> sample;
  ForEachSampled(items.size(), limit, [&](size_t i) { sample.push_back(items[i]); });
  return sample;
}

// The pieces the layouts are fitted on: those of a sample of the runs, sampled again when
// the stripes are small enough to cut the runs into many pieces.
std::vector<Piece> SamplePieces(std::span<const RaidRecordRun> runs, const Grid& grid) {
  std::vector<Piece> pieces;
  ForEachPiece(runs, grid, [&](const Piece& piece) { pieces.push_back(piece); });
  return Sample<Piece>(pieces, kSamplePieces);
}

// One way of laying the volume over the members: the layout, the grid, the member order, the
// stripe the grid's origin stands for (`shift`) and the row offset between volume and members.
struct Fit {
  RaidLayout layout = RaidLayout::Raid0;
  Grid grid;
  std::vector<size_t> order;
  int64_t shift = 0;
  int64_t rowOffset = 0;
  uint64_t explained = 0;
  bool severalRows = false;  // the records explained lie in more than one stripe row
};

// Gives each position in the order the member that holds most of its stripes; members nobody
// chose fill the remaining positions in their given order.
std::vector<size_t> AssignMembers(const std::vector<uint64_t>& votes, size_t members) {
  std::vector<std::tuple<uint64_t, size_t, size_t>> choices;
  for (size_t position = 0; position < members; ++position)
    for (size_t member = 0; member < members; ++member)
      if (votes[position * members + member] > 0) choices.emplace_back(votes[position * members + member], position, member);
  std::sort(choices.begin(), choices.end(), [](const auto& a, const auto& b) {
    return std::get<0>(a) != std::get<0>(b) ? std::get<0>(a) > std::get<0>(b) : a < b;
  });
  std::vector<size_t> order(members, SIZE_MAX);
  std::vector<bool> taken(members);
  for (const auto& [count, position, member] : choices) {
    if (order[position] != SIZE_MAX || taken[member]) continue;
    order[position] = member;
    taken[member] = true;
  }
  size_t next = 0;
  for (size_t& member : order) {
    if (member != SIZE_MAX) continue;
    while (taken[next]) ++next;
    member = next;
    taken[next] = true;
  }
  return order;
}

struct Explained {
  uint64_t records = 0;
  int64_t firstRow = 0;      // of the first piece explained
  bool severalRows = false;  // the records it explains lie in more than one stripe row
};

Explained CountExplained(const Fit& fit, const LayoutTable& table, const std::vector<TurnPiece>& pieces) {
  Explained explained;
  for (const TurnPiece& piece : pieces) {
    const Slot slot = table.slot(piece.turn, piece.index + fit.shift);
    if (fit.order[slot.position] != piece.member || piece.row - slot.row != fit.rowOffset) continue;
    if (explained.records == 0) explained.firstRow = piece.row;
    explained.severalRows = explained.severalRows || piece.row != explained.firstRow;
    explained.records += piece.weight;
  }
  return explained;
}

// The member order and row offset that explain most pieces for one layout and shift.
Fit FitLayout(const LayoutTable& table, const Grid& grid, int64_t shift, size_t members,
              const std::vector<TurnPiece>& pieces) {
  Fit fit;
  fit.layout = table.layout();
  fit.grid = grid;
  fit.shift = shift;
  std::vector<uint64_t> votes(members * members);
  for (const TurnPiece& piece : pieces)
    votes[table.slot(piece.turn, piece.index + shift).position * members + piece.member] += piece.weight;
  fit.order = AssignMembers(votes, members);
  // The row offset held by the most records: a weighted majority vote finds it whenever it
  // holds more than half of them, which any offset worth reporting does.
  int64_t candidate = 0;
  uint64_t lead = 0;
  for (const TurnPiece& piece : pieces) {
    const Slot slot = table.slot(piece.turn, piece.index + shift);
    if (fit.order[slot.position] != piece.member) continue;
    const int64_t offset = piece.row - slot.row;
    if (lead == 0 || offset == candidate) {
      candidate = offset;
      lead += piece.weight;
    } else if (lead >= piece.weight) {
      lead -= piece.weight;
    } else {
      candidate = offset;
      lead = piece.weight - lead;
    }
  }
  fit.rowOffset = candidate;
  const Explained explained = CountExplained(fit, table, pieces);
  fit.explained = explained.records;
  fit.severalRows = explained.severalRows;
  return fit;
}

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

// A mirror when every member shares nearly all of its records with the first.
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

// Linux md's RAID 10, near layout with two copies, over an even number of members: the members
// pair up as copies (each pair shares nearly all of its records, as a mirror does), and the pairs
// are a RAID 0 set, the first of each pair standing for it. Decided when every member has its
// copy and the pairs' RAID 0 is decided.
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

bool IsSymmetric(RaidLayout layout) {
  return layout == RaidLayout::Raid5LeftSymmetric || layout == RaidLayout::Raid5RightSymmetric;
}

RaidGeometryGuess GuessOf(const Fit& fit) {
  const LayoutTable table(fit.layout, static_cast<int64_t>(fit.order.size()));
  // The first row is put as early as the records allow: the row offset less whole turns.
  const int64_t turns = FloorDiv(fit.rowOffset, table.rowsPerTurn());
  const int64_t rowsIn = fit.rowOffset - turns * table.rowsPerTurn();
  RaidGeometryGuess guess;
  guess.layout = fit.layout;
  guess.stripeSectors = fit.grid.stripe;
  guess.memberOrder = fit.order;
  guess.startSector = fit.grid.start + rowsIn * fit.grid.stripe;
  guess.recordZeroDataSector = fit.grid.phase + (fit.shift + turns * table.period()) * fit.grid.stripe;
  guess.explained = fit.explained;
  return guess;
}

void Merge(Explained& total, const Explained& part) {
  if (part.records == 0) return;
  total.severalRows = total.severalRows || part.severalRows || (total.records > 0 && part.firstRow != total.firstRow);
  if (total.records == 0) total.firstRow = part.firstRow;
  total.records += part.records;
}

// Counts the fits again over all the records, not just the sample they were fitted on: one
// pass over the runs for each stripe size among them.
void CountOnAllRecords(std::vector<Fit>& fits, const std::vector<RaidRecordRun>& runs) {
  std::vector<bool> counted(fits.size());
  for (size_t first = 0; first < fits.size(); ++first) {
    if (counted[first]) continue;
    std::vector<Fit*> group;
    std::vector<LayoutTable> tables;
    for (size_t i = first; i < fits.size(); ++i) {
      if (fits[i].grid.stripe != fits[first].grid.stripe) continue;
      counted[i] = true;
      group.push_back(&fits[i]);
      tables.emplace_back(fits[i].layout, static_cast<int64_t>(fits[i].order.size()));
    }
    std::vector<Explained> totals(group.size());
    std::vector<Piece> batch;
    std::map<int64_t, std::vector<TurnPiece>> turns;  // the batch, for each period among the layouts
    const auto count = [&] {
      turns.clear();
      for (size_t i = 0; i < group.size(); ++i) {
        auto [place, added] = turns.try_emplace(tables[i].period());
        if (added) place->second = InTurns(batch, tables[i].period());
        Merge(totals[i], CountExplained(*group[i], tables[i], place->second));
      }
      batch.clear();
    };
    ForEachPiece(runs, fits[first].grid, [&](const Piece& piece) {
      batch.push_back(piece);
      if (batch.size() == kSamplePieces) count();
    });
    count();
    for (size_t i = 0; i < group.size(); ++i) {
      group[i]->explained = totals[i].records;
      group[i]->severalRows = totals[i].severalRows;
    }
  }
}

// Every striped layout, stripe size and order that the records could follow, best first, with
// each distinct answer once.
std::vector<Fit> StripedFits(const std::vector<RaidRecordRun>& runs, size_t members) {
  const std::vector<const RaidRecordRun*> starts = StripeStarts(runs, members);
  std::vector<Grid> grids;
  for (int64_t stripe = kMinStripe; stripe <= kMaxStripe; stripe *= 2) {
    const std::optional<Grid> grid = GridFor(stripe, starts);
    if (!grid) continue;
    grids.push_back(*grid);
  }

  std::vector<LayoutTable> tables;
  for (RaidLayout layout : kStripedLayouts)
    if (layout == RaidLayout::Raid0 || members >= 3) tables.emplace_back(layout, static_cast<int64_t>(members));

  const std::vector<RaidRecordRun> sampleRuns = Sample<RaidRecordRun>(runs, kSampleRuns);
  std::map<std::tuple<RaidLayout, int64_t, std::vector<size_t>>, Fit> best;
  bool sampled = false;
  for (size_t g = 0; g < grids.size(); ++g) {
    sampled = sampled || runs.size() > kSampleRuns;
    const std::vector<Piece> sample = SamplePieces(sampleRuns, grids[g]);
    sampled = sampled || sample.size() == kSamplePieces;
    for (const LayoutTable& table : tables) {
      const std::vector<TurnPiece> turns = InTurns(sample, table.period());
      for (int64_t shift = 0; shift < table.period(); ++shift) {
        Fit fit = FitLayout(table, grids[g], shift, members, turns);
        // A symmetric layout read one row later is the same layout with the member order
        // rotated, which another shift finds with its rows at the grid's start: counted once, in
        // that form. The asymmetric layouts have no such twin, so every row offset counts.
        if (IsSymmetric(fit.layout) && fit.rowOffset % table.rowsPerTurn() != 0) continue;
        auto [place, added] = best.try_emplace(std::tuple(fit.layout, grids[g].stripe, fit.order), fit);
        if (!added && fit.explained > place->second.explained) place->second = std::move(fit);
      }
    }
  }
  std::vector<Fit> fits;
  for (auto& [key, fit] : best) fits.push_back(std::move(fit));
  const auto byExplained = [](const Fit& a, const Fit& b) { return a.explained > b.explained; };
  std::stable_sort(fits.begin(), fits.end(), byExplained);
  if (sampled) {
    // The leaders are counted again over all the records.
    if (fits.size() > kLeadersCounted) fits.resize(kLeadersCounted);
    CountOnAllRecords(fits, runs);
    std::stable_sort(fits.begin(), fits.end(), byExplained);
  }
  return fits;
}

// The layouts whose records are placed here: RAID 0, RAID 5 and the mirror; the others are
// assembled, not drawn.
bool RecordsPlaced(RaidLayout layout) {
  return layout != RaidLayout::Raid10Near2 && layout != RaidLayout::Spanned && layout != RaidLayout::Raid6LeftSymmetric;
}

}  // namespace

std::optional<RaidRecordPlace> PlaceOfRecord(const RaidGeometryGuess& guess, int64_t record) {
  const int64_t members = static_cast<int64_t>(guess.memberOrder.size());
  if (members == 0 || !RecordsPlaced(guess.layout)) return std::nullopt;
  if (guess.layout == RaidLayout::Mirror) return RaidRecordPlace{guess.memberOrder[0], guess.recordZeroDataSector + 2 * record};
  const int64_t dataSector = guess.recordZeroDataSector + 2 * record;
  if (dataSector < 0 || guess.stripeSectors <= 0) return std::nullopt;
  const Slot slot = Place(guess.layout, members, dataSector / guess.stripeSectors);
  return RaidRecordPlace{guess.memberOrder[slot.position],
                         guess.startSector + slot.row * guess.stripeSectors + dataSector % guess.stripeSectors};
}

std::optional<int64_t> RecordExpectedAt(const RaidGeometryGuess& guess, size_t member, int64_t sector) {
  if (!RecordsPlaced(guess.layout)) return std::nullopt;
  const auto named = std::find(guess.memberOrder.begin(), guess.memberOrder.end(), member);
  if (named == guess.memberOrder.end()) return std::nullopt;
  if (guess.layout == RaidLayout::Mirror) return FloorDiv(sector - guess.recordZeroDataSector, 2);
  if (sector < guess.startSector || guess.stripeSectors <= 0) return std::nullopt;
  return RecordInRows(guess, named - guess.memberOrder.begin(), sector);
}

RaidRecordCollector::RaidRecordCollector(size_t memberCount) : lastRun_(memberCount, kNone) {}

void RaidRecordCollector::startRun(size_t member, int64_t sector, uint32_t record) {
  if (runs_.size() >= kMaxRuns) {
    lastRun_[member] = kNone;
    return;
  }
  lastRun_[member] = runs_.size();
  runs_.push_back({sector, record, 1, static_cast<uint32_t>(member)});
}

RaidGeometry InferRaidGeometry(const RaidRecordCollector& records, const RaidParityEvidence& parity) {
  RaidGeometry geometry;
  geometry.records = records.records();
  geometry.parity = parity;
  const size_t members = records.memberCount();
  if (members < 2 || members > kMaxMembers) return geometry;
  geometry.verdict = RaidGeometry::Verdict::NotEnoughRecords;
  const std::vector<RaidRecordRun>& runs = records.runs();

  uint64_t kept = 0;
  for (const RaidRecordRun& run : runs) kept += run.length;
  if (kept < kMinRecords) return geometry;

  // A member rebuilt from the others' XOR is no copy of them.
  if (std::optional<RaidGeometryGuess> mirror = parity.memberRebuilt ? std::nullopt : MirrorOf(runs, members)) {
    geometry.verdict = RaidGeometry::Verdict::Decided;
    geometry.best = std::move(mirror);
    return geometry;
  }

  if (std::optional<RaidGeometry> pairs = parity.memberRebuilt ? std::nullopt : MirroredPairsOf(records)) {
    pairs->parity = parity;
    return std::move(*pairs);
  }

  std::vector<Fit> fits = StripedFits(runs, members);
  // Parity blocks that pass for records are explained by the layout that put them there; records
  // of the volume where a layout puts parity count against it.
  if (fits.size() > kLeadersCounted) fits.resize(kLeadersCounted);
  const RaidFoundRecords found(runs, members);
  for (Fit& fit : fits) {
    const RaidParityTally parity = TallyParityRecords(GuessOf(fit), runs, found);
    fit.explained += parity.explained;
    fit.explained -= std::min(fit.explained, parity.contradicted);
  }
  std::stable_sort(fits.begin(), fits.end(), [](const Fit& a, const Fit& b) { return a.explained > b.explained; });
  // The members' own parity rules out what the records alone cannot: RAID 0 and RAID 5 place most
  // records of a small volume alike.
  const bool keepsParity = parity.holds() || parity.memberRebuilt;
  if (keepsParity || parity.absent()) {
    std::erase_if(fits, [keepsParity](const Fit& fit) { return (fit.layout == RaidLayout::Raid0) == keepsParity; });
  }
  // Without a single stripe boundary among the records there is nothing to measure.
  if (fits.empty()) return geometry;
  // Two different answers that explain about as many records: the range did not hold enough
  // stripes to tell them apart.
  const bool tied = fits.size() > 1 && fits[1].explained + fits[0].explained / 64 + 1 >= fits[0].explained;
  // Within one stripe row the parity of a RAID 5 row can pass for the row's last stripe (the
  // XOR of records in the same place of consecutive stripes can be a record itself, numbered
  // like the next stripe's): only records from more than one row tell the layouts apart.
  if (tied || !fits[0].severalRows || fits[0].explained < kMinRecords) {
    if (fits[0].explained * 2 < geometry.records) geometry.verdict = RaidGeometry::Verdict::Unexplained;
    return geometry;
  }
  geometry.best = GuessOf(fits[0]);
  if (fits.size() > 1 && fits[1].explained >= kShownShare * static_cast<double>(fits[0].explained))
    geometry.nextBest = GuessOf(fits[1]);
  // An answer is given only when it leaves few records unexplained and no other comes close:
  // a wrong layout often explains a good share of the records too.
  const bool nearlyAll = fits[0].explained >= kNearlyAll * static_cast<double>(geometry.records);
  const bool clearlyAhead = !geometry.nextBest || fits[1].explained < kCloseShare * static_cast<double>(fits[0].explained);
  geometry.verdict = nearlyAll && clearlyAhead ? RaidGeometry::Verdict::Decided : RaidGeometry::Verdict::Unexplained;
  return geometry;
}

RaidGeometry InferRaidGeometry(const RaidRecordCollector& records, const RaidRecordCollector& otherParity,
                               int64_t startSector, const RaidParityEvidence& parity) {
  RaidGeometry geometry = InferRaidGeometry(records, parity);
  if (geometry.verdict == RaidGeometry::Verdict::Decided || otherParity.records() <= records.records()) return geometry;
  RaidGeometry between = InferRaidGeometry(otherParity, parity);
  if (between.verdict == RaidGeometry::Verdict::Decided) {
    between.fromOtherParity = true;
    geometry = std::move(between);
  }
  geometry.otherParityStart = startSector + 1;
  return geometry;
}

namespace {

std::string LayoutName(RaidLayout layout) {
  switch (layout) {
    case RaidLayout::Raid0: return "RAID 0";
    case RaidLayout::Raid5LeftAsymmetric: return "RAID 5 left-asymmetric";
    case RaidLayout::Raid5LeftSymmetric: return "RAID 5 left-symmetric";
    case RaidLayout::Raid5RightAsymmetric: return "RAID 5 right-asymmetric";
    case RaidLayout::Raid5RightSymmetric: return "RAID 5 right-symmetric";
    case RaidLayout::Mirror: return "RAID 1 mirror";
    case RaidLayout::Raid10Near2: return "RAID 10 (near 2)";
    case RaidLayout::Spanned: return "JBOD (spanned)";
    case RaidLayout::Raid6LeftSymmetric: return "RAID 6 left-symmetric";
  }
  return {};
}

std::string LayoutKey(RaidLayout layout) {
  switch (layout) {
    case RaidLayout::Raid0: return "raid0";
    case RaidLayout::Raid5LeftAsymmetric: return "raid5-left-asymmetric";
    case RaidLayout::Raid5LeftSymmetric: return "raid5-left-symmetric";
    case RaidLayout::Raid5RightAsymmetric: return "raid5-right-asymmetric";
    case RaidLayout::Raid5RightSymmetric: return "raid5-right-symmetric";
    case RaidLayout::Mirror: return "raid1";
    case RaidLayout::Raid10Near2: return "raid10";
    case RaidLayout::Spanned: return "jbod";
    case RaidLayout::Raid6LeftSymmetric: return "raid6";
  }
  return {};
}

std::string StripeText(int64_t sectors) {
  const int64_t kib = sectors / 2;
  std::string size = kib >= 1024 && kib % 1024 == 0 ? std::to_string(kib / 1024) + " MiB" : std::to_string(kib) + " KiB";
  return size + " (" + std::to_string(sectors) + " sectors)";
}

// Member numbers as the member list shows them, from 1.
std::string MemberList(const std::vector<size_t>& order) {
  std::string text;
  for (size_t member : order) text += (text.empty() ? "" : ", ") + std::to_string(member + 1);
  return text;
}

std::string GuessText(const RaidGeometryGuess& guess) {
  if (guess.layout == RaidLayout::Mirror) return LayoutName(guess.layout) + " of members " + MemberList(guess.memberOrder);
  std::string text = LayoutName(guess.layout) + ", stripe " + StripeText(guess.stripeSectors) + ", member order " +
                     MemberList(guess.memberOrder);
  if (guess.parityDelay > 1) text += ", parity delayed " + std::to_string(guess.parityDelay) + " rows";
  if (guess.startSector != 0) text += ", start sector " + std::to_string(guess.startSector);
  return text;
}

std::string Share(uint64_t part, uint64_t whole) {
  return std::to_string(whole == 0 ? 0 : part * 100 / whole) + "%";
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string GuessJson(const RaidGeometryGuess& guess) {
  std::string order;
  for (size_t member : guess.memberOrder) order += (order.empty() ? "" : ",") + std::to_string(member);
  return "{\"layout\":\"" + LayoutKey(guess.layout) + "\",\"stripeSectors\":" + std::to_string(guess.stripeSectors) +
         (guess.parityDelay > 1 ? ",\"parityDelay\":" + std::to_string(guess.parityDelay) : std::string()) +
         ",\"memberOrder\":[" + order + "],\"startSector\":" + std::to_string(guess.startSector) +
         ",\"recordZeroDataSector\":" + std::to_string(guess.recordZeroDataSector) +
         ",\"explained\":" + std::to_string(guess.explained) + "}";
}

}  // namespace

RaidStripeSlot PlaceOfStripe(RaidLayout layout, int64_t members, int64_t chunk, int64_t parityDelay) {
  const Slot slot = Place(layout, members, chunk, std::max<int64_t>(1, parityDelay));
  return {slot.position, slot.row};
}

int64_t DataStripesPerRow(RaidLayout layout, int64_t members) {
  switch (layout) {
    case RaidLayout::Raid0: return members;
    case RaidLayout::Mirror:
    case RaidLayout::Spanned: return 1;
    case RaidLayout::Raid10Near2: return members / 2;
    case RaidLayout::Raid6LeftSymmetric: return members - 2;
    default: return members - 1;
  }
}

std::optional<RaidLayout> LayoutOfKey(std::string_view key) {
  for (RaidLayout layout : {RaidLayout::Raid0, RaidLayout::Raid5LeftAsymmetric, RaidLayout::Raid5LeftSymmetric,
                            RaidLayout::Raid5RightAsymmetric, RaidLayout::Raid5RightSymmetric, RaidLayout::Mirror,
                            RaidLayout::Raid10Near2, RaidLayout::Spanned, RaidLayout::Raid6LeftSymmetric})
    if (LayoutKey(layout) == key) return layout;
  return std::nullopt;
}

std::u16string FormatGeometryText(const RaidGeometry& geometry) {
  const std::string records = std::to_string(geometry.records);
  std::string text;
  switch (geometry.verdict) {
    case RaidGeometry::Verdict::NothingToSay:
      return {};
    case RaidGeometry::Verdict::NotEnoughRecords:
      text = "Geometry: not enough records (" + records + " found)";
      break;
    case RaidGeometry::Verdict::Unexplained:
      if (!geometry.best) {
        text = "Geometry: no layout explains most of the " + records + " records";
      } else {
        text = "Geometry: uncertain; the best, " + GuessText(*geometry.best) + ", explains " +
               std::to_string(geometry.best->explained) + " of " + records + " records (" +
               Share(geometry.best->explained, geometry.records) + ")";
      }
      break;
    case RaidGeometry::Verdict::Decided:
      if (geometry.fromParityPlaces) {
        text = "Geometry: " + GuessText(*geometry.best) + "\nFrom the members' parity: " +
               std::to_string(geometry.best->explained) + " stripe rows keep their parity where it says";
        break;
      }
      text = "Geometry: " + GuessText(*geometry.best) + "\nExplains " + std::to_string(geometry.best->explained) +
             " of " + records + " records (" + Share(geometry.best->explained, geometry.records) + ")";
      break;
  }
  if (geometry.best && geometry.nextBest)
    text += "; next best: " + GuessText(*geometry.nextBest) + " (explains " + std::to_string(geometry.nextBest->explained) + ")";
  if (geometry.otherParityStart >= 0) {
    const std::string sector = std::to_string(geometry.otherParityStart);
    const std::string parity = geometry.otherParityStart % 2 != 0 ? "odd" : "even";
    text += geometry.fromOtherParity
                ? "\nThese records lie at " + parity + " sectors, between the positions logged; start at sector " + sector +
                      " to log them"
                : "\nMore records lie at " + parity + " sectors, between the positions logged; start at sector " + sector +
                      " to read them";
  }
  return Widen(text);
}

std::string FormatGeometryJson(const RaidGeometry& geometry) {
  const char* verdict = "nothingToSay";
  switch (geometry.verdict) {
    case RaidGeometry::Verdict::NothingToSay: break;
    case RaidGeometry::Verdict::NotEnoughRecords: verdict = "notEnoughRecords"; break;
    case RaidGeometry::Verdict::Unexplained: verdict = "unexplained"; break;
    case RaidGeometry::Verdict::Decided: verdict = "decided"; break;
  }
  return std::string("{\"verdict\":\"") + verdict + "\",\"records\":" + std::to_string(geometry.records) +
         ",\"best\":" + (geometry.best ? GuessJson(*geometry.best) : "null") +
         ",\"nextBest\":" + (geometry.nextBest ? GuessJson(*geometry.nextBest) : "null") +
         ",\"fromOtherParity\":" + (geometry.fromOtherParity ? "true" : "false") +
         ",\"otherParityStart\":" + std::to_string(geometry.otherParityStart) +
         (geometry.fromParityPlaces ? ",\"fromParityPlaces\":true" : "") +
         (geometry.places.agree + geometry.places.disagree == 0
              ? std::string()
              : ",\"parityPlaces\":{\"agree\":" + std::to_string(geometry.places.agree) +
                    ",\"disagree\":" + std::to_string(geometry.places.disagree) + "}") +
         (geometry.parity.checked == 0 ? std::string()
                                       : ",\"parity\":{\"checked\":" + std::to_string(geometry.parity.checked) +
                                             ",\"zero\":" + std::to_string(geometry.parity.zero) + "}") +
         "}";
}

}  // namespace brenvik
