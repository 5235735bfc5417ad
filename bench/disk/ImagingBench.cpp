// Image-file to image-file copies of the N.S Image engine against `dd bs=2621440` copying the same
// source file, measured in the same run with a warm cache. Prints each time and the ratio
// dd time / engine time (1.0 = as fast as dd; the goals are 0.7 for 520-to-512, 0.85 for 512-to-512).
// An image target keeps a rescue map, which flushes the target before it claims sectors; the
// 512-to-512 copy is also timed without a map (as a disk target runs) and against
// `dd conv=fdatasync`, which flushes likewise. The 512-to-512 copy is timed once more with the
// rescue map view open: the view's work for every map the copy sends (the cells of a window's
// grid and the totals) is done on the copy's own thread, an upper bound of what it can cost.
//
// Usage: imaging_bench [folder] [GiB] [rounds]   (defaults: /tmp/brenvik-imaging-bench, 4, 5)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/ImagingJob.h"
#include "disk/RescueMapModel.h"
#include "platform/FileOps.h"

using namespace brenvik;
namespace fs = std::filesystem;

namespace {

class QuietReporter : public ImagingReporter {
 public:
  void Message(std::u16string_view title, std::u16string_view) override {
    rows += title == u"读取" || title == u"写入" || title == u"错误" ? 1 : 0;
  }
  int rows = 0;  // read, write and open failures
};

class ViewingReporter : public QuietReporter {
 public:
  void Tally(const ImagingDisplays& d) override {
    if (!d.map) return;
    cells += BuildMapCells(*d.map, 87 * 43).cells.size();  // a 700 x 350 pixel grid
    cells += RescueTotalsText(*d.map).size();
    ++maps;
  }
  size_t cells = 0;
  int maps = 0;
};

// Each contestant starts with nothing left to write back from the one before, so none pays for
// another's dirty pages.
double Seconds(const std::function<void()>& run) {
  ::sync();
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void MakeSource(const fs::path& path, int64_t bytes) {
  UniqueFd fd = CreateOutput(path);
  std::vector<uint8_t> block(1 << 24);
  uint32_t x = 12345;
  for (auto& b : block) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  for (int64_t done = 0; done < bytes; done += static_cast<int64_t>(block.size()))
    WriteFull(fd.get(), block.data(), static_cast<size_t>(std::min<int64_t>(block.size(), bytes - done)));
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::path("/tmp/brenvik-imaging-bench");
  const int64_t gib = argc > 2 ? std::atoll(argv[2]) : 4;
  const int64_t bytes = gib << 30;
  fs::create_directories(folder);
  const fs::path source = folder / "source.img";
  const fs::path target = folder / "target.img";
  MakeSource(source, bytes);
  std::system(("cat '" + source.string() + "' > /dev/null").c_str());  // warm the cache

  auto dd = [&](const char* options) {
    fs::remove(target);
    return Seconds([&] {
      const std::string command =
          "dd if='" + source.string() + "' of='" + target.string() + "' bs=2621440 status=none" + options;
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "dd failed\n");
    });
  };
  const fs::path map = fs::path(target.string() + ".map");
  auto engine = [&](int32_t sourceSector, bool keepMap = true, bool viewOpen = false) {
    fs::remove(target);
    fs::remove(map);
    // A file at the map's name that is no map makes the copy keep none.
    if (!keepMap) std::fclose(std::fopen(map.c_str(), "w"));
    ImagingRequest p;
    p.sourceImage = source;
    p.sourceSectorSize = sourceSector;
    p.sourceCount = p.targetSize = bytes / sourceSector;
    p.targetSectorSize = 512;
    p.targetFile = target;
    QuietReporter quiet;
    ViewingReporter viewing;
    QuietReporter& reporter = viewOpen ? viewing : quiet;
    std::atomic<int> stop{0};
    const double seconds = Seconds([&] { RunImaging(p, stop, reporter); });
    if (reporter.rows != 0) std::fprintf(stderr, "copy reported %d failure rows\n", reporter.rows);
    if (viewOpen && viewing.maps == 0) std::fprintf(stderr, "the copy sent no map\n");
    return seconds;
  };

  // Rounds interleave the reference and the copies, so that a busy moment of the machine
  // does not fall on one of them only; the best of each counts.
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  double reference = 1e30, flushed = 1e30, copy512 = 1e30, copy520 = 1e30, noMap = 1e30, viewed = 1e30;
  for (int i = 0; i < rounds; ++i) {
    reference = std::min(reference, dd(""));
    copy512 = std::min(copy512, engine(512));
    copy520 = std::min(copy520, engine(520));
    noMap = std::min(noMap, engine(512, false));
    viewed = std::min(viewed, engine(512, true, true));
    flushed = std::min(flushed, dd(" conv=fdatasync"));
  }
  std::printf("source %lld GiB, best of %d, warm cache\n", static_cast<long long>(gib), rounds);
  std::printf("dd bs=2621440      %7.3f s (%.0f MB/s)\n", reference, bytes / reference / 1e6);
  std::printf("512 -> 512 copy    %7.3f s  ratio %.2f (goal 0.85)\n", copy512, reference / copy512);
  std::printf("520 -> 512 copy    %7.3f s  ratio %.2f (goal 0.70)\n", copy520, reference / copy520);
  std::printf("512 -> 512 no map  %7.3f s  ratio %.2f\n", noMap, reference / noMap);
  std::printf("512 -> 512 map view %7.3f s  ratio %.2f; open against closed: %.2f\n", viewed, reference / viewed,
              viewed / copy512);
  std::printf("dd conv=fdatasync  %7.3f s  512 -> 512 copy against it: ratio %.2f\n", flushed, flushed / copy512);
  fs::remove(source);
  fs::remove(target);
  fs::remove(map);
  return 0;
}
