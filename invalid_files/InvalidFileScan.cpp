#include "invalid_files/InvalidFileScan.h"

#include <cinttypes>
#include <cstdio>

#include "core/CheckPass.h"
#include "core/TextHelpers.h"

namespace brenvik {
namespace {

// Invalid Files' part of the Check pass: every file gets a verdict and counts; an invalid one is a
// row, and a removable one a record for Delete.
class InvalidFilesCheck {
 public:
  using Decision = ScanResult;
  InvalidFilesCheck(const InvalidFileDetector& criteria, const std::atomic<int>& stop)
      : criteria_(criteria), stop_(stop) {}

  ScanResult Decide(const WalkedFile& file) const {
    thread_local InvalidFileDetector::Scratch scratch;
    ScanResult result = criteria_.ClassifyAt(file.folderFd, file.name, scratch, &stop_);
    if (result.verdict != Verdict::Valid) result.path = file.Path();
    return result;
  }
  bool Found(const ScanResult& result) const { return result.verdict != Verdict::Valid; }
  // A tail file holds a whole original, so Delete must never see it.
  bool Record(RecordFileWriter& records, const ScanResult& result) const {
    return !IsRemovable(result.verdict) ||
           records.AppendPathBytes(result.path.native(), InvalidRecordTrailer(result.identity, result.verdict));
  }
  void MakeRow(ResultRow& row, int32_t index, ScanResult& result) {
    row = {index, result.verdict, result.size, std::move(result.path), std::move(result.reason), result.identity};
  }
  TallyShow Count(const ScanResult& result, bool invalid) {
    if (invalid) {
      ++tally_.invalidCount;
      tally_.invalidSize += result.size;
    }
    ++tally_.totalCount;
    tally_.totalSize += result.size;
    return TallyShow::Now;
  }
  const ScanTally& tally() const { return tally_; }

 private:
  const InvalidFileDetector& criteria_;
  const std::atomic<int>& stop_;
  ScanTally tally_;
};

}  // namespace

std::u16string FormatTallyText(const ScanTally& tally) {
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " Numbers: %" PRId64 " / %" PRId64, tally.invalidCount, tally.totalCount);
  return u"Size: " + FormatSizeText(tally.invalidSize) + u" / " + FormatSizeText(tally.totalSize) + Utf16(numbers);
}

ScanOutcome RunInvalidFileScan(const ScanRequest& request, const std::atomic<int>& stop,
                               InvalidFileReporter& reporter) {
  CheckPassSetup setup;
  setup.root = request.criteria.root;
  setup.cacheMode = request.mode == kCacheModeFiles;
  setup.temporaryFolder = request.temporaryFolder;
  setup.workers = request.workers;
  setup.listedRows = request.listedRows;
  InvalidFilesCheck tool(request.criteria, stop);
  const CheckPassOutcome pass = RunCheckPass(
      setup, {kDetectingText, kDetectCompletedText, kDetectFailedText, kTemporaryFileFailedText}, tool, stop, reporter);
  return {pass.end, pass.resultFile, pass.rootIdentity, tool.tally()};
}

}  // namespace brenvik
