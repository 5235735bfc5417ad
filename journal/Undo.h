#pragma once
// Undo of a journaled job: every file goes back to its old name, newest move first.
//
// A file is moved back only while the file at its new name is still the one the job moved
// (device, inode and size) and its old name is free: nothing is ever overwritten, no link is
// followed (folders are opened one by one from the job's root), and missing old folders are made
// again. The job's root is the folder the journal lies below (the one holding its journal
// folder), and it must be the folder the journal's header names by identity: a journal copied or
// moved elsewhere is not undone there. Folders the job created are removed
// when they are empty again. The undo keeps a journal of its own, so it can be undone as well.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/JobReporter.h"

namespace brenvik {

struct UndoProblem {
  std::string from;    // the old name the file should have gone back to (relative to the root)
  std::string to;      // where the job had put it
  std::string reason;  // why it stayed
};

enum class UndoEnd {
  Completed,    // every move the job made was taken back
  Stopped,      // the stop flag ended the undo; the files not reached stay where the job put them
  Failed,       // `failure` says why (not a journal, the root is gone or another folder, the undo's
                // own journal cannot be written); nothing more was moved after it
  Damaged,      // `damage` names the damaged line: the moves before it are undone, the rest left alone
  FilesStayed,  // some files could not go back; `problems` says which and why
  AlreadyUndone,  // every file was at its old name before this undo: the job had been undone
};

struct UndoResult {
  UndoEnd end = UndoEnd::Completed;
  // Set when nothing could be undone at all (not a journal, the root is gone or not the same
  // folder, the undo's own journal cannot be written).
  std::string failure;
  // Set when the journal has a damaged line: the moves before it are undone, the rest left alone.
  std::string damage;
  int64_t total = 0;     // moves the job made
  int64_t restored = 0;  // files now at their old names again
  int64_t alreadyBack = 0;  // of those, the files that were at their old names before this undo
  std::vector<UndoProblem> problems;
  std::filesystem::path undoJournal;  // the undo's own journal; empty when it moved nothing

  // True when this undo moved nothing because the files were back already: the job was undone.
  bool alreadyUndone() const { return alreadyBack > 0 && alreadyBack == restored; }
  // "Restored: N / M", or what says the job was already undone.
  std::string SummaryText() const;
};

UndoResult UndoJournal(const std::filesystem::path& journal, const std::atomic<int>* stopFlag = nullptr);

// The undo in the shape of every job: each file that stays is a row, then the texts of how it
// ended as statuses (what stopped it, or the damage, the total "Restored: N / M" and the undo's
// own journal).
struct UndoRequest {
  std::filesystem::path journal;
};
using UndoReporter = JobReporter<UndoProblem, NoTally>;
UndoResult RunUndo(const UndoRequest& request, const std::atomic<int>& stop, UndoReporter& reporter);

}  // namespace brenvik
