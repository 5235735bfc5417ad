// The Check scan gives the same rows, tallies and result file on any number of threads.
#include <gtest/gtest.h>

#include <set>

#include "invalid_files/InvalidFileScan.h"
#include "platform/PathText.h"
#include "tests/support/ParallelCheckTree.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::CheckTranscript;
using testing::TempDir;

std::string RowLine(const ResultRow& row) {
  return std::to_string(row.index) + " " + std::to_string(static_cast<int>(row.verdict)) + " " +
         std::to_string(row.size) + " " + row.path.native();
}
std::string TallyLine(const ScanTally& tally) { return TextToUtf8(FormatTallyText(tally)); }

TEST(ParallelInvalidFileScan, ManyThreadsGiveExactlyWhatOneThreadGives) {
  TempDir root, temporary;
  testing::MakeAwkwardTree(root.path());
  for (const CacheMode mode : {kCacheModeList, kCacheModeFiles}) {
    SCOPED_TRACE(mode == kCacheModeList ? "list mode" : "cache mode");
    std::set<std::string> verdictsSeen;
    testing::ExpectParallelCheckMatchesOneThread(
        [&](int workers, int64_t stopAfter) {
          // Empty files by size, the name rule "7", the type test on four extensions, the
          // content test, and copies and thumbnails among the files these let pass.
          InvalidFileDetector detector;
          detector.Reset();
          detector.root = root.path();
          detector.sizeTestOn = true;
          detector.sizeMinimum = 0;
          detector.sizeMaximum = 0;
          detector.nameRules.emplace_back(NameRule::kContain, u"7");
          detector.extensions = {u"png", u"pdf", u"jpg", u"doc"};
          detector.contentTestOn = true;
          detector.fillPattern = {'j'};
          detector.percentThreshold = 20;
          detector.duplicatesOn = true;
          detector.thumbnailsOn = true;
          std::atomic<int> stop{0};
          testing::TranscriptReporter<ResultRow, ScanTally> reporter(stop, stopAfter, RowLine, TallyLine);
          ScanRequest request{detector, mode, temporary.path()};
          request.workers = workers;
          const ScanOutcome outcome = RunInvalidFileScan(request, stop, reporter);
          EXPECT_TRUE(outcome.end == ScanEnd::Completed || outcome.end == ScanEnd::Stopped);
          for (const std::string& line : reporter.lines)
            if (line.starts_with("row ")) verdictsSeen.insert(line.substr(line.find(' ', 4) + 1, 1));
          CheckTranscript transcript{std::move(reporter.lines), {}};
          if (!outcome.resultFile.empty()) {
            transcript.records = testing::ReadFile(outcome.resultFile);
            std::filesystem::remove(outcome.resultFile);
          }
          return transcript;
        },
        23000);
    EXPECT_GE(verdictsSeen.size(), mode == kCacheModeList ? 5u : 2u) << "every verdict takes part, copies too";
  }
}

}  // namespace
}  // namespace brenvik
