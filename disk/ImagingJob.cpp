#include "disk/ImagingJob.h"

#include <sys/uio.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "core/TextHelpers.h"
#include "disk/CopyStrategy.h"
#include "disk/RescueMap.h"
#include "disk/ResumePlan.h"
#include "disk/SectorDomain.h"
#include "disk/UsedSpaceFirst.h"
#include "disk/SectorSource.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "platform/NoFollow.h"
#include "platform/UDisks.h"

namespace brenvik {

namespace fs = std::filesystem;
using namespace imaging;

namespace {

// A source whose reads the system's cache serves, and which may so be touched more than asked.
constexpr std::u16string_view kThroughCache = u"读取经过系统缓存，已关闭预读";

int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// True when every sector number and byte offset of the run fits in 64 bits, so that numbers
// typed into the page can never make the copy compute a wrapped offset.
bool OffsetsFit(const ImagingRequest& p) {
  const int64_t count = std::max<int64_t>(p.sourceCount, 0);
  int64_t end = 0, sourceBytes = 0, targetEnd = 0, targetBytes = 0;
  return !__builtin_add_overflow(p.sourceStart, count, &end) &&
         !__builtin_mul_overflow(end, int64_t{p.sourceSectorSize}, &sourceBytes) &&
         !__builtin_add_overflow(p.targetStart, count, &targetEnd) &&
         !__builtin_mul_overflow(targetEnd, int64_t{p.targetSectorSize}, &targetBytes) &&
         !__builtin_mul_overflow(p.sourceStart, int64_t{p.sourceSectorSize}, &sourceBytes) &&
         !__builtin_mul_overflow(p.targetStart, int64_t{p.targetSectorSize}, &targetBytes);
}

bool DeniedRights(int error) { return error == EACCES || error == EPERM; }

// The disk at `node` as udisks2 opens it; nothing when udisks2 is not there or refuses (a row
// says so), or hands back something that is neither a disk nor a file.
UniqueFd OpenThroughUDisks(const SystemEnv& system, const fs::path& node, DiskUse use, ImagingReporter& reporter) {
  UDisksOpen opened = OpenDiskThroughUDisks(system, node, use);
  if (!opened.fd) {
    if (!opened.unavailable) reporter.Message(u"权限", u"未获授权打开磁盘");
    return {};
  }
  const FileKind kind = KindOfOpenFile(opened.fd.get());
  if (kind != FileKind::Regular && kind != FileKind::BlockDevice) return {};
  return std::move(opened.fd);
}

void Interrupted(ImagingReporter& reporter, std::u16string_view error) {
  reporter.Message(u"错误", error);
  reporter.Message(u"镜像", u"镜像中断");
}

}  // namespace

ImagingOutcome RunImaging(const ImagingRequest& p, const std::atomic<int>& stop, ImagingReporter& reporter,
                          const ImagingEnvironment& env) {
  reporter.Message(u"镜像", u"正在镜像...");
  constexpr ImagingOutcome kRefused{ImagingEnd::Refused};
  // The page refuses these sizes already; the buffers and the boot-signature rule rely on it.
  for (int32_t size : {p.sourceSectorSize, p.targetSectorSize}) {
    if (size < 512 || size > kMaxSectorSize) {
      Interrupted(reporter, u"请正确填写扇区大小");
      return kRefused;
    }
  }
  if (!OffsetsFit(p)) {
    Interrupted(reporter, u"起始位置或大小超出范围");
    return kRefused;
  }
  // The domain is read before anything is opened: a map that cannot be read refuses the run.
  std::optional<SectorDomain> domain;
  if (!p.domainMap.empty()) {
    const RescueMapFile::Loaded loaded = RescueMapFile::at(p.domainMap).load();
    if (loaded.found != RescueMapFile::Found::Map) {
      Interrupted(reporter, u"域映射文件无法读取");
      return kRefused;
    }
    domain = DomainOfMap(loaded.parsed, p.sourceSectorSize);
  }
  const std::u16string refusal = TargetRefusal(p, env);
  if (!refusal.empty()) {
    reporter.Message(u"错误", u"打开目标设备错误");
    Interrupted(reporter, refusal);
    return kRefused;
  }

  // A source that is neither a file nor a disk (a FIFO, for one) could never be read; it is
  // refused before the target is created or emptied.
  const fs::path sourcePath = !p.sourceImage.empty() ? p.sourceImage : p.sourceDiskNode;
  if (!p.sourceScsi && !sourcePath.empty()) {
    const FileKind kind = KindOfPath(sourcePath);
    if (kind != FileKind::Missing && kind != FileKind::Regular && kind != FileKind::BlockDevice) {
      Interrupted(reporter, u"打开源设备错误");
      return kRefused;
    }
  }

  const auto now = env.nowSeconds ? env.nowSeconds : SteadySeconds;
  int64_t progressMaximum = 0;
  ImagingOutcome outcome;
  try {
    // The source opens first, so that a source that cannot be read leaves the target as it was.
    std::optional<ScsiDevice> scsiDevice = p.sourceScsi;  // the target binds to it for the whole copy
    std::optional<ScsiTarget> scsi;
    UniqueFd sourceFd;
    std::unique_ptr<SectorSource> source;
    ReadSizes sizes;
    if (scsiDevice && env.scsi != nullptr) {
      scsi.emplace(*env.scsi);
      scsi->bind(&*scsiDevice);
      source = std::make_unique<ScsiSource>(*scsi, p.sourceSectorSize, scsiDevice->blockCount);
      sizes.block = sizes.firstSkip = kScsiBlockSectors;
    } else {
      sourceFd = sourcePath.empty() ? UniqueFd() : OpenSharedInput(sourcePath, true);
      const int openError = errno;
      if (!sourceFd && p.sourceImage.empty() && DeniedRights(openError)) {
        // A disk the user may not open: udisks2 opens it, once polkit has asked.
        sourceFd = OpenThroughUDisks(env.system, p.sourceDiskNode, DiskUse::Backup, reporter);
      }
      if (!sourceFd) {
        Interrupted(reporter, u"打开源设备错误");
        return {};
      }
      source = std::make_unique<HandleSource>(sourceFd.get(), p.sourceSectorSize);
      if (source->throughCache()) reporter.Message(u"读取", kThroughCache);
      sizes.block = kHandleBlockSectors;
      sizes.firstSkip = std::max<int64_t>(1, kRequestBytes / p.sourceSectorSize);
    }
    const int64_t end = RunEnd(p, source->sectorCount());
    if (domain) {
      SectorDomain run;
      run.add(p.sourceStart, end);
      domain = domain->intersect(run);
    }
    // As rescue tools do: the skip grows to a hundredth of the run, at most 1 GiB.
    sizes.maxSkip = std::max(sizes.firstSkip, std::min((end - p.sourceStart) / 100, (int64_t{1} << 30) / p.sourceSectorSize));

    const bool imageTarget = !p.targetFile.empty() && env.system.DeviceNumberOf(p.targetFile) == 0;
    const RescueRun run{SourceIdentity(p, env.system), p.sourceSectorSize, p.targetSectorSize,
                        p.sourceStart, end - p.sourceStart, p.targetStart};
    MapPlan plan = PlanMap(p, run, imageTarget, env.system, reporter);
    UniqueFd target;
    int openError = 0;
    if (imageTarget) {
      const fs::path inputs[] = {p.sourceImage, p.sourceDiskNode};
      // Continuing from the map keeps what the target holds; otherwise the target starts empty.
      target = plan.resume ? OpenOutputKeeping(p.targetFile, inputs, env.system)
                           : CreateOutput(p.targetFile, inputs, env.system);
    } else if (!p.targetFile.empty() || !p.targetDiskNode.empty()) {
      const fs::path node = !p.targetFile.empty() ? p.targetFile : p.targetDiskNode;
      target = OpenDeviceExclusive(node, &openError);
      if (!target && DeniedRights(openError)) target = OpenThroughUDisks(env.system, node, DiskUse::Restore, reporter);
    }
    if (!target) {
      if (openError == EBUSY) {
        reporter.Message(u"错误", u"打开目标设备错误");
        Interrupted(reporter, u"目标设备正被系统使用（已挂载或被占用），写入会损坏它");
      } else {
        Interrupted(reporter, u"打开目标设备错误");
      }
      return {};
    }
    if (plan.resume) {
      if (FinishedSectorsMatch(*source, target.get(), plan.sectors, p)) {
        char text[96];
        std::snprintf(text, sizeof text, "按映射文件继续，从扇区%lld开始",
                      static_cast<long long>(ResumePoint(plan.sectors)));
        reporter.Message(u"映射", Utf8ToText(text));
      } else {
        reporter.Message(u"映射", u"源设备与映射文件记录的不是同一来源，重新开始");
        plan.sectors = SectorMap(run.start, end);
        if (!SetFileLength(target.get(), 0)) {
          Interrupted(reporter, u"打开目标设备错误");
          return {};
        }
      }
    }

    RescueMapKeeper sectors(std::move(plan.file), run, std::move(plan.sectors), target.get());
    sectors.saveNow();
    const bool cachedAtStart = source->throughCache();
    const SectorDomain* outer = domain ? &*domain : nullptr;
    // Where the run is judged complete: the domain, or with the used space alone, what it covers.
    std::optional<SectorDomain> asked = domain;
    if (p.usedFirst) {
      // The phases read what they copied back from the target; a target open for writing only is
      // opened again to read.
      const UniqueFd readBack = ReopenOpenFile(target.get());
      DomainCopy io{p, end, sectors, readBack ? readBack.get() : target.get(), outer, stop,
                    [&](const SectorDomain& part) {
                      progressMaximum = RunCopyStrategy(p, reporter, stop, now, sizes, end, sectors, *source,
                                                        target.get(), &part);
                    }};
      UsedSpaceOutcome used = CopyUsedSpaceFirst(io, reporter, p.usedOnly);
      if (p.usedOnly && used.known) asked = std::move(used.asked);
    } else {
      progressMaximum = RunCopyStrategy(p, reporter, stop, now, sizes, end, sectors, *source, target.get(), outer);
    }
    // Direct reads the system took at first but refused later (they never reach the medium).
    if (!cachedAtStart && source->throughCache()) reporter.Message(u"读取", kThroughCache);
    // A map that could not be kept leaves a copy that cannot be resumed or trusted as complete.
    bool mapLacking = plan.lacking;
    if (!sectors.finish()) {
      reporter.Message(u"映射", u"映射文件写入失败");
      mapLacking = true;
    }
    // Unreadable sectors stay bad; sectors whose write failed stay not tried.
    if (stop.load() != 0) outcome.end = ImagingEnd::Stopped;
    else if (mapLacking || (asked ? CountIn(sectors, *asked, SectorState::Finished) < asked->sectors()
                                  : sectors.count(SectorState::Finished) < end - p.sourceStart))
      outcome.end = ImagingEnd::Incomplete;
    else outcome.end = ImagingEnd::Completed;
  } catch (const std::bad_alloc&) {
    Interrupted(reporter, u"内存不足");
    return {};
  }
  reporter.Message(u"镜像", u"镜像完成");
  reporter.Progress(0, progressMaximum);
  return outcome;
}

}  // namespace brenvik
