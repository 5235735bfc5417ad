#pragma once
// Depth-first walk of a folder tree that yields regular files and folders only. Symbolic links,
// FIFOs, sockets and device nodes are skipped without being opened, so a walk never blocks and
// never leaves the tree; the journal folder is not entered. Entries come in the order the file
// system returns them; a subfolder is entered as soon as it is met.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

namespace brenvik {

// The folder, below a job's root, that file-changing jobs keep their journals in; no walk enters it.
inline constexpr std::string_view kJournalFolderName = ".brenvik-journal";

enum class WalkEntryKind {
  File,         // a regular file
  Folder,       // a folder, reported before its contents
  FolderLeft,   // the same folder after its contents (only with reportFolderLeft)
  Other,        // a symbolic link, FIFO, socket or device node (only with reportOthers); never opened
};

struct WalkEntry {
  WalkEntryKind kind;
  std::string_view path;  // full path bytes: root + "/" + ... + name
  std::string_view name;  // last component; name.data() is NUL-terminated
  int64_t size;           // bytes for files when sizes are wanted, else -1
  int folderFd = -1;      // the open folder holding the entry (valid during the visit), for *at calls
};

enum class WalkControl { Continue, SkipFolder, Stop };

struct WalkOptions {
  bool wantSize = true;          // stat each file for its size
  bool reportFolderLeft = false; // also report FolderLeft after a folder's contents
  bool reportOthers = false;     // also report entries that are neither files nor folders
  const std::atomic<int>* stopFlag = nullptr;  // nonzero ends the walk between entries
};

using WalkVisitor = std::function<WalkControl(const WalkEntry&)>;

// Walks below `root` (the root itself is not reported). Returns false when the root cannot be
// opened as a folder or the walk was stopped.
bool WalkTree(const std::filesystem::path& root, const WalkOptions& options, const WalkVisitor& visitor);
// The same below a folder the caller already holds open (the descriptor stays the caller's), so
// the root is the folder that was checked, whatever its path leads to by now. `rootPath` only
// prefixes the reported paths.
bool WalkOpenTree(int rootFd, const std::filesystem::path& rootPath, const WalkOptions& options,
                  const WalkVisitor& visitor);

}  // namespace brenvik
