#pragma once
// The part of the source a copy is limited to, as GNU ddrescue's domain: a set of sector runs. The
// rescue map stays the whole run's; the domain only says where this run reads. No Qt.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "disk/RescueMap.h"

namespace brenvik::imaging {

class SectorDomain {
 public:
  SectorDomain() = default;
  // Adds sectors [first, end); runs are joined where they touch or overlap.
  void add(int64_t first, int64_t end);
  // The first run of the domain that ends after `from`, starting no earlier than `from`.
  std::optional<std::pair<int64_t, int64_t>> next(int64_t from) const;
  // The sectors in both.
  SectorDomain intersect(const SectorDomain& other) const;
  bool empty() const { return runs_.empty(); }
  int64_t sectors() const;
  const std::vector<std::pair<int64_t, int64_t>>& runs() const { return runs_; }

 private:
  std::vector<std::pair<int64_t, int64_t>> runs_;  // sorted, apart from each other
};

// The sectors (of `sectorSize` bytes) that the finished ("+") blocks of a map touch: a domain
// made by a map of ddrescue's kind.
SectorDomain DomainOfMap(const ParsedRescueMap& map, int32_t sectorSize);

// The first area of `state` in `sectors` that ends after `from`, starting no earlier than `from`,
// cut to the domain (none: the whole map).
std::optional<SectorArea> NextIn(const RescueMapKeeper& sectors, const SectorDomain* domain, int64_t from,
                                 SectorState state);
// Sectors of `state` inside the domain.
int64_t CountIn(const RescueMapKeeper& sectors, const SectorDomain& domain, SectorState state);

}  // namespace brenvik::imaging
