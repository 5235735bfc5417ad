#pragma once
// The journal a file-changing job (move aside, Extension Rename, File Rename) keeps as it goes.
// It is begun at the job's first move, so a job that moves nothing leaves no journal, and once a
// line cannot be written the job is told to stop before its next move.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal/Journal.h"

namespace brenvik {

// The status text of a job that stopped because its journal could not be written.
inline constexpr char16_t kJournalWriteFailedText[] = u"Failed to write journal file";

class JobJournal {
 public:
  // `rootFd` is the job's root, open; below 0 (a file named on its own, with no root) the moves
  // are made without a journal.
  JobJournal(int rootFd, std::filesystem::path root, std::string tool, std::string settings);

  // A journaled move of `fromName` in `fromFolderFd` to `toName` in `toFolderFd`; the relative
  // names are the two paths below the root, `known` the file's identity when the caller holds it
  // open (see JournaledMoveAt). A journal that cannot be begun or written fails the move and sets
  // failed().
  MoveResult Move(int fromFolderFd, std::string_view fromName, int toFolderFd, std::string_view toName,
                  std::string_view fromRelative, std::string_view toRelative,
                  const JournaledFile* known = nullptr);

  // Opens the folder `relative` below the root, making the missing ones and journaling each one
  // made, so an undo removes it again when it is empty. An invalid descriptor when it cannot be
  // reached or its line cannot be written (then failed() is set).
  UniqueFd OpenOrMakeFolder(std::string_view relative);

  // True once a line could not be written: the job must make no further move.
  bool failed() const { return failed_; }
  // The journal's file; empty while nothing was moved.
  std::filesystem::path path() const { return writer_ ? writer_->path() : std::filesystem::path(); }

 private:
  JournalWriter* Writer();

  int rootFd_;
  std::filesystem::path root_;
  std::string tool_;
  std::string settings_;
  std::optional<JournalWriter> writer_;
  bool failed_ = false;
};


// A path relative to a job's root as its folder ("a/b", empty for the root itself) and its name.
struct RelativeName {
  std::string_view folder;
  std::string_view name;
};
RelativeName SplitRelative(std::string_view relative);

// "a/b/new" for the file "a/b/old" given the new name "new".
std::string SiblingPath(std::string_view relative, std::string_view newName);

// The newest journal of `tool` in the job root's journal folder; empty when there is none.
std::filesystem::path LatestJournal(const std::filesystem::path& root, std::string_view tool);

}  // namespace brenvik
