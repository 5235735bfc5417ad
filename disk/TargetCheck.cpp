// The target refusal: what a target may never be, checked before it is opened.
#include <vector>

#include "disk/ImagingJob.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"
#include "platform/StorageIdentity.h"

namespace brenvik {

namespace fs = std::filesystem;

std::u16string TargetRefusal(const ImagingRequest& p, const ImagingEnvironment& env) {
  const fs::path target = !p.targetFile.empty() ? p.targetFile : p.targetDiskNode;
  if (target.empty()) return {};
  const std::u16string same = u"目标设备就是源设备，不能写入";
  if (p.targetFile.empty() && p.targetDisk >= 0 && p.targetDisk == p.sourceDisk) return same;

  if (!p.targetFile.empty() && ReachedThroughLink(p.targetFile)) return u"目标文件经由符号链接，不能写入";

  const StorageProbe& probe = env.system;
  const bool targetIsDevice = probe.DeviceNumberOf(target) != 0;
  const FileKind kind = KindOfPath(target);
  if (!targetIsDevice && kind != FileKind::Missing && kind != FileKind::Regular)
    return u"目标既不是普通文件也不是磁盘，不能写入";

  const StorageIdentity targetStorage = IdentifyStorage(target, probe);
  std::vector<StorageIdentity> sources;
  if (p.sourceScsi && p.sourceScsi->blockDevice != 0)
    sources.push_back(IdentifyBlockDevice(p.sourceScsi->blockDevice, probe));
  for (const fs::path& source : {p.sourceImage, p.sourceDiskNode})
    if (!source.empty()) sources.push_back(IdentifyStorage(source, probe));
  for (const StorageIdentity& source : sources) {
    switch (CompareStorage(targetStorage, source)) {
      case StorageClash::None: break;
      case StorageClash::OutputOnInputsDisk:
        return u"目标文件位于源磁盘的文件系统上，写入会覆盖源磁盘上待恢复的数据";
      case StorageClash::InputOnOutputsDisk: return u"源镜像文件位于目标设备上，写入会损坏它";
      case StorageClash::Same: return same;
    }
  }

  // A mounted file system on any device sharing the target's sectors (a partition, a holder, a
  // loop device over a target file) would be corrupted under the kernel's feet.
  for (const StorageIdentity& mounted : MountedFileSystems(probe))
    if (CompareStorage(targetStorage, mounted) == StorageClash::Same)
      return u"目标设备上有已挂载的文件系统，写入会损坏它";
  return {};
}

}  // namespace brenvik
