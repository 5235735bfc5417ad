#pragma once
// The copy strategy for a failing source, as rescue tools run it: good data first, then the failed
// areas trimmed from their edges, scraped sector by sector, and the retry passes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "disk/ImagingJob.h"
#include "disk/RescueMap.h"
#include "disk/RescueMapModel.h"
#include "disk/SectorSource.h"

namespace brenvik::imaging {

// What an unreadable sector is filled with in the target.
inline constexpr uint8_t kFill = 0xBB;

// How far the copy skips past a failed read: one request at first, twice as far with each
// failure that follows, up to `maxSkip`.
struct ReadSizes {
  int64_t block = 0;  // sectors of a block
  int64_t firstSkip = 0;
  int64_t maxSkip = 0;
};

// The phases, in the order a run goes through them, by the state of the sectors each one reads.
constexpr SectorState kPhases[] = {SectorState::NotTried, SectorState::NonTrimmed, SectorState::NonScraped,
                                   SectorState::Bad};

class SectorDomain;

// Copies sectors [request.sourceStart, end) of `source` to `targetFd` through the phases above,
// recording each sector's state in `sectors` (and so in the map beside an image target); with a
// domain, only the sectors inside it, each phase within it. Polls `stop` before every block and
// every sector read on its own. Returns the progress maximum, in blocks.
int64_t RunCopyStrategy(const ImagingRequest& request, ImagingReporter& reporter, const std::atomic<int>& stop,
                        std::function<int64_t()> now, ReadSizes sizes, int64_t end, RescueMapKeeper& sectors,
                        SectorSource& source, int targetFd, const SectorDomain* domain = nullptr);

}  // namespace brenvik::imaging
