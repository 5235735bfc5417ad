// Timing driver for the Invalid Files scan, against the reference walk of the same tree.
//
//   invalid_files_bench generate <root> [files=100000] [max KiB=16]   make a recovered-files tree
//   invalid_files_bench speed <root> [--cold]  cache-mode Check against the reference walk, warm
//                                              (and cold: page cache dropped, needs root)
//   invalid_files_bench rss <root>       one cache-mode Check; prints the peak resident memory
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/support/CheckVersusWalk.h"
#include "invalid_files/InvalidFileCriteria.h"
#include "invalid_files/InvalidFileScan.h"
#include "platform/PathText.h"

namespace {

namespace fs = std::filesystem;
using namespace brenvik;

void WriteBytes(const fs::path& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (::write(fd, bytes.data(), bytes.size()) < 0) std::perror("write");
  ::close(fd);
}

// A tree as a recovery leaves it: 100 files a folder, two folder levels, and a mix of empty files,
// fill-pattern files, temporary names, images with right and wrong extensions, zips and text.
int Generate(const fs::path& root, long count, long maxKiB) {
  std::mt19937_64 random(42);
  const auto sizeUpTo = [&](long bytes) { return static_cast<size_t>(random() % static_cast<uint64_t>(bytes)) + 1; };
  const auto noise = [&](size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(random());
    return s;
  };
  const auto text = [&](size_t n) {
    std::string s;
    while (s.size() < n) s += "recovered text line with some words in it\r\n";
    s.resize(n);
    return s;
  };
  const long maxBytes = maxKiB * 1024;
  for (long i = 0; i < count; ++i) {
    const fs::path folder = root / ("d" + std::to_string(i / 10000)) / ("s" + std::to_string(i / 100 % 100));
    if (i % 100 == 0) fs::create_directories(folder);
    const std::string stem = "f" + std::to_string(i);
    std::string name, bytes;
    switch (i % 10) {
      case 0: name = stem + ".doc"; break;  // empty
      case 1: {                              // fill pattern, sometimes after a real head
        bytes = std::string(sizeUpTo(maxBytes) / 4 * 4 + 4, '\0');
        for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = (k % 2 == 0) ? '\xDE' : '\xAD';
        if (i % 20 == 11) std::memcpy(bytes.data(), "\xFF\xD8\xFF\xE0", 4);
        name = stem + (i % 20 == 11 ? ".jpg" : ".bin");
        break;
      }
      case 2: name = (i % 3 == 0 ? "~$" + stem + ".docx" : stem + ".tmp"); bytes = noise(sizeUpTo(4096)); break;
      case 3:
      case 4: name = stem + ".jpg"; bytes = "\xFF\xD8\xFF\xE1" + noise(sizeUpTo(maxBytes)); break;
      case 5: name = stem + ".png"; bytes = noise(sizeUpTo(maxBytes)); break;  // wrong extension
      case 6: name = stem + ".zip"; bytes = std::string("PK\x03\x04", 4) + noise(sizeUpTo(maxBytes)); break;
      default: name = stem + ".txt"; bytes = text(sizeUpTo(maxBytes / 2)); break;
    }
    WriteBytes(folder / name, bytes);
  }
  std::printf("generated %ld files below %s\n", count, root.c_str());
  return 0;
}

struct NullReporter : InvalidFileReporter {};

// The page's defaults plus the content test with its default pattern and percent.
void SetDefaults(InvalidFileDetector& detector, const fs::path& root, bool withContent) {
  CriteriaInput input;
  input.root = PathToText(root);
  input.checkedNameRules.assign(kDefaultNameRules.begin(), kDefaultNameRules.end());
  for (auto extension : kDefaultExtensions) input.checkedExtensions.emplace_back(extension);
  input.sizeChecked = true;
  input.sizeMinimumText = input.sizeMaximumText = u"0";
  input.contentChecked = withContent;
  input.patternText = u"DEADDEAD";
  input.percentText = u"50";
  input.headerChecked = true;
  detector.Reset();
  CollectCriteria(input, detector);
}

// One cache-mode Check with the page's defaults, and the content test when asked; the files it
// examined.
int64_t CacheModeCheck(const fs::path& root, const fs::path& temporary, int workers, bool withContent,
                       ScanTally* tally = nullptr) {
  InvalidFileDetector detector;
  SetDefaults(detector, root, withContent);
  NullReporter reporter;
  std::atomic<int> stop{0};
  ScanRequest request{detector, kCacheModeFiles, temporary};
  request.workers = workers;
  const ScanOutcome outcome = RunInvalidFileScan(request, stop, reporter);
  fs::remove(outcome.resultFile);
  if (tally) *tally = outcome.tally;
  return outcome.tally.totalCount;
}

long PeakKiB() {
  rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int Speed(const fs::path& root, bool cold) {
  const fs::path temporary = fs::temp_directory_path() / ("invalid-files-bench-" + std::to_string(::getpid()));
  fs::create_directories(temporary);
  // The page's defaults leave the content test off; with it on, most files are read in full.
  bench::CompareCheckWithReferenceWalk(
      "Invalid Files, page defaults", root,
      [&](int workers) { return CacheModeCheck(root, temporary, workers, false); }, cold);
  bench::CompareCheckWithReferenceWalk(
      "Invalid Files, defaults + content test", root,
      [&](int workers) { return CacheModeCheck(root, temporary, workers, true); }, cold);
  fs::remove_all(temporary);
  return 0;
}

int Rss(const fs::path& root) {
  const fs::path temporary = fs::temp_directory_path() / ("invalid-files-bench-" + std::to_string(::getpid()));
  fs::create_directories(temporary);
  const long before = PeakKiB();
  ScanTally tally;
  const auto start = std::chrono::steady_clock::now();
  CacheModeCheck(root, temporary, 0, true, &tally);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fs::remove_all(temporary);
  std::printf("files %lld, %.1f s, peak resident %ld KiB (before the scan %ld KiB)\n",
              static_cast<long long>(tally.totalCount), seconds, PeakKiB(), before);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (argc > 2 && command == "generate")
    return Generate(argv[2], argc > 3 ? std::atol(argv[3]) : 100000, argc > 4 ? std::atol(argv[4]) : 16);
  if (argc > 2 && command == "speed") return Speed(argv[2], argc > 3 && std::string(argv[3]) == "--cold");
  if (argc > 2 && command == "rss") return Rss(argv[2]);
  std::fprintf(stderr, "usage: %s generate <root> [files] [max KiB] | speed <root> [--cold] | rss <root>\n", argv[0]);
  return 2;
}
