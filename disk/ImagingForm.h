#pragma once
// The N.S Image tool's texts: the Tips key that names a chosen row ("[%s] [%s] [%s] [%s]"),
// the numbers typed into the page, the validation of a copy request, and the LBA, Speed and
// Time displays. No Qt.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <memory>
#include <vector>

#include "disk/ScsiLayer.h"

namespace brenvik {

// The four fields of a Tips text: address (Label column), device, serial and size.
struct TipsFields {
  std::u16string address, device, serial, size;
};
std::u16string MakeTipsText(const TipsFields& fields);
// Each field runs from the character after its opening bracket to the next "]"; the next field
// starts after that "]" and one blank. Nothing when a closing bracket is missing.
std::optional<TipsFields> ParseTipsText(std::u16string_view text);


// The list texts of a SCSI device: Device (vendor and product), Label ("%d#%d#%d"), Size.
std::u16string ScsiDeviceText(const ScsiDevice& device);
std::u16string ScsiAddressText(const ScsiAddress& address);

// What the page holds when Ok is pressed.
struct ImagingForm {
  bool sourceListEmpty = true;
  std::u16string sourceTips, sourceStart, sourceSize, sourceSector;
  bool targetFileChecked = false;
  std::u16string targetFilePath;
  std::u16string targetTips, targetStart, targetSize, targetSector;
  std::u16string retries = u"1";
  std::u16string domainMap;  // a map whose finished areas limit the copy; empty: none
  bool usedFirst = false;
  bool usedOnly = false;
};

// Retry passes accepted: each pass may take long on a failing disk, so more is never useful.
inline constexpr int kMaxRetryPasses = 99;

// What the copy needs.
struct ImagingRequest {
  int sourceDisk = -1;
  std::filesystem::path sourceDiskNode;  // the device node of the source disk
  std::optional<ScsiDevice> sourceScsi;  // a copy of the chosen device, so the job owns what it reads
  int64_t sourceStart = 0;
  int64_t sourceCount = 0;
  int32_t sourceSectorSize = 0;
  std::filesystem::path sourceImage;
  int targetDisk = -1;
  std::filesystem::path targetDiskNode;  // the device node of the target disk
  int64_t targetStart = 0;
  int64_t targetSize = 0;
  int32_t targetSectorSize = 0;
  std::filesystem::path targetFile;
  int retryPasses = 1;  // further single-sector tries of every unreadable sector after the copy
  // A map (ddrescue's format) whose finished areas are the only ones this run reads; the rescue
  // map stays the whole run's, so a later run without it goes on with the rest.
  std::filesystem::path domainMap;
  // An NTFS source is copied in the order that saves the most: its metadata, then its used
  // clusters, then (unless `usedOnly`) the rest.
  bool usedFirst = false;
  bool usedOnly = false;
};

struct ValidatedImagingForm {
  ImagingRequest parameters;
  std::u16string error;  // the description of the "错误" row; empty when the request is valid
  bool copySourceSizeToTargetSize = false;  // "Target File:" checked: the page shows the count as target size
};

// Largest sector size accepted: buffers are 5120 sectors, so larger sizes would ask for
// gigabytes of memory; real disks stay far below.
inline constexpr int32_t kMaxSectorSize = 65536;

// Validates the form in the page's order and fills the parameters. `scsiDevices` are the
// manager's devices; `diskNode` gives the device node of a disk number (empty when unknown).
ValidatedImagingForm ValidateImagingForm(const ImagingForm& form, std::span<const std::unique_ptr<ScsiDevice>> scsiDevices,
                                   const std::function<std::filesystem::path(int)>& diskNode);

struct RescueMapSnapshot;

// Displays after a block: LBA always; Speed and Time only when they can be computed. The rescue
// map comes along a few times a second, for the map view and the totals.
struct ImagingDisplays {
  std::u16string lba;
  std::optional<std::u16string> speed;
  std::optional<std::u16string> time;
  std::shared_ptr<const RescueMapSnapshot> map;
};
ImagingDisplays ComputeDisplays(int64_t current, int64_t start, int64_t count, int32_t sourceSectorSize,
                                int64_t elapsedSeconds);
// "%.1f Bytes" ... "%.1f EB"; empty below 1.
std::u16string RateSizeText(int64_t value);
// "%I64d天%I64d时%I64d分%I64d秒" above a day, down to "%I64d秒" up to a minute.
std::u16string FormatRemainingTime(int64_t seconds);

}  // namespace brenvik
