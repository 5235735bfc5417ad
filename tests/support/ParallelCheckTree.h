#pragma once
// What the folder tools' Check tests share: a tree of awkward shapes, and the comparison of a
// Check run on many threads with the same Check on one.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/JobReporter.h"
#include "platform/PathText.h"

namespace brenvik::testing {

// One folder of `wideFiles` files, 3,000 folders of one file, a chain 200 folders deep, names
// that are not UTF-8, and links, FIFOs and the journal folder mixed in. The files take turns at a
// few names (.doc .png .txt .pdf .xls .jpg, none) and contents (empty, PNG, PDF, JPEG, text), so
// every tool takes some of them and passes over others.
void MakeAwkwardTree(const std::filesystem::path& root, int wideFiles = 20000);

// What one Check run produced: a line per reporter call, in order, and its result file's bytes.
struct CheckTranscript {
  std::vector<std::string> lines;
  std::string records;
};

// Writes down every call as a line, rows and tallies as the tool's `RowLine` and `TallyLine` put
// them, and presses Stop once `stopAfterLines` lines are in (-1: never).
template <class RowT, class TallyT>
class TranscriptReporter final : public JobReporter<RowT, TallyT> {
 public:
  using RowLine = std::function<std::string(const RowT&)>;
  using TallyLine = std::function<std::string(const TallyT&)>;
  TranscriptReporter(std::atomic<int>& stop, int64_t stopAfterLines, RowLine rowLine, TallyLine tallyLine)
      : stop_(stop), stopAfter_(stopAfterLines), rowLine_(std::move(rowLine)), tallyLine_(std::move(tallyLine)) {}

  void Status(std::u16string_view text) override { Line("status " + TextToUtf8(text)); }
  void Tally(const TallyT& tally) override { Line("tally " + tallyLine_(tally)); }
  void TallyFailure(std::u16string_view text) override { Line("tally failure " + TextToUtf8(text)); }
  void AddRow(const RowT& row) override { Line("row " + rowLine_(row)); }
  void RowDone(int32_t position) override { Line("done " + std::to_string(position)); }

  std::vector<std::string> lines;

 private:
  void Line(std::string line) {
    lines.push_back(std::move(line));
    if (stopAfter_ >= 0 && static_cast<int64_t>(lines.size()) >= stopAfter_) stop_ = 1;
  }
  std::atomic<int>& stop_;
  int64_t stopAfter_;
  RowLine rowLine_;
  TallyLine tallyLine_;
};

// Runs a Check on `workers` threads (0: the automatic choice), pressing Stop once its reporter has
// taken `stopAfterLines` calls (-1: never).
using CheckRunner = std::function<CheckTranscript(int workers, int64_t stopAfterLines)>;

// The run on many threads equals the run on one, line for line and byte for byte; Stop pressed at
// random points leaves what came before it exactly as the full run has it, and the result file a
// prefix of the full one, so no file is listed twice or passed over. `minimumLines` guards against
// comparing two empty runs.
void ExpectParallelCheckMatchesOneThread(const CheckRunner& run, size_t minimumLines);

}  // namespace brenvik::testing
