#include "extension/ExtensionJob.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/AppSettings.h"
#include "core/RecordFile.h"
#include "core/TemporaryFolder.h"
#include "core/TextHelpers.h"
#include "extension/FileTypeIdentifier.h"
#include "platform/ParallelWalk.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"

namespace brenvik {

std::u16string TallyText(int64_t identified, int64_t scanned) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "Numbers: %" PRId64 " / %" PRId64, identified, scanned);
  return Utf16(buffer);
}

ExtensionCheckOutcome RunExtensionCheck(const ExtensionCheckRequest& request, const std::atomic<int>& stop,
                                        ExtensionReporter& reporter) {
  ExtensionCheckOutcome outcome;
  outcome.rootIdentity = FolderIdentity(request.root);
  if (!outcome.rootIdentity.known()) {
    outcome.end = ExtensionCheckEnd::NotAFolder;
    return outcome;
  }
  reporter.Status(kDetectingExtensionText);
  ExtensionCounters& counters = outcome.counters;
  TemporaryResultFile resultFile;
  std::optional<RecordFileWriter> records;
  if (request.cacheMode) {
    resultFile = CreateTemporaryResultFile(request.temporaryFolder);
    if (!resultFile.fd) {
      outcome.end = ExtensionCheckEnd::ResultFileFailed;
      reporter.Status(kCheckResultFileFailedText);
      return outcome;
    }
    outcome.resultFile = resultFile.path;
    records.emplace(resultFile.fd.get(), RecordLength::U16);
  }

  bool recordsLost = false;
  // Workers identify files, each with its own reader for the compound-file probe, and make the
  // texts of those identified; rows, counts and records follow in walk order on this thread.
  struct Identified {
    FileIdentity identity;
    std::u16string type;  // empty: not identified
    std::u16string path;
  };
  ParallelWalkOptions walk;
  walk.workers = request.workers;
  walk.stopFlag = &stop;
  ParallelWalkFiles(
      request.root, walk,
      [&stop](const WalkedFile& file) {
        thread_local DocumentReader probeReader;
        // Stop also interrupts the compound file being probed, not only the walk between files.
        const ReaderStopScope readerStop(probeReader, &stop);
        Identified found;
        const FileType type = IdentifyFileTypeAt(file.folderFd, file.name.data(), probeReader);
        // A name that already names the content correctly (a variant such as .jar or .jpeg) is
        // listed with its own extension, so Rename leaves it as it is.
        if (type.recognised())
          found = {IdentityAt(file.folderFd, file.name), Utf16(ListedType(type, BytesToText(file.name))),
                   BytesToText(file.Path())};
        return found;
      },
      [&](const WalkedFile&, Identified&& found) {
        if (!found.type.empty()) {
          // A result file that misses records would let Rename pass over files silently.
          if (records && !records->Append({found.type, found.path}, IdentityBytes(found.identity).view()))
            recordsLost = true;
          if (!request.cacheMode || counters.rowCounter < request.listedRows)
            reporter.AddRow({counters.rowCounter++, std::move(found.type), std::move(found.path), found.identity});
          ++counters.identified;
          if (recordsLost) return false;
        }
        ++counters.scanned;
        reporter.Tally(counters);
        return true;
      });
  if (records && (recordsLost || !records->Flush() || !CloseOutput(resultFile.fd))) {
    records.reset();
    resultFile.fd.reset();
    DeleteFile(resultFile.path);
    outcome.resultFile.clear();
    outcome.end = ExtensionCheckEnd::ResultFileFailed;
    reporter.Status(kCheckResultFileFailedText);
    return outcome;
  }

  reporter.Status(kDetectExtensionCompletedText);
  if (stop.load() != 0) outcome.end = ExtensionCheckEnd::Stopped;
  return outcome;
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
    reporter.Status(kRenameResultFileUnreadableText);
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
