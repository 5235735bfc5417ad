// brenvik-cli image: the N.S Image page's Ok, from a disk or an image file to a disk or a new
// image file.
#include "core/TextHelpers.h"
#include "cli/Commands.h"
#include "cli/DiskSource.h"
#include "disk/ImagingForm.h"
#include "disk/ImagingJob.h"
#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik::cli {
namespace {

constexpr Flag kFlags[] = {
    {"source", "#n|FILE", "the source: disk n (see brenvik-cli disks) or an image file"},
    {"source-start", "SECTOR", "the source's first sector (default 0)"},
    {"source-size", "SECTORS", "how many sectors to copy (default: to the source's end)"},
    {"source-sector", "BYTES", "the source's sector size (default 512)"},
    {"target", "#n", "the target disk n"},
    {"target-file", "FILE", "the target image file, made new (an existing file is never one of the sources)"},
    {"target-start", "SECTOR", "the target's first sector (default 0)"},
    {"target-size", "SECTORS", "the target's size in sectors (default: the source size)"},
    {"target-sector", "BYTES", "the target's sector size (default 512)"},
    {"sysfs-root", "DIR", "where the disks are described (default /sys; for tests)"},
    {"dev-root", "DIR", "where the disks' device nodes are (default /dev; for tests)"},
};

// The Tips text the page shows for a device row, and its size in sectors.
struct DeviceChoice {
  std::u16string tips;
  std::u16string sectors;
};

std::optional<DeviceChoice> Choose(const std::string& name, const DiskInventory& inventory) {
  if (name.size() > 1 && name[0] == '#') {
    const int64_t number = ParseLeadingInteger(FromUtf8(name.substr(1)));
    for (const DiskDevice& disk : inventory.devices()) {
      if (disk.diskNumber != number) continue;
      const std::u16string sectors = Utf16(std::to_string(disk.sectorCount));
      return DeviceChoice{MakeTipsText({FromUtf8(name), AnsiToText(disk.model), AnsiToText(disk.serial), sectors}),
                          sectors};
    }
    return std::nullopt;
  }
  const std::filesystem::path path(name);
  const UniqueFd fd = OpenShared(path);
  if (!fd) return std::nullopt;
  const std::u16string sectors = Utf16(std::to_string(std::max<int64_t>(FileSize(fd.get()), 0) / 512));
  return DeviceChoice{MakeTipsText({u"", PathToText(path), PathToText(path.filename()), sectors}), sectors};
}

int Run(const Arguments& args, Console& console) {
  const DiskInventory inventory = ScanDevices(args);
  ImagingForm form;
  const auto source = Choose(args.Value("source").value_or(""), inventory);
  form.sourceListEmpty = false;
  if (source) form.sourceTips = source->tips;
  form.sourceStart = FromUtf8(args.Value("source-start").value_or("0"));
  form.sourceSize = args.Value("source-size") ? FromUtf8(*args.Value("source-size")) : source ? source->sectors : u"0";
  form.sourceSector = FromUtf8(args.Value("source-sector").value_or("512"));
  form.targetFileChecked = args.Has("target-file");
  form.targetFilePath = FromUtf8(args.Value("target-file").value_or(""));
  if (!form.targetFileChecked)
    if (const auto target = Choose(args.Value("target").value_or(""), inventory)) form.targetTips = target->tips;
  form.targetStart = FromUtf8(args.Value("target-start").value_or("0"));
  form.targetSize = args.Value("target-size") ? FromUtf8(*args.Value("target-size")) : form.sourceSize;
  form.targetSector = FromUtf8(args.Value("target-sector").value_or("512"));

  ConsoleReporter<NoRow, ImagingDisplays> reporter(console, {});
  reporter.neutralMessageTitle = u"镜像";
  const ValidatedImagingForm validated =
      ValidateImagingForm(form, {}, [&](int number) {
        for (const DiskDevice& disk : inventory.devices())
          if (disk.diskNumber == number) return disk.deviceNode;
        return std::filesystem::path();
      });
  if (!validated.error.empty()) {
    reporter.Message(u"错误", validated.error);
    return kExitFailed;
  }
  ImagingEnvironment environment;
  if (const auto root = args.Value("sysfs-root")) environment.sysfsRoot = *root;
  const ImagingOutcome outcome = RunJob(
      [&](const ImagingRequest& request, const std::atomic<int>& stop, ImagingReporter& r) {
        return RunImaging(request, stop, r, environment);
      },
      validated.parameters, reporter);
  return ExitStatusAfterJob(reporter.failed() || !outcome.completed);
}

}  // namespace

const Subcommand kImageCommand{
    "image", "Copies a run of sectors from a disk or an image file to a disk or a new image file.", "",
    "Prints the page's message rows (Title, Description). The target is never written when it is the\n"
    "source or holds a mounted file system. Disks with sectors that are not a multiple of 512 bytes,\n"
    "reached through SCSI pass-through on the page, are not offered here.",
    kFlags, Run};

}  // namespace brenvik::cli
