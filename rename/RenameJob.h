#pragma once
// The File Rename passes: Check lists the files of the selected types below a folder, Rename
// gives the listed files names from their contents. In cache mode the paths wait in a
// temporary result file of records (u32 little-endian byte length, then the path in UTF-16LE,
// then the file's identity in kIdentityBytes) and the list shows only the first 33. Rename
// reaches each listed file below the root Check walked, never through a link, and acts on it only
// while it is still the file Check saw.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "rename/RenameEngine.h"

namespace brenvik {

inline constexpr char16_t kRenameFailedToGenerate[] = u"Failed to generate temporary file";
inline constexpr char16_t kRenameFailedToAccess[] = u"Failed to access temporary file";
// Rows a cache-mode Check shows (Index 0 to 32).
inline constexpr int32_t kRenamePreviewRows = 33;

// How a pass reports; called on the worker thread.
class RenameJobSink {
 public:
  virtual ~RenameJobSink() = default;
  // Check: a new list row, checked, with its Index and which file it is.
  virtual void rowFound(int32_t index, const std::u16string& path, FileIdentity identity) = 0;
  // List-mode Rename: the row was given to the engine; its check mark goes.
  virtual void rowDone(int32_t row) = 0;
  virtual void statusText(const std::u16string& text) = 0;
  // The status line's counts, "Numbers: %d" and "Numbers: %d / %d"; the sink formats them, so a
  // walk over a million files does not build a million texts nobody reads.
  virtual void numbers(int32_t count) = 0;
  virtual void numbers(int32_t done, int32_t total) = 0;
};

struct CheckOutcome {
  bool completed = true;                 // false: the result file could not be created or written
  int32_t rowCounter = 0;                // files selected
  std::filesystem::path resultFile;      // cache mode: the temporary result file (empty on failure)
  FileIdentity rootIdentity;             // the folder walked; Rename acts below no other
};

// Walks `root` depth first and takes every file the engine selects: a row each in list mode; in
// cache mode a record each and a row for the first 33. The status line shows "Numbers: %d".
// Only names are looked at. The cache mode and temporary folder come from the engine's settings.
// The names are looked at on `workers` threads (0: as many as suit the machine); rows and records
// come in walk order all the same.
CheckOutcome RunCheck(const RenameEngine& engine, const std::filesystem::path& root, const std::atomic<int>& stop,
                      RenameJobSink& sink, int workers = 0);

// The folder a Check walked, as Rename must find it again.
struct CheckedRoot {
  std::filesystem::path path;  // empty: each file is reached from its own folder
  FileIdentity identity;
};

// The list as a list-mode Rename sees it: the paths as they stood when it started, which file
// each was at the Check (unknown when not given), and the check marks, which the page keeps
// current while the pass runs (a row unchecked meanwhile is left out).
struct ListRows {
  explicit ListRows(std::vector<std::u16string> rowPaths, CheckedRoot checkedRoot = {},
                    std::vector<FileIdentity> rowIdentities = {})
      : root(std::move(checkedRoot)),
        paths(std::move(rowPaths)),
        identities(std::move(rowIdentities)),
        checked(paths.size()) {
    identities.resize(paths.size());
  }
  CheckedRoot root;
  std::vector<std::u16string> paths;
  std::vector<FileIdentity> identities;
  std::vector<std::atomic<uint8_t>> checked;
};

// List-mode Rename: every checked row is renamed, counted as "Numbers: <row + 1> / <rows>" and
// unchecked. Stop ends it after the current row.
void RunListRename(RenameEngine& engine, const ListRows& rows, const std::atomic<int>& stop, RenameJobSink& sink);

enum class CacheRenameOutcome { Done, FileUnavailable };

// Cache-mode Rename over the records of `resultFile` ("Numbers: %d" per record), which is deleted
// afterwards, after a stop too. FileUnavailable (status "Failed to access temporary file") when
// it cannot be opened; then nothing else happens.
CacheRenameOutcome RunCacheRename(RenameEngine& engine, const CheckedRoot& root,
                                  const std::filesystem::path& resultFile, const std::atomic<int>& stop,
                                  RenameJobSink& sink);

// "Numbers: %d" and "Numbers: %d / %d".
std::u16string NumbersText(int32_t count);
std::u16string NumbersText(int32_t done, int32_t total);

}  // namespace brenvik
