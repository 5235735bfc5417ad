// File Rename timings, each against a reference measured in the same run:
//  - Rename of 10,000 mixed recovered documents (all eight types), warm cache, against a bare walk
//    that opens every file and reads its first 512 bytes;
//  - Check of a 100,000-file tree, which looks at names only, against a bare readdir walk.
//
// Usage: rename_bench [--check-only] [work folder]   (default: a new folder under /tmp; removed
// afterwards). --check-only skips the Rename timing.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/PathText.h"
#include "rename/RenameJob.h"
#include "tests/readers/ArchiveBuilders.h"

namespace fs = std::filesystem;
using namespace brenvik;

namespace {

const fs::path kFixtures = BRENVIK_RENAME_DATA;

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <class F>
double Time(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return Seconds(std::chrono::steady_clock::now() - start);
}

double ThreadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Wall time and the CPU time this thread spent (user and system): on a machine that other work
// keeps busy, the CPU time shows the cost of a walk without the waits for a free core.
struct Timing {
  double wall;
  double cpu;
};

template <class F>
Timing TimeBoth(F&& f) {
  const double cpuStart = ThreadCpuSeconds();
  const double wall = Time(std::forward<F>(f));
  return {wall, ThreadCpuSeconds() - cpuStart};
}


void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// 10,000 documents, 1,250 of each type, in 20 folders.
std::vector<fs::path> MakeDocuments(const fs::path& folder) {
  const fs::path samples = folder / "samples";
  fs::create_directories(samples);
  using brenvik::testing::ZipEntry;
  brenvik::testing::WriteZip(samples / "s.zip", {ZipEntry("docs/contract.doc", std::string(3000, 'c')),
                                                 ZipEntry("docs/invoice.xls", std::string(2000, 'i'))});
  Write(samples / "s.rar", brenvik::testing::Rar4Archive({{"plan.doc", 0x20, 2, std::string(4000, 'p')},
                                                          {"budget.xls", 0x20, 2, std::string(1000, 'b')}}));
  Write(samples / "s.txt", "Quarterly report 2012\r\nFigures for the third quarter, by region.\r\n" + std::string(2000, 'x'));
  const std::vector<fs::path> sources{kFixtures / "report.doc", kFixtures / "budget.xls", kFixtures / "report.docx",
                                      kFixtures / "budget.xlsx", samples / "s.zip",       samples / "s.rar",
                                      kFixtures / "report.pdf",  samples / "s.txt"};
  std::vector<fs::path> made;
  for (int i = 0; i < 10000; ++i) {
    const fs::path sub = folder / "docs" / std::to_string(i % 20);
    fs::create_directories(sub);
    const fs::path& source = sources[i % sources.size()];
    made.push_back(sub / (std::to_string(100000 + i) + source.extension().string()));
    fs::copy_file(source, made.back());
  }
  fs::remove_all(samples);
  return made;
}

// 100,000 empty files in 100 folders; half carry one of the eight extensions.
void MakeTree(const fs::path& folder) {
  const char* extensions[] = {".doc", ".jpg", ".xls", ".bin", ".docx", ".dat", ".xlsx", ".DOC",
                              ".zip", ".png", ".rar", ".mp3", ".pdf",  ".tmp", ".txt",  ".html"};
  for (int d = 0; d < 100; ++d) {
    const fs::path sub = folder / ("dir" + std::to_string(d));
    fs::create_directories(sub);
    for (int i = 0; i < 1000; ++i) {
      const std::string name = "file" + std::to_string(d * 1000 + i) + extensions[i % 16];
      const int fd = ::open((sub / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
}

// The reference for Check: recursive readdir, names only.
int64_t BareReaddirWalk(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int64_t files = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (entry->d_type == DT_DIR) files += BareReaddirWalk(folder + "/" + name);
    else if (entry->d_type == DT_REG) ++files;
  }
  ::closedir(dir);
  return files;
}

// The reference for Rename: open every file, read its first 512 bytes, close.
int64_t BareReadWalk(const std::vector<fs::path>& files) {
  char buffer[512];
  int64_t bytes = 0;
  for (const fs::path& f : files) {
    const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    bytes += got > 0 ? got : 0;
    ::close(fd);
  }
  return bytes;
}

// Keeps the rows, as the page's list does, for the Rename that follows.
struct CountingSink : RenameReporter {
  void AddRow(const RenameRow& row) override { paths.push_back(row.path); }
  void Status(std::u16string_view text) override { status = text; }
  void Tally(const RenameNumbers& numbers) override { last = numbers.count; }
  int32_t last = 0;
  std::vector<std::u16string> paths;
  std::u16string status;
};

// Check proper: what reaches the page is dropped.
struct NullSink : RenameReporter {
};

// The best of several runs, wall and CPU time each.
Timing Best(const std::vector<Timing>& runs) {
  Timing best = runs.front();
  for (const Timing& t : runs) {
    best.wall = std::min(best.wall, t.wall);
    best.cpu = std::min(best.cpu, t.cpu);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work;
  bool checkOnly = false;
  if (argc > 1 && std::string(argv[1]) == "--check-only") {
    checkOnly = true;
    --argc;
    ++argv;
  }
  if (argc > 1) {
    work = argv[1];
    fs::create_directories(work);
  } else {
    std::string pattern = (fs::temp_directory_path() / "rename-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    work = pattern;
  }
  AppSettings settings;
  settings.temporaryFolder = work / "tvk";
  fs::create_directories(settings.temporaryFolder);
  std::atomic<int> stop{0};

  // Rename of 10,000 mixed documents.
  if (!checkOnly) {
    const std::vector<fs::path> documents = MakeDocuments(work);
    BareReadWalk(documents);  // warm the cache
    const double reference = Time([&] { BareReadWalk(documents); });

    RenameEngine engine(DocumentContentReaders());
    settings.cacheMode = kCacheModeList;
    engine.setSettings(settings);
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
    CountingSink sink;
    RunRenameCheck({&engine, work / "docs"}, stop, sink);
    ListRows rows(sink.paths);
    for (auto& mark : rows.checked) mark = 1;
    const double seconds = Time([&] { RunRename({&engine, false, &rows, {}}, stop, sink); });
    int64_t renamed = 0;
    for (const auto& entry : fs::recursive_directory_iterator(work / "docs"))
      renamed += entry.path().filename().string().find('#') != std::string::npos ? 1 : 0;
    std::printf("Rename: %zu documents in %.2f s (%.0f files/s), %lld renamed; goal < 15 s\n", rows.paths.size(), seconds,
                rows.paths.size() / seconds, static_cast<long long>(renamed));
    std::printf("  bare open+read(512) walk over the same files: %.3f s; Rename takes %.1f times as long\n", reference,
                seconds / reference);
    fs::remove_all(work / "docs");
  }

  // Check of a 100,000-file tree.
  {
    const fs::path tree = work / "tree";
    MakeTree(tree);
    RenameEngine engine({});
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
    std::vector<Timing> bare, listCheck, cacheCheck;
    int64_t walked = 0;
    size_t selected = 0;
    const auto checkIn = [&](uint8_t cacheMode) {
      settings.cacheMode = cacheMode;
      engine.setSettings(settings);
      return TimeBoth([&] {
        NullSink sink;
        const RenameCheckOutcome outcome = RunRenameCheck({&engine, tree}, stop, sink);
        selected = static_cast<size_t>(outcome.rowCounter);
        if (!outcome.resultFile.empty()) fs::remove(outcome.resultFile);
      });
    };
    // The three take turns at going first, so none gains from the caches the others warm.
    for (int round = 0; round < 15; ++round) {
      for (int turn = 0; turn < 3; ++turn) {
        switch ((round + turn) % 3) {
          case 0: bare.push_back(TimeBoth([&] { walked = BareReaddirWalk(tree.native()); })); break;
          case 1: listCheck.push_back(checkIn(kCacheModeList)); break;
          default: cacheCheck.push_back(checkIn(kCacheModeFiles)); break;
        }
      }
    }
    const Timing b = Best(bare), l = Best(listCheck), c = Best(cacheCheck);
    std::printf("Check: %lld files walked, %zu selected (best of 15, warm cache)\n", static_cast<long long>(walked),
                selected);
    std::printf("  wall: bare readdir walk %.3f s; list-mode Check %.3f s (%.2f of the walk's speed); "
                "cache-mode Check %.3f s (%.2f); goal 0.9\n",
                b.wall, l.wall, b.wall / l.wall, c.wall, b.wall / c.wall);
    std::printf("  CPU:  bare readdir walk %.3f s; list-mode Check %.3f s (%.2f); cache-mode Check %.3f s (%.2f)\n",
                b.cpu, l.cpu, b.cpu / l.cpu, c.cpu, b.cpu / c.cpu);
    fs::remove_all(tree);
  }
  fs::remove_all(work);
  return 0;
}
