// File Rename timings, each against a reference measured in the same run:
//  - Rename of 10,000 mixed recovered documents (all eight types), warm cache, against a bare walk
//    that opens every file and reads its first 512 bytes;
//  - cache-mode Check of a 100,000-file tree, which looks at names only, against the reference
//    walk (open each file, read its first 512 bytes) on 1 and N threads, warm and with --cold
//    also cold (page cache dropped; needs root);
//  - the journal's cost: Rename of the 10,000 documents with and without its journal, by turns.
//
// Usage: rename_bench [--check-only | --journal-only] [--cold] [work folder]   (default: a new
// folder under /tmp; removed afterwards). --check-only skips the Rename timings, --journal-only
// times only the journal's cost.
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

#include "bench/support/CheckVersusWalk.h"
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

// Wall time and the CPU time this thread spent: on a machine that other work keeps busy, the CPU
// time shows the cost without the waits for a free core.
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

// The files of the Check tree.
constexpr int kTreeFiles = 100000;

// kTreeFiles empty files in 100 folders; half carry one of the eight extensions.
void MakeTree(const fs::path& folder) {
  const char* extensions[] = {".doc", ".jpg", ".xls", ".bin", ".docx", ".dat", ".xlsx", ".DOC",
                              ".zip", ".png", ".rar", ".mp3", ".pdf",  ".tmp", ".txt",  ".html"};
  for (int d = 0; d < 100; ++d) {
    const fs::path sub = folder / ("dir" + std::to_string(d));
    fs::create_directories(sub);
    for (int i = 0; i < kTreeFiles / 100; ++i) {
      const std::string name = "file" + std::to_string(d * (kTreeFiles / 100) + i) + extensions[i % 16];
      const int fd = ::open((sub / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
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
struct CountingReporter : RenameReporter {
  void AddRow(const RenameRow& row) override { paths.push_back(row.path); }
  void Status(std::u16string_view text) override { status = text; }
  void Tally(const RenameNumbers& numbers) override { last = numbers.count; }
  int32_t last = 0;
  std::vector<std::u16string> paths;
  std::u16string status;
};

// Check proper: what reaches the page is dropped.
struct NullReporter : RenameReporter {
};

// One Rename of a fresh set of the 10,000 documents below `work`/docs, each file reached below
// that root as the page's Rename does; with `journaled` every move is journaled first.
Timing TimedRename(const fs::path& work, const AppSettings& settings, bool journaled) {
  fs::remove_all(work / "docs");
  const std::vector<fs::path> documents = MakeDocuments(work);
  BareReadWalk(documents);  // warm the cache
  RenameEngine engine(DocumentContentReaders());
  engine.setSettings(settings);
  engine.prepareCheck();
  const ListedTree tree(work / "docs", FolderIdentity(work / "docs"));
  JobJournal journal(tree.rootFd(), tree.root(), kRenameJournalTool, "mode=list");
  std::vector<std::u16string> paths;
  for (const fs::path& document : documents) paths.push_back(PathToText(document));
  const Timing timing = TimeBoth([&] {
    for (const std::u16string& path : paths) engine.RenameFromContent(tree, path, {}, journaled ? &journal : nullptr);
  });
  if (journaled && journal.path().empty()) std::printf("  (the journaled run wrote no journal)\n");
  return timing;
}

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
  bool checkOnly = false, journalOnly = false, cold = false;
  for (; argc > 1 && std::string(argv[1]).starts_with("--"); --argc, ++argv) {
    checkOnly = checkOnly || std::string(argv[1]) == "--check-only";
    journalOnly = journalOnly || std::string(argv[1]) == "--journal-only";
    cold = cold || std::string(argv[1]) == "--cold";
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
  if (!checkOnly && !journalOnly) {
    const std::vector<fs::path> documents = MakeDocuments(work);
    BareReadWalk(documents);  // warm the cache
    const double reference = Time([&] { BareReadWalk(documents); });

    RenameEngine engine(DocumentContentReaders());
    settings.cacheMode = kCacheModeList;
    engine.setSettings(settings);
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
    CountingReporter reporter;
    RunRenameCheck({engine.choices(), work / "docs"}, stop, reporter);
    ListRows rows(reporter.paths);
    for (auto& mark : rows.checked) mark = 1;
    const double seconds = Time([&] { RunRename({engine.readers(), engine.choices(), false, &rows, {}}, stop, reporter); });
    int64_t renamed = 0;
    for (const auto& entry : fs::recursive_directory_iterator(work / "docs"))
      renamed += entry.path().filename().string().find('#') != std::string::npos ? 1 : 0;
    std::printf("Rename: %zu documents in %.2f s (%.0f files/s), %lld renamed; goal < 15 s\n", rows.paths.size(), seconds,
                rows.paths.size() / seconds, static_cast<long long>(renamed));
    std::printf("  bare open+read(512) walk over the same files: %.3f s; Rename takes %.1f times as long\n", reference,
                seconds / reference);
    fs::remove_all(work / "docs");
  }

  // The journal's share of a Rename: by turns, so neither side gains from the other's caches.
  if (!checkOnly) {
    std::vector<Timing> plain, journaled;
    for (const bool withJournal : {false, true, true, false, false, true, true, false})
      (withJournal ? journaled : plain).push_back(TimedRename(work, settings, withJournal));
    const Timing p = Best(plain), j = Best(journaled);
    std::printf("Journal: Rename of 10,000 documents without / with the journal (best of 4 each); goal < 5 %%\n");
    std::printf("  wall: %.3f s / %.3f s: +%.1f %%\n", p.wall, j.wall, 100.0 * (j.wall - p.wall) / p.wall);
    std::printf("  CPU:  %.3f s / %.3f s: +%.1f %%\n", p.cpu, j.cpu, 100.0 * (j.cpu - p.cpu) / p.cpu);
    fs::remove_all(work / "docs");
  }

  // Check of a 100,000-file tree.
  if (!journalOnly) {
    const fs::path tree = work / "tree";
    MakeTree(tree);
    RenameEngine engine({});
    engine.prepareCheck();
    engine.selectTypes(kRenameAllTypes);
    settings.cacheMode = kCacheModeFiles;
    engine.setSettings(settings);
    int32_t selected = 0;
    bench::CompareCheckWithReferenceWalk(
        "File Rename", tree,
        [&](int workers) {
          NullReporter reporter;
          RenameCheckRequest request{engine.choices(), tree};
          request.workers = workers;
          const RenameCheckOutcome outcome = RunRenameCheck(request, stop, reporter);
          selected = outcome.rowCounter;
          if (!outcome.resultFile.empty()) fs::remove(outcome.resultFile);
          return int64_t{kTreeFiles};  // every file of the tree is looked at
        },
        cold);
    std::printf("  %d files selected\n", selected);
    fs::remove_all(tree);
  }
  fs::remove_all(work);
  return 0;
}
