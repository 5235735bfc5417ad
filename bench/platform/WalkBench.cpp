// The parallel walk against the physical reference: a walk that opens every file and reads its
// first 512 bytes, with 1 and N threads, on the same tree in the same run; warm cache, and cold
// cache (page cache dropped before every walk; needs root).
//
// Usage: walk_bench [--cold] [--files N] [tree]   (default: 100,000 files, 200 to a folder, 8 KiB
// each, made under /tmp and removed afterwards; a given tree is used as it is).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/ReferenceWalk.h"
#include "platform/ParallelWalk.h"

using namespace brenvik;
namespace fs = std::filesystem;

namespace {

bench::ReferenceWalkResult TimeParallelWalk(const fs::path& root) {
  const auto start = std::chrono::steady_clock::now();
  bench::ReferenceWalkResult result;
  ParallelWalkFiles(
      root, {},
      [](const WalkedFile& file) {
        char bytes[512];
        const int fd = ::openat(file.folderFd, file.name.data(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const bool read = fd >= 0 && ::read(fd, bytes, sizeof bytes) >= 0;
        if (fd >= 0) ::close(fd);
        return read;
      },
      [&](const WalkedFile&, bool read) {
        result.files += read;
        return true;
      });
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  bool cold = false;
  int files = 100000;
  fs::path tree;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cold") == 0) cold = true;
    else if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) files = std::atoi(argv[++i]);
    else tree = argv[i];
  }
  const bool made = tree.empty();
  if (made) {
    tree = fs::temp_directory_path() / "brenvik-walk-bench";
    fs::remove_all(tree);
    bench::MakeFlatTree(tree, files, 200, 8192);
  }
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int rounds = cold ? 1 : 3;
  auto best = [&](auto walk) {
    bench::ReferenceWalkResult top;
    for (int r = 0; r < rounds; ++r) {
      if (cold && !bench::DropPageCache()) std::fprintf(stderr, "cannot drop the page cache (not root?)\n");
      const bench::ReferenceWalkResult result = walk();
      if (result.rate() > top.rate()) top = result;
    }
    return top;
  };
  if (!cold) bench::ReferenceWalk(tree, cores);  // bring the tree into the page cache

  const double one = best([&] { return bench::ReferenceWalk(tree, 1); }).rate();
  double bestN = 0;
  int bestThreads = cores;
  const std::vector<int> threadCounts = cold ? std::vector<int>{cores, 4, 8, 16} : std::vector<int>{cores};
  for (const int threads : threadCounts) {
    const double rate = best([&] { return bench::ReferenceWalk(tree, threads); }).rate();
    std::printf("reference walk, %2d threads : %10.0f files/s\n", threads, rate);
    if (rate > bestN) bestN = rate, bestThreads = threads;
  }
  const double parallel = best([&] { return TimeParallelWalk(tree); }).rate();
  std::printf("%s cache, %d cores, %d workers\n", cold ? "cold" : "warm", cores, DefaultWalkWorkers());
  std::printf("reference walk,  1 thread  : %10.0f files/s\n", one);
  std::printf("parallel walk (in order)   : %10.0f files/s\n", parallel);
  std::printf("ratio to the best N-thread reference (N=%d): %.2f; to the 1-thread reference: %.2f\n", bestThreads,
              parallel / bestN, parallel / one);
  if (made) fs::remove_all(tree);
  return 0;
}
