#include "invalid_files/InvalidFileScan.h"

#include <cinttypes>
#include <cstdio>

#include "core/CheckPass.h"
#include "core/TextHelpers.h"
#include "platform/PathText.h"

namespace brenvik {
namespace {

// Invalid Files' part of the Check pass: every file gets a verdict and counts; an invalid one is a
// row, and a removable one a record for Delete.
class InvalidFilesCheck {
 public:
  using Decision = ScanResult;
  InvalidFilesCheck(const InvalidFileDetector& criteria, const std::atomic<int>& stop, InvalidFileReporter& reporter,
                    TwinFinder& twins)
      : criteria_(criteria), stop_(stop), reporter_(reporter), twins_(twins) {}

  ScanResult Decide(const WalkedFile& file) const {
    thread_local InvalidFileDetector::Scratch scratch;
    ScanResult result = criteria_.ClassifyAt(file.folderFd, file.name, scratch, &stop_);
    if (result.verdict != Verdict::Valid || result.identity.known()) result.path = file.Path();
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
    if (result.afterWalk) return TallyShow::Now;
    ++tally_.totalCount;
    tally_.totalSize += result.size;
    // A file every criterion let pass may still be a copy or a thumbnail of another.
    if (!invalid && result.identity.known()) twins_.Note(result.path.native(), result.size, result.identity, result.twin);
    return TallyShow::Now;
  }
  template <class Take>
  void AfterWalk(const CheckPassSetup& setup, FileIdentity rootIdentity, Take& take) {
    if (stop_.load() != 0 || (!twins_.duplicates() && !twins_.thumbnails())) return;
    reporter_.Status(kComparingText);
    twins_.Find(setup.root, rootIdentity, setup.workers > 0 ? setup.workers : DefaultWalkWorkers(), stop_,
                [&](TwinFinder::Twin&& twin) {
                  ScanResult result;
                  result.verdict = twin.kind == TwinFinder::Kind::Duplicate ? Verdict::Duplicate : Verdict::Thumbnail;
                  result.size = twin.size;
                  result.path = std::move(twin.path);
                  result.reason = BytesToText(twin.keptPath);
                  result.identity = twin.identity;
                  result.afterWalk = true;
                  take(std::move(result));
                });
  }
  const ScanTally& tally() const { return tally_; }

 private:
  const InvalidFileDetector& criteria_;
  const std::atomic<int>& stop_;
  InvalidFileReporter& reporter_;
  TwinFinder& twins_;
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
  const InvalidFileDetector& criteria = request.criteria;
  TwinFinder twins(criteria.duplicatesOn, criteria.thumbnailsOn, request.temporaryFolder);
  InvalidFilesCheck tool(criteria, stop, reporter, twins);
  const CheckPassOutcome pass = RunCheckPass(
      setup, {kDetectingText, kDetectCompletedText, kDetectFailedText, kTemporaryFileFailedText}, tool, stop, reporter);
  return {pass.end, pass.resultFile, pass.rootIdentity, tool.tally()};
}

}  // namespace brenvik
