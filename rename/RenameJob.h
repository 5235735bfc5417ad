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

#include "core/CheckPass.h"
#include "core/JobReporter.h"
#include "rename/RenameEngine.h"

namespace brenvik {

// Check: a new list row, checked, with its Index and which file it is.
struct RenameRow {
  int32_t index = 0;
  std::u16string path;
  FileIdentity identity;
};

// The status line's counts: "Numbers: <count>", or "Numbers: <count> / <total>" with a total.
struct RenameNumbers {
  int32_t count = 0;
  int32_t total = -1;  // none when negative
};

// The status line, Check's rows, the counts, and in list-mode Rename each row given to the engine
// (its check mark goes).
using RenameReporter = JobReporter<RenameRow, RenameNumbers>;

inline constexpr char16_t kCheckTypeCorrectlyText[] = u"Please check type correctly";

// Why a Check of `root` for the `selectedTypes` cannot start, as both front ends refuse it: no
// root (kSetPathCorrectlyText), then no type (kCheckTypeCorrectlyText); empty when it can.
std::u16string_view RenameCheckRefusal(const std::filesystem::path& root, uint32_t selectedTypes);

struct RenameCheckRequest {
  RenameChoices choices;  // the selected types and the settings (cache mode, temporary folder)
  std::filesystem::path root;
  int workers = 0;  // threads looking at names; 0: as many as suit the machine
  int32_t listedRows = kCachePreviewRows;  // cache mode: how many rows are listed
};

using RenameCheckEnd = CheckEnd;

struct RenameCheckOutcome {
  RenameCheckEnd end = RenameCheckEnd::Completed;
  int32_t rowCounter = 0;                // files selected
  std::filesystem::path resultFile;      // cache mode: the temporary result file (empty on failure)
  FileIdentity rootIdentity;             // the folder walked; Rename acts below no other
};

// Walks the root depth first and takes every file of the selected types: a row each in list mode; in
// cache mode a record each and a row for the first 33. The status line shows "Numbers: %d".
// Only names are looked at. The cache mode and temporary folder come from the choices' settings.
// The names are looked at on several threads; rows and records come in walk order all the same.
RenameCheckOutcome RunRenameCheck(const RenameCheckRequest& request, const std::atomic<int>& stop,
                                  RenameReporter& reporter);

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

// The tool name in a Rename's journal.
inline constexpr char kRenameJournalTool[] = "File Rename";

struct RenameRequest {
  ContentReaders readers;  // how each type's contents are read
  RenameChoices choices;   // the settings, and the numbering as the last pass left it
  bool cacheMode = false;
  const ListRows* rows = nullptr;    // list mode (with the root Check walked)
  std::filesystem::path resultFile;  // cache mode
  CheckedRoot root;                  // cache mode: the root Check walked
};

enum class RenameEnd {
  Completed,             // every checked row or record was given to the engine
  Stopped,               // the stop flag ended the pass; what was renamed is journaled
  ResultFileUnreadable,  // cache mode: the result file could not be opened; nothing renamed
  JournalFailed,         // the journal could not be written; nothing was renamed after that
};

struct RenamePassOutcome {
  RenameEnd end = RenameEnd::Completed;
  int32_t renamed = 0;     // files given to the engine
  int32_t nextNumber = 1;  // where the numbering stands after the pass; the next Rename goes on from it
};

// List mode: every checked row is renamed, counted as "Numbers: <row + 1> / <rows>" and reported
// done. Stop ends it after the current row.
// Cache mode: every record of the result file ("Numbers: %d" per record), which is deleted
// afterwards, after a stop too. ResultFileUnreadable (status "Failed to access temporary file") when
// it cannot be opened; then nothing else happens.
// Both journal each move below the checked root; a journal that cannot be written ends the pass
// with the status kJournalWriteFailedText.
RenamePassOutcome RunRename(const RenameRequest& request, const std::atomic<int>& stop, RenameReporter& reporter);

// "Numbers: %d" and "Numbers: %d / %d".
std::u16string NumbersText(int32_t count);
std::u16string NumbersText(int32_t done, int32_t total);

}  // namespace brenvik
