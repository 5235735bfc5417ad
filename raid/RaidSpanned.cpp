#include "raid/RaidSpanned.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "raid/RaidMirroredLayouts.h"

namespace brenvik {
namespace {

// An MFT far beyond any disk made is no MFT.
constexpr uint64_t kMaxClusterNumber = uint64_t{1} << 40;
// Places where a volume may begin, and blocks that name their place, beyond which nothing is said.
constexpr size_t kMaxFirsts = 16;
constexpr size_t kMaxAnchors = 1024;
// The stripe sizes a striped set is tried with, in sectors: 4 KiB to 2 MiB.
constexpr int64_t kMinStripeSectors = 8;
constexpr int64_t kMaxStripeSectors = 4096;

uint64_t ReadLittle(std::span<const uint8_t> block, size_t at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = bytes; i-- > 0;) value = value << 8 | block[at + i];
  return value;
}

// A block found on a member and the volume sectors it may hold (-1: none).
struct Anchor {
  size_t member;
  int64_t sector;
  int64_t options[2];
};

// The volume sector a spanned set puts at `sector` of a member that begins `before` sectors into
// the volume and holds `span` sectors from `start` on; -1 outside the member's share.
int64_t VolumeSector(int64_t sector, int64_t before, int64_t start, int64_t span) {
  const int64_t into = sector - start;
  return into < 0 || into >= span ? -1 : before + into;
}

// Whether a striped layout (RAID 0, 5 or 6, any stripe size and member order, rows from `start`)
// puts every block where it is too: a block in the middle of a volume over three members lies
// where RAID 0 puts it as well as where a spanned set does, and then neither is told.
bool StripedFitsToo(const std::vector<Anchor>& anchors, int64_t start, size_t n) {
  std::vector<RaidLayout> layouts = {RaidLayout::Raid0};
  if (n >= 3)
    layouts.insert(layouts.end(), {RaidLayout::Raid5LeftAsymmetric, RaidLayout::Raid5LeftSymmetric,
                                   RaidLayout::Raid5RightAsymmetric, RaidLayout::Raid5RightSymmetric});
  if (n >= 4) layouts.push_back(RaidLayout::Raid6LeftSymmetric);
  const auto members = static_cast<int64_t>(n);
  for (const RaidLayout layout : layouts) {
    for (int64_t stripe = kMinStripeSectors; stripe <= kMaxStripeSectors; stripe *= 2) {
      // Where the layout puts an anchor's volume sector: its position in the order and its sector.
      const auto place = [&](int64_t volume) {
        const RaidStripeSlot slot = PlaceOfStripe(layout, members, volume / stripe);
        return std::pair(slot.position, start + slot.row * stripe + volume % stripe);
      };
      std::vector<size_t> order(n);
      for (size_t i = 0; i < n; ++i) order[i] = i;
      do {
        const bool all = std::all_of(anchors.begin(), anchors.end(), [&](const Anchor& anchor) {
          for (const int64_t volume : anchor.options) {
            if (volume < 0) continue;
            const auto [position, sector] = place(volume);
            if (order[position] == anchor.member && sector == anchor.sector) return true;
          }
          return false;
        });
        if (all) return true;
      } while (std::next_permutation(order.begin(), order.end()));
    }
  }
  return false;
}

}  // namespace

std::optional<RaidNtfsPlaces> NtfsPlacesOf(std::span<const uint8_t> block) {
  if (block.size() < 512 || block[510] != 0x55 || block[511] != 0xAA || std::memcmp(block.data() + 3, "NTFS    ", 8) != 0)
    return std::nullopt;
  const auto bytesPerSector = static_cast<int64_t>(ReadLittle(block, 11, 2));
  if (bytesPerSector < 512 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1)) != 0) return std::nullopt;
  // Clusters of 64 KiB and more are written as a negative power of two.
  const uint8_t raw = block[13];
  const int64_t perCluster = raw <= 0x80 ? raw : raw >= 0xF4 ? int64_t{1} << (256 - raw) : 0;
  if (perCluster == 0 || (perCluster & (perCluster - 1)) != 0) return std::nullopt;
  const uint64_t mft = ReadLittle(block, 0x30, 8), mirror = ReadLittle(block, 0x38, 8);
  if (mft >= kMaxClusterNumber || mirror >= kMaxClusterNumber) return std::nullopt;
  const int64_t clusterSectors = perCluster * bytesPerSector / 512;
  return RaidNtfsPlaces{static_cast<int64_t>(mft) * clusterSectors, static_cast<int64_t>(mirror) * clusterSectors};
}

std::optional<RaidGeometryGuess> SpannedFromPlaces(const std::vector<RaidRecordRun>& runs, const RaidBlockMap& map,
                                                   std::span<const int64_t> memberSectors,
                                                   const std::optional<RaidNtfsPlaces>& ntfs) {
  const size_t n = memberSectors.size();
  if (n < 2 || n > kMaxSpannedMembers || map.members() != n) return std::nullopt;
  if (std::any_of(memberSectors.begin(), memberSectors.end(), [](int64_t sectors) { return sectors <= 0; })) return std::nullopt;

  std::vector<Anchor> anchors;
  for (const RaidLocatedBlock& block : map.located()) anchors.push_back({block.member, block.sector, {block.volumeSector, block.copySector}});
  // NTFS's first four records lie in the MFT and again in its mirror.
  if (ntfs) {
    for (const RaidRecordRun& run : runs) {
      if (run.member >= n) continue;
      for (uint32_t record = run.record; record < 4 && record - run.record < run.length; ++record)
        anchors.push_back({run.member, run.sector + 2 * int64_t{record - run.record},
                           {ntfs->mft + 2 * int64_t{record}, ntfs->mirror + 2 * int64_t{record}}});
    }
  }
  // Where the volume may begin: at a block that names the volume's first sectors (or, for a copy,
  // the sectors before it).
  std::vector<std::pair<size_t, int64_t>> firsts;
  for (const RaidLocatedBlock& block : map.located()) {
    if (block.volumeSector < 0 || block.volumeSector > 2) continue;
    firsts.emplace_back(block.member, block.sector - block.volumeSector);
    if (block.copySector >= 0) firsts.emplace_back(block.member, block.sector - block.copySector);
  }
  std::sort(firsts.begin(), firsts.end());
  firsts.erase(std::unique(firsts.begin(), firsts.end()), firsts.end());
  // Members full of volumes, or of old copies of one, say nothing about the set (and would cost
  // every order once for each).
  if (firsts.size() > kMaxFirsts || anchors.size() > kMaxAnchors) return std::nullopt;

  std::optional<RaidGeometryGuess> found;
  std::vector<int64_t> before(n);
  for (const auto& candidate : firsts) {
    const size_t first = candidate.first;
    const int64_t start = candidate.second;
    if (start < 0 || std::any_of(memberSectors.begin(), memberSectors.end(), [start](int64_t sectors) { return sectors <= start; }))
      continue;
    std::vector<size_t> order = {first};
    for (size_t member = 0; member < n; ++member)
      if (member != first) order.push_back(member);
    do {
      int64_t at = 0;
      for (size_t member : order) {
        before[member] = at;
        at += memberSectors[member] - start;
      }
      // Every block where the order puts what it names, and one beyond the first member at least:
      // without that, nothing tells a spanned set from any other.
      bool all = true;
      bool beyond = false;
      for (const Anchor& anchor : anchors) {
        const int64_t volume = VolumeSector(anchor.sector, before[anchor.member], start, memberSectors[anchor.member] - start);
        if (volume < 0 || (volume != anchor.options[0] && volume != anchor.options[1])) {
          all = false;
          break;
        }
        beyond = beyond || anchor.member != first;
      }
      if (!all || !beyond) continue;
      // Two orders fit, or a striped layout as well as this one.
      if (found || StripedFitsToo(anchors, start, n)) return std::nullopt;
      RaidGeometryGuess guess;
      guess.layout = RaidLayout::Spanned;
      guess.memberOrder = order;
      guess.startSector = start;
      found = guess;
    } while (std::next_permutation(order.begin() + 1, order.end()));
  }
  if (!found) return std::nullopt;

  // The records lie on the MFT's line through the volume (its first records also on the
  // mirror's): counted, and nearly all of them, where there are enough to say.
  int64_t at = 0;
  for (size_t member : found->memberOrder) {
    before[member] = at;
    at += memberSectors[member] - found->startSector;
  }
  std::map<int64_t, uint64_t> lines;
  uint64_t records = 0;
  for (const RaidRecordRun& run : runs) {
    if (run.member >= n) continue;
    records += run.length;
    const int64_t volume =
        VolumeSector(run.sector, before[run.member], found->startSector, memberSectors[run.member] - found->startSector);
    if (volume >= 0) lines[volume - 2 * int64_t{run.record}] += run.length;
  }
  int64_t line = ntfs ? ntfs->mft : 0;
  if (!ntfs && !lines.empty())
    line = std::max_element(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.second < b.second; })->first;
  uint64_t explained = lines.count(line) != 0 ? lines[line] : 0;
  if (ntfs && ntfs->mirror != line && lines.count(ntfs->mirror) != 0) explained += std::min<uint64_t>(4, lines[ntfs->mirror]);
  if (records >= kMinRecords && explained * 10 < records * 9) return std::nullopt;
  found->recordZeroDataSector = line;
  found->explained = explained;
  return found;
}

void ApplySpanned(RaidGeometry& geometry, const std::optional<RaidGeometryGuess>& spanned) {
  if (!spanned) return;
  if (geometry.verdict == RaidGeometry::Verdict::Decided) {
    geometry.verdict = RaidGeometry::Verdict::Unexplained;
    return;
  }
  geometry.decideOn(*spanned, false);
}

}  // namespace brenvik
