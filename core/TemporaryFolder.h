#pragma once
// The temporary folder: where cache-mode result files and extracted document parts live.
//
// Brenvik's own folder (the default one, or a fresh private one when the default cannot be
// trusted) is emptied of every file on close. A folder the user chose in Settings may hold the
// user's own files, so there only the files Brenvik created during this run (recorded as they are
// created) are removed, and document parts go into a private subfolder, never onto a user's file.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/FileOps.h"
#include "platform/NoFollow.h"

namespace brenvik {

// $XDG_RUNTIME_DIR/tvk when that variable is set, else /tmp/tvk-<uid>.
std::filesystem::path DefaultTemporaryFolder();

// Makes Brenvik's own temporary folder for this run and returns its path: the default folder when
// it is a real folder (not a symbolic link) owned by the user with mode 0700, or when it was
// missing and is created so now; otherwise a fresh private folder (mkdtemp, mode 0700) beside it,
// else in /tmp. Only that folder is ever emptied as a whole. Empty when no folder could be made.
std::filesystem::path PrepareOwnTemporaryFolder();

// Creates the folder and its parents (the default folder with mode 0700); true when it exists.
bool EnsureFolder(const std::filesystem::path& folder);

// The temporary folder of a run, settled at start by every front end. A folder the user named is
// created when missing and used as it is (only what Brenvik makes there is removed at the end);
// without one, Brenvik's own folder (see PrepareOwnTemporaryFolder). Empty when no folder could
// be made or the named one cannot be.
std::filesystem::path SettleTemporaryFolder(const std::optional<std::filesystem::path>& named);

// Remembers a file Brenvik created in a temporary folder, so closing removes it. Thread-safe.
void RecordTemporaryFile(const std::filesystem::path& path);

// Opens a file this run created (see RecordTemporaryFile) for reading, only while its path still
// names that very file: a file someone put in its place is never read. Invalid otherwise.
UniqueFd OpenCreatedTemporaryFile(const std::filesystem::path& path);

struct TemporaryResultFile {
  UniqueFd fd;                  // open for writing; invalid when creation failed
  std::filesystem::path path;   // "<folder>/<time stamp>", or with " (2)", " (3)", ... when taken
};

// Creates a new, empty result file named by the time stamp, exclusively: a name already taken
// (by another page's pass in the same second) gets " (2)", " (3)", ... appended.
TemporaryResultFile CreateTemporaryResultFile(const std::filesystem::path& folder);
// The same with a given base name instead of the time stamp.
TemporaryResultFile CreateTemporaryResultFile(const std::filesystem::path& folder, const std::string& baseName);

// Brenvik's private folder inside `temporaryFolder` (created first when missing), for files that
// must never take the place of a user's file of the same name, such as extracted document parts:
// made with mkdtemp (mode 0700) at the first call for that folder in this run, and removed with
// everything in it on close. Returns a descriptor for *at calls that stays open until
// ClearTemporaryFolders; -1 when no such folder can be made. Thread-safe.
int PrivateFolderIn(const std::filesystem::path& temporaryFolder);

// Removes what this run made: every file Brenvik recorded, every private folder, and its own
// folder when that is a fresh one and empty by then. A folder shared with other runs of the
// program (the default one) keeps their files. Failures are ignored.
void RemoveCreatedTemporaryFiles();

// For a process that must end at once (a second Ctrl+C): removes the recorded files and the
// private folders with what is in them, as RemoveCreatedTemporaryFiles would, using only calls a
// signal handler may make. Each is removed only while its path still names the file or folder
// that was made.
void RemoveCreatedTemporaryFilesAtOnce() noexcept;

// On close: removes every file Brenvik recorded and every private folder, and empties Brenvik's
// own temporary folder (see PrepareOwnTemporaryFolder) of every file, whatever folder Settings
// name by now: subfolders of the default folder are kept, a fresh private folder goes as a whole.
// Symbolic links are removed as links and never followed, not even at the folder itself.
// Failures are ignored.
void ClearTemporaryFolders();

}  // namespace brenvik
