// Copies of a failing source by the N.S Image engine against GNU ddrescue on the same source in the
// same run: a FUSE file system (the tests' own) serving a 64 MiB image whose chosen sectors fail
// with EIO, and recording every read request that reaches it. The source is read twice for each
// pattern: as the FUSE file itself, and as a disk, through a read-only loop device with direct I/O
// over that file (ddrescue then with -d, its direct reads). For each pattern of bad sectors it
// prints the read requests of each, how many times each bad sector was touched (lowest-highest),
// and the wall times; ratios are engine / ddrescue (the goal: at most 1.2 for requests, and no
// more touches per bad sector). Both make the same number of retry passes. A healthy source read
// through the loop device is timed against dd with direct reads of the same request size. Needs
// root (FUSE, loop devices) and ddrescue (package gddrescue).
//
// Usage: rescue_bench [folder] [retries]   (defaults: /tmp/brenvik-rescue-bench, 1)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "disk/ImagingJob.h"
#include "tests/disk/FaultyFuse.h"
#include "tests/support/KernelFixtures.h"

using namespace brenvik;
namespace fs = std::filesystem;

namespace {

constexpr int kSector = 512;
constexpr int64_t kSectors = (int64_t{64} << 20) / kSector;

struct Measure {
  int64_t requests = 0;
  int64_t fewestTouches = 0, mostTouches = 0;  // of a bad sector
  double seconds = 0;
};

Measure Count(testing::FaultyImageMount& mount, const std::set<int64_t>& bad, double seconds) {
  std::map<int64_t, int64_t> touches;
  for (int64_t s : bad) touches[s] = 0;
  const auto reads = mount.reads();
  for (const auto& [offset, size] : reads)
    for (auto it = touches.lower_bound(offset / kSector); it != touches.end() && it->first * kSector < offset + size; ++it)
      ++it->second;
  Measure m{static_cast<int64_t>(reads.size()), INT64_MAX, 0, seconds};
  for (const auto& [sector, count] : touches) {
    m.fewestTouches = std::min(m.fewestTouches, count);
    m.mostTouches = std::max(m.mostTouches, count);
  }
  return m;
}

double Seconds(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class QuietReporter : public ImagingReporter {};

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

void Remove(const fs::path& image) {
  fs::remove(image);
  fs::remove(image.string() + ".map");
}

// One copy by the engine of `source` (a file, or a disk node) into `target`.
void RunEngine(const fs::path& source, bool disk, const fs::path& target, int retries) {
  ImagingRequest p;
  (disk ? p.sourceDiskNode : p.sourceImage) = source;
  p.sourceCount = p.targetSize = kSectors;
  p.sourceSectorSize = p.targetSectorSize = kSector;
  p.targetFile = target;
  p.retryPasses = retries;
  QuietReporter reporter;
  std::atomic<int> stop{0};
  RunImaging(p, stop, reporter);
}

void PrintRow(const char* name, const Measure& engine, const Measure& dd) {
  char touches[48], times[32], requests[32];
  std::snprintf(requests, sizeof requests, "%lld / %lld", static_cast<long long>(engine.requests),
                static_cast<long long>(dd.requests));
  std::snprintf(touches, sizeof touches, "%lld-%lld / %lld-%lld", static_cast<long long>(engine.fewestTouches),
                static_cast<long long>(engine.mostTouches), static_cast<long long>(dd.fewestTouches),
                static_cast<long long>(dd.mostTouches));
  std::snprintf(times, sizeof times, "%.2f / %.2f", engine.seconds, dd.seconds);
  std::printf("%-22s %20s %7.2f %18s %22s\n", name, requests,
              static_cast<double>(engine.requests) / std::max<int64_t>(dd.requests, 1), touches, times);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::path("/tmp/brenvik-rescue-bench");
  const int retries = argc > 2 ? std::atoi(argv[2]) : 1;
  fs::create_directories(folder);
  if (std::system("ddrescue --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "ddrescue is missing (package gddrescue)\n");
    return 1;
  }
  std::string image(static_cast<size_t>(kSectors * kSector), '\0');
  uint32_t x = 12345;
  for (char& c : image) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);

  std::set<int64_t> scattered;
  for (int i = 0; i < 8; ++i) scattered.insert(kSectors / 9 * (i + 1) + i * 37);
  std::set<int64_t> region, page, atEnd;
  for (int64_t s = 40000; s < 40000 + 2048; ++s) region.insert(s);
  page = {70001, 70003, 70006};
  for (int64_t s = kSectors - 5; s < kSectors; ++s) atEnd.insert(s);
  const std::vector<std::pair<const char*, std::set<int64_t>>> patterns = {
      {"one bad sector", {65536 + 77}}, {"3 in one 4 KiB page", page}, {"8 scattered sectors", scattered},
      {"1 MiB bad region", region}, {"5 at the end", atEnd}};

  const fs::path ours = folder / "engine.img", theirs = folder / "ddrescue.img";
  for (const bool throughLoop : {false, true}) {
    std::printf("\nsource 64 MiB of 512-byte sectors, %s, %d retry pass(es) each\n",
                throughLoop ? "as a disk: read-only loop device with direct I/O (ddrescue -d)" : "the FUSE file",
                retries);
    std::printf("%-22s %20s %7s %18s %22s\n", "pattern", "requests engine/dd", "ratio", "touches per bad",
                "time engine/dd (s)");
    for (const auto& [name, bad] : patterns) {
      testing::FaultyImageMount mount(folder / "mnt", image, kSector, bad);
      if (!mount.failure().empty()) {
        std::fprintf(stderr, "%s\n", mount.failure().c_str());
        return 1;
      }
      std::optional<testing::LoopDevice> loop;
      if (throughLoop) {
        loop.emplace(mount.file(), testing::LoopDevice::kAsDisk);
        if (!loop->valid()) {
          std::fprintf(stderr, "losetup could not attach a loop device\n");
          return 1;
        }
      }
      const fs::path source = throughLoop ? loop->node() : mount.file();
      Remove(ours);
      Remove(theirs);
      mount.clearReads();
      const Measure engine = Count(mount, bad, Seconds([&] { RunEngine(source, throughLoop, ours, retries); }));

      mount.clearReads();
      const std::string command = "ddrescue -q " + std::string(throughLoop ? "-d " : "") + "-r" +
                                  std::to_string(retries) + " " + Quoted(source) + " " + Quoted(theirs) + " " +
                                  Quoted(theirs.string() + ".map");
      const Measure dd = Count(mount, bad, Seconds([&] {
                                 if (std::system(command.c_str()) != 0) std::fprintf(stderr, "ddrescue failed\n");
                               }));
      PrintRow(name, engine, dd);
      const bool same = std::system(("cmp -s " + Quoted(ours) + " " + Quoted(theirs)).c_str()) == 0;
      // ddrescue leaves unreadable sectors as zeros where the engine fills them: compared apart.
      if (!same) std::printf("  (the copies differ where sectors are unreadable: zeros against BB fill)\n");
    }
  }

  // A healthy source as a disk: the engine against dd's direct reads of 64 KiB, best of three each.
  testing::FaultyImageMount mount(folder / "mnt", image, kSector, {});
  testing::LoopDevice loop(mount.file(), testing::LoopDevice::kAsDisk);
  if (!mount.failure().empty() || !loop.valid()) return 1;
  double engineBest = 1e9, ddBest = 1e9;
  for (int round = 0; round < 3; ++round) {
    Remove(ours);
    Remove(theirs);
    engineBest = std::min(engineBest, Seconds([&] { RunEngine(loop.node(), true, ours, retries); }));
    const std::string dd = "dd if=" + Quoted(loop.node()) + " of=" + Quoted(theirs) +
                           " bs=64K iflag=direct status=none";
    ddBest = std::min(ddBest, Seconds([&] {
                        if (std::system(dd.c_str()) != 0) std::fprintf(stderr, "dd failed\n");
                      }));
  }
  std::printf("\nhealthy 64 MiB as a disk: engine %.2f s, dd iflag=direct bs=64K %.2f s, speed engine/dd %.2f\n",
              engineBest, ddBest, ddBest / engineBest);
  Remove(ours);
  Remove(theirs);
  return 0;
}
