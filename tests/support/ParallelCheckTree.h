#pragma once
// What the folder tools' Check tests share: a tree of awkward shapes, and the comparison of a
// Check run on many threads with the same Check on one.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace brenvik::testing {

// One folder of `wideFiles` files, 3,000 folders of one file, a chain 200 folders deep, names
// that are not UTF-8, and links, FIFOs and the journal folder mixed in. The files take turns at a
// few names (.doc .png .txt .pdf .xls .jpg, none) and contents (empty, PNG, PDF, JPEG, text), so
// every tool takes some of them and passes over others.
void MakeAwkwardTree(const std::filesystem::path& root, int wideFiles = 20000);

// What one Check run produced: a line per sink call, in order, and its result file's bytes.
struct CheckTranscript {
  std::vector<std::string> lines;
  std::string records;
};

// Runs a Check on `workers` threads (0: the automatic choice), pressing Stop once its sink has
// taken `stopAfterLines` calls (-1: never).
using CheckRunner = std::function<CheckTranscript(int workers, int64_t stopAfterLines)>;

// The run on many threads equals the run on one, line for line and byte for byte; Stop pressed at
// random points leaves what came before it exactly as the full run has it, and the result file a
// prefix of the full one, so no file is listed twice or passed over. `minimumLines` guards against
// comparing two empty runs.
void ExpectParallelCheckMatchesOneThread(const CheckRunner& run, size_t minimumLines);

}  // namespace brenvik::testing
