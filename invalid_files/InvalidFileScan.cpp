#include "invalid_files/InvalidFileScan.h"

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "app/core/TemporaryFolder.h"
#include "app/core/TextHelpers.h"
#include "invalid_files/ResultRecords.h"
#include "platform/ParallelWalk.h"

namespace brenvik {

std::u16string FormatTallyText(const ScanTally& tally) {
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " Numbers: %" PRId64 " / %" PRId64, tally.invalidCount, tally.totalCount);
  return u"Size: " + FormatSizeText(tally.invalidSize) + u" / " + FormatSizeText(tally.totalSize) + Utf16(numbers);
}

ScanOutcome RunInvalidFileScan(InvalidFileDetector& detector, const ScanRequest& request, InvalidFileSink& sink,
                               const std::atomic<int>& stop) {
  ScanOutcome outcome;
  sink.StatusText(kDetectingText);

  const bool cacheMode = request.mode == kCacheModeFiles;
  TemporaryResultFile resultFile;
  std::optional<ResultRecordWriter> records;
  const auto fail = [&] {
    sink.ProgressText(kTemporaryFileFailedText);
    sink.StatusText(kDetectFailedText);
    return outcome;
  };
  if (cacheMode) {
    resultFile = CreateTemporaryResultFile(request.temporaryFolder);
    if (!resultFile.fd) return fail();
    outcome.resultFile = resultFile.path;
    records.emplace(resultFile.fd.get());
  }

  outcome.rootIdentity = FolderIdentity(detector.root);
  detector.SetStopFlag(&stop);
  const InvalidFileDetector& criteria = detector;
  ScanTally& tally = outcome.tally;
  int rowCounter = 0;
  bool recordsFailed = false;
  ParallelWalkOptions options;
  options.workers = request.workers;
  options.stopFlag = &stop;
  ParallelWalkFiles(
      detector.root, options,
      [&criteria](const WalkedFile& file) {
        thread_local InvalidFileDetector::Scratch scratch;
        ScanResult result = criteria.ClassifyAt(file.folderFd, file.name, scratch);
        if (result.verdict != Verdict::Valid) result.path = file.Path();
        return result;
      },
      [&](const WalkedFile&, ScanResult&& result) {
        if (result.verdict != Verdict::Valid) {
          if (!cacheMode || rowCounter < kCacheModeShownRows)
            sink.AddRow({rowCounter++, result.verdict, result.size, result.path});
          if (cacheMode && !records->Append(result.path)) recordsFailed = true;
          ++tally.invalidCount;
          tally.invalidSize += result.size;
        }
        ++tally.totalCount;
        tally.totalSize += result.size;
        sink.Tally(tally);
        // A result file that misses records would let Delete pass over files silently.
        return !recordsFailed;
      });
  detector.SetStopFlag(nullptr);

  if (cacheMode && (!records->Flush() || recordsFailed)) return fail();
  outcome.completed = true;
  sink.StatusText(kDetectCompletedText);
  return outcome;
}

}  // namespace brenvik
