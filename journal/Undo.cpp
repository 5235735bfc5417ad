#include "journal/Undo.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>

#include "journal/JobJournal.h"
#include "journal/Journal.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"
#include "platform/PathText.h"

namespace brenvik {

namespace {

bool IsPlainName(std::string_view name) { return !name.empty() && name != "." && name != ".."; }

// The moves that happened, oldest first: a "kept" line cancels the "move" line before it.
std::vector<JournalEntry> MovesMade(const std::vector<JournalEntry>& entries) {
  std::vector<JournalEntry> moves;
  for (const JournalEntry& entry : entries) {
    if (entry.kind == JournalEntryKind::Move) {
      moves.push_back(entry);
    } else if (entry.kind == JournalEntryKind::Kept && !moves.empty() && moves.back().from == entry.from &&
               moves.back().to == entry.to && moves.back().file == entry.file) {
      moves.pop_back();
    }
  }
  return moves;
}

class Undoer {
 public:
  Undoer(const JournalContents& job, int rootFd, std::filesystem::path rootPath, UndoResult& result)
      : job_(job), rootFd_(rootFd), rootPath_(std::move(rootPath)), result_(result) {}

  // Moves one file back; false when the undo must end (its own journal cannot be written).
  bool Restore(const JournalEntry& move) {
    const RelativeName from = SplitRelative(move.from);
    const RelativeName to = SplitRelative(move.to);
    if (!IsPlainName(from.name) || !IsPlainName(to.name)) return Problem(move, "the journal names no file here");

    UniqueFd toFolder = OpenFolderBelow(rootFd_, to.folder, false);
    const std::optional<JournaledFile> atNewName =
        toFolder ? RegularFileIdentityAt(toFolder.get(), to.name) : std::nullopt;
    if (atNewName != move.file) {
      UniqueFd fromFolder = OpenFolderBelow(rootFd_, from.folder, false);
      if (fromFolder && RegularFileIdentityAt(fromFolder.get(), from.name) == move.file) {
        ++result_.restored;  // never moved (the job ended before), or already moved back
        ++result_.alreadyBack;
        return true;
      }
      return Problem(move, atNewName ? "the file at its new name was changed or replaced after the job"
                                     : "the file is no longer at its new name");
    }

    std::vector<std::string> madeFolders;
    UniqueFd fromFolder = OpenFolderBelow(rootFd_, from.folder, true, &madeFolders);
    if (!fromFolder) return Problem(move, "its old folder cannot be reached (a link or a file stands in its place)");
    if (!Journal()) return false;
    for (const std::string& folder : madeFolders) {
      const RelativeName made = SplitRelative(folder);
      UniqueFd parent = OpenFolderBelow(rootFd_, made.folder, false);
      const std::optional<FileIdentity> identity = parent ? FolderIdentityAt(parent.get(), made.name) : std::nullopt;
      if (!identity || !journal_->RecordFolderCreated(folder, {*identity, 0})) return JournalFailed();
    }
    switch (JournaledMoveAt(&*journal_, toFolder.get(), to.name, fromFolder.get(), from.name, move.to, move.from)) {
      case JournaledMove::Moved: ++result_.restored; return true;
      case JournaledMove::TargetExists: return Problem(move, "its old name is taken by another file");
      case JournaledMove::Failed: return Problem(move, "it cannot be moved back");
      case JournaledMove::JournalFailed: break;
    }
    return JournalFailed();
  }

  // Removes the folders the job made, newest first, where they are empty again.
  void RemoveMadeFolders() {
    for (auto it = job_.entries.rbegin(); it != job_.entries.rend(); ++it) {
      if (it->kind != JournalEntryKind::FolderCreated) continue;
      const RelativeName folder = SplitRelative(it->from);
      UniqueFd parent = OpenFolderBelow(rootFd_, folder.folder, false);
      const std::string name(folder.name);
      if (!parent || !IsPlainName(name)) continue;
      // Removed only when empty, as wanted.
      if (FolderIdentityAt(parent.get(), name) == it->file.identity) RemoveEmptyFolderAt(parent.get(), name);
    }
  }

 private:
  bool Problem(const JournalEntry& move, std::string reason) {
    result_.problems.push_back({move.from, move.to, std::move(reason)});
    return true;
  }

  bool JournalFailed() {
    result_.failure = "The undo's own journal cannot be written; the undo stopped";
    return false;
  }

  bool Journal() {
    if (journal_) return true;
    journal_ = JournalWriter::Begin(rootFd_, rootPath_, "Undo", "undoes=" + job_.tool);
    if (!journal_) return JournalFailed();
    result_.undoJournal = journal_->path();
    return true;
  }

  const JournalContents& job_;
  int rootFd_;
  std::filesystem::path rootPath_;
  UndoResult& result_;
  std::optional<JournalWriter> journal_;
};

}  // namespace

std::string UndoResult::SummaryText() const {
  if (alreadyUndone())
    return "The job was already undone: " + std::to_string(alreadyBack) + " / " + std::to_string(total) +
           " files were at their old names, and nothing was moved";
  return "Restored: " + std::to_string(restored) + " / " + std::to_string(total);
}

namespace {

// The journal `journal` opened, with the folder its job ran in: the folder holding the journal
// folder it lies in, reached from that folder itself (so the identities tie journal, journal
// folder and root together, whatever links the typed path went through).
struct LocatedJournal {
  UniqueFd file;
  UniqueFd root;
  std::filesystem::path rootPath;
};

std::optional<LocatedJournal> LocateJournal(const std::filesystem::path& journal, std::string& failure) {
  std::error_code ignored;
  const std::filesystem::path absolute = std::filesystem::absolute(journal, ignored).lexically_normal();
  const std::filesystem::path folderPath = absolute.parent_path();
  LocatedJournal located;
  UniqueFd folder = OpenFolder(folderPath);
  int64_t size = 0;
  located.file = folder ? OpenRegularFileAt(folder.get(), absolute.filename().native(), size) : UniqueFd();
  if (!located.file) {
    failure = "The journal cannot be opened";
    return std::nullopt;
  }
  located.root = OpenParentFolder(folder.get());
  const UniqueFd again = located.root ? OpenFolderAt(located.root.get(), kJournalFolderName) : UniqueFd();
  if (folderPath.filename().native() != kJournalFolderName || !again || IdentityOf(again.get()) != IdentityOf(folder.get())) {
    failure = "The journal does not lie in the " + std::string(kJournalFolderName) +
              " folder of the folder its job ran in; it is undone only there";
    return std::nullopt;
  }
  located.rootPath = folderPath.parent_path();
  return located;
}

// The one end a result's texts stand for, the gravest first.
UndoEnd EndOf(const UndoResult& result, bool stopped) {
  if (!result.failure.empty()) return UndoEnd::Failed;
  if (!result.damage.empty()) return UndoEnd::Damaged;
  if (!result.problems.empty()) return UndoEnd::FilesStayed;
  if (stopped) return UndoEnd::Stopped;
  return result.alreadyUndone() ? UndoEnd::AlreadyUndone : UndoEnd::Completed;
}

UndoResult Undo(const std::filesystem::path& journal, const std::atomic<int>* stopFlag, bool& stopped) {
  UndoResult result;
  std::optional<LocatedJournal> located = LocateJournal(journal, result.failure);
  if (!located) return result;
  std::optional<JournalContents> job;
  std::vector<JournalEntry> moves;
  try {
    job = ReadJournal(located->file.get(), &result.failure);
    if (job) moves = MovesMade(job->entries);
  } catch (const std::bad_alloc&) {
    result.failure = "The journal holds more moves than this machine can take back at once";
    return result;
  }
  if (!job) return result;
  result.damage = job->damage;
  result.total = static_cast<int64_t>(moves.size());

  if (IdentityOf(located->root.get()) != job->rootIdentity) {
    result.failure = "The folder " + located->rootPath.native() + " that holds this journal is not the folder " +
                     job->root.native() + " its job ran in";
    return result;
  }

  Undoer undoer(*job, located->root.get(), located->rootPath, result);
  for (auto it = moves.rbegin(); it != moves.rend(); ++it) {
    if (stopFlag && stopFlag->load(std::memory_order_relaxed) != 0) {
      stopped = true;
      break;
    }
    if (!undoer.Restore(*it)) return result;
  }
  undoer.RemoveMadeFolders();
  return result;
}

}  // namespace

UndoResult UndoJournal(const std::filesystem::path& journal, const std::atomic<int>* stopFlag) {
  bool stopped = false;
  UndoResult result = Undo(journal, stopFlag, stopped);
  result.end = EndOf(result, stopped);
  return result;
}

UndoResult RunUndo(const UndoRequest& request, const std::atomic<int>& stop, UndoReporter& reporter) {
  UndoResult result = UndoJournal(request.journal, &stop);
  for (const UndoProblem& problem : result.problems) reporter.AddRow(problem);
  if (!result.failure.empty()) {
    reporter.Status(BytesToText(result.failure));
    return result;
  }
  if (!result.damage.empty()) reporter.Status(BytesToText(result.damage));
  reporter.Status(BytesToText(result.SummaryText()));
  if (!result.undoJournal.empty()) reporter.Status(u"Undo journal: " + PathToText(result.undoJournal));
  return result;
}

}  // namespace brenvik
