// Times a repair of a damaged database file against `dd bs=1M` copying the same file, in the
// same run, warm cache. The corpus: 1 GiB of data with 1 % of its 8 KiB pages lost to the fill
// pattern, a first reference copy that lost half of those pages too (and others of its own),
// and a second, intact reference copy.
//
// Usage: dbrepair_bench [work folder] [size in MiB] [rounds] [output folder]
// The corpus is built in the work folder (default /var/tmp/brenvik-dbrepair-bench) and removed
// at the end. Both outputs go to the output folder (default: the work folder); a tmpfs such as
// /dev/shm takes disk writeback, which is noisy on a shared machine, out of the comparison.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "dbrepair/BlockRepair.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace brenvik;

namespace {

constexpr size_t kMiB = 1048576;
constexpr size_t kPage = kPageBlockSize;
const uint8_t kDead[4] = {0xDE, 0xAD, 0xDE, 0xAD};

void FillPage(uint8_t* page) {
  for (size_t k = 0; k < kPage; ++k) page[k] = kDead[k % 4];
}

struct Corpus {
  fs::path original, damaged, first, second;
  int64_t lostPages = 0;
};

Corpus BuildCorpus(const fs::path& folder, size_t mebibytes) {
  Corpus c{folder / "original.mdf", folder / "damaged.mdf", folder / "first.mdf", folder / "second.mdf"};
  std::ofstream original(c.original, std::ios::binary), damaged(c.damaged, std::ios::binary),
      first(c.first, std::ios::binary);
  std::mt19937_64 pick(42);
  std::uniform_int_distribution<int> percent(0, 9999);
  std::vector<uint64_t> words(kMiB / 8);
  std::vector<uint8_t> lost(kMiB), firstCopy(kMiB);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t chunk = 0; chunk < mebibytes; ++chunk) {
    for (auto& w : words) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      w = state;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(words.data());
    std::memcpy(lost.data(), bytes, kMiB);
    std::memcpy(firstCopy.data(), bytes, kMiB);
    for (size_t page = 0; page < kMiB / kPage; ++page) {
      const int roll = percent(pick);
      if (roll < 100) {  // 1 % of the pages are lost in the damaged file
        FillPage(lost.data() + page * kPage);
        ++c.lostPages;
        if (roll < 50) FillPage(firstCopy.data() + page * kPage);  // half of them in the first copy too
      } else if (roll < 150) {
        FillPage(firstCopy.data() + page * kPage);  // and the first copy lost others of its own
      }
    }
    original.write(reinterpret_cast<const char*>(bytes), kMiB);
    damaged.write(reinterpret_cast<const char*>(lost.data()), kMiB);
    first.write(reinterpret_cast<const char*>(firstCopy.data()), kMiB);
  }
  original.close();
  damaged.close();
  first.close();
  fs::copy_file(c.original, c.second, fs::copy_options::overwrite_existing);
  return c;
}

void ReadThrough(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(kMiB);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
  }
}

bool SameContents(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(kMiB), q(kMiB);
  while (true) {
    x.read(p.data(), static_cast<std::streamsize>(kMiB));
    y.read(q.data(), static_cast<std::streamsize>(kMiB));
    if (x.gcount() != y.gcount()) return false;
    if (x.gcount() == 0) return true;
    if (std::memcmp(p.data(), q.data(), static_cast<size_t>(x.gcount())) != 0) return false;
  }
}

class NullReporter : public RepairReporter {};

// Leaves earlier writes out of the next measurement.
void Settle(const fs::path& output) {
  std::error_code ignored;
  fs::remove(output, ignored);
  std::system("sync");
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User plus system CPU seconds of this process or of its finished children: steadier than the
// wall clock when other jobs share the machine.
double CpuSeconds(int who) {
  rusage usage {};
  ::getrusage(who, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::path("/var/tmp/brenvik-dbrepair-bench");
  const size_t mebibytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1024;
  const int rounds = std::max(1, argc > 3 ? std::atoi(argv[3]) : 7);
  const fs::path outputFolder = argc > 4 ? fs::path(argv[4]) : folder;
  fs::create_directories(folder);
  fs::create_directories(outputFolder);

  std::printf("building %zu MiB corpus in %s\n", mebibytes, folder.c_str());
  const Corpus corpus = BuildCorpus(folder, mebibytes);
  for (const auto& p : {corpus.damaged, corpus.first, corpus.second}) ReadThrough(p);  // warm cache

  RepairRequest request;
  request.corrupted = corpus.damaged;
  request.repaired = outputFolder / "repaired.mdf";
  request.references = {corpus.first, corpus.second};
  request.mode = BlockMode::Page;
  request.pattern = {0xDE, 0xAD, 0xDE, 0xAD};
  const fs::path ddOutput = outputFolder / "dd.out";
  const std::string dd = "dd if='" + corpus.damaged.string() + "' of='" + ddOutput.string() + "' bs=1M status=none";

  std::vector<double> ddTimes, repairTimes;
  double ddCpu = 0, repairCpu = 0;
  std::atomic<int> stop{0};
  NullReporter reporter;
  // Round 0 is a warm-up that is not counted: it meets the writeback of the corpus itself.
  for (int round = 0; round <= rounds; ++round) {
    // Alternate the order so neither side always meets the other's writeback.
    for (int side = 0; side < 2; ++side) {
      const bool repairTurn = (side == 0) == (round % 2 == 0);
      if (repairTurn) {
        Settle(request.repaired);
        const double cpu = CpuSeconds(RUSAGE_SELF);
        const auto start = Clock::now();
        const RepairResult result = RunRepair(request, stop, reporter);
        if (round > 0) {
          repairTimes.push_back(Seconds(Clock::now() - start));
          repairCpu += CpuSeconds(RUSAGE_SELF) - cpu;
        }
        if (result.end != RepairEnd::Completed || result.counts.marked != corpus.lostPages ||
            result.counts.repaired != corpus.lostPages) {
          std::fprintf(stderr, "repair went wrong: %lld / %lld of %lld\n", (long long)result.counts.repaired,
                       (long long)result.counts.marked, (long long)corpus.lostPages);
          return 1;
        }
      } else {
        Settle(ddOutput);
        const double cpu = CpuSeconds(RUSAGE_CHILDREN);
        const auto start = Clock::now();
        if (std::system(dd.c_str()) != 0) return 1;
        if (round > 0) {
          ddTimes.push_back(Seconds(Clock::now() - start));
          ddCpu += CpuSeconds(RUSAGE_CHILDREN) - cpu;
        }
      }
    }
  }
  // Each round's two runs meet the same machine load, so the ratio within a round is the
  // steadier figure on a busy machine.
  std::vector<double> roundRatios;
  for (int round = 0; round < rounds; ++round) {
    roundRatios.push_back(ddTimes[round] / repairTimes[round]);
    std::printf("round %d: dd %.3f s, repair %.3f s, ratio %.2f\n", round + 1, ddTimes[round], repairTimes[round],
                roundRatios.back());
  }
  std::sort(roundRatios.begin(), roundRatios.end());
  const bool repairedRight = SameContents(request.repaired, corpus.original);

  std::sort(ddTimes.begin(), ddTimes.end());
  std::sort(repairTimes.begin(), repairTimes.end());
  const double ddMedian = ddTimes[ddTimes.size() / 2], repairMedian = repairTimes[repairTimes.size() / 2];
  const double gib = static_cast<double>(mebibytes) / 1024.0;
  std::printf("lost pages: %lld, repaired file equals the original: %s\n", (long long)corpus.lostPages,
              repairedRight ? "yes" : "NO");
  std::printf("dd bs=1M: median %.3f s (best %.3f s), %.2f GiB/s\n", ddMedian, ddTimes.front(), gib / ddMedian);
  std::printf("repair:   median %.3f s (best %.3f s), %.2f GiB/s\n", repairMedian, repairTimes.front(),
              gib / repairMedian);
  std::printf("repair speed / dd speed: of the medians %.2f, of the bests %.2f, median of the rounds %.2f\n",
              ddMedian / repairMedian, ddTimes.front() / repairTimes.front(), roundRatios[roundRatios.size() / 2]);
  std::printf("CPU seconds per round: dd %.3f, repair %.3f, ratio %.2f\n", ddCpu / rounds, repairCpu / rounds,
              ddCpu / repairCpu);

  for (const auto& p : {corpus.original, corpus.damaged, corpus.first, corpus.second, request.repaired, ddOutput})
    fs::remove(p);
  std::error_code ignored;
  fs::remove(folder, ignored);  // only when empty
  fs::remove(outputFolder, ignored);
  return repairedRight ? 0 : 1;
}
