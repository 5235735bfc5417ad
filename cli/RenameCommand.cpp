// brenvik-cli rename: the File Rename page's Check, and its Rename with --rename.
#include "cli/Commands.h"
#include "core/TextHelpers.h"
#include "platform/FileOps.h"
#include "rename/RenameJob.h"

namespace brenvik::cli {
namespace {

constexpr Flag kFlags[] = {
    {"types", "LIST", "Extension: the types to take, comma-separated, of doc,xls,docx,xlsx,zip,rar,pdf,txt,photos,music,videos (default the eight document types)"},
    {"rename", "", "Rename: after Check, give every listed file (every file in cache mode) a name from its content"},
    {"file-name-length", "N", "File name length: the longest name Rename gives (default 64)"},
    {"date", "yes|no", "Date: names take the date of the last save (default yes)"},
    {"sheet", "yes|no", "Sheet: workbook names take their worksheet names (default no)"},
    {"content", "yes|no", "Content: names take the leading text (default yes)"},
    {"size", "yes|no", "Size: archive names are shortened by their size (default no)"},
};

constexpr std::string_view kColumns[] = {"Index", "Path"};

// A yes|no flag into a setting; false on any other value.
bool ReadSwitch(const Arguments& args, std::string_view name, uint8_t& setting) {
  const auto value = args.Value(name);
  if (!value) return true;
  if (*value != "yes" && *value != "no") return false;
  setting = *value == "yes";
  return true;
}

int Run(const Arguments& args, Console& console) {
  std::string error;
  std::optional<AppSettings> settings = SettingsFrom(args, error);
  if (!settings) return UsageError(error);
  for (std::string_view name : {"date", "sheet", "content", "size"}) {
    uint8_t& setting = name == "date" ? settings->date : name == "sheet" ? settings->sheet
                       : name == "content" ? settings->content : settings->size;
    if (!ReadSwitch(args, name, setting)) return UsageError("--" + std::string(name) + " takes \"yes\" or \"no\"");
  }
  if (const auto length = args.Value("file-name-length"))
    settings->nameLengthLimit = static_cast<int32_t>(ParseLeadingInteger(FromUtf8(*length)));

  RenameChoices choices;
  const std::string types = args.Value("types").value_or("doc,xls,docx,xlsx,zip,rar,pdf,txt");
  for (size_t start = 0; start <= types.size();) {
    const size_t comma = std::min(types.find(',', start), types.size());
    const std::string_view type = std::string_view(types).substr(start, comma - start);
    for (size_t i = 0; i < kRenameTypeExtensions.size(); ++i)
      if (kRenameTypeExtensions[i] == type) choices.selectedTypes |= 1u << i;
    for (const RenameMediaKind& kind : kRenameMediaKinds)
      if (kind.value == type) choices.selectedTypes |= kind.bit;
    start = comma + 1;
  }
  const std::filesystem::path root = args.positional().empty() ? std::filesystem::path() : std::filesystem::path(args.positional().front());
  if (const std::u16string_view refusal = RenameCheckRefusal(root, choices.selectedTypes); !refusal.empty())
    return Refuse(console, refusal);
  // Document parts are read through the temporary folder in either mode.
  if (!PrepareTemporaryFolder(*settings, args)) return Fail(console, kTemporaryFileFailedText);
  choices.settings = *settings;
  const bool cacheMode = settings->cacheMode == kCacheModeFiles;

  ConsoleReporter<RenameRow, RenameNumbers> reporter(console);
  std::vector<std::u16string> listed;  // list mode: every row, checked as after a Check
  std::vector<FileIdentity> identities;
  reporter.printRow = [&](const RenameRow& row) {
    const std::u16string cells[] = {Utf16(std::to_string(row.index)), row.path};
    const MachineValue values[] = {{"index", row.index}, {"path", row.path}};
    console.Row(kColumns, cells, values);
    if (!cacheMode) {
      listed.push_back(row.path);
      identities.push_back(row.identity);
    }
  };
  reporter.tallyText = [](const RenameNumbers& n) {
    return n.total < 0 ? NumbersText(n.count) : NumbersText(n.count, n.total);
  };

  const RenameCheckOutcome check =
      RunJob(RunRenameCheck, RenameCheckRequest{choices, root, 0, ListedRows(args)}, reporter);
  if (check.end == RenameCheckEnd::Refused) {
    console.Status(kSetPathCorrectlyText);
  } else {
    console.Status(NumbersText(check.rowCounter));
    if (EndsCompleted(check.end)) console.Status(u"Detect File Rename completed");
  }

  return AfterCheck(args, "rename", check.end, check.resultFile, [&] {
    const CheckedRoot checkedRoot{root, check.rootIdentity};
    ListRows rows(std::move(listed), checkedRoot, std::move(identities));
    for (auto& checked : rows.checked) checked = 1;
    const RenameEnd end =
        RunJob(RunRename, RenameRequest{DocumentContentReaders(), choices, cacheMode, &rows, check.resultFile, checkedRoot}, reporter).end;
    if (EndsCompleted(end)) console.Status(u"File rename completed");
    return end;
  });
}

}  // namespace

const Subcommand kRenameCommand{
    "rename", "Lists the files of the chosen types below PATH and, with --rename, names them from their contents.",
    "PATH",
    "Prints one row per selected file: Index and Path. With --cache-mode files only the first 33 rows\n"
    "are listed; --rename still acts on every selected file. An existing file is never overwritten.\n"
    "Photos take the time they were taken and the camera, songs their artist and title (else album\n"
    "and track), videos their recording time and camera; a date a camera could not have meant is left out.",
    kFlags, Run};

}  // namespace brenvik::cli
