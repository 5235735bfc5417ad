#pragma once
// The journal of a job that moves or renames files, so the job can be undone.
//
// A journal is a plain-text file, one line per record, fields separated by tabs:
//   brenvik-journal 1 <TAB> tool=<tool> <TAB> root=<root> <TAB> root-id=<dev>:<ino>
//                     <TAB> started=<local time> <TAB> settings=<settings>
//   move   <TAB> <from> <TAB> <to> <TAB> <dev> <TAB> <ino> <TAB> <size> <TAB> <time> <TAB> <crc>
//   kept   <TAB> <from> <TAB> <to> <TAB> <dev> <TAB> <ino> <TAB> <size> <TAB> <time> <TAB> <crc>
//   folder <TAB> <folder> <TAB> <TAB> <dev> <TAB> <ino> <TAB> 0 <TAB> <time> <TAB> <crc>
// Paths are relative to the root; a backslash, tab, line feed or carriage return in a path is
// written as \\, \t, \n or \r, every other byte as it is. <crc> is the CRC-32 (8 hex digits) of
// the line up to the tab before it, so a damaged line is recognised.
//
// A "move" line is written and flushed *before* its move, and a "kept" line with the same fields
// follows when the move then did not happen: a job killed between the two leaves a "move" line
// whose file is still at its old name, which an undo recognises by device and inode. A "folder"
// line names a folder the job created (the move-aside folder and its subfolders). The file is
// grown ahead of its lines and cut to them when the job ends, so the journal of a killed job may
// end in zero bytes: they are not part of it.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DirectoryWalk.h"
#include "platform/AppendOnlyFile.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"

namespace brenvik {

// A file a journal line names: which file (folders too), and its length.
using JournaledFile = RegularFileIdentity;

class JournalWriter {
 public:
  // Starts a journal for a job at `root` (opened by the caller, `rootFd`), in the journal folder
  // below it, created when missing and never reached through a link. The file name is
  // "<tool> <time stamp>.tsv" with " (2)", " (3)", ... when taken. nullopt when it cannot be made.
  static std::optional<JournalWriter> Begin(int rootFd, const std::filesystem::path& root, std::string_view tool,
                                            std::string_view settings);

  // Each call appends one line and hands it to the system before returning; false when the line
  // could not be written (a full disk), and the job must then not make the change.
  bool RecordMove(std::string_view from, std::string_view to, const JournaledFile& file);
  bool RecordKept(std::string_view from, std::string_view to, const JournaledFile& file);
  bool RecordFolderCreated(std::string_view folder, const JournaledFile& identity);

  const std::filesystem::path& path() const { return path_; }

  JournalWriter(JournalWriter&&) = default;
  JournalWriter& operator=(JournalWriter&&) = default;

 private:
  JournalWriter(AppendOnlyFile file, std::filesystem::path path) : file_(std::move(file)), path_(std::move(path)) {}
  bool Append(std::string_view kind, std::string_view first, std::string_view second, const JournaledFile& file);

  AppendOnlyFile file_;
  std::filesystem::path path_;
  // A job writes thousands of lines a second: one buffer for them all, and the time text made
  // once a second.
  std::string line_;
  int64_t timeSecond_ = -1;
  std::string timeText_;
};

enum class JournaledMove { Moved, TargetExists, Failed, JournalFailed };
// Moves the regular file `fromName` of an open folder to `toName` of another, journaled: the
// "move" line is written first and a "kept" line follows a move that failed. `fromRelative` and
// `toRelative` are the two names relative to the job's root, as the journal keeps them. An
// existing file at the new name is never replaced: the move fails with TargetExists. With no
// journal the move is made all the same.
// JournalFailed: the line could not be written and nothing was moved. A caller that holds the
// file open passes its identity as `known` (the file at `fromName` must be that one), sparing a
// lookup.
JournaledMove JournaledMoveAt(JournalWriter* journal, int fromFolderFd, std::string_view fromName, int toFolderFd,
                              std::string_view toName, std::string_view fromRelative, std::string_view toRelative,
                              const JournaledFile* known = nullptr);

enum class JournalEntryKind { Move, Kept, FolderCreated };

struct JournalEntry {
  JournalEntryKind kind;
  std::string from;  // the folder, for FolderCreated
  std::string to;
  JournaledFile file;
};

struct JournalContents {
  std::string tool;
  std::filesystem::path root;
  FileIdentity rootIdentity;
  std::string started;
  std::string settings;
  std::vector<JournalEntry> entries;  // in the order they were written
  // Empty when every line was read; otherwise why reading stopped (a damaged line) and the
  // entries hold what came before it.
  std::string damage;
};

// A line longer than this cannot come from a job (two escaped paths and a few numbers); a journal
// holding one is damaged there.
inline constexpr size_t kLongestJournalLine = 64 * 1024;

// Reads a journal line by line, never more than a line's worth at once. nullopt (with `error`
// set) when it is not a journal at all; a damaged line ends the entries there and is described in
// `damage`: one that fails its CRC, is longer than kLongestJournalLine, or names a path that is
// not plainly below the root (absolute, an empty, "." or ".." part, a NUL byte). A last line
// without its line feed (up to zero bytes, the room the job had reserved) is the write a killed
// job did not finish: its move never started, so it is left out quietly.
std::optional<JournalContents> ReadJournal(int fd, std::string* error = nullptr);
// The same for the regular file at `path` (a final link is not followed).
std::optional<JournalContents> ReadJournal(const std::filesystem::path& path, std::string* error = nullptr);

// Path text in a journal line, and back; `Unescape` gives nullopt for a malformed escape.
std::string EscapeJournalPath(std::string_view path);
std::optional<std::string> UnescapeJournalPath(std::string_view text);

}  // namespace brenvik
