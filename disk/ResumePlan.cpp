#include "disk/ResumePlan.h"

#include <algorithm>
#include <vector>

#include "disk/CopyStrategy.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "platform/NoFollow.h"
#include "platform/Sysfs.h"

namespace brenvik::imaging {

namespace fs = std::filesystem;

namespace {

// The target holds what the map says it holds only when it reaches at least as far as the last
// sector the map says was written (finished or filled as unreadable).
bool TargetReaches(const fs::path& target, const SectorMap& sectors, const ImagingRequest& p) {
  int64_t written = p.sourceStart;
  for (const SectorArea& area : sectors.areas())
    if (area.state == SectorState::Finished || area.state == SectorState::Bad) written = area.end;
  const std::optional<PathStatus> st = StatusOfPath(target, /*followLink=*/false);
  return st && st->kind == FileKind::Regular && st->size >= (p.targetStart + written - p.sourceStart) * p.targetSectorSize;
}

}  // namespace

// What the source is, in words that stay the same when the same source is chosen again and differ
// for another source at the same name: a disk by its identifier and size (a disk that dropped off
// the bus and came back under another node name keeps them), a file by its device, inode, size and
// modification time.
std::string SourceIdentity(const ImagingRequest& p, const SystemEnv& system) {
  if (p.sourceScsi) {
    const ScsiDevice& d = *p.sourceScsi;
    return "scsi " + d.displayName + " serial=" + TextToUtf8(d.serial) + " blocks=" + std::to_string(d.blockCount) +
           "x" + std::to_string(d.blockLength);
  }
  const auto fileIdentity = [](const PathStatus& file) {
    return " dev=" + DeviceNumberText(file.identity.device) + " ino=" + std::to_string(file.identity.inode) +
           " bytes=" + std::to_string(file.size) + " mtime=" + std::to_string(file.modifiedSeconds) + "." +
           std::to_string(file.modifiedNanoseconds);
  };
  const fs::path path = !p.sourceImage.empty() ? p.sourceImage : p.sourceDiskNode;
  const std::optional<PathStatus> st = StatusOfPath(path);
  if (!st) return "path " + path.string();
  if (st->kind == FileKind::BlockDevice) {
    const fs::path entry = system.BlockEntry(st->deviceNumber);
    const std::string size = " sectors=" + ReadSysfsLine(entry / "size");
    for (const char* name : {"device/wwid", "wwid", "device/serial", "serial"}) {
      const std::string id = ReadSysfsLine(entry / name);
      if (!id.empty()) return "disk " + ReadSysfsLine(entry / "device/model") + " id=" + id + size;
    }
    // A loop device is the file behind it.
    const std::string backing = LoopBackingFile(st->deviceNumber, system);
    if (const auto file = backing.empty() ? std::nullopt : StatusOfPath(backing))
      return "loop " + backing + fileIdentity(*file) + size;
    return "disk " + path.string() + size;
  }
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  return "image " + (error ? path : absolute).string() + fileIdentity(*st);
}

// One past the last sector of the run the source holds: the end of the source ends the copy,
// and what lies beyond it is neither read nor unreadable.
int64_t RunEnd(const ImagingRequest& p, int64_t sourceSectors) {
  const int64_t end = p.sourceStart + std::max<int64_t>(p.sourceCount, 0);
  return sourceSectors < 0 ? end : std::max(p.sourceStart, std::min(end, sourceSectors));
}

MapPlan PlanMap(const ImagingRequest& p, const RescueRun& run, bool imageTarget, const StorageProbe& probe,
                ImagingReporter& reporter) {
  MapPlan plan;
  plan.sectors = SectorMap(run.start, run.start + run.count);
  // Only an image file gets a map: a disk or a special file named as target has no "beside". A
  // run with negative sectors (which read nothing) has no place in a map either.
  const std::optional<PathStatus> existing = StatusOfPath(p.targetFile, /*followLink=*/false);
  if (!imageTarget || (existing && existing->kind != FileKind::Regular) || p.sourceStart < 0 ||
      p.targetStart < 0)
    return plan;
  RescueMapFile file(p.targetFile);
  std::vector<StorageIdentity> inputs;
  for (const fs::path& input : {p.sourceImage, p.sourceDiskNode})
    if (!input.empty()) inputs.push_back(IdentifyStorage(input, probe));
  RescueMapFile::Loaded loaded = file.load();
  // The map is an output too: it never replaces the source, whatever name leads to it. (Where it
  // would only lie on the source's disk, the target does too and is refused when it is opened.)
  const bool onInput = SharesStorageWithAny(IdentifyStorage(file.path(), probe), inputs);
  if (loaded.found == RescueMapFile::Found::Other || (onInput && loaded.found == RescueMapFile::Found::Map)) {
    reporter.Message(u"映射", u"已有同名文件不是映射文件，本次不写映射");
    plan.lacking = true;
    return plan;
  }
  if (onInput) {
    reporter.Message(u"映射", u"映射文件写入失败");
    plan.lacking = true;
    return plan;
  }
  plan.file = std::move(file);
  if (loaded.found == RescueMapFile::Found::None) return plan;
  if (loaded.parsed.run == run && loaded.parsed.map && TargetReaches(p.targetFile, *loaded.parsed.map, p)) {
    plan.sectors = std::move(*loaded.parsed.map);
    plan.resume = true;
  } else {
    reporter.Message(u"映射", u"映射文件与本次镜像不符，重新开始");
  }
  return plan;
}

// Where a resumed run starts: the first sector of the earliest phase with work left.
int64_t ResumePoint(const SectorMap& sectors) {
  for (SectorState phase : kPhases)
    if (const auto area = sectors.next(sectors.first(), phase)) return area->first;
  return sectors.end();
}

// Another source of the same name, size and identifiers (a disk of the same model in the same
// bay) would pass the map's identity: a sample of the finished sectors, spread over them, is read
// again and compared with what the target holds. Sectors that do not read now prove nothing.
bool FinishedSectorsMatch(SectorSource& source, int targetFd, const SectorMap& sectors, const ImagingRequest& p) {
  constexpr int64_t kSamples = 16;
  const int64_t finished = sectors.count(SectorState::Finished);
  const int64_t Ps = p.sourceSectorSize, Pt = p.targetSectorSize, compared = std::min(Ps, Pt);
  std::vector<uint8_t> read(static_cast<size_t>(Ps)), kept(static_cast<size_t>(compared));
  // The target was opened for writing only: the same file is opened again to read.
  const UniqueFd held = ReopenOpenFile(targetFd);
  if (!held) return false;
  const std::vector<SectorArea> areas = sectors.areas();
  auto area = areas.begin();
  int64_t before = 0;  // finished sectors in the areas before `area`
  for (int64_t i = 0; i < std::min(kSamples, finished); ++i) {
    const int64_t index = (2 * i + 1) * finished / (2 * std::min(kSamples, finished));
    for (; area->state != SectorState::Finished || index >= before + area->end - area->first; ++area)
      if (area->state == SectorState::Finished) before += area->end - area->first;
    const int64_t sector = area->first + (index - before);
    std::fill(read.begin(), read.end(), kFill);
    if (!source.readOne(sector, read.data()).complete) continue;
    const int64_t at = (p.targetStart + sector - p.sourceStart) * Pt;
    if (at == 0 && compared > 511 && read[511] == 0xAA) read[511] = kFill;
    if (ReadAt(held.get(), kept.data(), kept.size(), at) != compared || !std::equal(kept.begin(), kept.end(), read.begin()))
      return false;
  }
  return true;
}

}  // namespace brenvik::imaging
