#pragma once
// The Extension tool's jobs, without any user interface: Check walks a folder tree and lists
// every file whose content names a type; Rename gives each listed file that type's extension.
//
// Two storage modes: list mode reports every identified file as a row; cache mode writes every
// one as a record of a temporary result file and reports only the first 33 as preview rows.
// The jobs report through ExtensionSink and poll the stop flag between items; they never throw.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/NoFollow.h"
#include "readers/DocumentReader.h"

namespace brenvik {

inline constexpr std::u16string_view kDetectingExtensionText = u"Detecting extension...";
inline constexpr std::u16string_view kDetectExtensionCompletedText = u"Detect extension completed";
inline constexpr std::u16string_view kCheckResultFileFailedText = u"Failed to generate temporary file";
inline constexpr std::u16string_view kModifyingExtensionText = u"Modify extension...";
inline constexpr std::u16string_view kRenameResultFileUnreadableText = u"Failed to access temporary file";
inline constexpr std::u16string_view kModifyExtensionCompletedText = u"Modify extension completed";

// Rows numbered 0 to 32 are shown in cache mode.
inline constexpr int32_t kPreviewRowLimit = 33;

struct ExtensionRow {
  int32_t index = 0;        // the row counter when the row was added
  std::u16string type;      // the extension found
  std::u16string path;      // the file's full path (lossless text form)
  FileIdentity identity;    // which file it was, so Rename acts on no other
};

class ExtensionSink {
 public:
  virtual ~ExtensionSink() = default;
  virtual void StatusText(std::u16string text) = 0;  // the page's status line
  // The running count after every file; the page shows it as TallyText in the status line.
  virtual void Tally(int64_t identified, int64_t scanned) = 0;
  virtual void RowFound(ExtensionRow row) = 0;        // a new, checked list row
  virtual void RowRenamed(int32_t row) = 0;           // list-mode Rename: that row is done
};

// What the page keeps between passes; Check starts it from zero.
struct ExtensionCounters {
  int32_t rowCounter = 0;  // rows added since the last Check: the next row's Index
  int64_t identified = 0;  // files that got a type
  int64_t scanned = 0;     // files examined
};

struct ExtensionCheckOptions {
  std::filesystem::path root;
  bool cacheMode = false;
  std::filesystem::path temporaryFolder;  // cache mode: where the result file goes
  int workers = 0;                        // threads reading files; 0: as many as suit the machine
};

struct ExtensionCheckOutcome {
  bool completed = false;                // false only when the result file could not be created or
                                         // written in full (it is removed then)
  std::filesystem::path resultFile;      // cache mode: the new result file (empty when none)
  FileIdentity rootIdentity;             // the folder walked; Rename acts below no other
};

// The Check pass. Counters must be zeroed by the caller (the page clears them when Check starts).
// Files are read on a pool of threads, each probing with a reader of its own (the `reader` given
// is not used); rows, counts and records come in walk order as a single thread would make them.
ExtensionCheckOutcome RunExtensionCheck(const ExtensionCheckOptions& options, DocumentReader& reader,
                                        ExtensionCounters& counters, const std::atomic<int>& stop,
                                        ExtensionSink& sink);

// A row handed to a list-mode Rename: its position in the list, its type and path.
struct ExtensionRenameRow {
  int32_t row = 0;
  std::u16string type;
  std::u16string path;
  FileIdentity identity;
};

// List-mode Rename: applies the correction to the checked rows (in list order), from the last to
// the first; each success is reported with RowRenamed and lowers the row counter. Files are
// reached below `root`, the folder Check walked (`rootIdentity`), as CorrectListedExtension does.
void RunExtensionListRename(const std::filesystem::path& root, FileIdentity rootIdentity,
                            const std::vector<ExtensionRenameRow>& checkedRows, ExtensionCounters& counters,
                            const std::atomic<int>& stop, ExtensionSink& sink);

// Cache-mode Rename: applies the correction to every record of the result file, below `root` as
// in list mode. The caller then empties the list and sets the row counter to 0.
void RunExtensionCacheRename(const std::filesystem::path& root, FileIdentity rootIdentity,
                             const std::filesystem::path& resultFile, const std::atomic<int>& stop,
                             ExtensionSink& sink);

// The correction rule: gives the file at `path` the extension `type`, keeping the base name's
// case. A name whose extension already is `type` in any letter case is left alone (success).
// A name without a dot, or whose only dot leads, gets ".type" appended. An existing file of the
// new name is never overwritten: the rule fails then.
bool CorrectExtension(std::u16string_view type, std::u16string_view path);
// The same for a file Check listed: it is reached below the tree's root without following a link
// and renamed only while it is still `identity` (when known); otherwise the rule fails.
bool CorrectListedExtension(const ListedTree& tree, std::u16string_view type, std::u16string_view path,
                            FileIdentity identity);

// "Numbers: <identified> / <scanned>"
std::u16string TallyText(int64_t identified, int64_t scanned);

// The result file's record: u16 type byte length, u16 path byte length, then both texts in
// UTF-16LE without terminators, then the file's identity (kIdentityBytes). Appends one record to
// `out`; false when a text is too long.
bool AppendResultRecord(std::string& out, std::u16string_view type, std::u16string_view path,
                        FileIdentity identity = {});

}  // namespace brenvik
