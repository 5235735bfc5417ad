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

enum class ImagingEnd {
  Completed,   // "镜像完成": the target holds every sector of the run, and an image file its rescue map
  Stopped,     // "镜像完成" after Stop: the target holds what was copied so far
  Incomplete,  // "镜像完成", but sectors stayed unreadable or could not be written, or an image file's
               // rescue map could not be written (their rows say so)
  Refused,     // "镜像中断" before anything was opened: a sector size, start or count out of range, a
               // target that is the source, holds a mounted file system, is no file or disk or is
               // reached through a link, or a source that is neither a file nor a disk
  Failed,      // "镜像中断": the source or target could not be opened
};

struct ImagingOutcome {
  ImagingEnd end = ImagingEnd::Failed;
};

// What the copy reaches outside its parameters; tests replace the roots and the clock.
struct ImagingEnvironment {
  ScsiHostInterface* scsi = nullptr;                // the SCSI source's interface
  std::function<int64_t()> nowSeconds;              // empty: the steady clock
  std::filesystem::path sysfsRoot = "/sys";         // relates partitions to their disks
  std::filesystem::path mountInfo = "/proc/self/mountinfo";
  std::function<uint64_t(const std::filesystem::path&)> deviceNumber;  // empty: BlockDeviceNumber
};

// Why a target is refused before it is opened, or empty when it may be written. A target file is
// never written through a symbolic link (see ReachedThroughLink): a disk is chosen as a disk.
std::u16string TargetRefusal(const ImagingRequest& parameters, const ImagingEnvironment& environment);

// Runs one copy to its end, the source's end or Stop (polled before every block and every sector
// read on its own). Good data first: a failed read is skipped past and its area trimmed and read
// sector by sector only after every readable area is copied; each sector that stays unreadable
// gets `retryPasses` more tries after that. An image-file target keeps a rescue map beside it
// ("<target>.map"), and a run of the same source that matches that map goes on from it, in the
// phase it was in, instead of starting afresh. Never throws.
ImagingOutcome RunImaging(const ImagingRequest& request, const std::atomic<int>& stop, ImagingReporter& reporter,
                          const ImagingEnvironment& environment = {});

}  // namespace brenvik
