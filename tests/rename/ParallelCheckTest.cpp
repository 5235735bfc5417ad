// The Check pass gives the same rows, counts and result file on any number of threads.
#include <gtest/gtest.h>

#include "platform/PathText.h"
#include "rename/RenameJob.h"
#include "tests/rename/FakeReaders.h"
#include "tests/support/ParallelCheckTree.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::CheckTranscript;
using testing::TempDir;

// Every call as a line; Stop is pressed once `stopAfter` lines are in.
struct TranscriptSink : RenameJobSink {
  TranscriptSink(std::atomic<int>& stopFlag, int64_t stopAfterLines) : stop(stopFlag), stopAfter(stopAfterLines) {}
  void rowFound(int32_t index, const std::u16string& path, FileIdentity identity) override {
    std::string identityBytes;
    AppendIdentityBytes(identityBytes, identity);
    Line("row " + std::to_string(index) + " " + TextToUtf8(path) + " " + identityBytes);
  }
  void rowDone(int32_t row) override { Line("done " + std::to_string(row)); }
  void statusText(const std::u16string& text) override { Line("status " + TextToUtf8(text)); }
  void numbers(int32_t count) override { Line(TextToUtf8(NumbersText(count))); }
  void numbers(int32_t done, int32_t total) override { Line(TextToUtf8(NumbersText(done, total))); }
  void Line(std::string line) {
    lines.push_back(std::move(line));
    if (stopAfter >= 0 && static_cast<int64_t>(lines.size()) >= stopAfter) stop = 1;
  }
  std::atomic<int>& stop;
  int64_t stopAfter;
  std::vector<std::string> lines;
};

TEST(ParallelRenameCheck, ManyThreadsGiveExactlyWhatOneThreadGives) {
  TempDir root, temporary;
  testing::MakeAwkwardTree(root.path());
  RenameEngine engine(testing::FakeReaders());
  engine.prepareCheck();
  engine.selectTypes(kRenameDoc | kRenamePdf | kRenameTxt);
  for (const CacheMode mode : {kCacheModeList, kCacheModeFiles}) {
    SCOPED_TRACE(mode == kCacheModeList ? "list mode" : "cache mode");
    AppSettings settings;
    settings.temporaryFolder = temporary.path();
    settings.cacheMode = mode;
    engine.setSettings(settings);
    // List mode reports a row per file taken; cache mode a count per 1,024.
    testing::ExpectParallelCheckMatchesOneThread(
        [&](int workers, int64_t stopAfter) {
          std::atomic<int> stop{0};
          TranscriptSink sink(stop, stopAfter);
          const CheckOutcome outcome = RunCheck(engine, root.path(), stop, sink, workers);
          EXPECT_TRUE(outcome.completed);
          CheckTranscript transcript{std::move(sink.lines), {}};
          if (!outcome.resultFile.empty()) {
            transcript.records = testing::ReadFile(outcome.resultFile);
            std::filesystem::remove(outcome.resultFile);
          }
          return transcript;
        },
        mode == kCacheModeList ? 9000 : 40);
  }
}

}  // namespace
}  // namespace brenvik
