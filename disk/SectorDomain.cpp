#include "disk/SectorDomain.h"

#include <algorithm>

namespace brenvik::imaging {

void SectorDomain::add(int64_t first, int64_t end) {
  if (first >= end) return;
  // Runs mostly come in order: then this only extends the last one or follows it.
  if (runs_.empty() || first > runs_.back().second) {
    runs_.push_back({first, end});
    return;
  }
  if (first >= runs_.back().first) {
    runs_.back().second = std::max(runs_.back().second, end);
    return;
  }
  auto at = std::lower_bound(runs_.begin(), runs_.end(), first,
                             [](const std::pair<int64_t, int64_t>& run, int64_t value) { return run.second < value; });
  auto last = at;
  int64_t newFirst = first, newEnd = end;
  while (last != runs_.end() && last->first <= end) {
    newFirst = std::min(newFirst, last->first);
    newEnd = std::max(newEnd, last->second);
    ++last;
  }
  at = runs_.erase(at, last);
  runs_.insert(at, {newFirst, newEnd});
}

std::optional<std::pair<int64_t, int64_t>> SectorDomain::next(int64_t from) const {
  auto at = std::upper_bound(runs_.begin(), runs_.end(), from,
                             [](int64_t value, const std::pair<int64_t, int64_t>& run) { return value < run.second; });
  if (at == runs_.end()) return std::nullopt;
  return std::pair{std::max(at->first, from), at->second};
}

SectorDomain SectorDomain::intersect(const SectorDomain& other) const {
  SectorDomain both;
  auto a = runs_.begin();
  auto b = other.runs_.begin();
  while (a != runs_.end() && b != other.runs_.end()) {
    const int64_t first = std::max(a->first, b->first), end = std::min(a->second, b->second);
    if (first < end) both.runs_.push_back({first, end});
    (a->second < b->second ? a : b)++;
  }
  return both;
}

int64_t SectorDomain::sectors() const {
  int64_t total = 0;
  for (const auto& [first, end] : runs_) total += end - first;
  return total;
}

SectorDomain DomainOfMap(const ParsedRescueMap& map, int32_t sectorSize) {
  SectorDomain domain;
  for (const RescueMapBlock& block : map.blocks)
    if (block.status == '+' && block.size > 0)
      domain.add(block.position / sectorSize, block.position / sectorSize + (block.position % sectorSize + block.size +
                                                                             sectorSize - 1) / sectorSize);
  return domain;
}

std::optional<SectorArea> NextIn(const RescueMapKeeper& sectors, const SectorDomain* domain, int64_t from,
                                 SectorState state) {
  if (domain == nullptr) return sectors.next(from, state);
  for (;;) {
    const auto area = sectors.next(from, state);
    if (!area) return std::nullopt;
    const auto run = domain->next(area->first);
    if (!run) return std::nullopt;
    if (run->first >= area->end) {
      from = run->first;
      continue;
    }
    return SectorArea{std::max(area->first, run->first), std::min(area->end, run->second), state};
  }
}

int64_t CountIn(const RescueMapKeeper& sectors, const SectorDomain& domain, SectorState state) {
  int64_t total = 0;
  for (auto area = NextIn(sectors, &domain, 0, state); area; area = NextIn(sectors, &domain, area->end, state))
    total += area->end - area->first;
  return total;
}

}  // namespace brenvik::imaging
