// brenvik-cli raid: the Raid Analysis page's Ok over its member list.
#include "cli/Commands.h"
#include "cli/DiskSource.h"
#include "core/TextHelpers.h"
#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "raid/RaidAnalysis.h"

#if BRENVIK_CLI_PLOT
#include <QGuiApplication>

#include "raid/RaidPlotPainter.h"
#endif

namespace brenvik::cli {
namespace {

// Draws the run's records into its plot path (PNG or SVG by its extension); false when the file
// could not be written.
bool DrawPlot(const RaidRequest& request, const RaidResult& result) {
  const std::filesystem::path& path = request.plotPath;
#if BRENVIK_CLI_PLOT
  // Text is laid out through a GUI application; the offscreen platform needs no display, and
  // Qt's own notes (fonts, runtime folder) are no concern of the command line's reader.
  qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
  char name[] = "brenvik-cli", option[] = "-platform", platform[] = "offscreen";
  char* argv[] = {name, option, platform, nullptr};
  int argc = 3;
  const QGuiApplication application(argc, argv);
  const QByteArray bytes =
      RenderRaidPlot(result.plot, WholePlot(result.plot), PlotFormatOf(path).value_or(PlotFormat::Png));
  return WriteRaidPlot(path, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), request);
#else
  (void)path, (void)result;
  return false;
#endif
}

constexpr Flag kFlags[] = {
    {"log-file", "FILE", "Log File: the UTF-16 log of MFT record numbers"},
    {"start-sector", "N", "Start Sector: the first sector read"},
    {"end-sector", "N", "End Sector: the last sector read"},
    {"sysfs-root", "DIR", "where the disks are described (default /sys; for tests)"},
    {"dev-root", "DIR", "where the disks' device nodes are (default /dev; for tests)"},
    {"plot", "FILE", "draws the records found and the geometry into FILE.png or FILE.svg"},
};

constexpr std::string_view kColumns[] = {"Device", "Label", "Serial", "Size"};

int Run(const Arguments& args, Console& console) {
  std::optional<RaidRequest> request =
      MakeRaidRequest(FromUtf8(args.Value("log-file").value_or("")), FromUtf8(args.Value("start-sector").value_or("")),
                      FromUtf8(args.Value("end-sector").value_or("")));
  if (!request) return Refuse(console, u"Parameter setting error, please reset");
  const std::optional<std::string> plot = args.Value("plot");
  if (plot && !PlotFormatOf(*plot)) {
    PrintText(stderr, "brenvik-cli: --plot takes a file ending in .png or .svg\n");
    return kExitUsage;
  }
#if !BRENVIK_CLI_PLOT
  if (plot) return Fail(console, u"This build of brenvik-cli draws no plots (it was built without Qt)");
#endif
  if (plot) request->plotPath = *plot;

  // Members in analysis order: "#n" is disk n of the inventory, anything else an image file.
  const DiskInventory inventory = ScanIdentities(args);
  for (const std::string& member : args.positional()) {
    RaidMember raidMember;
    std::u16string cells[4];
    int64_t size = 0;
    if (member.size() > 1 && member[0] == '#') {
      const int32_t number = static_cast<int32_t>(ParseLeadingInteger(FromUtf8(member.substr(1))));
      raidMember.label = FromUtf8(member);
      raidMember.path = inventory.IdentityNode(number);
      if (raidMember.path.empty()) raidMember.path = member;
      for (const DiskIdentity& disk : inventory.identities())
        if (disk.diskNumber == number) {
          cells[0] = AnsiToText(disk.model), cells[2] = AnsiToText(disk.serial), cells[3] = FormatSizeText(disk.diskSize);
          size = disk.diskSize;
        }
      cells[1] = raidMember.label;
    } else {
      raidMember.path = member;
      const UniqueFd fd = OpenShared(raidMember.path);
      cells[0] = PathToText(raidMember.path);
      cells[2] = PathToText(raidMember.path.filename());
      size = fd ? FileSize(fd.get()) : 0;
      cells[3] = FormatSizeText(size);
    }
    const MachineValue values[] = {{"device", cells[0]}, {"label", cells[1]}, {"serial", cells[2]}, {"size", size}};
    console.Row(kColumns, cells, values);
    request->members.push_back(std::move(raidMember));
  }

  ConsoleReporter<NoRow, uint64_t> reporter(console);
  reporter.tallyText = FoundCountText;
  const RaidResult result = RunJob(RunRaidAnalysis, *request, reporter);
  console.Status(FoundCountText(result.found));
  // The set's geometry as the page shows it under the count: its lines on standard error, or
  // one JSON object on standard output with --json.
  if (console.json()) {
    console.EndProgress();
    std::printf("%s\n", FormatGeometryJson(result.geometry).c_str());
  } else if (const std::u16string geometry = FormatGeometryText(result.geometry); !geometry.empty()) {
    console.Status(geometry);
  }
  if (const std::u16string failure = RaidOutcomeText(result); !failure.empty()) {
    console.Status(failure);
    return ExitStatusOf(result.end);
  }
  // The plot is part of what was asked: a plot that cannot be written fails the command.
  if (plot && !DrawPlot(*request, result)) return Fail(console, u"Failed to create file");
  return ExitStatusOf(result.end);
}

}  // namespace

const Subcommand kRaidCommand{
    "raid", "Maps the MFT records found at the same positions of every member of a RAID set into a log.",
    "MEMBER...",
    "Each MEMBER is \"#n\" for disk n (see brenvik-cli disks) or an image file, in analysis order. Prints\n"
    "the member list (Device, Label, Serial, Size); the count of MFT records found and the set's geometry\n"
    "(member order, stripe size) go to standard error, or with --json the geometry as one JSON object\n"
    "after the member rows. --plot draws the records (x: sector on the members, y: MFT record number,\n"
    "one colour and marker per member) with the geometry's stripe rows and expected records over them.\n"
    "Members are only ever read.",
    kFlags, Run};

}  // namespace brenvik::cli
