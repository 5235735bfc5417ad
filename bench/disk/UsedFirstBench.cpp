// The used-space-first copy of a failing NTFS disk against a whole-disk copy of the same source. A
// disk image of SIZE MiB with an MBR and one NTFS partition about 30 % used (made by
// tests/disk/make-ntfs-disk.sh: files written through ntfs-3g, a third of them deleted again) is
// served by the tests' failing FUSE file system, with bad sectors in the MFT, inside a file's
// clusters and in free space, at a simulated read rate (the FUSE file system answers from memory,
// far faster than a failing disk). Prints, for each phase of the used-space-first copy, the bytes
// read and the time, against the whole-disk copy; the time until the MFT is complete as a share of
// the whole copy's; the bytes read up to the end of the used space against the used space; and
// whether ddrescue continues from the map a --used-only run leaves. Needs root (FUSE), sfdisk,
// mkntfs, ntfs-3g and ddrescue (package gddrescue).
//
// Usage: used_first_bench [folder] [size MiB] [MB/s] [largest file KiB]
//        (defaults: /tmp/brenvik-used-bench, 512, 150, 4096; small files make a large MFT)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "disk/ImagingJob.h"
#include "disk/RescueMap.h"
#include "ntfs/NtfsVolume.h"
#include "platform/PathText.h"
#include "tests/disk/FaultyFuse.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t kPartitionStart = 2048;

// Reads so far, in bytes, kept as the FUSE file system answers them.
struct Counter {
  std::atomic<int64_t> bytes{0};
};

// Each phase row with the time and the bytes read when it came.
class PhaseReporter : public ImagingReporter {
 public:
  PhaseReporter(Counter& counter, Clock::time_point start) : counter_(counter), start_(start) {}
  void Message(std::u16string_view title, std::u16string_view description) override {
    if (title != u"阶段") return;
    std::lock_guard lock(mutex_);
    rows.push_back({TextToUtf8(description), std::chrono::duration<double>(Clock::now() - start_).count(),
                    counter_.bytes.load()});
  }
  struct Row {
    std::string text;
    double seconds;
    int64_t bytes;
  };
  std::vector<Row> rows;

 private:
  Counter& counter_;
  Clock::time_point start_;
  std::mutex mutex_;
};

struct Run {
  double seconds = 0;
  int64_t bytes = 0;
  std::vector<PhaseReporter::Row> rows;
};

Run Copy(testing::FaultyImageMount& mount, Counter& counter, const fs::path& target, int64_t sectors, bool usedFirst,
         bool usedOnly) {
  fs::remove(target);
  fs::remove(target.string() + ".map");
  ImagingRequest p;
  p.sourceImage = mount.file();
  p.sourceCount = p.targetSize = sectors;
  p.sourceSectorSize = p.targetSectorSize = 512;
  p.targetFile = target;
  p.usedFirst = usedFirst;
  p.usedOnly = usedOnly;
  counter.bytes = 0;
  const auto start = Clock::now();
  PhaseReporter reporter(counter, start);
  std::atomic<int> stop{0};
  RunImaging(p, stop, reporter);
  return {std::chrono::duration<double>(Clock::now() - start).count(), counter.bytes.load(), reporter.rows};
}

std::vector<ntfs::Extent> UsedOf(const std::string& disk, ntfs::BootSector& boot) {
  const auto* part = reinterpret_cast<const uint8_t*>(disk.data()) + kPartitionStart * 512;
  boot = *ntfs::ParseBootSector(std::span(part, 512));
  std::vector<uint8_t> record(part + boot.mftCluster * boot.clusterSize,
                              part + boot.mftCluster * boot.clusterSize + boot.recordSize);
  ntfs::ApplyFixups(record);
  const auto mft = ntfs::FindUnnamedData(record, boot);
  const uint64_t at = *ntfs::VolumeOffset(mft->extents, 6 * boot.recordSize);
  record.assign(part + at, part + at + boot.recordSize);
  ntfs::ApplyFixups(record);
  const auto bitmap = ntfs::FindUnnamedData(record, boot);
  ntfs::UsedClusters used(boot.clusterSize, boot.clusterCount());
  uint64_t done = 0;
  for (const ntfs::Extent& e : bitmap->extents) {
    used.add(done, std::span(part + e.offset, e.length));
    done += e.length;
  }
  return used.extents();
}

double Mb(int64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::path("/tmp/brenvik-used-bench");
  const int64_t sizeMb = argc > 2 ? std::atoll(argv[2]) : 512;
  const double rate = (argc > 3 ? std::atof(argv[3]) : 150.0) * 1e6;
  const std::string largestKib = argc > 4 ? argv[4] : "4096";
  fs::create_directories(folder);
  if (std::system("ddrescue --version >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "ddrescue is missing (package gddrescue)\n");
    return 1;
  }
  const fs::path made = folder / "ntfs-disk.img";
  const std::string script = std::string(BRENVIK_SOURCE_DIR) + "/tests/disk/make-ntfs-disk.sh";
  if (std::system(("sh '" + script + "' '" + made.string() + "' " + std::to_string(sizeMb) + " 30 dos " + largestKib).c_str()) != 0) {
    std::fprintf(stderr, "could not make the NTFS disk (sfdisk, mkntfs, ntfs-3g)\n");
    return 1;
  }
  const std::string disk = testing::ReadFile(made);
  fs::remove(made);
  const int64_t sectors = static_cast<int64_t>(disk.size()) / 512;
  ntfs::BootSector boot;
  const std::vector<ntfs::Extent> used = UsedOf(disk, boot);
  int64_t usedBytes = 0;
  for (const ntfs::Extent& e : used) usedBytes += static_cast<int64_t>(e.length);

  // Bad sectors: an MFT record (40), 16 sectors in the middle of the largest used run past the MFT,
  // and a sector in free space.
  std::set<int64_t> bad;
  bad.insert(kPartitionStart + static_cast<int64_t>(boot.mftCluster * boot.clusterSize + 40 * boot.recordSize) / 512);
  const auto largest = std::max_element(used.begin(), used.end(), [](const ntfs::Extent& a, const ntfs::Extent& b) {
    return a.length < b.length;
  });
  for (int64_t s = 0; s < 16; ++s)
    bad.insert(kPartitionStart + static_cast<int64_t>((largest->offset + largest->length / 2) / 512) + s);
  for (size_t i = 0; i + 1 < used.size(); ++i)
    if (used[i + 1].offset > used[i].offset + used[i].length + 4096) {
      bad.insert(kPartitionStart + static_cast<int64_t>((used[i].offset + used[i].length) / 512) + 4);
      break;
    }

  Counter counter;
  testing::FaultyImageMount mount(folder / "mnt", disk, 512, bad);
  if (!mount.failure().empty()) {
    std::fprintf(stderr, "FUSE: %s\n", mount.failure().c_str());
    return 1;
  }
  // The simulated read rate: each read takes as long as the rate allows.
  int64_t seen = 0;
  mount.afterRead = [&] {
    const auto reads = mount.reads();
    for (size_t i = static_cast<size_t>(seen); i < reads.size(); ++i) {
      counter.bytes += reads[i].second;
      std::this_thread::sleep_for(std::chrono::duration<double>(static_cast<double>(reads[i].second) / rate));
    }
    seen = static_cast<int64_t>(reads.size());
    if (reads.size() > 4096) {
      mount.clearReads();
      seen = 0;
    }
  };

  std::printf("disk %lld MiB, NTFS used %.1f MiB (%.1f %%), cluster %u, files up to %s KiB, bad sectors %zu, read rate %.0f MB/s\n",
              static_cast<long long>(sizeMb), Mb(usedBytes), 100.0 * usedBytes / static_cast<double>(disk.size()),
              boot.clusterSize, largestKib.c_str(), bad.size(), rate / 1e6);
  const Run whole = Copy(mount, counter, folder / "whole.img", sectors, false, false);
  mount.clearReads(), seen = 0;
  const Run first = Copy(mount, counter, folder / "used-first.img", sectors, true, false);
  mount.clearReads(), seen = 0;
  const Run only = Copy(mount, counter, folder / "used-only.img", sectors, true, true);
  mount.clearReads(), seen = 0;

  std::printf("\nwhole-disk copy: %.1f MiB read in %.2f s\n", Mb(whole.bytes), whole.seconds);
  std::printf("\nused space first, by phase:        MiB read      s   (share of the whole copy's time)\n");
  for (size_t i = 0; i < first.rows.size(); ++i) {
    const int64_t bytes = (i + 1 < first.rows.size() ? first.rows[i + 1].bytes : first.bytes) - first.rows[i].bytes;
    const double seconds = (i + 1 < first.rows.size() ? first.rows[i + 1].seconds : first.seconds) - first.rows[i].seconds;
    std::printf("  %-34s %9.1f %7.2f   (%.2f %%)\n", first.rows[i].text.c_str(), Mb(bytes), seconds,
                100.0 * seconds / whole.seconds);
  }
  std::printf("  %-34s %9.1f %7.2f\n", "total", Mb(first.bytes), first.seconds);
  for (const auto& row : first.rows)
    if (row.text == "MFT已复制完成")
      std::printf("\nMFT complete after %.3f s (%.1f MiB read): %.2f %% of the whole copy's time\n", row.seconds,
                  Mb(row.bytes), 100.0 * row.seconds / whole.seconds);
  std::printf("used-only copy: %.1f MiB read in %.2f s (used space %.1f MiB: %.2f %% of it)\n", Mb(only.bytes),
              only.seconds, Mb(usedBytes), 100.0 * static_cast<double>(only.bytes) / static_cast<double>(usedBytes));

  const fs::path map = folder / "used-only.img.map";
  ParsedRescueMap before = ParseRescueMap(testing::ReadFile(map));
  int64_t untried = 0;
  for (const auto& b : before.blocks) untried += b.status == '?' ? b.size : 0;
  const auto start = Clock::now();
  const int status = std::system(("ddrescue -q '" + mount.file().string() + "' '" + (folder / "used-only.img").string() +
                                  "' '" + map.string() + "'").c_str());
  const double ddSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  ParsedRescueMap after = ParseRescueMap(testing::ReadFile(map));
  int64_t left = 0, badBytes = 0;
  for (const auto& b : after.blocks) {
    left += b.status == '?' ? b.size : 0;
    badBytes += b.status == '-' ? b.size : 0;
  }
  std::printf("ddrescue from the used-only map: exit %d, %.2f s, untried %.1f MiB before, %.1f MiB after, bad %lld bytes\n",
              WEXITSTATUS(status), ddSeconds, Mb(untried), Mb(left), static_cast<long long>(badBytes));
  fs::remove(folder / "whole.img");
  fs::remove(folder / "used-first.img");
  return 0;
}
