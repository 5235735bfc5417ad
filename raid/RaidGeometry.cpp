#include "raid/RaidGeometry.h"

#include <algorithm>
#include <array>
#include <map>
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
// The layouts are fitted on at most this many stripe pieces (in kSampleBlocks runs of
// neighbours, so that every block spans whole stripe rows); the leaders are then counted on all.
constexpr size_t kSamplePieces = 8192;
constexpr size_t kSampleBlocks = 32;
constexpr size_t kLeadersCounted = 8;
// A mirror: each pair of members shares at least this share of its records.
constexpr double kMirrorShare = 0.9;
// A second answer this close to the best is shown beside it.
constexpr double kCloseShare = 0.9;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t Mod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

constexpr std::array<RaidLayout, 5> kStripedLayouts = {RaidLayout::Raid0, RaidLayout::Raid5LeftAsymmetric,
                                                       RaidLayout::Raid5LeftSymmetric, RaidLayout::Raid5RightAsymmetric,
                                                       RaidLayout::Raid5RightSymmetric};

// Where the volume's data stripe `chunk` lies: position in the member order and stripe row.
struct Slot {
  size_t position;
  int64_t row;
};

Slot Place(RaidLayout layout, int64_t members, int64_t chunk) {
  if (layout == RaidLayout::Raid0) return {static_cast<size_t>(chunk % members), chunk / members};
  const int64_t dataPerRow = members - 1;
  const int64_t row = chunk / dataPerRow;
  const int64_t index = chunk % dataPerRow;
  const int64_t turn = row % members;
  const bool left = layout == RaidLayout::Raid5LeftAsymmetric || layout == RaidLayout::Raid5LeftSymmetric;
  const bool symmetric = layout == RaidLayout::Raid5LeftSymmetric || layout == RaidLayout::Raid5RightSymmetric;
  const int64_t parity = left ? members - 1 - turn : turn;
  const int64_t position = symmetric ? (parity + 1 + index) % members : (index < parity ? index : index + 1);
  return {static_cast<size_t>(position), row};
}

// Data stripes after which the layout repeats, and the stripe rows they fill.
int64_t ChunkPeriod(RaidLayout layout, int64_t members) {
  return layout == RaidLayout::Raid0 ? members : members * (members - 1);
}
int64_t RowPeriod(RaidLayout layout, int64_t members) { return layout == RaidLayout::Raid0 ? 1 : members; }

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

// Record numbers where a stripe begins for certain: the record before it was found too, but
// elsewhere (on another member, or not just before it on the same member).
std::vector<const RaidRecordRun*> StripeStarts(const std::vector<RaidRecordRun>& runs) {
  std::vector<uint64_t> ends;
  ends.reserve(runs.size());
  for (const RaidRecordRun& run : runs) ends.push_back(uint64_t{run.record} + run.length);
  std::sort(ends.begin(), ends.end());
  std::vector<const RaidRecordRun*> starts;
  for (const RaidRecordRun& run : runs)
    if (std::binary_search(ends.begin(), ends.end(), uint64_t{run.record})) starts.push_back(&run);
  return starts;
}

// The grid the stripe starts agree on most, for one stripe size; nullopt without any start.
std::optional<Grid> GridFor(int64_t stripe, const std::vector<const RaidRecordRun*>& starts) {
  if (starts.empty()) return std::nullopt;
  std::vector<uint32_t> votes(static_cast<size_t>(stripe));
  for (const RaidRecordRun* run : starts) ++votes[static_cast<size_t>(Mod(run->sector, stripe))];
  Grid grid;
  grid.stripe = stripe;
  grid.start = std::max_element(votes.begin(), votes.end()) - votes.begin();
  std::fill(votes.begin(), votes.end(), 0);
  for (const RaidRecordRun* run : starts)
    if (Mod(run->sector, stripe) == grid.start) ++votes[static_cast<size_t>(Mod(-2 * int64_t{run->record}, stripe))];
  grid.phase = std::max_element(votes.begin(), votes.end()) - votes.begin();
  return grid;
}

// A run's records sit where the grid puts stripe contents when their sector and their number
// agree on the offset into the stripe.
bool OnGrid(const RaidRecordRun& run, const Grid& grid) {
  return Mod(run.sector - 2 * int64_t{run.record} - grid.start - grid.phase, grid.stripe) == 0;
}

uint64_t RecordsOnGrid(const std::vector<RaidRecordRun>& runs, const Grid& grid) {
  uint64_t records = 0;
  for (const RaidRecordRun& run : runs)
    if (OnGrid(run, grid)) records += run.length;
  return records;
}

std::vector<Piece> PiecesOnGrid(const std::vector<RaidRecordRun>& runs, const Grid& grid) {
  std::vector<Piece> pieces;
  for (const RaidRecordRun& run : runs) {
    if (!OnGrid(run, grid)) continue;
    int64_t record = run.record;
    int64_t sector = run.sector;
    int64_t left = run.length;
    while (left > 0) {
      const int64_t volumeSector = grid.phase + 2 * record;
      const int64_t chunk = volumeSector / grid.stripe;
      const int64_t take = std::min(left, ((chunk + 1) * grid.stripe - volumeSector + 1) / 2);
      pieces.push_back({chunk, FloorDiv(sector - grid.start, grid.stripe), run.member, static_cast<uint32_t>(take)});
      record += take;
      sector += 2 * take;
      left -= take;
    }
  }
  return pieces;
}

std::vector<Piece> Sample(std::vector<Piece> pieces) {
  if (pieces.size() <= kSamplePieces) return pieces;
  std::vector<Piece> sample;
  sample.reserve(kSamplePieces);
  const size_t blockSize = kSamplePieces / kSampleBlocks;
  const size_t step = (pieces.size() - blockSize) / (kSampleBlocks - 1);
  for (size_t block = 0; block < kSampleBlocks; ++block)
    sample.insert(sample.end(), pieces.begin() + static_cast<ptrdiff_t>(block * step),
                  pieces.begin() + static_cast<ptrdiff_t>(block * step + blockSize));
  return sample;
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

  auto key() const { return std::tie(layout, grid.stripe, order); }
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
  bool severalRows = false;  // the records it explains lie in more than one stripe row
};

Explained CountExplained(const Fit& fit, const std::vector<Piece>& pieces) {
  const auto members = static_cast<int64_t>(fit.order.size());
  Explained explained;
  int64_t firstRow = 0;
  for (const Piece& piece : pieces) {
    const Slot slot = Place(fit.layout, members, piece.chunk + fit.shift);
    if (fit.order[slot.position] != piece.member || piece.row - slot.row != fit.rowOffset) continue;
    if (explained.records == 0) firstRow = piece.row;
    explained.severalRows = explained.severalRows || piece.row != firstRow;
    explained.records += piece.weight;
  }
  return explained;
}

// The member order and row offset that explain most pieces for one layout and shift.
Fit FitLayout(RaidLayout layout, const Grid& grid, int64_t shift, size_t members, const std::vector<Piece>& pieces) {
  Fit fit;
  fit.layout = layout;
  fit.grid = grid;
  fit.shift = shift;
  const auto count = static_cast<int64_t>(members);
  std::vector<uint64_t> votes(members * members);
  for (const Piece& piece : pieces) votes[Place(layout, count, piece.chunk + shift).position * members + piece.member] += piece.weight;
  fit.order = AssignMembers(votes, members);
  // The row offset held by the most records: a weighted majority vote finds it whenever it
  // holds more than half of them, which any offset worth reporting does.
  int64_t candidate = 0;
  uint64_t lead = 0;
  for (const Piece& piece : pieces) {
    const Slot slot = Place(layout, count, piece.chunk + shift);
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
  fit.explained = CountExplained(fit, pieces).records;
  return fit;
}

struct MemberRuns {
  std::vector<const RaidRecordRun*> runs;  // in sector order
  uint64_t records = 0;
};

// Records that member a and member b both hold at the same sector with the same number.
uint64_t SharedRecords(const MemberRuns& a, const MemberRuns& b) {
  uint64_t shared = 0;
  size_t i = 0, j = 0;
  while (i < a.runs.size() && j < b.runs.size()) {
    const RaidRecordRun& x = *a.runs[i];
    const RaidRecordRun& y = *b.runs[j];
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
std::optional<RaidGeometryGuess> MirrorOf(const std::vector<MemberRuns>& members) {
  if (members[0].records < kMinRecords) return std::nullopt;
  uint64_t explained = 0;
  uint64_t fewest = UINT64_MAX;
  for (size_t m = 1; m < members.size(); ++m) {
    const uint64_t shared = SharedRecords(members[0], members[m]);
    if (shared < kMirrorShare * static_cast<double>(members[0].records) ||
        shared < kMirrorShare * static_cast<double>(members[m].records))
      return std::nullopt;
    explained += shared;
    fewest = std::min(fewest, shared);
  }
  RaidGeometryGuess guess;
  guess.layout = RaidLayout::Mirror;
  for (size_t m = 0; m < members.size(); ++m) guess.memberOrder.push_back(m);
  guess.explained = explained + fewest;
  return guess;
}

RaidGeometryGuess GuessOf(const Fit& fit) {
  RaidGeometryGuess guess;
  guess.layout = fit.layout;
  guess.stripeSectors = fit.grid.stripe;
  guess.memberOrder = fit.order;
  guess.startSector = fit.grid.start;
  guess.explained = fit.explained;
  return guess;
}

// Every striped layout, stripe size and order that the records could follow, best first, with
// each distinct answer once.
std::vector<Fit> StripedFits(const std::vector<RaidRecordRun>& runs, size_t members) {
  const std::vector<const RaidRecordRun*> starts = StripeStarts(runs);
  std::vector<Grid> grids;
  std::vector<uint64_t> onGrid;
  for (int64_t stripe = kMinStripe; stripe <= kMaxStripe; stripe *= 2) {
    const std::optional<Grid> grid = GridFor(stripe, starts);
    if (!grid) continue;
    grids.push_back(*grid);
    onGrid.push_back(RecordsOnGrid(runs, *grid));
  }
  const uint64_t mostOnGrid = onGrid.empty() ? 0 : *std::max_element(onGrid.begin(), onGrid.end());

  const auto count = static_cast<int64_t>(members);
  std::map<std::tuple<RaidLayout, int64_t, std::vector<size_t>>, Fit> best;
  bool sampled = false;
  for (size_t g = 0; g < grids.size(); ++g) {
    // A stripe size cannot explain more records than lie on its grid: sizes far behind the
    // best can be neither the answer nor a close second.
    if (onGrid[g] < kCloseShare * static_cast<double>(mostOnGrid)) continue;
    std::vector<Piece> pieces = PiecesOnGrid(runs, grids[g]);
    sampled = sampled || pieces.size() > kSamplePieces;
    const std::vector<Piece> sample = Sample(std::move(pieces));
    for (RaidLayout layout : kStripedLayouts) {
      if (layout != RaidLayout::Raid0 && members < 3) continue;
      for (int64_t shift = 0; shift < ChunkPeriod(layout, count); ++shift) {
        Fit fit = FitLayout(layout, grids[g], shift, members, sample);
        // The same array read with its first row one period later: counted once, in the form
        // whose rows begin at the grid's start.
        if (Mod(fit.rowOffset, RowPeriod(layout, count)) != 0) continue;
        auto [place, added] = best.try_emplace(std::tuple(layout, grids[g].stripe, fit.order), fit);
        if (!added && fit.explained > place->second.explained) place->second = std::move(fit);
      }
    }
  }
  std::vector<Fit> fits;
  for (auto& [key, fit] : best) fits.push_back(std::move(fit));
  const auto byExplained = [](const Fit& a, const Fit& b) { return a.explained > b.explained; };
  std::stable_sort(fits.begin(), fits.end(), byExplained);
  if (sampled) {
    // The leaders are counted again over every piece of their grid.
    if (fits.size() > kLeadersCounted) fits.resize(kLeadersCounted);
    for (const Grid& grid : grids) {
      if (std::none_of(fits.begin(), fits.end(), [&](const Fit& fit) { return fit.grid.stripe == grid.stripe; })) continue;
      const std::vector<Piece> pieces = PiecesOnGrid(runs, grid);
      for (Fit& fit : fits)
        if (fit.grid.stripe == grid.stripe) fit.explained = CountExplained(fit, pieces).records;
    }
    std::stable_sort(fits.begin(), fits.end(), byExplained);
  }
  return fits;
}

}  // namespace

RaidRecordCollector::RaidRecordCollector(size_t memberCount) : lastRun_(memberCount, kNone) {}

void RaidRecordCollector::startRun(size_t member, int64_t sector, uint32_t record) {
  if (runs_.size() >= kMaxRuns) {
    lastRun_[member] = kNone;
    return;
  }
  lastRun_[member] = runs_.size();
  runs_.push_back({sector, record, 1, static_cast<uint32_t>(member)});
}

RaidGeometry InferRaidGeometry(const RaidRecordCollector& records) {
  RaidGeometry geometry;
  geometry.records = records.records();
  const size_t members = records.memberCount();
  if (members < 2 || members > kMaxMembers) return geometry;
  geometry.verdict = RaidGeometry::Verdict::NotEnoughRecords;
  const std::vector<RaidRecordRun>& runs = records.runs();

  std::vector<MemberRuns> byMember(members);
  for (const RaidRecordRun& run : runs) {
    byMember[run.member].runs.push_back(&run);
    byMember[run.member].records += run.length;
  }
  uint64_t kept = 0;
  for (const MemberRuns& member : byMember) kept += member.records;
  if (kept < kMinRecords) return geometry;

  if (std::optional<RaidGeometryGuess> mirror = MirrorOf(byMember)) {
    geometry.verdict = RaidGeometry::Verdict::Decided;
    geometry.best = std::move(*mirror);
    return geometry;
  }

  const std::vector<Fit> fits = StripedFits(runs, members);
  if (fits.empty() || fits[0].explained < kMinRecords) return geometry;
  // Two different answers that explain about as many records: the range did not hold enough
  // stripes to tell them apart.
  if (fits.size() > 1 && fits[1].explained + fits[0].explained / 64 + 1 >= fits[0].explained) return geometry;
  // Within one stripe row the parity of a RAID 5 row can pass for the row's last stripe (the
  // XOR of records in the same place of consecutive stripes can be a record itself, numbered
  // like the next stripe's): only records from more than one row tell the layouts apart.
  if (!CountExplained(fits[0], PiecesOnGrid(runs, fits[0].grid)).severalRows) return geometry;
  geometry.best = GuessOf(fits[0]);
  if (fits.size() > 1 && fits[1].explained >= kCloseShare * static_cast<double>(fits[0].explained))
    geometry.nextBest = GuessOf(fits[1]);
  geometry.verdict = fits[0].explained * 2 >= geometry.records ? RaidGeometry::Verdict::Decided
                                                               : RaidGeometry::Verdict::Unexplained;
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
         ",\"memberOrder\":[" + order + "],\"startSector\":" + std::to_string(guess.startSector) +
         ",\"explained\":" + std::to_string(guess.explained) + "}";
}

}  // namespace

std::u16string FormatGeometryText(const RaidGeometry& geometry) {
  const std::string records = std::to_string(geometry.records);
  switch (geometry.verdict) {
    case RaidGeometry::Verdict::NothingToSay:
      return {};
    case RaidGeometry::Verdict::NotEnoughRecords:
      return Widen("Geometry: not enough records (" + records + " found)");
    case RaidGeometry::Verdict::Unexplained:
      return Widen("Geometry: no layout explains most of the " + records + " records; best guess: " +
                   GuessText(geometry.best) + " (explains " + std::to_string(geometry.best.explained) + ")");
    case RaidGeometry::Verdict::Decided:
      break;
  }
  std::string text = "Geometry: " + GuessText(geometry.best) + "\nExplains " + std::to_string(geometry.best.explained) +
                     " of " + records + " records (" + Share(geometry.best.explained, geometry.records) + ")";
  if (geometry.nextBest)
    text += "; next best: " + GuessText(*geometry.nextBest) + " (explains " + std::to_string(geometry.nextBest->explained) + ")";
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
  const bool guessed = geometry.verdict == RaidGeometry::Verdict::Decided || geometry.verdict == RaidGeometry::Verdict::Unexplained;
  return std::string("{\"verdict\":\"") + verdict + "\",\"records\":" + std::to_string(geometry.records) +
         ",\"best\":" + (guessed ? GuessJson(geometry.best) : "null") +
         ",\"nextBest\":" + (geometry.nextBest ? GuessJson(*geometry.nextBest) : "null") + "}";
}

}  // namespace brenvik
