// The Check pass gives the same rows, counts and result file on any number of threads.
#include <gtest/gtest.h>

#include "extension/ExtensionJob.h"
#include "platform/PathText.h"
#include "tests/support/ParallelCheckTree.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::CheckTranscript;
using testing::TempDir;

std::string RowLine(const ExtensionRow& row) {
  std::string identity;
  AppendIdentityBytes(identity, row.identity);
  return std::to_string(row.index) + " " + TextToUtf8(row.type) + " " + TextToUtf8(row.path) + " " + identity;
}
std::string TallyLine(const ExtensionCounters& counters) {
  return std::to_string(counters.rowCounter) + " " + TextToUtf8(TallyText(counters.identified, counters.scanned));
}

TEST(ParallelExtensionCheck, ManyThreadsGiveExactlyWhatOneThreadGives) {
  TempDir root, temporary;
  testing::MakeAwkwardTree(root.path());
  for (const bool cacheMode : {false, true}) {
    SCOPED_TRACE(cacheMode ? "cache mode" : "list mode");
    int32_t rows = 0;
    testing::ExpectParallelCheckMatchesOneThread(
        [&](int workers, int64_t stopAfter) {
          ExtensionCheckRequest request{root.path(), cacheMode, temporary.path()};
          request.workers = workers;
          std::atomic<int> stop{0};
          testing::TranscriptReporter<ExtensionRow, ExtensionCounters> reporter(stop, stopAfter, RowLine, TallyLine);
          const ExtensionCheckOutcome outcome = RunExtensionCheck(request, stop, reporter);
          EXPECT_TRUE(outcome.end == ExtensionCheckEnd::Completed || outcome.end == ExtensionCheckEnd::Stopped);
          rows = std::max(rows, outcome.counters.rowCounter);
          CheckTranscript transcript{std::move(reporter.lines), {}};
          if (!outcome.resultFile.empty()) {
            transcript.records = testing::ReadFile(outcome.resultFile);
            std::filesystem::remove(outcome.resultFile);
          }
          return transcript;
        },
        23000);
    EXPECT_GT(rows, cacheMode ? 32 : 10000) << "identified files take part";
  }
}

}  // namespace
}  // namespace brenvik
