#pragma once
// Whether a run goes on from the rescue map beside an image-file target or starts afresh: the
// source's identity, the map's place and contents, and a sample of what the target holds.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "disk/ImagingJob.h"
#include "disk/RescueMap.h"
#include "disk/SectorSource.h"
#include "platform/StorageIdentity.h"

namespace brenvik::imaging {

// What the source is, in words that stay the same when the same source is chosen again and differ
// for another source at the same name.
std::string SourceIdentity(const ImagingRequest& p, const SystemEnv& system);

// One past the last sector of the run the source holds.
int64_t RunEnd(const ImagingRequest& p, int64_t sourceSectors);

// How the run starts with respect to the map beside an image-file target.
struct MapPlan {
  std::optional<RescueMapFile> file;  // none: no map is kept
  SectorMap sectors;
  bool resume = false;
  bool lacking = false;  // an image file that gets no map (its row says why): the run is not complete
};

// Decides how the run of `run` starts with respect to the map beside the target; rows say why a
// map is not kept or not followed.
MapPlan PlanMap(const ImagingRequest& p, const RescueRun& run, bool imageTarget, const StorageProbe& probe,
                ImagingReporter& reporter);

// Where a resumed run starts: the first sector of the earliest phase with work left.
int64_t ResumePoint(const SectorMap& sectors);

// True when a sample of the finished sectors, read again, matches what the target holds.
bool FinishedSectorsMatch(SectorSource& source, int targetFd, const SectorMap& sectors, const ImagingRequest& p);

}  // namespace brenvik::imaging
