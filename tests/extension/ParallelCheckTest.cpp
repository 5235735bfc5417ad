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

// Every call as a line; Stop is pressed once `stopAfter` lines are in.
struct TranscriptSink : ExtensionSink {
  TranscriptSink(std::atomic<int>& stopFlag, int64_t stopAfterLines) : stop(stopFlag), stopAfter(stopAfterLines) {}
  void StatusText(std::u16string text) override { Line("status " + TextToUtf8(text)); }
  void Tally(int64_t identified, int64_t scanned) override { Line(TextToUtf8(TallyText(identified, scanned))); }
  void RowFound(ExtensionRow row) override {
    std::string identity;
    AppendIdentityBytes(identity, row.identity);
    Line("row " + std::to_string(row.index) + " " + TextToUtf8(row.type) + " " + TextToUtf8(row.path) + " " +
         identity);
  }
  void RowRenamed(int32_t row) override { Line("renamed " + std::to_string(row)); }
  void Line(std::string line) {
    lines.push_back(std::move(line));
    if (stopAfter >= 0 && static_cast<int64_t>(lines.size()) >= stopAfter) stop = 1;
  }
  std::atomic<int>& stop;
  int64_t stopAfter;
  std::vector<std::string> lines;
};

TEST(ParallelExtensionCheck, ManyThreadsGiveExactlyWhatOneThreadGives) {
  TempDir root, temporary;
  testing::MakeAwkwardTree(root.path());
  for (const bool cacheMode : {false, true}) {
    SCOPED_TRACE(cacheMode ? "cache mode" : "list mode");
    size_t rows = 0;
    testing::ExpectParallelCheckMatchesOneThread(
        [&](int workers, int64_t stopAfter) {
          ExtensionCheckOptions options{root.path(), cacheMode, temporary.path()};
          options.workers = workers;
          DocumentReader reader;
          ExtensionCounters counters;
          std::atomic<int> stop{0};
          TranscriptSink sink(stop, stopAfter);
          const ExtensionCheckOutcome outcome = RunExtensionCheck(options, reader, counters, stop, sink);
          EXPECT_TRUE(outcome.completed);
          rows = std::max<size_t>(rows, counters.rowCounter);
          CheckTranscript transcript{std::move(sink.lines), {}};
          if (!outcome.resultFile.empty()) {
            transcript.records = testing::ReadFile(outcome.resultFile);
            std::filesystem::remove(outcome.resultFile);
          }
          return transcript;
        },
        23000);
    EXPECT_GT(rows, cacheMode ? 32u : 10000u) << "identified files take part";
  }
}

}  // namespace
}  // namespace brenvik
