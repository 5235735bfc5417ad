#pragma once
// What Delete and the list menu do with a scan's result: delete the invalid files or move them
// aside into DEAD_DEAD_DEAD below the scan root (mirroring their folders), remove the folders
// left empty, and save the result list as text.
#include <atomic>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/AppSettings.h"
#include "core/CheckPass.h"
#include "invalid_files/InvalidFileReport.h"
#include "journal/JobJournal.h"
#include "platform/FileOps.h"
#include "platform/NoFollow.h"

namespace brenvik {

inline constexpr char kDeadFolderName[] = "DEAD_DEAD_DEAD";

inline constexpr char16_t kDeletingText[] = u"Deleting invalid files...";
inline constexpr char16_t kDeletingFoldersText[] = u"Deleting empty folder...";
inline constexpr char16_t kDeleteCompletedText[] = u"Delete invalid files completed";
inline constexpr char16_t kJudgedMovedAsideText[] =
    u"Damaged files, duplicates and thumbnails were moved aside to DEAD_DEAD_DEAD, not deleted: ";

// The name a file moved aside takes when `name` is taken n - 1 times over: "a.jpg", "a (2).jpg",
// "a (3).jpg", ... (the number before the extension).
std::string NumberedName(std::string_view name, int n);
// How many numbered names a move aside tries before it leaves the file where it is.
inline constexpr int kDeadNameAttempts = 10000;

// Deletes invalid files, or moves them aside, strictly below one scan root. Only regular files are
// acted on and no symbolic link is followed on the way, so nothing outside the root is touched;
// a file whose move would cross file systems stays where it is. When the root's identity from the
// Check is given and the root path now names another folder, nothing is removed. Moving aside
// keeps a journal (tool "Invalid Files", with `journalSettings` in its header) so it can be
// undone; a deletion cannot be undone and keeps none.
// A file the program itself judged (damaged, a copy, a thumbnail; see IsOwnJudgement) is always
// moved aside, never deleted: the user may want to look at it again.
class InvalidFileRemover {
 public:
  InvalidFileRemover(std::filesystem::path root, bool moveAside, FileIdentity rootIdentity = {},
                     std::string journalSettings = {});
  // True when the file is gone from its place (deleted or moved aside). Only the file Check saw
  // is acted on: when the path now names another file than `identity`, it stays.
  bool Remove(const std::filesystem::path& file, FileIdentity identity, Verdict verdict);
  // Deletes, never moves aside but a file the program judged (the list menu's Remove Files).
  bool Delete(const std::filesystem::path& file, FileIdentity identity, Verdict verdict);
  // How many files the program judged were moved aside where other files were deleted.
  int64_t judgedKept() const { return judgedKept_; }
  // Creates the DEAD folder (an existing one is kept).
  void PrepareDeadFolder();
  // Removes the folders below the root left empty (the root that was checked, never another).
  void RemoveEmptyFolders();

  // True once the journal could not be written: nothing more may be moved aside.
  bool journalFailed() const { return journal_ && journal_->failed(); }
  std::filesystem::path journalPath() const { return journal_ ? journal_->path() : std::filesystem::path(); }

 private:
  bool Act(const std::filesystem::path& file, FileIdentity identity, bool moveAside);

  ListedTree tree_;
  bool moveAside_;
  std::optional<JobJournal> journal_;
  int64_t judgedKept_ = 0;
};

inline constexpr char kInvalidFilesJournalTool[] = "Invalid Files";

struct MarkedRow {
  int index = 0;
  std::filesystem::path path;
  FileIdentity identity;             // the file Check listed
  Verdict verdict = Verdict::Size;  // a tail row is never removed, marked or not
};

struct DeleteRequest {
  std::filesystem::path root;  // the root of the last Check; never empty
  FileIdentity rootIdentity;   // which folder that root was at the Check
  bool moveAside = true;       // cut to DEAD
  bool removeEmptyFolders = true;
  CacheMode mode = kCacheModeFiles;  // how the last Check kept its result
  std::vector<MarkedRow> markedRows;  // list mode: the marked rows, top to bottom
  std::filesystem::path resultFile;   // cache mode: the temporary result file
};

enum class DeleteEnd {
  Completed,             // every listed file still in place was deleted or moved aside
  Stopped,               // the stop flag ended the file loop; what was done is journaled
  ResultFileUnreadable,  // cache mode: the result file could not be opened; nothing was touched
  JournalFailed,         // the journal could not be written; nothing was moved after that
};

struct DeleteOutcome {
  DeleteEnd end = DeleteEnd::Completed;
  int64_t removed = 0;      // files deleted or moved aside
  int64_t judgedKept = 0;  // damaged files, copies and thumbnails moved aside by a Delete that deleted the others
};

// "Damaged files, duplicates and thumbnails were moved aside to DEAD_DEAD_DEAD, not deleted: N"
// (the source text).
std::u16string JudgedMovedAsideText(int64_t count);

// The Delete job. List mode goes through the marked rows from the last to the first (passing over
// tail rows: such a file holds a whole original) and reports each row whose file is gone (RowDone
// with its index); cache mode processes every record of the result file, then clears the list and
// deletes the file. A file is acted on only while it is still the one Check listed (a record
// without that identity is passed over). A set `stop` ends the file loop early.
DeleteOutcome RunInvalidFileDelete(const DeleteRequest& request, const std::atomic<int>& stop,
                                   InvalidFileReporter& reporter);

// Removes every folder below `folder` that is empty, deepest first; `folder` itself stays.
void RemoveEmptyFolders(const std::filesystem::path& folder);

// Writes the result list as UTF-16LE text with a byte-order mark, one "<size> \t <path>\r\n"
// line per row. False when the file cannot be created or written completely.
bool SaveResultList(const std::filesystem::path& file, const std::vector<std::pair<std::u16string, std::u16string>>& rows);

}  // namespace brenvik
