// brenvik-cli raid: the Raid Analysis page's Ok over its member list.
#include "cli/Commands.h"
#include "cli/DiskSource.h"
#include "core/RefusalTexts.h"
#include "core/TextHelpers.h"
#include "platform/CodePage.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "platform/ReadOnlyFileMount.h"
#include "raid/RaidAnalysis.h"
#include "raid/RaidVolume.h"

#include <algorithm>
#include <chrono>
#include <thread>

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
    {"assemble", "FILE", "writes the volume the geometry describes into FILE, a sparse image"},
    {"mount", "DIR", "serves the volume read-only as DIR/volume.img (FUSE) until Ctrl+C"},
    {"layout", "NAME", "the geometry by hand: raid0, raid5-left-asymmetric, raid5-left-symmetric,\n"
                       "raid5-right-asymmetric, raid5-right-symmetric, raid6 (md's left-symmetric), raid1, raid10\n"
                       "or jbod"},
    {"stripe", "SIZE", "the stripe size by hand: KiB, or with a unit: 64K, 1M, 128s (sectors)"},
    {"order", "LIST", "the member order by hand, members numbered from 1 as given: 3,1,2"},
    {"start", "N", "the sector where the first stripe row begins on every member (default 0)"},
    {"parity-delay", "N", "RAID 5 by hand: the stripe rows in turn whose parity stays on one member\n"
                          "(delayed parity, as some hardware controllers write it; default 1)"},
};

constexpr std::string_view kColumns[] = {"Device", "Label", "Serial", "Size"};

// The geometry given by --layout, --stripe, --order, --start and --parity-delay over `members`
// members; nullopt with `error` set when a value does not parse. Whether it fits the members is
// the job's to say.
std::optional<RaidGeometryGuess> HandGeometry(const Arguments& args, size_t members, std::string& error) {
  RaidGeometryTexts texts;
  texts.layout = args.Value("layout").value_or("");
  texts.stripe = args.Value("stripe").value_or("");
  texts.order = args.Value("order").value_or("");
  texts.start = args.Value("start").value_or("");
  texts.parityDelay = args.Value("parity-delay").value_or("");
  RaidGeometryField bad = RaidGeometryField::None;
  std::optional<RaidGeometryGuess> geometry = ParseRaidGeometry(texts, members, bad);
  switch (bad) {
    case RaidGeometryField::None: break;
    case RaidGeometryField::Layout:
      error = "--layout takes raid0, raid5-left-asymmetric, raid5-left-symmetric, raid5-right-asymmetric, "
              "raid5-right-symmetric, raid6 (md's left-symmetric), raid1, raid10 (md's near layout, two copies) or jbod";
      break;
    case RaidGeometryField::Stripe:
      error = texts.stripe.empty() ? "--layout " + texts.layout + " needs --stripe"
                                   : "--stripe takes a size in KiB, or with a unit: 64K, 1M, 128s";
      break;
    case RaidGeometryField::Order:
      error = "--order takes the member numbers from 1 to " + std::to_string(members) + ", separated by commas";
      break;
    case RaidGeometryField::Start: error = "--start takes a sector number"; break;
    case RaidGeometryField::ParityDelay: error = "--parity-delay takes a number of stripe rows from 1"; break;
  }
  return geometry;
}

// Serves the volume as DIR/volume.img until Ctrl+C or an unmount from outside.
int MountVolume(const RaidVolumeRequest& request, const std::filesystem::path& folder, Console& console) {
  RaidVolumeResult result;
  const std::unique_ptr<RaidVolumeReader> reader = RaidVolumeReader::Open(request, result);
  if (!reader) {
    console.Status(RaidVolumeOutcomeText(result));
    return ExitStatusOf(result.end);
  }
  if (KindOfPath(folder) != FileKind::Folder) return Refuse(console, u"Access:" + PathToText(folder));
  const ReadOnlyFileMount mount(
      folder, "volume.img", reader->size(),
      [&reader](char* buffer, size_t length, int64_t offset) { return reader->read(buffer, length, offset); },
      [&reader](int64_t offset, size_t length, std::vector<ReadOnlyFileMount::FilePiece>& pieces) {
        thread_local std::vector<RaidVolumeReader::MemberPiece> onMembers;
        onMembers.clear();
        if (!reader->locate(offset, length, onMembers)) return false;
        for (const auto& piece : onMembers) pieces.push_back({piece.fd, piece.position, piece.size});
        return true;
      });
  if (!mount.failure().empty()) return Fail(console, FromUtf8("Not mounted: " + mount.failure()));
  console.Status(u"Mounted read-only: " + PathToText(mount.file()) + u" (Ctrl+C or fusermount3 -u to end)");
  while (StopFlag().load() == 0 && !mount.ended()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return kExitDone;
}

// Assembles the volume into request.target, or mounts it on `mount`.
int UseVolume(const RaidVolumeRequest& request, const std::optional<std::string>& mount, Console& console) {
  if (mount) return MountVolume(request, *mount, console);
  ConsoleReporter<NoRow, NoTally> reporter(console);
  const RaidVolumeResult result = RunJob(RunRaidAssembly, request, reporter);
  console.EndProgress();
  if (const std::u16string failure = RaidVolumeOutcomeText(result); !failure.empty()) console.Status(failure);
  else console.Status(FromUtf8("Volume: " + std::to_string(result.written) + " of " + std::to_string(result.volumeSize) + " bytes written"));
  return ExitStatusOf(result.end);
}

int Run(const Arguments& args, Console& console) {
  const std::vector<std::string>& given = args.positional();
  if (!args.Has("layout") && std::count(given.begin(), given.end(), "missing") > 1)
    return UsageError("the analysis rebuilds one missing member at most");
  // With the geometry given by hand nothing is analysed, and no log is written.
  std::optional<RaidRequest> request = args.Has("layout") ? std::optional<RaidRequest>(RaidRequest{}) :
      MakeRaidRequest(FromUtf8(args.Value("log-file").value_or("")), FromUtf8(args.Value("start-sector").value_or("")),
                      FromUtf8(args.Value("end-sector").value_or("")));
  if (!request) return Refuse(console, kParameterErrorText);
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
    if (member == "missing") {
      // A member that is gone: rebuilt from the others where the layout allows.
      raidMember.label = u"missing";
      cells[0] = cells[1] = raidMember.label;
    } else if (member.size() > 1 && member[0] == '#') {
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

  const std::optional<std::string> assemble = args.Value("assemble");
  const std::optional<std::string> mount = args.Value("mount");
  if (assemble && mount) return UsageError("--assemble and --mount are one at a time");
  if (args.Has("layout")) {
    // The geometry given by hand: the volume without an analysis.
    if (!assemble && !mount) return UsageError("--layout is for --assemble or --mount");
    std::string error;
    const std::optional<RaidGeometryGuess> geometry = HandGeometry(args, request->members.size(), error);
    if (!geometry) return UsageError(error);
    return UseVolume(RaidVolumeRequest{request->members, *geometry, assemble.value_or("")}, mount, console);
  }

  // The image would replace the log (or plot) the analysis writes first: refused before either.
  if (assemble && (SameOutput(*assemble, request->logPath) || (plot && SameOutput(*assemble, *plot))))
    return Refuse(console, u"Failed to create file");

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
  if ((assemble || mount) && result.end == RaidEnd::Completed) {
    if (result.geometry.verdict != RaidGeometry::Verdict::Decided || !result.geometry.best)
      return Fail(console, u"No geometry to assemble the volume by; give it with --layout");
    RaidVolumeRequest volume{request->members, *result.geometry.best, assemble.value_or(""), {request->logPath}};
    if (plot) volume.kept.push_back(*plot);
    return UseVolume(volume, mount, console);
  }
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
    "Members are only ever read.\n"
    "--assemble FILE writes the volume the geometry describes, from its first stripe row on, as a\n"
    "sparse image; --mount DIR serves it read-only as DIR/volume.img (computed on each read) until\n"
    "Ctrl+C. The geometry is the analysis's, or given by hand with --layout (and --stripe, --order,\n"
    "--start; no analysis is run then). A RAID 5 member given as \"missing\" is rebuilt from the others\n"
    "(RAID 6: up to two); the analysis itself rebuilds one and takes the set for RAID 5.",
    kFlags, Run};

}  // namespace brenvik::cli
