#pragma once
// The temporary folder: where cache-mode result files and extracted document parts live.
//
// The default folder belongs to Brenvik alone and is emptied of every file on close. A folder the
// user chose in Settings may hold the user's own files, so there only the files Brenvik created
// during this run (recorded as they are created) are removed.
#include <filesystem>
#include <string>

#include "platform/FileOps.h"

namespace brenvik {

// $XDG_RUNTIME_DIR/tvk when that variable is set, else /tmp/tvk-<uid>.
std::filesystem::path DefaultTemporaryFolder();

// Creates the folder and its parents (the default folder with mode 0700); true when it exists.
bool EnsureFolder(const std::filesystem::path& folder);

// Remembers a file Brenvik created in a temporary folder, so closing removes it. Thread-safe.
void RecordTemporaryFile(const std::filesystem::path& path);

struct TemporaryResultFile {
  UniqueFd fd;                  // open for writing; invalid when creation failed
  std::filesystem::path path;   // "<folder>/<time stamp>", or with " (2)", " (3)", ... when taken
};

// Creates a new, empty result file named by the time stamp, exclusively: a name already taken
// (by another page's pass in the same second) gets " (2)", " (3)", ... appended.
TemporaryResultFile CreateTemporaryResultFile(const std::filesystem::path& folder);
// The same with a given base name instead of the time stamp.
TemporaryResultFile CreateTemporaryResultFile(const std::filesystem::path& folder, const std::string& baseName);

// On close: removes every file Brenvik recorded, and when `folder` is the default temporary
// folder, every file below it too (subfolders kept, symbolic links removed as links and never
// followed). Failures are ignored.
void ClearTemporaryFolder(const std::filesystem::path& folder);

}  // namespace brenvik
