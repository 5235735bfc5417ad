#pragma once
// The copy of the N.S Image tool: a run of sectors from a disk, a SCSI disk or an image file to
// a disk or a new image file, keeping the first Pt bytes of every source sector. Only the target
// is ever written, and never when it is the source or holds a mounted file system. Reports go to
// an ImagingReporter as message rows (title, description), progress in blocks (first 0 of all,
// last 0) and the displays as its tally. No Qt.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "core/JobReporter.h"
#include "disk/ImagingForm.h"
#include "disk/ScsiLayer.h"

namespace brenvik {

inline constexpr int64_t kHandleBlockSectors = 5120;
inline constexpr int64_t kScsiBlockSectors = 128;

using ImagingReporter = JobReporter<NoRow, ImagingDisplays>;

struct ImagingOutcome {
  bool completed = false;  // "镜像完成": the copy ran to its end or to Stop
};

// What the copy reaches outside its parameters; tests replace the roots and the clock.
struct ImagingEnvironment {
  ScsiHostInterface* scsi = nullptr;                // the SCSI source's interface
  std::function<int64_t()> nowSeconds;              // empty: the steady clock
  std::filesystem::path sysfsRoot = "/sys";         // relates partitions to their disks
  std::filesystem::path mountInfo = "/proc/self/mountinfo";
  std::function<uint64_t(const std::filesystem::path&)> deviceNumber;  // empty: BlockDeviceNumber
};

// Why a target is refused before it is opened, or empty when it may be written.
std::u16string TargetRefusal(const ImagingRequest& parameters, const ImagingEnvironment& environment);

// Runs one copy to its end or to Stop (polled before every block). Never throws.
ImagingOutcome RunImaging(const ImagingRequest& request, const std::atomic<int>& stop, ImagingReporter& reporter,
                          const ImagingEnvironment& environment = {});

}  // namespace brenvik
