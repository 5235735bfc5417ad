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

int Run(const Arguments& args, Console& console) {
  const auto corrupted = args.Value("corrupted-database");
  const auto repaired = args.Value("repaired-database");
  const std::vector<std::string> references = args.Values("reference");

  RepairForm form;
  form.corrupted = corrupted.value_or("");
  form.repaired = repaired.value_or("");
  form.mode = args.Has("sector") ? BlockMode::Sector : BlockMode::Page;
  form.patternText =
      FromUtf8(form.mode == BlockMode::Sector ? *args.Value("sector") : args.Value("page").value_or("DEADDEAD"));
  form.references.assign(references.begin(), references.end());
  RepairRequest request;
  if (const std::u16string_view refusal = RepairRequestFrom(form, request); !refusal.empty())
    return Refuse(console, refusal);

  // The reference list as the page shows it. The page's file chooser offers only files; a named
  // reference that is not a readable regular file (a FIFO, folder or device) is refused.
  for (size_t i = 0; i < request.references.size(); ++i) {
    const std::filesystem::path& reference = request.references[i];
    const UniqueFd fd = OpenSharedInput(reference, false);
    const int64_t size = fd ? FileSize(fd.get()) : -1;
    if (size < 0) return UsageError("--reference " + reference.string() + " is not a regular file that can be read");
    const auto index = static_cast<int64_t>(i) + 1;
    const std::u16string cells[] = {Utf16(std::to_string(index)), Utf16(std::to_string(size)), PathToText(reference)};
    const MachineValue values[] = {{"index", index}, {"size", size}, {"path", cells[2]}};
    console.Row(kReferenceColumns, cells, values);
  }

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
