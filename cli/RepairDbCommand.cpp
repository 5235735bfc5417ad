// brenvik-cli repair-db: the Repair DB page's Repair.
#include "cli/Commands.h"
#include "core/FillPatternText.h"
#include "core/TextHelpers.h"
#include "dbrepair/BlockRepair.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik::cli {
namespace {

constexpr Flag kFlags[] = {
    {"corrupted-database", "FILE", "Corrupted Database: the damaged file (only read)"},
    {"repaired-database", "FILE", "Repaired Database: the output (never one of the inputs)"},
    {"reference", "FILE", "Add files: a reference copy; give it once per copy, searched in that order"},
    {"sector", "HEX", "Sector(512 Bytes): repair 512-byte blocks filled with this pattern"},
    {"page", "HEX", "Page(8192 Bytes): repair 8192-byte blocks filled with this pattern (the default, DEADDEAD)"},
};

constexpr std::string_view kReferenceColumns[] = {"Index", "Size", "Path"};
constexpr char16_t kParameterError[] = u"Parameter setting error, please reset";

int Run(const Arguments& args, Console& console) {
  const auto corrupted = args.Value("corrupted-database");
  const auto repaired = args.Value("repaired-database");
  const std::vector<std::string> references = args.Values("reference");

  RepairRequest request;
  request.mode = args.Has("sector") ? BlockMode::Sector : BlockMode::Page;
  const std::string patternText =
      request.mode == BlockMode::Sector ? *args.Value("sector") : args.Value("page").value_or("DEADDEAD");
  if (!corrupted || corrupted->empty() || !repaired || repaired->empty() || references.empty())
    return Refuse(console, kParameterError);
  std::optional<std::vector<uint8_t>> pattern = ParseFillPattern(FromUtf8(patternText));
  if (!pattern) return Refuse(console, u"Please set the byte content correctly");
  request.pattern = std::move(*pattern);
  request.corrupted = *corrupted;
  request.repaired = *repaired;

  // The reference list as the page shows it. The page's file chooser offers only files; a named
  // reference that is not a readable regular file (a FIFO, folder or device) is refused.
  for (const std::string& reference : references) {
    const UniqueFd fd = OpenSharedInput(reference, false);
    const int64_t size = fd ? FileSize(fd.get()) : -1;
    if (size < 0) return UsageError("--reference " + reference + " is not a regular file that can be read");
    const int64_t index = static_cast<int64_t>(request.references.size()) + 1;
    const std::u16string cells[] = {Utf16(std::to_string(index)), Utf16(std::to_string(size)), PathToText(reference)};
    const MachineValue values[] = {{"index", index}, {"size", size}, {"path", cells[2]}};
    console.Row(kReferenceColumns, cells, values);
    request.references.emplace_back(reference);
  }
  if (request.references.empty()) return Refuse(console, kParameterError);

  ConsoleReporter<NoRow, RepairCounts> reporter(console);
  reporter.tallyText = RepairCountsText;
  return ExitStatusOf(RunJob(RunRepair, request, reporter).end);
}

}  // namespace

const Subcommand kRepairDbCommand{
    "repair-db", "Copies a damaged database, replacing every block of the fill pattern from the first reference "
                 "copy where that block is intact.",
    "",
    "Prints the reference list (Index, Size, Path); the status line's texts go to standard error, the\n"
    "last one with the counts of repaired and lost blocks.",
    kFlags, Run};

}  // namespace brenvik::cli
