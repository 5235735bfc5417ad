#include "extension/ExtensionJob.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/AppSettings.h"
#include "core/CheckPass.h"
#include "core/RecordFile.h"
#include "core/TemporaryFolder.h"
#include "core/TextHelpers.h"
#include "extension/FileTypeIdentifier.h"
#include "extension/MagicFileTypes.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik {

std::u16string TallyText(int64_t identified, int64_t scanned) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "Numbers: %" PRId64 " / %" PRId64, identified, scanned);
  return Utf16(buffer);
}

namespace {

// Extension's part of the Check pass: a file whose content names a type is a row and a record
// of its type and path.
class ExtensionCheck {
 public:
  struct Decision {
    FileIdentity identity;
    std::u16string type;  // empty: not identified
    std::u16string path;
  };
  ExtensionCheck(const std::atomic<int>& stop, bool moreTypes) : stop_(stop), moreTypes_(moreTypes) {}

  // Each worker probes compound files with its own reader. The texts are made here, on the
  // workers, since every identified file needs them for its record.
  Decision Decide(const WalkedFile& file) const {
    thread_local DocumentReader probeReader;
    // Stop also interrupts the compound file being probed, not only the walk between files.
    const ReaderStopScope readerStop(probeReader, &stop_);
    // The identity is the opened file's, so a file put in its place later is not renamed for
    // a type it was never judged to have.
    FileIdentity judged;
    FileType type = IdentifyFileTypeAt(file.folderFd, file.name.data(), probeReader, &judged);
    if (!type.recognised() && moreTypes_) {
      const UniqueFd again = OpenSharedAt(file.folderFd, file.name.data());
      if (again && IdentityOf(again.get()) == judged) type = MagicFileType(again.get());
    }
    if (!type.recognised()) return {};
    // A name that already names the content correctly (a variant such as .jar or .jpeg) is
    // listed with its own extension, so Rename leaves it as it is.
    return {judged, Utf16(ListedType(type, BytesToText(file.name))), BytesToText(file.Path())};
  }
  bool Found(const Decision& found) const { return !found.type.empty(); }
  bool Record(RecordFileWriter& records, const Decision& found) const {
    return records.Append({found.type, found.path}, IdentityBytes(found.identity).view());
  }
  void MakeRow(ExtensionRow& row, int32_t index, Decision& found) {
    row = {index, std::move(found.type), std::move(found.path), found.identity};
    counters_.rowCounter = index + 1;
  }
  TallyShow Count(const Decision&, bool found) {
    if (found) ++counters_.identified;
    ++counters_.scanned;
    return TallyShow::Now;
  }
  const ExtensionCounters& tally() const { return counters_; }

 private:
  const std::atomic<int>& stop_;
  const bool moreTypes_;
  ExtensionCounters counters_;
};

}  // namespace

ExtensionCheckOutcome RunExtensionCheck(const ExtensionCheckRequest& request, const std::atomic<int>& stop,
                                        ExtensionReporter& reporter) {
  CheckPassSetup setup;
  setup.root = request.root;
  setup.cacheMode = request.cacheMode;
  setup.temporaryFolder = request.temporaryFolder;
  setup.recordLength = RecordLength::U16;
  setup.workers = request.workers;
  setup.listedRows = request.listedRows;
  ExtensionCheck tool(stop, request.moreTypes);
  const CheckPassOutcome pass = RunCheckPass(
      setup, {kDetectingExtensionText, kDetectExtensionCompletedText, kTemporaryFileFailedText, {}}, tool, stop,
      reporter);
  return {pass.end, pass.resultFile, tool.tally(), pass.rootIdentity};
}

bool CorrectExtension(std::u16string_view type, std::u16string_view path) {
  return CorrectListedExtension(ListedTree({}, {}), type, path, {});
}

bool CorrectListedExtension(const ListedTree& tree, std::u16string_view type, std::u16string_view path,
                            FileIdentity identity, JobJournal* journal) {
  const size_t slash = path.rfind(u'/');
  if (slash == std::u16string_view::npos || slash == 0) return false;
  const auto [base, oldExtension] = SplitExtension(path.substr(slash + 1));
  if (oldExtension == type) return true;

  const std::optional<ListedTree::Entry> file = tree.Reach(TextToPath(path), identity);
  if (!file) return false;
  std::u16string newName(base);
  newName += u'.';
  newName += type;
  ResetAttributesAt(file->folder.get(), file->name);
  const std::string newNameBytes = TextToPath(newName).native();
  const int folder = file->folder.get();
  if (!journal) return MoveNoReplaceAt(folder, file->name, folder, newNameBytes) == MoveResult::Moved;
  const std::string relative = RelativeBelowRoot(tree.root(), TextToPath(path));
  return journal->Move(folder, file->name, folder, newNameBytes, relative, SiblingPath(relative, newNameBytes)) ==
         MoveResult::Moved;
}

ExtensionRenameOutcome RunExtensionRename(const ExtensionRenameRequest& request, const std::atomic<int>& stop,
                                          ExtensionReporter& reporter) {
  reporter.Status(kModifyingExtensionText);
  ExtensionRenameOutcome outcome;
  const ListedTree tree(request.root, request.rootIdentity);
  JobJournal journal(tree.rootFd(), tree.root(), kExtensionJournalTool, request.cacheMode ? "mode=cache" : "mode=list");
  const auto going = [&] { return !stop.load() && !journal.failed(); };
  if (!request.cacheMode) {
    const std::vector<ExtensionRenameRow>& rows = request.checkedRows;
    for (auto row = rows.rbegin(); row != rows.rend() && going(); ++row) {
      if (CorrectListedExtension(tree, row->type, row->path, row->identity, &journal)) {
        reporter.RowDone(row->row);
        ++outcome.renamed;
      }
    }
  } else if (UniqueFd file = request.resultFile.empty() ? UniqueFd() : OpenCreatedTemporaryFile(request.resultFile);
             !file) {
    outcome.end = ExtensionRenameEnd::ResultFileUnreadable;
    reporter.Status(kTemporaryFileAccessText);
    return outcome;
  } else {
    RecordFileReader records(file.get(), RecordLength::U16, 2, kIdentityBytes);
    std::vector<std::u16string> record;
    std::string identity;
    while (going() && records.Next(record, &identity))
      if (CorrectListedExtension(tree, record[0], record[1], IdentityFromBytes(identity), &journal)) ++outcome.renamed;
  }
  // A journal that could not be written stopped the pass before its next rename.
  reporter.Status(journal.failed() ? std::u16string_view(kJournalWriteFailedText) : kModifyExtensionCompletedText);
  if (journal.failed()) outcome.end = ExtensionRenameEnd::JournalFailed;
  else if (stop.load() != 0) outcome.end = ExtensionRenameEnd::Stopped;
  return outcome;
}

}  // namespace brenvik
