// Image-file to image-file copies of the N.S Image engine against `dd bs=2621440` copying the same
// source file, measured in the same run with a warm cache. Prints each time and the ratio
// dd time / engine time (1.0 = as fast as dd; the goals are 0.7 for 520-to-512, 0.85 for 512-to-512).
//
// Usage: imaging_bench [folder] [GiB] [rounds]   (defaults: /tmp/brenvik-imaging-bench, 4, 5)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "disk/ImagingJob.h"
#include "platform/FileOps.h"

using namespace brenvik;
namespace fs = std::filesystem;

namespace {

class QuietSink : public ImagingReporter {
 public:
  void Message(std::u16string_view title, std::u16string_view) override { rows += title == u"镜像" ? 0 : 1; }
  int rows = 0;  // anything but the start and completion rows is a failure
};

double Seconds(const std::function<void()>& run) {
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

  auto dd = [&] {
    fs::remove(target);
    return Seconds([&] {
      const std::string command =
          "dd if='" + source.string() + "' of='" + target.string() + "' bs=2621440 status=none";
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "dd failed\n");
    });
  };
  auto engine = [&](int32_t sourceSector) {
    fs::remove(target);
    ImagingRequest p;
    p.sourceImage = source;
    p.sourceSectorSize = sourceSector;
    p.sourceCount = p.targetSize = bytes / sourceSector;
    p.targetSectorSize = 512;
    p.targetFile = target;
    QuietSink sink;
    std::atomic<int> stop{0};
    const double seconds = Seconds([&] { RunImaging(p, stop, sink); });
    if (sink.rows != 0) std::fprintf(stderr, "copy reported %d failure rows\n", sink.rows);
    return seconds;
  };

  // Rounds interleave the reference and the copies, so that a busy moment of the machine
  // does not fall on one of them only; the best of each counts.
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  double reference = 1e30, copy512 = 1e30, copy520 = 1e30;
  for (int i = 0; i < rounds; ++i) {
    reference = std::min(reference, dd());
    copy512 = std::min(copy512, engine(512));
    copy520 = std::min(copy520, engine(520));
  }
  std::printf("source %lld GiB, best of %d, warm cache\n", static_cast<long long>(gib), rounds);
  std::printf("dd bs=2621440      %7.3f s (%.0f MB/s)\n", reference, bytes / reference / 1e6);
  std::printf("512 -> 512 copy    %7.3f s  ratio %.2f (goal 0.85)\n", copy512, reference / copy512);
  std::printf("520 -> 512 copy    %7.3f s  ratio %.2f (goal 0.70)\n", copy520, reference / copy520);
  fs::remove(source);
  fs::remove(target);
  return 0;
}
