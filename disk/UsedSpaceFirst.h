#pragma once
// The copy of an NTFS disk in the order that saves the most of a disk that may die during it: the
// partition tables and boot sectors, then the MFT (so every file's record is safe), then the
// cluster bitmap, then the clusters it marks used, then the rest. Each step reads what the step
// before it copied, from the target, so the failing source is read once only. No Qt.
#include <atomic>
#include <cstdint>
#include <functional>

#include "disk/ImagingJob.h"
#include "disk/RescueMap.h"
#include "disk/SectorDomain.h"

namespace brenvik::imaging {

struct DomainCopy {
  const ImagingRequest& request;
  int64_t end;                // one past the run's last sector
  RescueMapKeeper& sectors;
  int readFd;                 // the target, open for reading
  const SectorDomain* outer;  // the domain the run is limited to, or none
  const std::atomic<int>& stop;
  std::function<void(const SectorDomain&)> copy;  // copies a domain with the failing-disk strategy
};

struct UsedSpaceOutcome {
  bool known = false;   // an NTFS volume was found; otherwise the whole run was copied in order
  SectorDomain asked;   // what the phases before "the rest" covered
};

// Copies the run phase by phase, naming each in a row; with `usedOnly`, the free space is left
// untried. A disk holding no NTFS volume it can read is copied whole, in order, and a row says so.
UsedSpaceOutcome CopyUsedSpaceFirst(DomainCopy& io, ImagingReporter& reporter, bool usedOnly);

}  // namespace brenvik::imaging
