// Raid Analysis against `dd bs=1M` reading the same bytes, in the same run.
//
//   raid_bench [folder] [MiB per member]     (defaults: /tmp, 2200)
//
// Writes four member images (random bytes with an MFT record in every eighth 1024-byte block),
// then times, in alternating rounds, dd reading all four members and the analysis of the whole
// members; prints the best time of each and the ratio dd time / analysis time (1.0 = as fast as
// dd). The images and the log are removed at the end.
//
// The geometry inference at the end of a run is then timed on its own (collecting the records
// and inferring), once on the records these members hold and once on an MFT that fills all four
// members as a RAID 5 set, and set against the analysis time: it should add under 5 %.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileOps.h"
#include "raid/RaidAnalysis.h"
#include "tests/raid/MftRecordBuilder.h"

using namespace brenvik;
namespace fs = std::filesystem;

namespace {

class NullReporter : public RaidReporter {};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool WriteMember(const fs::path& path, int64_t mebibytes, uint64_t seed) {
  UniqueFd fd = CreateOutput(path);
  if (!fd) return false;
  std::vector<uint8_t> chunk(1 << 20);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  uint32_t record = static_cast<uint32_t>(seed << 24);
  for (int64_t i = 0; i < mebibytes; ++i) {
    for (size_t j = 0; j < chunk.size(); j += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::memcpy(chunk.data() + j, &state, 8);
    }
    for (size_t block = 0; block < chunk.size(); block += 8 * 1024) {
      const auto bytes = testing::MakeFileRecord(record++);
      std::memcpy(chunk.data() + block, bytes.data(), bytes.size());
    }
    if (!WriteFull(fd.get(), chunk.data(), chunk.size())) return false;
  }
  return true;
}

// The best of three times of collecting `feed`'s records position by position and inferring
// the geometry.
template <class Feed>
double InferenceSeconds(size_t members, Feed feed, RaidGeometry& geometry) {
  double best = 1e300;
  for (int round = 0; round < 3; ++round) {
    const auto t = std::chrono::steady_clock::now();
    RaidRecordCollector records(members);
    feed(records);
    geometry = InferRaidGeometry(records);
    best = std::min(best, Seconds(t));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path folder = fs::path(argc > 1 ? argv[1] : "/tmp") / "brenvik-raid-bench";
  const int64_t mebibytes = argc > 2 ? std::atoll(argv[2]) : 2200;
  fs::create_directories(folder);

  RaidRequest job;
  job.logPath = folder / "map.txt";
  for (int i = 0; i < 4; ++i) {
    const fs::path path = folder / ("member" + std::to_string(i) + ".img");
    if (!WriteMember(path, mebibytes, static_cast<uint64_t>(i) + 1)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    job.members.push_back({u"", path});
  }
  job.startOffset = 0;
  job.endOffset = mebibytes * 1024 * 1024 - 512;  // the last sector of each member

  std::string dd;
  for (const RaidMember& member : job.members)
    dd += "dd if='" + member.path.native() + "' of=/dev/null bs=1M status=none && ";
  dd += "true";

  double bestDd = 1e300, bestRun = 1e300;
  uint64_t found = 0;
  int64_t logBytes = 0;
  for (int round = 0; round < 3; ++round) {
    auto t = std::chrono::steady_clock::now();
    if (std::system(dd.c_str()) != 0) return 1;
    bestDd = std::min(bestDd, Seconds(t));

    NullReporter reporter;
    std::atomic<int> stop{0};
    t = std::chrono::steady_clock::now();
    const RaidResult result = RunRaidAnalysis(job, stop, reporter);
    bestRun = std::min(bestRun, Seconds(t));
    if (result.end != RaidEnd::Completed) return 1;
    found = result.found;
    logBytes = static_cast<int64_t>(fs::file_size(job.logPath));
  }

  const double gib = 4.0 * static_cast<double>(mebibytes) / 1024.0;
  std::printf("members: 4 x %lld MiB (%.2f GiB read), records found: %llu, log: %lld bytes\n",
              static_cast<long long>(mebibytes), gib, static_cast<unsigned long long>(found),
              static_cast<long long>(logBytes));
  std::printf("dd bs=1M:  %.3f s (%.2f GiB/s)\n", bestDd, gib / bestDd);
  std::printf("analysis:  %.3f s (%.2f GiB/s)\n", bestRun, gib / bestRun);
  std::printf("ratio (dd time / analysis time): %.2f  (goal >= 0.70)\n", bestDd / bestRun);

  const int64_t positions = mebibytes * 1024;
  RaidGeometry geometry;
  // What the run above found: a record in every eighth block, numbered on from seed << 24.
  const double onRun = InferenceSeconds(4, [&](RaidRecordCollector& records) {
    for (int64_t p = 0; p < positions; p += 8)
      for (uint32_t m = 0; m < 4; ++m) records.add(m, 2 * p, ((m + 1) << 24) + static_cast<uint32_t>(p / 8));
  }, geometry);
  std::printf("inference, records of these members: %.3f s (%.1f %% of the analysis)\n", onRun, 100 * onRun / bestRun);
  // A RAID 5 (left-symmetric, 64 KiB stripes) whose MFT fills the members: a record in every
  // data block.
  const int64_t stripe = 128;
  const double onArray = InferenceSeconds(4, [&](RaidRecordCollector& records) {
    for (int64_t p = 0; p < positions; ++p) {
      const int64_t row = 2 * p / stripe;
      const int64_t parity = 3 - row % 4;
      for (int64_t m = 0; m < 4; ++m) {
        if (m == parity) continue;
        const int64_t chunk = row * 3 + (m - parity + 3) % 4;
        records.add(static_cast<size_t>(m), 2 * p, static_cast<uint32_t>((chunk * stripe + 2 * p % stripe) / 2));
      }
    }
  }, geometry);
  std::printf("inference, MFT filling the members:  %.3f s (%.1f %% of the analysis): %s\n", onArray,
              100 * onArray / bestRun, FormatGeometryJson(geometry).c_str());
  fs::remove_all(folder);
  return 0;
}
