// brenvik-cli invalid-files: the Invalid Files page's Check, and its Delete with --delete.
#include "cli/Commands.h"
#include "core/TextHelpers.h"
#include "invalid_files/InvalidFileActions.h"
#include "invalid_files/InvalidFileCriteria.h"
#include "invalid_files/InvalidFileScan.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik::cli {
namespace {

constexpr Flag kFlags[] = {
    {"size-min", "BYTES", "Size: the smallest valid size (turns the size criterion on)"},
    {"size-max", "BYTES", "Size: the largest valid size (turns the size criterion on)"},
    {"content", "HEX", "Content(4 Bytes): the fill pattern, e.g. DEADDEAD (turns the content criterion on)"},
    {"percent", "N", "Percent: how much of a file the pattern must fill (default 50)"},
    {"no-file-header", "", "FileHeader: do not check the header of known file types"},
    {"uncheck-name-rule", "N", "File Name(Invalid char): leave out row N (1 to 9) of the name rules"},
    {"uncheck-extension", "EXT", "File Type(Extension): leave out this extension"},
    {"damaged", "", "Damaged: also list files whose structure is broken (damaged) or followed by other data (tail)"},
    {"duplicates", "", "Duplicates: also list files with the same bytes as one met before them (duplicate)"},
    {"thumbnails", "", "Thumbnails: also list JPEG files that are another picture's embedded thumbnail (thumbnail)"},
    {"delete", "", "Delete: after Check, delete the invalid files (or move them aside, see --cut-to-dead)"},
    {"cut-to-dead", "yes|no", "Cut to DEAD... Directory: Delete moves files into DEAD_DEAD_DEAD (default yes)"},
    {"no-delete-empty-folders", "", "Delete Empty Folders: keep folders Delete leaves empty"},
};

constexpr std::string_view kColumns[] = {"Index", "Size", "Status", "Path", "Reason"};

// A damaged or tail row's reason is a text for people; a copy's or thumbnail's is a path.
bool IsDamageReason(Verdict verdict) { return verdict == Verdict::Damaged || verdict == Verdict::Tail; }

int Run(const Arguments& args, Console& console) {
  std::string error;
  std::optional<AppSettings> settings = SettingsFrom(args, error);
  if (!settings) return UsageError(error);
  if (const auto cut = args.Value("cut-to-dead")) {
    if (*cut != "yes" && *cut != "no") return UsageError("--cut-to-dead takes \"yes\" or \"no\"");
    settings->cutToDead = *cut == "yes";
  }

  CriteriaInput input;
  if (!args.positional().empty()) input.root = FromUtf8(args.positional().front());
  std::vector<bool> nameRuleChecked(kDefaultNameRules.size(), true);
  for (const std::string& row : args.Values("uncheck-name-rule")) {
    const int64_t n = ParseLeadingInteger(FromUtf8(row));
    if (n < 1 || n > static_cast<int64_t>(kDefaultNameRules.size())) return UsageError("--uncheck-name-rule takes 1 to 9");
    nameRuleChecked[static_cast<size_t>(n - 1)] = false;
  }
  for (size_t i = 0; i < kDefaultNameRules.size(); ++i)
    if (nameRuleChecked[i]) input.checkedNameRules.push_back(kDefaultNameRules[i]);
  const std::vector<std::string> unchecked = args.Values("uncheck-extension");
  for (std::u16string_view extension : kDefaultExtensions)
    if (std::find(unchecked.begin(), unchecked.end(), Utf8(extension)) == unchecked.end())
      input.checkedExtensions.emplace_back(extension);
  input.sizeChecked = args.Has("size-min") || args.Has("size-max");
  input.sizeMinimumText = FromUtf8(args.Value("size-min").value_or("0"));
  input.sizeMaximumText = FromUtf8(args.Value("size-max").value_or("0"));
  input.contentChecked = args.Has("content");
  input.patternText = FromUtf8(args.Value("content").value_or("DEADDEAD"));
  input.percentText = FromUtf8(args.Value("percent").value_or("50"));
  input.headerChecked = !args.Has("no-file-header");
  input.damagedChecked = args.Has("damaged");
  input.duplicatesChecked = args.Has("duplicates");
  input.thumbnailsChecked = args.Has("thumbnails");

  InvalidFileDetector detector;
  const CriteriaRefusal refusal = CollectCriteria(input, detector);
  if (refusal != CriteriaRefusal::None) return Refuse(console, RefusalText(refusal));
  if (!PrepareTemporaryFolder(*settings, args)) return Fail(console, kTemporaryFileFailedText);

  ConsoleReporter<ResultRow, ScanTally> reporter(console);
  const CacheMode mode = static_cast<CacheMode>(settings->cacheMode);
  std::vector<MarkedRow> listed;  // list mode: every row, marked as after a Check
  // The Reason column only with the criteria that give one, so the others print what they always did.
  const bool reasons = input.damagedChecked || input.duplicatesChecked || input.thumbnailsChecked;
  const size_t columns = reasons ? std::size(kColumns) : std::size(kColumns) - 1;
  reporter.printRow = [&](const ResultRow& row) {
    // The reason is a text for people; as JSON it keeps the source text scripts match.
    const std::u16string cells[] = {Utf16(std::to_string(row.index)), FormatSizeText(row.size),
                                    std::u16string(StatusText(row.verdict)), PathToText(row.path),
                                    console.json() || !IsDamageReason(row.verdict) ? row.reason : Translate(row.reason)};
    const MachineValue values[] = {{"index", row.index}, {"size", row.size},   {"status", cells[2]},
                                   {"path", cells[3]},   {"reason", row.reason}};
    console.Row(std::span(kColumns).first(columns), std::span(cells).first(columns), std::span(values).first(columns));
    if (mode == kCacheModeList) listed.push_back({row.index, row.path, row.identity, row.verdict});
  };
  reporter.tallyText = FormatTallyText;

  const ScanRequest check{detector, mode, settings->temporaryFolder, 0, ListedRows(args)};
  const ScanOutcome scan = RunJob(RunInvalidFileScan, check, reporter);
  console.Status(scan.end == ScanEnd::Refused ? RefusalText(CriteriaRefusal::Path) : FormatTallyText(scan.tally));

  return AfterCheck(args, "delete", scan.end, scan.resultFile, [&] {
    DeleteRequest request;
    request.root = detector.root;
    request.rootIdentity = scan.rootIdentity;
    request.moveAside = settings->cutToDead != 0;
    request.removeEmptyFolders = !args.Has("no-delete-empty-folders");
    request.mode = mode;
    request.resultFile = scan.resultFile;
    request.markedRows = std::move(listed);
    return RunJob(RunInvalidFileDelete, request, reporter).end;
  });
}

}  // namespace

const Subcommand kInvalidFilesCommand{
    "invalid-files", "Lists the invalid files below PATH and, with --delete, deletes them or moves them aside.", "PATH",
    "Prints one row per invalid file: Index, Size, Status (char, type, content or size) and Path. With\n"
    "--cache-mode files only the first 33 rows are listed; --delete still acts on every invalid file.\n"
    "With --damaged, Status may also be damaged or tail, and a Reason column says why; --delete leaves\n"
    "tail files (a whole file followed by other data) where they are, and moves damaged files aside\n"
    "even with --cut-to-dead no. With --duplicates and --thumbnails, Status may be duplicate (the\n"
    "Reason is the file kept, the first copy in the list's order) or thumbnail (the Reason is the\n"
    "picture holding it); --delete moves those aside too, never deletes them.",
    kFlags, Run};

}  // namespace brenvik::cli
