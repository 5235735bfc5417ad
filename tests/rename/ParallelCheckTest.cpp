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

std::string RowLine(const RenameRow& row) {
  std::string identity;
  AppendIdentityBytes(identity, row.identity);
  return std::to_string(row.index) + " " + TextToUtf8(row.path) + " " + identity;
}
std::string TallyLine(const RenameNumbers& numbers) {
  return std::to_string(numbers.count) + " / " + std::to_string(numbers.total);
}

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
          testing::TranscriptReporter<RenameRow, RenameNumbers> reporter(stop, stopAfter, RowLine, TallyLine);
          RenameCheckRequest request{engine.choices(), root.path()};
          request.workers = workers;
          const RenameCheckOutcome outcome = RunRenameCheck(request, stop, reporter);
          EXPECT_TRUE(outcome.end == RenameCheckEnd::Completed || outcome.end == RenameCheckEnd::Stopped);
          CheckTranscript transcript{std::move(reporter.lines), {}};
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
