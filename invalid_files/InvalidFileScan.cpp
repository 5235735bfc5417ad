#include "invalid_files/InvalidFileScan.h"

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "core/TemporaryFolder.h"
#include "core/TextHelpers.h"
#include "core/RecordFile.h"
#include "platform/DirectoryWalk.h"

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
  reporter.Status(kDetectingText);

  const bool cacheMode = request.mode == kCacheModeFiles;
  TemporaryResultFile resultFile;
  std::optional<RecordFileWriter> records;
  const auto fail = [&] {
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

  outcome.rootIdentity = FolderIdentity(detector.root);
  detector.SetStopFlag(&stop);
  ScanTally& tally = outcome.tally;
  int rowCounter = 0;
  bool recordsFailed = false;
  WalkOptions options;
  options.wantSize = false;  // Classify takes the size from the open file
  options.stopFlag = &stop;
  WalkTree(detector.root, options, [&](const WalkEntry& entry) {
    if (entry.kind != WalkEntryKind::File) return WalkControl::Continue;
    ScanResult result = detector.Classify(entry.folderFd, entry.name, std::filesystem::path(std::string(entry.path)));
    if (result.verdict != Verdict::Valid) {
      if (!cacheMode || rowCounter < kCachePreviewRows)
        reporter.AddRow({rowCounter++, result.verdict, result.size, result.path});
      if (cacheMode && !records->AppendPath(result.path)) recordsFailed = true;
      ++tally.invalidCount;
      tally.invalidSize += result.size;
    }
    ++tally.totalCount;
    tally.totalSize += result.size;
    reporter.Tally(tally);
    // A result file that misses records would let Delete pass over files silently.
    return recordsFailed ? WalkControl::Stop : WalkControl::Continue;
  });
  detector.SetStopFlag(nullptr);

  if (cacheMode && (!records->Flush() || recordsFailed)) return fail();
  outcome.completed = true;
  reporter.Status(kDetectCompletedText);
  return outcome;
}

}  // namespace brenvik
