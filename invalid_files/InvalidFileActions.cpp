#include "invalid_files/InvalidFileActions.h"

#include "core/TextHelpers.h"
#include "core/RecordFile.h"
#include "core/TemporaryFolder.h"
#include "platform/ByteOrder.h"
#include "platform/DirectoryWalk.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"

namespace brenvik {


std::string NumberedName(std::string_view name, int n) {
  if (n <= 1) return std::string(name);
  // The number goes before the extension, so the file still opens with its program.
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) dot = name.size();
  return std::string(name.substr(0, dot)) + " (" + std::to_string(n) + ")" + std::string(name.substr(dot));
}

InvalidFileRemover::InvalidFileRemover(std::filesystem::path root, bool moveAside, FileIdentity rootIdentity,
                                       std::string journalSettings)
    : tree_(std::move(root), rootIdentity), moveAside_(moveAside) {
  // The journal is begun only at the first move, so a Delete that deletes leaves none unless it
  // moved a damaged file aside.
  if (tree_.rootFd() >= 0)
    journal_.emplace(tree_.rootFd(), tree_.root(), kInvalidFilesJournalTool, std::move(journalSettings));
}

bool InvalidFileRemover::Remove(const std::filesystem::path& file, FileIdentity identity, Verdict verdict) {
  return moveAside_ ? Act(file, identity, true) : Delete(file, identity, verdict);
}

bool InvalidFileRemover::Delete(const std::filesystem::path& file, FileIdentity identity, Verdict verdict) {
  if (!IsOwnJudgement(verdict)) return Act(file, identity, false);
  const bool moved = Act(file, identity, true);
  if (moved) ++judgedKept_;
  return moved;
}

void InvalidFileRemover::PrepareDeadFolder() {
  if (journal_) journal_->OpenOrMakeFolder(kDeadFolderName);
  else if (tree_.rootFd() >= 0) OpenFolderBelow(tree_.rootFd(), kDeadFolderName, true);
}

void InvalidFileRemover::RemoveEmptyFolders() {
  if (tree_.rootFd() >= 0) RemoveEmptyFoldersBelow(tree_.rootFd());
}

bool InvalidFileRemover::Act(const std::filesystem::path& file, FileIdentity identity, bool moveAside) {
  // Without a scanned root there is nothing a file could be below.
  if (tree_.rootFd() < 0) return false;
  const std::optional<ListedTree::Entry> entry = tree_.Reach(file, identity);
  if (!entry) return false;
  const int from = entry->folder.get();
  const std::string& name = entry->name;
  ResetAttributesAt(from, name);
  if (!moveAside) return DeleteRegularFileAt(from, name);

  // The file's folders are recreated below the DEAD folder, outermost first.
  const std::string relative = RelativeBelowRoot(tree_.root(), file);
  std::string target = kDeadFolderName;
  if (const size_t slash = relative.rfind('/'); slash != std::string::npos)
    target.append("/").append(relative, 0, slash);
  // A name already taken in the DEAD folder (by an earlier Delete) gets a free one beside it, so
  // nothing moved aside is ever replaced; the journal names each, and an undo brings both back.
  const UniqueFd to = journal_->OpenOrMakeFolder(target);
  if (!to) return false;
  for (int n = 1; n <= kDeadNameAttempts; ++n) {
    const std::string deadName = NumberedName(name, n);
    switch (journal_->Move(from, name, to.get(), deadName, relative, target + "/" + deadName)) {
      case MoveResult::Moved: return true;
      case MoveResult::TargetExists: continue;
      case MoveResult::Failed: return false;
    }
  }
  return false;
}

namespace {

std::string JournalSettings(const DeleteRequest& request) {
  return std::string("move-aside=") + (request.moveAside ? "1" : "0") +
         " remove-empty-folders=" + (request.removeEmptyFolders ? "1" : "0") +
         " mode=" + (request.mode == kCacheModeFiles ? "cache" : "list");
}

}  // namespace

DeleteOutcome RunInvalidFileDelete(const DeleteRequest& request, const std::atomic<int>& stop,
                                   InvalidFileReporter& reporter) {
  DeleteOutcome outcome;
  reporter.Status(kDeletingText);
  InvalidFileRemover remover(request.root, request.moveAside, request.rootIdentity, JournalSettings(request));
  if (request.moveAside) remover.PrepareDeadFolder();
  const auto stopped = [&] { return stop.load(std::memory_order_relaxed) != 0 || remover.journalFailed(); };

  if (request.mode == kCacheModeFiles) {
    UniqueFd file = OpenCreatedTemporaryFile(request.resultFile);
    if (!file) {
      // Nothing was touched: the job ends on the failure, never on the completion text.
      outcome.end = DeleteEnd::ResultFileUnreadable;
      reporter.TallyFailure(kTemporaryFileAccessText);
      reporter.Status(kTemporaryFileAccessText);
      return outcome;
    }
    RecordFileReader records(file.get(), kPathRecordLength, 1, kInvalidRecordTrailerBytes);
    std::vector<std::u16string> record;
    std::string trailer;
    while (!stopped() && records.Next(record, &trailer)) {
      // A record that does not say which file it was cannot be told from a forged one.
      const FileIdentity identity = IdentityFromBytes(trailer);
      if (identity.known() && remover.Remove(TextToPath(record.front()), identity, VerdictOfTrailer(trailer)))
        ++outcome.removed;
    }
    file.reset();
    reporter.ClearRows();
    ResetAttributes(request.resultFile);
    DeleteFile(request.resultFile);
  } else {
    for (auto row = request.markedRows.rbegin(); row != request.markedRows.rend() && !stopped(); ++row)
      if (IsRemovable(row->verdict) && remover.Remove(row->path, row->identity, row->verdict)) {
        ++outcome.removed;
        reporter.RowDone(row->index);
      }
  }

  if (request.removeEmptyFolders && !remover.journalFailed()) {
    reporter.Status(kDeletingFoldersText);
    remover.RemoveEmptyFolders();
  }
  outcome.judgedKept = remover.judgedKept();
  if (outcome.judgedKept > 0) reporter.Status(JudgedMovedAsideText(outcome.judgedKept));
  reporter.Status(remover.journalFailed() ? kJournalWriteFailedText : kDeleteCompletedText);
  if (remover.journalFailed()) outcome.end = DeleteEnd::JournalFailed;
  else if (outcome.end == DeleteEnd::Completed && stop.load() != 0) outcome.end = DeleteEnd::Stopped;
  return outcome;
}

std::u16string JudgedMovedAsideText(int64_t count) {
  return kJudgedMovedAsideText + Utf16(std::to_string(count));
}

void RemoveEmptyFolders(const std::filesystem::path& folder) {
  if (const UniqueFd open = OpenFolder(folder)) RemoveEmptyFoldersBelow(open.get());
}

bool SaveResultList(const std::filesystem::path& file,
                    const std::vector<std::pair<std::u16string, std::u16string>>& rows) {
  UniqueFd out = CreateOutput(file);
  if (!out) return false;
  std::u16string text = u"\xFEFF";
  for (const auto& [size, path] : rows) text.append(size).append(u" \t ").append(path).append(u"\r\n");
  std::string bytes;
  AppendUtf16Le(bytes, text);
  return WriteFull(out.get(), bytes.data(), bytes.size());
}

}  // namespace brenvik
