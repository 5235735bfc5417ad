#pragma once
// The Extension tool's jobs, without any user interface: Check walks a folder tree and lists
// every file whose content names a type; Rename gives each listed file that type's extension.
//
// Two storage modes: list mode reports every identified file as a row; cache mode writes every
// one as a record of a temporary result file (u16 type length, u16 path length, then both texts)
// and reports only the first 33 as preview rows. The jobs poll the stop flag between items.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "journal/JobJournal.h"
#include "core/AppSettings.h"
#include "core/CheckPass.h"
#include "core/JobReporter.h"
#include "platform/NoFollow.h"
#include "readers/DocumentReader.h"

namespace brenvik {

inline constexpr std::u16string_view kDetectingExtensionText = u"Detecting extension...";
inline constexpr std::u16string_view kDetectExtensionCompletedText = u"Detect extension completed";
inline constexpr std::u16string_view kModifyingExtensionText = u"Modify extension...";
inline constexpr std::u16string_view kModifyExtensionCompletedText = u"Modify extension completed";

struct ExtensionRow {
  int32_t index = 0;        // the row counter when the row was added
  std::u16string type;      // the extension found
  std::u16string path;      // the file's full path (lossless text form)
  FileIdentity identity;    // which file it was, so Rename acts on no other
};

// What the page keeps between passes; Check starts it from zero.
struct ExtensionCounters {
  int32_t rowCounter = 0;  // rows added since the last Check: the next row's Index
  int64_t identified = 0;  // files that got a type
  int64_t scanned = 0;     // files examined
};

// The status line, a checked row found, the running counts (shown as TallyText), and in list-mode
// Rename each row done.
using ExtensionReporter = JobReporter<ExtensionRow, ExtensionCounters>;

struct ExtensionCheckRequest {
  std::filesystem::path root;
  bool cacheMode = false;
  std::filesystem::path temporaryFolder;  // cache mode: where the result file goes
  int workers = 0;                        // threads reading files; 0: as many as suit the machine
  int32_t listedRows = kCachePreviewRows;  // cache mode: how many rows are listed
  bool moreTypes = false;  // ask libmagic about every file nothing else identified ("More types")
};

using ExtensionCheckEnd = CheckEnd;

struct ExtensionCheckOutcome {
  ExtensionCheckEnd end = ExtensionCheckEnd::Completed;
  std::filesystem::path resultFile;  // cache mode: the new result file (empty when none)
  ExtensionCounters counters;        // counted from zero
  FileIdentity rootIdentity;         // the folder walked; Rename acts below no other
};

// The Check pass. Files are read on a pool of threads; rows, counts and records come in walk
// order, exactly as a single thread would make them.
ExtensionCheckOutcome RunExtensionCheck(const ExtensionCheckRequest& request, const std::atomic<int>& stop,
                                        ExtensionReporter& reporter);

// A row handed to a list-mode Rename: its position in the list, its type and path.
struct ExtensionRenameRow {
  int32_t row = 0;
  std::u16string type;
  std::u16string path;
  FileIdentity identity;
};

// The tool name in a Rename's journal.
inline constexpr char kExtensionJournalTool[] = "Extension";

struct ExtensionRenameRequest {
  bool cacheMode = false;
  std::vector<ExtensionRenameRow> checkedRows;  // list mode: the checked rows, in list order
  std::filesystem::path resultFile;             // cache mode: the last Check's result file
  std::filesystem::path root;                   // the folder Check walked
  FileIdentity rootIdentity;
};

enum class ExtensionRenameEnd {
  Completed,             // every row or record was tried
  Stopped,               // the stop flag ended the pass; what was renamed is journaled
  ResultFileUnreadable,  // cache mode: no result file to read (none made, or gone); nothing renamed
  JournalFailed,         // the journal could not be written; nothing was renamed after that
};

struct ExtensionRenameOutcome {
  ExtensionRenameEnd end = ExtensionRenameEnd::Completed;
  int32_t renamed = 0;  // files given their type's extension (list mode lowers the row counter by it)
};

// Rename. List mode applies the correction to the checked rows from the last to the first and
// reports each success with RowDone. Cache mode applies it to every record of the result file;
// the caller then empties the list and sets the row counter to 0. Files are reached below the
// root Check walked, as CorrectListedExtension does. Each rename is journaled below the root; when
// the journal cannot be written the pass stops with the status kJournalWriteFailedText.
ExtensionRenameOutcome RunExtensionRename(const ExtensionRenameRequest& request, const std::atomic<int>& stop,
                                          ExtensionReporter& reporter);

// The correction rule: gives the file at `path` the extension `type`, keeping the base name's
// case. A name whose extension already is `type` in any letter case is left alone (success).
// A name without a dot, or whose only dot leads, gets ".type" appended. An existing file of the
// new name is never overwritten: the rule fails then.
bool CorrectExtension(std::u16string_view type, std::u16string_view path);
// The same for a file Check listed: it is reached below the tree's root without following a link
// and renamed only while it is still `identity` (when known); otherwise the rule fails. With a
// `journal` the rename is journaled.
bool CorrectListedExtension(const ListedTree& tree, std::u16string_view type, std::u16string_view path,
                            FileIdentity identity, JobJournal* journal = nullptr);

// "Numbers: <identified> / <scanned>"
std::u16string TallyText(int64_t identified, int64_t scanned);

}  // namespace brenvik
