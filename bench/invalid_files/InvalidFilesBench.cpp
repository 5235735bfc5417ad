// Timing driver for the Invalid Files scan, against a bare walk of the same warm tree.
//
//   invalid_files_bench generate <root> [files=100000] [max KiB=16]   make a recovered-files tree
//   invalid_files_bench speed <root>     bare walk (512 bytes), whole-file walk, cache-mode Check
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

struct WalkCount {
  long files = 0;
  long long bytes = 0;
};

// The reference: recursive readdir, open each regular file, read (the first 512 bytes or all of
// it), close. Nothing else.
void BareWalk(int dirFd, bool wholeFile, WalkCount& count, std::vector<char>& buffer) {
  DIR* dir = ::fdopendir(dirFd);
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (entry->d_type == DT_DIR) {
      const int child = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) BareWalk(child, wholeFile, count, buffer);
    } else if (entry->d_type == DT_REG) {
      const int fd = ::openat(::dirfd(dir), name, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      ssize_t n;
      do {
        n = ::read(fd, buffer.data(), wholeFile ? buffer.size() : 512);
        if (n > 0) count.bytes += n;
      } while (wholeFile && n > 0);
      ::close(fd);
      ++count.files;
    }
  }
  ::closedir(dir);
}

// Processor time of this process: on a machine shared with other jobs it is far steadier than the
// wall clock, and a warm-cache walk spends all its time on the processor anyway.
struct CpuClock {
  using time_point = double;
  static double now() {
    timespec ts {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
  }
};
double Seconds(double since) { return CpuClock::now() - since; }

double TimeBareWalk(const fs::path& root, bool wholeFile, WalkCount& count) {
  std::vector<char> buffer(1024 * 1024);
  count = {};
  const double start = CpuClock::now();
  BareWalk(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), wholeFile, count, buffer);
  return Seconds(start);
}

struct NullSink : InvalidFileReporter {};

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

double TimeCacheModeCheck(const fs::path& root, const fs::path& temporary, ScanTally& tally, bool withContent = true) {
  InvalidFileDetector detector;
  SetDefaults(detector, root, withContent);
  NullSink sink;
  std::atomic<int> stop{0};
  const double start = CpuClock::now();
  const ScanOutcome outcome = RunInvalidFileScan({&detector, kCacheModeFiles, temporary}, stop, sink);
  const double seconds = Seconds(start);
  tally = outcome.tally;
  fs::remove(outcome.resultFile);
  return seconds;
}

long PeakKiB() {
  rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int Speed(const fs::path& root) {
  const fs::path temporary = fs::temp_directory_path() / ("invalid-files-bench-" + std::to_string(::getpid()));
  fs::create_directories(temporary);
  WalkCount warm;
  TimeBareWalk(root, true, warm);  // bring the whole tree into the page cache
  // Interleaved rounds, best of each, so a busy machine disturbs all four alike.
  double bare = 1e9, whole = 1e9, check = 1e9, checkNoContent = 1e9;
  WalkCount bareCount, wholeCount;
  ScanTally tally, tallyNoContent;
  for (int round = 0; round < 5; ++round) {
    bare = std::min(bare, TimeBareWalk(root, false, bareCount));
    whole = std::min(whole, TimeBareWalk(root, true, wholeCount));
    check = std::min(check, TimeCacheModeCheck(root, temporary, tally));
    checkNoContent = std::min(checkNoContent, TimeCacheModeCheck(root, temporary, tallyNoContent, false));
  }
  fs::remove_all(temporary);
  const double bareRate = bareCount.files / bare, wholeRate = wholeCount.files / whole;
  const double checkRate = tally.totalCount / check;
  std::printf("files: %ld (%.1f MiB); rates per second of processor time\n", wholeCount.files, wholeCount.bytes / 1048576.0);
  std::printf("bare walk, first 512 bytes : %10.0f files/s\n", bareRate);
  std::printf("bare walk, whole files     : %10.0f files/s\n", wholeRate);
  std::printf("cache-mode Check, defaults + content: %10.0f files/s (%lld invalid)\n", checkRate,
              static_cast<long long>(tally.invalidCount));
  const double noContentRate = tallyNoContent.totalCount / checkNoContent;
  std::printf("cache-mode Check, defaults only     : %10.0f files/s (%lld invalid)\n", noContentRate,
              static_cast<long long>(tallyNoContent.invalidCount));
  std::printf("ratio to the 512-byte walk : %.2f (goal 0.80); without the content test %.2f\n", checkRate / bareRate,
              noContentRate / bareRate);
  std::printf("ratio to the whole-file walk: %.2f\n", checkRate / wholeRate);
  return 0;
}

int Rss(const fs::path& root) {
  const fs::path temporary = fs::temp_directory_path() / ("invalid-files-bench-" + std::to_string(::getpid()));
  fs::create_directories(temporary);
  const long before = PeakKiB();
  ScanTally tally;
  const double seconds = TimeCacheModeCheck(root, temporary, tally);
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
  if (argc > 2 && command == "speed") return Speed(argv[2]);
  if (argc > 2 && command == "rss") return Rss(argv[2]);
  std::fprintf(stderr, "usage: %s generate <root> [files] [max KiB] | speed <root> | rss <root>\n", argv[0]);
  return 2;
}
