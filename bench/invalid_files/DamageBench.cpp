// Timing driver for the Damaged criterion: a Check with only Damaged on, over a tree of real
// files, against `cat` of every file of the same tree to /dev/null, both warm, in the same run.
//
//   damage_bench speed <root> [rounds=3]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "invalid_files/InvalidFileScan.h"

namespace {

namespace fs = std::filesystem;
using namespace brenvik;

struct NullReporter : InvalidFileReporter {};

template <class Run>
double BestSeconds(int rounds, const Run& run) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

int Speed(const fs::path& root, int rounds) {
  const std::string cat = "find '" + root.string() + "' -type f -exec cat {} + > /dev/null";
  if (std::system(cat.c_str()) != 0) return 1;  // warms the page cache too
  const double catSeconds = BestSeconds(rounds, [&] { (void)std::system(cat.c_str()); });

  const fs::path temporary = fs::temp_directory_path() / ("damage-bench-" + std::to_string(::getpid()));
  fs::create_directories(temporary);
  ScanTally tally;
  const double checkSeconds = BestSeconds(rounds, [&] {
    InvalidFileDetector detector;
    detector.Reset();
    detector.root = root;
    detector.damageTestOn = true;
    NullReporter reporter;
    std::atomic<int> stop{0};
    const ScanOutcome outcome = RunInvalidFileScan({detector, kCacheModeFiles, temporary}, stop, reporter);
    fs::remove(outcome.resultFile);
    tally = outcome.tally;
  });
  fs::remove_all(temporary);

  const double megabytes = static_cast<double>(tally.totalSize) / 1e6;
  std::printf("tree: %lld files, %.1f MB; listed %lld\n", static_cast<long long>(tally.totalCount), megabytes,
              static_cast<long long>(tally.invalidCount));
  std::printf("cat to /dev/null:  %8.1f MB/s (%.2f s)\n", megabytes / catSeconds, catSeconds);
  std::printf("Damaged Check:     %8.1f MB/s (%.2f s)\n", megabytes / checkSeconds, checkSeconds);
  std::printf("ratio Check / cat: %8.2f\n", catSeconds / checkSeconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "speed") return Speed(argv[2], argc > 3 ? std::atoi(argv[3]) : 3);
  std::fprintf(stderr, "usage: %s speed <root> [rounds]\n", argv[0]);
  return 2;
}
