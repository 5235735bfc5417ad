#include "bench/support/CheckVersusWalk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "bench/support/ReferenceWalk.h"

namespace brenvik::bench {
namespace {

ReferenceWalkResult TimeCheck(const CheckRun& check, int workers) {
  const auto start = std::chrono::steady_clock::now();
  ReferenceWalkResult result;
  result.files = check(workers);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

// The faster of two runs of the same kind (wall clock: the Check and the walk both use threads).
ReferenceWalkResult Faster(const ReferenceWalkResult& a, const ReferenceWalkResult& b) {
  return a.rate() >= b.rate() ? a : b;
}

}  // namespace

int CompareCheckWithReferenceWalk(const char* tool, const std::filesystem::path& root, const CheckRun& check,
                                  bool cold) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  ReferenceWalk(root, cores);  // bring the tree into the page cache
  // Interleaved rounds, best of each, so a busy machine disturbs all alike.
  ReferenceWalkResult walkOne, walkCores, checkMany, checkOne;
  for (int round = 0; round < 3; ++round) {
    walkOne = Faster(walkOne, ReferenceWalk(root, 1));
    walkCores = Faster(walkCores, ReferenceWalk(root, cores));
    checkMany = Faster(checkMany, TimeCheck(check, 0));
    checkOne = Faster(checkOne, TimeCheck(check, 1));
  }
  std::printf("%s, warm cache, %lld files, files/s:\n", tool, static_cast<long long>(walkCores.files));
  std::printf("  reference walk, 1 thread      %10.0f\n", walkOne.rate());
  std::printf("  reference walk, %2d threads    %10.0f\n", cores, walkCores.rate());
  std::printf("  cache-mode Check, 1 thread    %10.0f\n", checkOne.rate());
  std::printf("  cache-mode Check, automatic   %10.0f\n", checkMany.rate());
  std::printf("  ratio to the %d-thread walk: %.2f (goal 0.80); to the 1-thread walk: %.2f\n", cores,
              checkMany.rate() / walkCores.rate(), checkMany.rate() / walkOne.rate());
  if (!cold) return 0;

  if (!DropPageCache()) {
    std::printf("%s, cold cache: left out, the page cache cannot be dropped (needs root)\n", tool);
    return 0;
  }
  ReferenceWalkResult bestWalk;
  int bestThreads = 1;
  for (const int threads : {1, 2, 4, 8, 16}) {
    DropPageCache();
    const ReferenceWalkResult walk = ReferenceWalk(root, threads);
    std::printf("%s, cold cache: reference walk, %2d threads %10.0f files/s\n", tool, threads, walk.rate());
    if (walk.rate() > bestWalk.rate()) {
      bestWalk = walk;
      bestThreads = threads;
    }
  }
  DropPageCache();
  const ReferenceWalkResult coldMany = TimeCheck(check, 0);
  DropPageCache();
  const ReferenceWalkResult coldOne = TimeCheck(check, 1);
  std::printf("%s, cold cache: cache-mode Check, 1 thread %10.0f files/s, automatic %10.0f files/s\n", tool,
              coldOne.rate(), coldMany.rate());
  std::printf("  ratio to the best walk (%d threads): %.2f (goal 0.80); speed-up over 1 thread: %.2f\n",
              bestThreads, coldMany.rate() / bestWalk.rate(), coldMany.rate() / coldOne.rate());
  return 0;
}

}  // namespace brenvik::bench
