#include "rename/RenameJob.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/RecordFile.h"
#include "core/TemporaryFolder.h"
#include "platform/ParallelWalk.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

// Files a Check takes between two updates of its count.
constexpr int32_t kCountStep = 1024;

// The lossless text of a walked path into `text`; most recovered names are plain ASCII and skip
// the decoder.
void AssignPathText(std::string_view bytes, std::u16string& text) {
  if (!IsAscii(bytes)) {
    text = BytesToText(bytes);
    return;
  }
  text.resize(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) text[i] = static_cast<unsigned char>(bytes[i]);
}

}  // namespace

std::u16string NumbersText(int32_t count) { return u"Numbers: " + DecimalText(count); }

std::u16string NumbersText(int32_t done, int32_t total) {
  return u"Numbers: " + DecimalText(done) + u" / " + DecimalText(total);
}

RenameCheckOutcome RunRenameCheck(const RenameCheckRequest& request, const std::atomic<int>& stop,
                                  RenameReporter& reporter) {
  const RenameEngine& engine = *request.engine;
  RenameCheckOutcome outcome;
  outcome.rootIdentity = FolderIdentity(request.root);
  if (!outcome.rootIdentity.known()) {
    outcome.end = RenameCheckEnd::NotAFolder;
    return outcome;
  }
  const bool cacheMode = engine.settings().cacheMode == kCacheModeFiles;
  TemporaryResultFile resultFile;
  if (cacheMode) {
    resultFile = CreateTemporaryResultFile(engine.settings().temporaryFolder);
    if (!resultFile.fd) {
      reporter.Status(kRenameFailedToGenerate);
      outcome.end = RenameCheckEnd::ResultFileFailed;
      return outcome;
    }
  }
  RecordFileWriter records(resultFile.fd.get(), kPathRecordLength);

  // The status line follows the count in steps; the last count taken is always shown at the end.
  int32_t counted = 0;
  int32_t shown = 0;
  const auto showCount = [&] {
    if (counted != shown) reporter.Tally({counted});
    shown = counted;
  };
  RenameRow row;  // one buffer for every row's text; the reporter copies what it keeps

  struct Taken {
    FileIdentity identity;
    std::string path;
  };
  ParallelWalkOptions options;
  options.workers = request.workers;
  options.stopFlag = &stop;
  ParallelWalkFiles(
      request.root, options,
      [&engine](const WalkedFile& file) -> std::optional<Taken> {
        if (!engine.Select(file.folderPath, file.name)) return std::nullopt;
        // Only the files taken are looked up, so Rename can tell them from any put in their place.
        return Taken{IdentityAt(file.folderFd, file.name), file.Path()};
      },
      [&](const WalkedFile&, std::optional<Taken>&& taken) {
        if (!taken) return true;
        if (!cacheMode || outcome.rowCounter < request.listedRows) {
          AssignPathText(taken->path, row.path);
          row.index = outcome.rowCounter;
          row.identity = taken->identity;
          reporter.AddRow(row);
        }
        ++outcome.rowCounter;
        if (cacheMode && !records.AppendPathBytes(taken->path, IdentityBytes(taken->identity).view())) return false;
        counted = outcome.rowCounter;
        if (counted - shown >= kCountStep) showCount();
        return true;
      });
  showCount();

  if (cacheMode) {
    if (!records.Flush()) {
      // A result file with records missing would rename only part of what the list promised.
      resultFile.fd.reset();
      DeleteFile(resultFile.path);
      reporter.Status(kRenameFailedToGenerate);
      outcome.end = RenameCheckEnd::ResultFileFailed;
      return outcome;
    }
    outcome.resultFile = resultFile.path;
  }
  if (stop.load() != 0) outcome.end = RenameCheckEnd::Stopped;
  return outcome;
}

namespace {

RenamePassOutcome RunListRename(RenameEngine& engine, const ListRows& rows, const std::atomic<int>& stop,
                                RenameReporter& reporter) {
  RenamePassOutcome outcome;
  const ListedTree tree(rows.root.path, rows.root.identity);
  JobJournal journal(tree.rootFd(), tree.root(), kRenameJournalTool, "mode=list");
  const int32_t count = static_cast<int32_t>(rows.paths.size());
  for (int32_t row = 0; row < count; ++row) {
    if (rows.checked[static_cast<size_t>(row)].load() != 0) {
      engine.RenameFromContent(tree, rows.paths[static_cast<size_t>(row)], rows.identities[static_cast<size_t>(row)],
                               &journal);
      if (journal.failed()) {
        reporter.Status(kJournalWriteFailedText);
        outcome.end = RenameEnd::JournalFailed;
        return outcome;
      }
      ++outcome.renamed;
      reporter.Tally({row + 1, count});
      reporter.RowDone(row);
    }
    if (stop.load() != 0) {
      if (row + 1 < count) outcome.end = RenameEnd::Stopped;
      break;
    }
  }
  return outcome;
}

RenamePassOutcome RunCacheRename(RenameEngine& engine, const CheckedRoot& root,
                                 const std::filesystem::path& resultFile, const std::atomic<int>& stop,
                                 RenameReporter& reporter) {
  RenamePassOutcome outcome;
  UniqueFd fd = resultFile.empty() ? UniqueFd() : OpenCreatedTemporaryFile(resultFile);
  if (!fd) {
    reporter.Status(kRenameFailedToAccess);
    outcome.end = RenameEnd::ResultFileUnreadable;
    return outcome;
  }
  RecordFileReader records(fd.get(), kPathRecordLength, 1, kIdentityBytes);
  const ListedTree tree(root.path, root.identity);
  JobJournal journal(tree.rootFd(), tree.root(), kRenameJournalTool, "mode=cache");
  std::vector<std::u16string> record;
  std::string identity;
  while (stop.load() == 0 && records.Next(record, &identity)) {
    engine.RenameFromContent(tree, record.front(), IdentityFromBytes(identity), &journal);
    if (journal.failed()) break;
    reporter.Tally({++outcome.renamed});
  }
  fd.reset();
  ResetAttributes(resultFile);
  DeleteFile(resultFile);
  if (journal.failed()) {
    reporter.Status(kJournalWriteFailedText);
    outcome.end = RenameEnd::JournalFailed;
  } else if (stop.load() != 0) {
    outcome.end = RenameEnd::Stopped;
  }
  return outcome;
}

}  // namespace

RenamePassOutcome RunRename(const RenameRequest& request, const std::atomic<int>& stop, RenameReporter& reporter) {
  if (request.cacheMode) return RunCacheRename(*request.engine, request.root, request.resultFile, stop, reporter);
  return RunListRename(*request.engine, *request.rows, stop, reporter);
}

}  // namespace brenvik
