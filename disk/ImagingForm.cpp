#include "disk/ImagingForm.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "core/TextHelpers.h"
#include "platform/CodePage.h"
#include "platform/PathText.h"

namespace brenvik {

namespace {

constexpr int kMaxDevicesExamined = 255;

std::u16string Decimal(int64_t value) { return Utf16(std::to_string(value)); }


int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, value)));
}

}  // namespace

std::u16string MakeTipsText(const TipsFields& f) {
  return u"[" + f.address + u"] [" + f.device + u"] [" + f.serial + u"] [" + f.size + u"]";
}

std::optional<TipsFields> ParseTipsText(std::u16string_view text) {
  std::u16string* fields[4];
  TipsFields result;
  fields[0] = &result.address;
  fields[1] = &result.device;
  fields[2] = &result.serial;
  fields[3] = &result.size;
  size_t position = 0;  // where the field's opening bracket stands
  for (std::u16string* field : fields) {
    const size_t begin = position + 1;
    if (begin > text.size()) return std::nullopt;
    const size_t end = text.find(u']', begin);
    if (end == std::u16string_view::npos) return std::nullopt;
    *field = std::u16string(text.substr(begin, end - begin));
    position = end + 2;
  }
  return result;
}

std::u16string ScsiDeviceText(const ScsiDevice& device) { return AnsiToText(device.displayName); }

std::u16string ScsiAddressText(const ScsiAddress& a) {
  return Decimal(a.adapter) + u"#" + Decimal(a.target) + u"#" + Decimal(a.lun);
}

ValidatedImagingForm ValidateImagingForm(const ImagingForm& form, std::span<const std::unique_ptr<ScsiDevice>> scsiDevices,
                                   const std::function<std::filesystem::path(int)>& diskNode) {
  ValidatedImagingForm request;
  ImagingRequest& p = request.parameters;
  auto refuse = [&](std::u16string text) {
    request.error = std::move(text);
    return request;
  };
  if (form.sourceListEmpty) return refuse(u"请先刷新设备");
  const auto source = ParseTipsText(form.sourceTips);
  if (!source) return refuse(u"请选择源设备");

  if (source->address.size() >= 5) {
    int examined = 0;
    for (const auto& device : scsiDevices) {
      if (++examined > kMaxDevicesExamined) break;
      if (device->deviceType != 0) continue;
      if (ScsiDeviceText(*device) == source->device && ScsiAddressText(device->address) == source->address &&
          device->serial == source->serial && Decimal(device->blockCount) == source->size) {
        p.sourceScsi = *device;
        break;
      }
    }
  } else if (!source->address.empty()) {
    p.sourceDisk = ClampToInt32(ParseLeadingInteger(std::u16string_view(source->address).substr(1)));
    if (diskNode) p.sourceDiskNode = diskNode(p.sourceDisk);
  } else {
    p.sourceImage = TextToPath(source->device);
  }
  p.sourceStart = ParseLeadingInteger(form.sourceStart);
  p.sourceCount = ParseLeadingInteger(form.sourceSize);
  p.sourceSectorSize = ClampToInt32(ParseLeadingInteger(form.sourceSector));

  if (form.targetFileChecked) {
    if (form.targetFilePath.empty()) return refuse(u"请选择目标文件");
    p.targetFile = TextToPath(form.targetFilePath);
    request.copySourceSizeToTargetSize = true;
    p.targetStart = ParseLeadingInteger(form.targetStart);
    p.targetSize = ParseLeadingInteger(form.sourceSize);
    p.targetSectorSize = ClampToInt32(ParseLeadingInteger(form.targetSector));
  } else {
    const auto target = ParseTipsText(form.targetTips);
    if (!target) return refuse(u"请选择目标设备");
    if (target->address.empty()) return refuse(u"目标设备选择错误");
    p.targetDisk = ClampToInt32(ParseLeadingInteger(std::u16string_view(target->address).substr(1)));
    if (diskNode) p.targetDiskNode = diskNode(p.targetDisk);
    p.targetStart = ParseLeadingInteger(form.targetStart);
    p.targetSize = ParseLeadingInteger(form.targetSize);
    p.targetSectorSize = ClampToInt32(ParseLeadingInteger(form.targetSector));
  }
  if (p.sourceCount > p.targetSize) return refuse(u"源设备镜像的大小 大于 目标设备大小");
  if (p.sourceSectorSize < 512 || p.targetSectorSize < 512 || p.sourceSectorSize > kMaxSectorSize ||
      p.targetSectorSize > kMaxSectorSize)
    return refuse(u"请正确填写扇区大小");
  p.retryPasses = static_cast<int>(std::clamp<int64_t>(ParseLeadingInteger(form.retries), 0, kMaxRetryPasses));
  p.domainMap = TextToPath(form.domainMap);
  p.usedOnly = form.usedOnly;
  p.usedFirst = form.usedFirst || form.usedOnly;
  return request;
}

std::u16string RateSizeText(int64_t value) {
  static const char* const kUnits[] = {"Bytes", "KB", "MB", "GB", "TB", "PB", "EB"};
  if (value < 1) return {};
  long double scaled = static_cast<long double>(value);
  int unit = 0;
  while (scaled >= 1024 && unit < 6) {
    scaled /= 1024;
    ++unit;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.1Lf %s", scaled, kUnits[unit]);
  return Utf16(text);
}

std::u16string FormatRemainingTime(int64_t seconds) {
  const std::u16string d = Decimal(seconds / 86400), h = Decimal(seconds % 86400 / 3600);
  const std::u16string m = Decimal(seconds % 3600 / 60), s = Decimal(seconds % 60);
  if (seconds > 86400) return d + u"天" + h + u"时" + m + u"分" + s + u"秒";
  if (seconds > 3600) return Decimal(seconds / 3600) + u"时" + m + u"分" + s + u"秒";
  if (seconds > 60) return Decimal(seconds / 60) + u"分" + s + u"秒";
  return Decimal(seconds) + u"秒";
}

ImagingDisplays ComputeDisplays(int64_t current, int64_t start, int64_t count, int32_t sourceSectorSize,
                                int64_t elapsedSeconds) {
  ImagingDisplays displays;
  displays.lba = Decimal(current);
  const int64_t done = current - start;
  if (elapsedSeconds == 0 || done <= 0) return displays;
  const int64_t bytesPerSecond = done / elapsedSeconds * sourceSectorSize;
  displays.speed = RateSizeText(bytesPerSecond) + u" / s";
  if (bytesPerSecond > 0) displays.time = FormatRemainingTime((count - done) * sourceSectorSize / bytesPerSecond);
  return displays;
}

}  // namespace brenvik
