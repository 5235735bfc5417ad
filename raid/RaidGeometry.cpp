#include "raid/RaidGeometry.h"

#include "raid/RaidMirroredLayouts.h"
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
// The layouts are fitted on the pieces of at most kSampleRuns runs, at most kSamplePieces of
// them, and stripe starts are looked for among at most kSampleStarts runs; each sample is taken
// in kSampleBlocks stretches of neighbours, so that every stretch spans whole stripe rows. The
// kLeadersCounted best fits are then counted again over all the records.
constexpr size_t kSamplePieces = 4096;
constexpr size_t kSampleRuns = 8192;
constexpr size_t kSampleStarts = 65536;
constexpr size_t kSampleBlocks = 32;
constexpr size_t kLeadersCounted = 8;
// An answer is decided when it explains at least this share of the records found, and the next
// best explains less than kCloseShare of what it explains. A next best explaining kShownShare of
// that is shown beside it.
constexpr double kNearlyAll = 0.9;
constexpr double kCloseShare = 0.9;
constexpr double kShownShare = 0.5;


constexpr std::array<RaidLayout, 6> kStripedLayouts = {RaidLayout::Raid0,
                                                       RaidLayout::Raid5LeftAsymmetric,
                                                       RaidLayout::Raid5LeftSymmetric,
                                                       RaidLayout::Raid5RightAsymmetric,
                                                       RaidLayout::Raid5RightSymmetric,
                                                       RaidLayout::Raid6LeftSymmetric};

// The fewest members a striped layout takes.
int64_t LeastMembers(RaidLayout layout) {
  return layout == RaidLayout::Raid0 ? 2 : layout == RaidLayout::Raid6LeftSymmetric ? 4 : 3;
}

// Layouts that read one row later are themselves with the member order rotated by one: RAID 0,
// the symmetric RAID 5 rotations and RAID 6 (whose data follows its P and Q round the members).
bool TurnIsOneRow(RaidLayout layout) {
  return layout == RaidLayout::Raid0 || IsSymmetric(layout) || layout == RaidLayout::Raid6LeftSymmetric;
}

// Where the volume's data stripe `chunk` lies: position in the member order and stripe row.
struct Slot {
  size_t position;
  int64_t row;
};

Slot Place(RaidLayout layout, int64_t members, int64_t chunk, int64_t parityDelay = 1) {
  if (layout == RaidLayout::Raid0) return {static_cast<size_t>(chunk % members), chunk / members};
  if (layout == RaidLayout::Raid6LeftSymmetric) {
    // P, Q after it, then the data.
    const int64_t row = chunk / (members - 2);
    const int64_t parity = RaidParityPosition(layout, members, row);
    return {static_cast<size_t>((parity + 2 + chunk % (members - 2)) % members), row};
  }
  const int64_t dataPerRow = members - 1;
  const int64_t row = chunk / dataPerRow;
  const int64_t index = chunk % dataPerRow;
  const int64_t parity = RaidParityPosition(layout, members, row / parityDelay);
  const int64_t position = IsSymmetric(layout) ? (parity + 1 + index) % members : (index < parity ? index : index + 1);
  return {static_cast<size_t>(position), row};
}

// One layout over a number of members, as a table over the data stripes after which it
// repeats (a turn), so that placing a stripe takes no division.
class LayoutTable {
 public:
  LayoutTable(RaidLayout layout, int64_t members)
      : layout_(layout), rowsPerTurn_(layout == RaidLayout::Raid0 ? 1 : members) {
    const int64_t period = rowsPerTurn_ * DataStripesPerRow(layout, members);
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
    if (static_cast<int64_t>(members) >= LeastMembers(layout)) tables.emplace_back(layout, static_cast<int64_t>(members));

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
        // A symmetric layout (or RAID 6) read one row later is the same layout with the member
        // order rotated, which another shift finds with its rows at the grid's start: counted
        // once, in that form. The asymmetric layouts have no such twin, so every row offset counts.
        if (TurnIsOneRow(fit.layout) && fit.rowOffset % table.rowsPerTurn() != 0) continue;
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

// The layouts whose records are placed here: RAID 0, RAID 5, RAID 6 and the mirror; the others
// are assembled, not drawn.
bool RecordsPlaced(RaidLayout layout) {
  return layout != RaidLayout::Raid10Near2 && layout != RaidLayout::Spanned;
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
  // RAID 6 is answered only where its Q shows, and then nothing else is.
  const bool keepsParity = parity.holds() || parity.memberRebuilt;
  const bool raid6 = parity.raid6Holds();
  std::erase_if(fits, [&](const Fit& fit) {
    if ((fit.layout == RaidLayout::Raid6LeftSymmetric) != raid6) return true;
    if (raid6) return false;
    return keepsParity ? fit.layout == RaidLayout::Raid0 : parity.absent() && fit.layout != RaidLayout::Raid0;
  });
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

}  // namespace brenvik
