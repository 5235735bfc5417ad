// brenvik-cli image: the N.S Image page's Ok, from a disk or an image file to a disk or a new
// image file.
#include "cli/Commands.h"
#include "cli/DiskSource.h"
#include "core/TextHelpers.h"
#include "disk/ImagingDevices.h"
#include "disk/ImagingForm.h"
#include "disk/ImagingJob.h"
#include "disk/RescueMapModel.h"
#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik::cli {
namespace {

constexpr Flag kFlags[] = {
    {"source", "#n|H#T#L|FILE", "the source: disk n (see brenvik-cli disks), the SCSI disk at that address, or an image file"},
    {"source-start", "SECTOR", "the source's first sector (default 0)"},
    {"source-size", "SECTORS", "how many sectors to copy (default: to the source's end; for a file, its whole sectors)"},
    {"source-sector", "BYTES", "the source's sector size (default 512)"},
    {"target", "#n", "the target disk n"},
    {"target-file", "FILE", "the target image file, made new (an existing file is never one of the sources)"},
    {"target-start", "SECTOR", "the target's first sector (default 0)"},
    {"target-size", "SECTORS", "the target's size in sectors (default: the source size)"},
    {"target-sector", "BYTES", "the target's sector size (default 512)"},
    {"retries", "N", "further tries of each unreadable sector after the copy (default 1)"},
    {"domain", "FILE", "copy only the areas this map (ddrescue's format) marks finished; the rescue map stays the whole disk's"},
    {"used-first", "", "NTFS: copy the partition tables, boot sectors, MFT and $Bitmap first, then the used clusters, then the rest"},
    {"used-only", "", "as --used-first, but stop after the used space (free space stays untried in the map)"},
    {"sysfs-root", "DIR", "where the disks are described (default /sys; for tests)"},
    {"dev-root", "DIR", "where the disks' device nodes are (default /dev; for tests)"},
};

// The progress line shows the rescue map's totals (which say how far the copy is) instead of a bar.
class ImageConsoleReporter : public ConsoleReporter<NoRow, ImagingDisplays> {
 public:
  using ConsoleReporter::ConsoleReporter;
  void Progress(int64_t, int64_t) override {}
};

// The Tips text the page shows for a chosen device row, and its size in sectors.
struct DeviceChoice {
  std::u16string tips;
  std::u16string sectors;
};

// "#n" or a SCSI address ("h#t#l") names a row of the page's device lists; anything else is an
// image file, of as many sectors of `sectorSize` as it holds whole (the page lists 512-byte units,
// which for 520-byte sectors would run past the file's end).
std::optional<DeviceChoice> Choose(const std::string& name, const ImagingDeviceScan& scan, int64_t sectorSize) {
  const std::u16string label = FromUtf8(name);
  for (const auto* rows : {&scan.standard, &scan.nonStandard})
    for (const ImagingDeviceRow& row : *rows)
      if (row.label == label) return DeviceChoice{MakeTipsText({row.label, row.device, row.serial, row.size}), row.size};
  if (name.empty() || name[0] == '#') return std::nullopt;
  const std::filesystem::path path(name);
  const UniqueFd fd = OpenShared(path);
  if (!fd) return std::nullopt;
  const std::u16string sectors = Utf16(std::to_string(std::max<int64_t>(FileSize(fd.get()), 0) / sectorSize));
  return DeviceChoice{MakeTipsText({u"", PathToText(path), PathToText(path.filename()), sectors}), sectors};
}

int Run(const Arguments& args, Console& console) {
  ImagingDeviceSources sources;
  sources.system = SystemFor(args);
  const ImagingDeviceScan scan = ScanImagingDevices(sources);
  ImagingForm form;
  const std::string sourceSector = args.Value("source-sector").value_or("512");
  const int64_t sourceSectorBytes = std::max<int64_t>(1, ParseLeadingInteger(FromUtf8(sourceSector)));
  const auto source = Choose(args.Value("source").value_or(""), scan, sourceSectorBytes);
  form.sourceListEmpty = false;
  if (source) form.sourceTips = source->tips;
  form.sourceStart = FromUtf8(args.Value("source-start").value_or("0"));
  form.sourceSize = args.Value("source-size") ? FromUtf8(*args.Value("source-size")) : source ? source->sectors : u"0";
  form.sourceSector = FromUtf8(sourceSector);
  form.targetFileChecked = args.Has("target-file");
  form.targetFilePath = FromUtf8(args.Value("target-file").value_or(""));
  if (!form.targetFileChecked)
    if (const auto target = Choose(args.Value("target").value_or(""), scan, 512)) form.targetTips = target->tips;
  form.targetStart = FromUtf8(args.Value("target-start").value_or("0"));
  form.targetSize = args.Value("target-size") ? FromUtf8(*args.Value("target-size")) : form.sourceSize;
  form.targetSector = FromUtf8(args.Value("target-sector").value_or("512"));
  form.retries = FromUtf8(args.Value("retries").value_or("1"));
  form.domainMap = FromUtf8(args.Value("domain").value_or(""));
  form.usedFirst = args.Has("used-first");
  form.usedOnly = args.Has("used-only");

  ImageConsoleReporter reporter(console);
  std::u16string totals;  // of the latest map: the copy sends one a few times a second
  reporter.tallyText = [&totals](const ImagingDisplays& displays) {
    if (displays.map) totals = RescueTotalsText(*displays.map);
    return totals;
  };
  const ValidatedImagingForm validated = ValidateImagingForm(form, scan.manager->devices(), [&](int number) {
    const auto node = scan.diskNodes.find(number);
    return node == scan.diskNodes.end() ? std::filesystem::path() : node->second;
  });
  if (!validated.error.empty()) {
    // The page's refusal of what it was given, before the job starts.
    reporter.Message(u"错误", validated.error);
    return ExitStatusOf(ImagingEnd::Refused);
  }
  ImagingEnvironment environment;
  environment.scsi = &scan.manager->host();
  environment.system = sources.system;
  const ImagingOutcome outcome = RunJob(
      [&](const ImagingRequest& request, const std::atomic<int>& stop, ImagingReporter& r) {
        return RunImaging(request, stop, r, environment);
      },
      validated.parameters, reporter);
  // Where the run left the source, also when standard error is no terminal.
  if (!totals.empty()) console.Status(totals);
  return ExitStatusOf(outcome.end);
}

}  // namespace

const Subcommand kImageCommand{
    "image", "Copies a run of sectors from a disk or an image file to a disk or a new image file.", "",
    "Prints the page's message rows (Title, Description). The target is never written when it is the\n"
    "source or holds a mounted file system. A SCSI disk whose sectors are not a multiple of 512 bytes\n"
    "(520, say) is read through pass-through, as on the page, named by its address H#T#L.",
    kFlags, Run};

}  // namespace brenvik::cli
