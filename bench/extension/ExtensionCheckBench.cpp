// Cache-mode Check over a recovered-files tree, against the reference walk (open each file, read
// its first 512 bytes) on 1 and N threads and `file --brief --extension`, all in the same run.
//
//   bench_extension_check [corpus folder] [file count] [check-only | no-file | cold | more-types]
//   (defaults: /tmp/brenvik-bench-extension 100000; check-only runs only Check, for a profiler;
//   no-file leaves out the slow `file` run; cold adds the cold-cache figures (needs root) and
//   leaves out `file`; more-types times Check with and without More types instead)
//
// The corpus is made once and kept for later runs; remove the folder when done.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <iterator>
#include <string>
#include <vector>

#include "bench/support/CheckVersusWalk.h"
#include "extension/ExtensionJob.h"

namespace fs = std::filesystem;
using namespace brenvik;

namespace {

constexpr int kFilesPerFolder = 1000;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A mix like a recovery leaves: photos, pdfs, Office files of both generations, text, noise.
void MakeCorpus(const fs::path& root, int count) {
  const fs::path data = BRENVIK_TEST_DATA "/extension";
  const std::string kinds[] = {
      std::string("\xFF\xD8\xFF\xE1", 4) + std::string(4000, 'j'),
      "%PDF-1.4\n" + std::string(3000, 'p'),
      Slurp(data / "report.doc"),
      Slurp(data / "report.docx"),
      Slurp(data / "table.xlsx"),
      Slurp(data / "table.xls"),
      std::string(2000, 't'),
      std::string("PK\x03\x04", 4) + std::string(3000, 'z'),
      std::string(5000, '\x11'),
      "plain notes\n",
  };
  for (int i = 0; i < count; ++i) {
    const fs::path folder = root / ("dir" + std::to_string(i / kFilesPerFolder));
    if (i % kFilesPerFolder == 0) fs::create_directories(folder);
    std::ofstream(folder / ("FILE" + std::to_string(i) + ".CHK"), std::ios::binary) << kinds[i % std::size(kinds)];
  }
}

// Does per file what the page's reporter does: hands the tally over under a lock.
struct NullReporter : ExtensionReporter {
  void Tally(const ExtensionCounters& counters) override {
    const int64_t identified = counters.identified, scanned = counters.scanned;
    std::lock_guard lock(mutex);
    latest = {identified, scanned};
  }
  std::mutex mutex;
  std::pair<int64_t, int64_t> latest;
};

template <class F>
double Seconds(F&& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path corpus = argc > 1 ? argv[1] : "/tmp/brenvik-bench-extension";
  const int count = argc > 2 ? std::atoi(argv[2]) : 100000;
  const fs::path root = corpus / "tree";
  const fs::path temporary = corpus / "tmp";
  if (!fs::exists(root / "done")) {
    std::printf("making %d files under %s ...\n", count, root.c_str());
    fs::remove_all(root);
    MakeCorpus(root, count);
    std::ofstream(root / "done") << count;
  }
  fs::create_directories(temporary);

  std::atomic<int> stop{0};
  NullReporter reporter;
  ExtensionCounters counters;
  bool moreTypes = false;
  const auto check = [&](int workers) {
    ExtensionCheckRequest request{root, true, temporary};
    request.workers = workers;
    request.moreTypes = moreTypes;
    const ExtensionCheckOutcome outcome = RunExtensionCheck(request, stop, reporter);
    counters = outcome.counters;
    fs::remove(outcome.resultFile);
    return counters.scanned;
  };
  const std::string mode = argc > 3 ? argv[3] : "";
  if (mode == "check-only") {  // for a profiler
    for (int round = 0; round < 5; ++round) check(0);
    return 0;
  }
  if (mode == "more-types") {
    check(0);  // warms the cache
    const double plain = Seconds([&] { check(0); });
    moreTypes = true;
    const double more = Seconds([&] { check(0); });
    std::printf("Check: %.3f s; with More types: %.3f s (%+.1f %%); %lld identified\n", plain, more,
                100.0 * (more - plain) / plain, static_cast<long long>(counters.identified));
    return 0;
  }
  bench::CompareCheckWithReferenceWalk("Extension", root, check, mode == "cold");
  std::printf("files: %lld scanned, %lld identified\n", static_cast<long long>(counters.scanned),
              static_cast<long long>(counters.identified));
  if (mode == "no-file" || mode == "cold") return 0;

  const std::string fileCommand =
      "find '" + root.string() + "' -type f -print0 | xargs -0 -n 2000 file --brief --extension > /dev/null";
  const double checkTime = Seconds([&] { check(0); });
  const double fileTime = Seconds([&] {
    if (std::system(fileCommand.c_str()) != 0) std::printf("file command failed\n");
  });
  std::printf("file --brief --extension: %.3f s; Check: %.3f s; Check / file: %.1fx (goal >= 5)\n", fileTime,
              checkTime, fileTime / checkTime);
  return 0;
}
