// Cache-mode Check over a recovered-files tree, against the bare walk (recursive readdir, open,
// read the first 512 bytes, close) and `file --brief --extension`, all in the same run with a
// warm page cache.
//
//   bench_extension_check [corpus folder] [file count] [check-only | no-file]
//   (defaults: /tmp/brenvik-bench-extension 100000; check-only runs only Check, for a profiler;
//   no-file leaves out the slow `file` run when only the walk ratio is wanted)
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

// The physical reference: what any content check must at least do per file.
int64_t BareWalk(int dirFd) {
  int64_t files = 0;
  DIR* dir = ::fdopendir(dirFd);
  if (dir == nullptr) return 0;
  char buffer[512];
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (entry->d_type == DT_DIR) {
      const int child = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (child >= 0) files += BareWalk(child);
    } else if (entry->d_type == DT_REG) {
      const int fd = ::openat(::dirfd(dir), name, O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      if (::read(fd, buffer, sizeof buffer) >= 0) ++files;
      ::close(fd);
    }
  }
  ::closedir(dir);
  return files;
}

// Does per file what the page's sink does: hands the tally over under a lock.
struct NullSink : ExtensionReporter {
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

  int64_t bareFiles = 0;
  const auto bare = [&] { bareFiles = BareWalk(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); };
  DocumentReader reader;
  std::atomic<int> stop{0};
  NullSink sink;
  ExtensionCounters counters;
  const auto check = [&] {
    const ExtensionCheckOutcome outcome = RunExtensionCheck({root, true, temporary, &reader}, stop, sink);
    counters = outcome.counters;
    fs::remove(outcome.resultFile);
  };
  const std::string fileCommand =
      "find '" + root.string() + "' -type f -print0 | xargs -0 -n 2000 file --brief --extension > /dev/null";
  const auto file = [&] {
    if (std::system(fileCommand.c_str()) != 0) std::printf("file command failed\n");
  };

  bare();   // warm the cache
  check();
  const std::string mode = argc > 3 ? argv[3] : "";
  if (mode == "check-only") {  // for a profiler
    for (int round = 0; round < 5; ++round) check();
    return 0;
  }
  double bareBest = 1e9, checkBest = 1e9;
  for (int round = 0; round < 5; ++round) {
    bareBest = std::min(bareBest, Seconds(bare));
    checkBest = std::min(checkBest, Seconds(check));
  }
  const double fileTime = mode == "no-file" ? 0 : Seconds(file);

  const double bareRate = bareFiles / bareBest, checkRate = counters.scanned / checkBest;
  const double fileRate = bareFiles / fileTime;
  std::printf("files: %lld scanned, %lld identified\n", static_cast<long long>(counters.scanned),
              static_cast<long long>(counters.identified));
  std::printf("bare walk (readdir, open, read 512, close): %.3f s, %.0f files/s\n", bareBest, bareRate);
  std::printf("cache-mode Check:                          %.3f s, %.0f files/s\n", checkBest, checkRate);
  std::printf("Check / bare walk: %.3f (goal >= 0.80)\n", checkRate / bareRate);
  if (fileTime > 0) {
    std::printf("file --brief --extension:                  %.3f s, %.0f files/s\n", fileTime, fileRate);
    std::printf("Check / file:      %.1fx (goal >= 5)\n", checkRate / fileRate);
  }
  return 0;
}
