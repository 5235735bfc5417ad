#include "rename/RenameJob.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/CheckPass.h"
#include "core/RecordFile.h"
#include "core/TemporaryFolder.h"
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

namespace {

// File Rename's part of the Check pass: only names are looked at, and a file of a selected type
// is a row and a path record. The count is shown in steps, as a name costs next to nothing.
class RenameCheck {
 public:
  struct Taken {
    FileIdentity identity;
    std::string path;
  };
  using Decision = std::optional<Taken>;
  explicit RenameCheck(const RenameEngine& engine) : engine_(engine) {}

  Decision Decide(const WalkedFile& file) const {
    if (!engine_.Select(file.folderPath, file.name)) return std::nullopt;
    // Only the files taken are looked up, so Rename can tell them from any put in their place.
    return Taken{IdentityAt(file.folderFd, file.name), file.Path()};
  }
  bool Found(const Decision& taken) const { return taken.has_value(); }
  bool Record(RecordFileWriter& records, const Decision& taken) const {
    return records.AppendPathBytes(taken->path, IdentityBytes(taken->identity).view());
  }
  void MakeRow(RenameRow& row, int32_t index, Decision& taken) {
    AssignPathText(taken->path, row.path);
    row.index = index;
    row.identity = taken->identity;
  }
  TallyShow Count(const Decision&, bool taken) {
    if (!taken) return TallyShow::Unchanged;
    ++numbers_.count;
    if (numbers_.count - shown_ < kCountStep) return TallyShow::Later;
    shown_ = numbers_.count;
    return TallyShow::Now;
  }
  const RenameNumbers& tally() const { return numbers_; }

 private:
  const RenameEngine& engine_;
  RenameNumbers numbers_;
  int32_t shown_ = 0;
};

}  // namespace

std::u16string_view RenameCheckRefusal(const std::filesystem::path& root, uint32_t selectedTypes) {
  if (const std::u16string_view refusal = CheckRootRefusal(root); !refusal.empty()) return refusal;
  return selectedTypes == 0 ? std::u16string_view(kCheckTypeCorrectlyText) : std::u16string_view();
}

RenameCheckOutcome RunRenameCheck(const RenameCheckRequest& request, const std::atomic<int>& stop,
                                  RenameReporter& reporter) {
  const RenameEngine engine(ContentReaders{}, request.choices);  // only names are looked at
  CheckPassSetup setup;
  setup.root = request.root;
  setup.cacheMode = request.choices.settings.cacheMode == kCacheModeFiles;
  setup.temporaryFolder = request.choices.settings.temporaryFolder;
  setup.workers = request.workers;
  setup.listedRows = request.listedRows;
  RenameCheck tool(engine);
  const CheckPassOutcome pass = RunCheckPass(setup, {{}, {}, kTemporaryFileFailedText, {}}, tool, stop, reporter);
  return {pass.end, pass.found, pass.resultFile, pass.rootIdentity};
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
    reporter.Status(kTemporaryFileAccessText);
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
  RenameEngine engine(request.readers, request.choices);  // this pass's own, which uses up numbers
  RenamePassOutcome outcome = request.cacheMode
                                  ? RunCacheRename(engine, request.root, request.resultFile, stop, reporter)
                                  : RunListRename(engine, *request.rows, stop, reporter);
  outcome.nextNumber = engine.nameCounter();
  return outcome;
}

}  // namespace brenvik
