#pragma once
// The Check pass the folder tools share: it walks a folder tree on a pool of threads, lets the
// tool decide about every regular file, and hands the decisions back in walk order as list rows,
// result-file records and running counts. In cache mode every file found is a record of a new
// temporary result file and only the first rows are listed; the file's records carry each file's
// identity, so the pass that acts on them later touches no file put in its place.
//
// The tool is a class with these members (Decide runs on the workers, the rest on the calling
// thread, once per file in walk order):
//
//   using Decision = ...;                                  movable, made per file
//   Decision Decide(const WalkedFile& file) const;         safe to call on several threads at once
//   bool Found(const Decision& decision) const;            a row (and in cache mode a record)
//   bool Record(RecordFileWriter& records, const Decision& decision) const;  false: the write failed
//   void MakeRow(RowT& row, int32_t index, Decision& decision);  only rows listed; may take its texts
//   TallyShow Count(const Decision& decision, bool found); every file, after its record and row
//   const TallyT& tally() const;
//   void AfterWalk(const CheckPassSetup&, FileIdentity root, Take take);  optional: decisions made
//                                                          after the walk, each given to take()
//
// Display texts are made in MakeRow alone, so a file nobody sees costs no formatting.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "core/AppSettings.h"
#include "core/JobReporter.h"
#include "core/RecordFile.h"
#include "core/RefusalTexts.h"
#include "core/TemporaryFolder.h"
#include "platform/NoFollow.h"
#include "platform/ParallelWalk.h"

namespace brenvik {

enum class CheckEnd {
  Completed,         // every file below the root was looked at
  Stopped,           // the stop flag ended the walk; rows, counts and result file cover the files seen
  Refused,           // the root is missing or not a folder (a file, FIFO, device); nothing was read
  ResultFileFailed,  // cache mode: the result file could not be created or written in full; it is gone
};

// What a Check walks and where its results go.
struct CheckPassSetup {
  std::filesystem::path root;
  bool cacheMode = false;
  std::filesystem::path temporaryFolder;  // cache mode: where the result file goes
  RecordLength recordLength = kPathRecordLength;
  int workers = 0;                         // threads deciding; 0: as many as suit the machine
  int32_t listedRows = kCachePreviewRows;  // cache mode: how many rows are listed
};

// The status lines a tool shows; an empty text is not shown.
struct CheckTexts {
  std::u16string_view running;      // when the walk starts
  std::u16string_view completed;    // when it ended, stopped or not
  std::u16string_view failed;       // the result file could not be made or written in full
  std::u16string_view failedTally;  // the same, in the counts' place
};

// Whether a file's count is shown: at once, with a later one (the last is shown when the walk
// ends), or not at all because nothing changed.
enum class TallyShow : uint8_t { Unchanged, Later, Now };

struct CheckPassOutcome {
  CheckEnd end = CheckEnd::Completed;
  std::filesystem::path resultFile;  // cache mode: the new result file (empty when none)
  FileIdentity rootIdentity;         // the folder walked; a later pass acts below no other
  int32_t found = 0;                 // files found, listed or not
};

// The cache-mode result file of one pass: made at the start and, when any record could not be
// written, removed again, since a file with a record missing would let a later pass skip a file.
class CheckResultFile {
 public:
  // False when the file cannot be made.
  bool Create(const CheckPassSetup& setup);
  RecordFileWriter& records() { return *records_; }
  // Writes out what is buffered and closes the file; false (and the file is gone) when that or
  // any earlier write failed.
  bool Finish(bool recordsLost);
  const std::filesystem::path& path() const { return file_.path; }

 private:
  TemporaryResultFile file_;
  std::optional<RecordFileWriter> records_;
};

// The texts of the ends every tool's Check and the pass after it share.
inline constexpr char16_t kTemporaryFileFailedText[] = u"Failed to generate temporary file";
inline constexpr char16_t kTemporaryFileAccessText[] = u"Failed to access temporary file";

// The refusal of a Check whose root was not given (kSetPathCorrectlyText); empty when one was.
// A root that is given but is no folder is refused by the pass itself (CheckEnd::Refused).
inline std::u16string_view CheckRootRefusal(const std::filesystem::path& root) {
  return root.empty() ? std::u16string_view(kSetPathCorrectlyText) : std::u16string_view();
}

template <class Tool, class RowT, class TallyT>
CheckPassOutcome RunCheckPass(const CheckPassSetup& setup, const CheckTexts& texts, Tool& tool,
                              const std::atomic<int>& stop, JobReporter<RowT, TallyT>& reporter) {
  CheckPassOutcome outcome;
  outcome.rootIdentity = FolderIdentity(setup.root);
  if (!outcome.rootIdentity.known()) {
    outcome.end = CheckEnd::Refused;
    return outcome;
  }
  const auto status = [&](std::u16string_view text) {
    if (!text.empty()) reporter.Status(text);
  };
  const auto fail = [&] {
    outcome.end = CheckEnd::ResultFileFailed;
    if (!texts.failedTally.empty()) reporter.TallyFailure(texts.failedTally);
    status(texts.failed);
    return outcome;
  };
  status(texts.running);
  CheckResultFile resultFile;
  if (setup.cacheMode && !resultFile.Create(setup)) return fail();

  bool recordsLost = false;
  bool tallyPending = false;
  int32_t listed = 0;
  RowT row;  // one buffer for every row; the reporter copies what it keeps
  ParallelWalkOptions walk;
  walk.workers = setup.workers;
  walk.stopFlag = &stop;
  const auto take = [&](typename Tool::Decision&& decision) {
    const bool found = tool.Found(decision);
    if (found) {
      ++outcome.found;
      if (setup.cacheMode && !tool.Record(resultFile.records(), decision)) recordsLost = true;
      if (!setup.cacheMode || listed < setup.listedRows) {
        tool.MakeRow(row, listed++, decision);
        reporter.AddRow(row);
      }
    }
    const TallyShow show = tool.Count(decision, found);
    if (show == TallyShow::Now) reporter.Tally(tool.tally());
    tallyPending = show == TallyShow::Later || (tallyPending && show == TallyShow::Unchanged);
    return !recordsLost;
  };
  ParallelWalkFiles(
      setup.root, walk, [&tool](const WalkedFile& file) { return tool.Decide(file); },
      [&](const WalkedFile&, typename Tool::Decision&& decision) { return take(std::move(decision)); });
  // A tool that decides some files only once it has seen them all (copies of each other) gives
  // those decisions now, after the files of the walk.
  if constexpr (requires { tool.AfterWalk(setup, outcome.rootIdentity, take); }) {
    if (!recordsLost) tool.AfterWalk(setup, outcome.rootIdentity, take);
  }
  if (tallyPending) reporter.Tally(tool.tally());

  if (setup.cacheMode) {
    if (!resultFile.Finish(recordsLost)) return fail();
    outcome.resultFile = resultFile.path();
  }
  if (stop.load() != 0) outcome.end = CheckEnd::Stopped;
  status(texts.completed);
  return outcome;
}

}  // namespace brenvik
