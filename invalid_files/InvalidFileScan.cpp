#include "invalid_files/InvalidFileScan.h"

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "core/RecordFile.h"
#include "core/TemporaryFolder.h"
#include "core/TextHelpers.h"
#include "platform/ParallelWalk.h"

namespace brenvik {

std::u16string FormatTallyText(const ScanTally& tally) {
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " Numbers: %" PRId64 " / %" PRId64, tally.invalidCount, tally.totalCount);
  return u"Size: " + FormatSizeText(tally.invalidSize) + u" / " + FormatSizeText(tally.totalSize) + Utf16(numbers);
}

ScanOutcome RunInvalidFileScan(const ScanRequest& request, const std::atomic<int>& stop,
                               InvalidFileReporter& reporter) {
  InvalidFileDetector& detector = *request.detector;
  ScanOutcome outcome;
  outcome.rootIdentity = FolderIdentity(detector.root);
  if (!outcome.rootIdentity.known()) {
    outcome.end = ScanEnd::NotAFolder;
    return outcome;
  }
  reporter.Status(kDetectingText);

  const bool cacheMode = request.mode == kCacheModeFiles;
  TemporaryResultFile resultFile;
  std::optional<RecordFileWriter> records;
  const auto fail = [&] {
    // A result file that misses records would let Delete pass over files silently: it goes.
    records.reset();
    if (resultFile.fd) {
      resultFile.fd.reset();
      DeleteFile(resultFile.path);
    }
    outcome.resultFile.clear();
    outcome.end = ScanEnd::ResultFileFailed;
    reporter.TallyFailure(kTemporaryFileFailedText);
    reporter.Status(kDetectFailedText);
    return outcome;
  };
  if (cacheMode) {
    resultFile = CreateTemporaryResultFile(request.temporaryFolder);
    if (!resultFile.fd) return fail();
    outcome.resultFile = resultFile.path;
    records.emplace(resultFile.fd.get(), kPathRecordLength);
  }

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
          if (!cacheMode || rowCounter < request.listedRows)
            reporter.AddRow({rowCounter++, result.verdict, result.size, result.path, result.reason, result.identity});
          // The result file is what Delete acts on.
          if (cacheMode && IsRemovable(result.verdict) &&
              !records->AppendPathBytes(result.path.native(), IdentityBytes(result.identity).view()))
            recordsFailed = true;
          ++tally.invalidCount;
          tally.invalidSize += result.size;
        }
        ++tally.totalCount;
        tally.totalSize += result.size;
        reporter.Tally(tally);
        // A result file that misses records would let Delete pass over files silently.
        return !recordsFailed;
      });
  detector.SetStopFlag(nullptr);

  if (cacheMode && (!records->Flush() || recordsFailed)) return fail();
  if (stop.load() != 0) outcome.end = ScanEnd::Stopped;
  reporter.Status(kDetectCompletedText);
  return outcome;
}

}  // namespace brenvik
