// brenvik-cli extension: the Extension page's Check, and its Rename with --rename.
#include "cli/Commands.h"
#include "core/TextHelpers.h"
#include "extension/ExtensionJob.h"
#include "platform/FileOps.h"

namespace brenvik::cli {
namespace {

constexpr Flag kFlags[] = {
    {"rename", "", "Rename: after Check, give every listed file (every file in cache mode) its type's extension"},
    {"more-types", "", "More types: ask libmagic about every file nothing else identified"},
};

constexpr std::string_view kColumns[] = {"Index", "Status", "Path"};

int Run(const Arguments& args, Console& console) {
  std::string error;
  std::optional<AppSettings> settings = SettingsFrom(args, error);
  if (!settings) return UsageError(error);
  const std::filesystem::path root = args.positional().empty() ? std::filesystem::path() : std::filesystem::path(args.positional().front());
  if (const std::u16string_view refusal = CheckRootRefusal(root); !refusal.empty()) return Refuse(console, refusal);
  const bool cacheMode = settings->cacheMode == kCacheModeFiles;
  if (!PrepareTemporaryFolder(*settings, args)) return Fail(console, kTemporaryFileFailedText);

  ConsoleReporter<ExtensionRow, ExtensionCounters> reporter(console);
  std::vector<ExtensionRenameRow> listed;  // list mode: every row, checked as after a Check
  reporter.printRow = [&](const ExtensionRow& row) {
    const std::u16string cells[] = {Utf16(std::to_string(row.index)), row.type, row.path};
    const MachineValue values[] = {{"index", row.index}, {"type", row.type}, {"path", row.path}};
    console.Row(kColumns, cells, values);
    if (!cacheMode) listed.push_back({row.index, row.type, row.path, row.identity});
  };
  reporter.tallyText = [](const ExtensionCounters& c) { return TallyText(c.identified, c.scanned); };

  const ExtensionCheckRequest check{root, cacheMode, settings->temporaryFolder, 0,
                                    ListedRows(args), args.Has("more-types")};
  const ExtensionCheckOutcome outcome = RunJob(RunExtensionCheck, check, reporter);
  console.Status(outcome.end == ExtensionCheckEnd::Refused ? std::u16string(kSetPathCorrectlyText)
                                                           : TallyText(outcome.counters.identified, outcome.counters.scanned));

  return AfterCheck(args, "rename", outcome.end, outcome.resultFile, [&] {
    return RunJob(RunExtensionRename,
                  ExtensionRenameRequest{cacheMode, std::move(listed), outcome.resultFile, check.root,
                                         outcome.rootIdentity},
                  reporter)
        .end;
  });
}

}  // namespace

const Subcommand kExtensionCommand{
    "extension", "Lists the files below PATH whose content names a type and, with --rename, corrects their extension.",
    "PATH",
    "Prints one row per identified file: Index, Status (the type's extension) and Path. With\n"
    "--cache-mode files only the first 33 rows are listed; --rename still acts on every identified file. An\n"
    "existing file is never overwritten by a rename.",
    kFlags, Run};

}  // namespace brenvik::cli
