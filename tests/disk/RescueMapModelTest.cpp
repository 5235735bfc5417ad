// The rescue map as the view draws it: cells and totals from known block lists, from the maps a
// running copy sends, and from maps GNU ddrescue itself wrote over a failing source.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "disk/ImagingJob.h"
#include "disk/RescueMap.h"
#include "disk/RescueMapModel.h"
#include "platform/PathText.h"
#include "tests/disk/ImagingTestSupport.h"
#include "tests/support/TempDir.h"
#if BRENVIK_TEST_FUSE
#include "tests/disk/FaultyFuse.h"
#endif

using namespace brenvik;
using namespace brenvik::testing;

namespace {

using S = CellState;

RescueMapSnapshot Snapshot(std::vector<RescueMapBlock> blocks, int32_t sectorSize = 512) {
  RescueMapSnapshot map;
  map.blocks = std::move(blocks);
  map.sectorSize = sectorSize;
  return map;
}

std::string Text(const std::u16string& text) { return TextToUtf8(text); }

// The cells holding each of `sectors`.
std::set<size_t> CellsOf(const MapCells& cells, const std::set<int64_t>& sectors, int sectorSize) {
  std::set<size_t> found;
  for (int64_t s : sectors) found.insert(static_cast<size_t>((s * sectorSize - cells.first) / cells.cellBytes));
  return found;
}

}  // namespace

TEST(RescueMapModel, CellsTakeTheWorstStateOfTheirSectorsAndTheReadingCellStandsOut) {
  // 100 sectors: finished, one bad, non-trimmed, non-scraped, not tried.
  RescueMapSnapshot map = Snapshot({{0, 40 * 512, '+'},
                                    {40 * 512, 512, '-'},
                                    {41 * 512, 19 * 512, '*'},
                                    {60 * 512, 10 * 512, '/'},
                                    {70 * 512, 30 * 512, '?'}});
  MapCells cells = BuildMapCells(map, 10);
  EXPECT_EQ(cells.cellBytes, 10 * 512);
  EXPECT_EQ(cells.cells, (std::vector<S>{S::Finished, S::Finished, S::Finished, S::Finished, S::Bad, S::NonTrimmed,
                                         S::NonScraped, S::NotTried, S::NotTried, S::NotTried}));
  EXPECT_EQ(Text(DescribeCell(map, cells, 4)), "Sectors 40 - 49: Bad (Non-trimmed 4.5 KB, Bad 512.0 Bytes)");
  EXPECT_EQ(Text(DescribeCell(map, cells, 0)), "Sectors 0 - 9: Finished");
  EXPECT_EQ(DescribeCell(map, cells, 10), u"");

  // A copy under way marks where it reads, over any state.
  map.position = 75 * 512;
  map.reading = true;
  cells = BuildMapCells(map, 10);
  EXPECT_EQ(cells.cells[7], S::Reading);
  EXPECT_EQ(Text(DescribeCell(map, cells, 7)), "Sectors 70 - 79: Being read (Not tried 5.0 KB)");

  // Cells hold whole sectors: never less than one, and the last one takes what is left.
  EXPECT_EQ(BuildMapCells(map, 1000).cells.size(), 100u);
  cells = BuildMapCells(map, 3);
  ASSERT_EQ(cells.cells.size(), 3u);
  EXPECT_EQ(Text(DescribeCell(map, cells, 2)).substr(0, 16), "Sectors 68 - 99:");
  EXPECT_EQ(BuildMapCells(map, 0).cells, (std::vector<S>{S::Reading}));
  EXPECT_TRUE(BuildMapCells(Snapshot({}), 10).cells.empty());

  // A map reaching the end of the 64-bit range, in one cell and in many, computes no wrapped size.
  const RescueMapSnapshot huge = Snapshot({{0, INT64_MAX - 4096, '+'}, {INT64_MAX - 4096, 4096, '-'}});
  EXPECT_EQ(BuildMapCells(huge, 1).cells, (std::vector<S>{S::Bad}));
  const MapCells many = BuildMapCells(huge, 1000);
  EXPECT_LE(many.cells.size(), 1000u);
  EXPECT_EQ(many.cells.back(), S::Bad);
  EXPECT_EQ(many.cells.front(), S::Finished);
}

TEST(RescueMapModel, TotalsNameEveryStateTheMapHoldsAndWhatTheRunKnows) {
  RescueMapSnapshot map = Snapshot({{0, 3 << 20, '+'}, {3 << 20, 1024, '-'}, {(3 << 20) + 1024, (1 << 20) - 1024, '?'}});
  EXPECT_EQ(Text(RescueTotalsText(map)),
            "Finished: 3.0 MB (75.00%)  Bad: 1.0 KB (0.02%)  Not tried: 1023.0 KB (24.98%)");
  map.blocks.push_back({4 << 20, 512, '*'});
  map.blocks.push_back({(4 << 20) + 512, 512, '/'});
  map.position = 6144 * 512;
  map.bytesPerSecond = 1 << 20;
  map.elapsedSeconds = 3;
  map.remainingSeconds = 3725;
  EXPECT_EQ(Text(RescueTotalsText(map)),
            "Finished: 3.0 MB (74.98%)  Bad: 1.0 KB (0.02%)  Non-trimmed: 512.0 Bytes (0.01%)  Non-scraped: 512.0 "
            "Bytes (0.01%)  Not tried: 1023.0 KB (24.97%)  Position: sector 6144  Rate: 1.0 MB/s  Elapsed: 0:00:03  "
            "Remaining: 1:02:05");

  // Shares never round a part to nothing or to the whole.
  EXPECT_EQ(ShareText(0, 100), u"0%");
  EXPECT_EQ(ShareText(1, 1000000), u"<0.01%");
  EXPECT_EQ(ShareText(999999, 1000000), u">99.99%");
  EXPECT_EQ(ShareText(5, 5), u"100%");
  EXPECT_EQ(ShareText(1, 0), u"0%");
}

TEST(RescueMapModel, ACopySendsItsMapAFewTimesASecondAndAlwaysAtTheEnd) {
  TempDir dir;
  const int64_t count = 3 * kHandleBlockSectors;
  WriteFile(dir / "source.img", Sectors(count, 520));
  struct MapReporter : RecordingReporter {
    void Tally(const ImagingDisplays& d) override {
      ++tallies;
      if (d.map) maps.push_back(d.map);
    }
    int tallies = 0;
    std::vector<std::shared_ptr<const RescueMapSnapshot>> maps;
  } reporter;
  int64_t clock = 100;
  ImagingEnvironment env;
  env.nowSeconds = [&clock] { return clock++; };
  std::atomic<int> stop{0};
  ImagingRequest p = ImageToImage(dir, count, 520, 512);
  p.sourceStart = 10;
  p.sourceCount = p.targetSize = count - 10;
  RunImaging(p, stop, reporter, env);

  ASSERT_GE(reporter.maps.size(), 2u);
  EXPECT_LT(reporter.maps.size(), static_cast<size_t>(reporter.tallies));  // not with every block
  EXPECT_TRUE(reporter.maps.front()->reading);
  const RescueMapSnapshot& last = *reporter.maps.back();
  EXPECT_FALSE(last.reading);
  EXPECT_EQ(last.sectorSize, 520);
  EXPECT_EQ(last.blocks, (std::vector<RescueMapBlock>{{10 * 520, (count - 10) * 520, '+'}}));
  EXPECT_EQ(last.position, count * 520);
  ASSERT_TRUE(last.elapsedSeconds && last.bytesPerSecond && last.remainingSeconds);
  EXPECT_GT(*last.elapsedSeconds, 0);
  EXPECT_EQ(*last.bytesPerSecond, (count - 10) * 520 / *last.elapsedSeconds);
  EXPECT_EQ(*last.remainingSeconds, 0);

  // A run that goes on from the map counts only what it reads itself into the rate.
  std::filesystem::remove(dir / "target.img.map");
  reporter.range = -1;
  reporter.afterBlock = [&stop] { stop = 1; };  // the first block only
  RunImaging(p, stop, reporter, env);
  reporter.afterBlock = nullptr;
  stop = 0;
  reporter.maps.clear();
  RunImaging(p, stop, reporter, env);
  ASSERT_FALSE(reporter.maps.empty());
  const RescueMapSnapshot& resumed = *reporter.maps.back();
  EXPECT_EQ(TotalsOf(resumed.blocks).finished, (count - 10) * 520);
  ASSERT_TRUE(resumed.bytesPerSecond && resumed.elapsedSeconds);
  EXPECT_EQ(*resumed.bytesPerSecond, (count - 10 - kHandleBlockSectors) * 520 / *resumed.elapsedSeconds);
}

TEST(RescueMapModel, MapsWrittenByDdrescueOverAFailingSourceShowItsBadAndHalfDoneAreas) {
#if !BRENVIK_TEST_FUSE
  GTEST_SKIP() << "built without libfuse3: no failing source to read from";
#else
  if (std::system("ddrescue --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ddrescue (package gddrescue) is missing";
  TempDir dir;
  const int64_t count = 4096;
  // Two close together, so that trimming leaves an area between them to scrape.
  const std::set<int64_t> bad = {100, 101, 110, 2000, 4095};
  FaultyImageMount mount(dir / "mnt", Sectors(count, 512), 512, bad);
  if (!mount.failure().empty()) GTEST_SKIP() << mount.failure();

  // `options` of ddrescue; the map it leaves, as the view takes it.
  const auto rescue = [&](const std::string& name, const std::string& options) {
    const std::string command = "ddrescue -q -b512 " + options + " '" + mount.file().string() + "' '" +
                                (dir / (name + ".img")).string() + "' '" + (dir / (name + ".map")).string() +
                                "' >/dev/null 2>&1";
    std::system(command.c_str());
    const RescueMapFile::Loaded loaded = RescueMapFile::at(dir / (name + ".map")).load();
    EXPECT_EQ(loaded.found, RescueMapFile::Found::Map) << name;
    return SnapshotOfMap(loaded.parsed).value_or(RescueMapSnapshot{});
  };

  // A whole run: exactly the bad sectors are bad, everything else finished.
  const RescueMapSnapshot whole = rescue("whole", "");
  const RescueTotals totals = TotalsOf(whole.blocks);
  EXPECT_EQ(totals.size, count * 512);
  EXPECT_EQ(totals.bad, 5 * 512);
  EXPECT_EQ(totals.finished, (count - 5) * 512);
  const MapCells cells = BuildMapCells(whole, 64);  // 64 sectors a cell
  const std::set<size_t> badCells = CellsOf(cells, bad, 512);
  for (size_t i = 0; i < cells.cells.size(); ++i)
    EXPECT_EQ(cells.cells[i], badCells.contains(i) ? S::Bad : S::Finished) << "cell " << i;
  EXPECT_NE(RescueTotalsText(whole).find(u"Bad: 2.5 KB (0.12%)"), std::u16string::npos);

  // Without trimming and scraping the failed reads stay non-trimmed areas around the bad sectors;
  // without scraping only, non-scraped ones.
  for (const auto& [options, halfDone] : {std::pair{"-n -N", S::NonTrimmed}, std::pair{"-n", S::NonScraped}}) {
    const RescueMapSnapshot half = rescue(halfDone == S::NonTrimmed ? "untrimmed" : "unscraped", options);
    const MapCells halfCells = BuildMapCells(half, 64);
    for (size_t i : CellsOf(halfCells, bad, 512)) EXPECT_GE(halfCells.cells[i], halfDone) << options << " cell " << i;
    EXPECT_EQ(halfCells.cells[10], S::Finished);
    EXPECT_GT(halfDone == S::NonTrimmed ? TotalsOf(half.blocks).nonTrimmed : TotalsOf(half.blocks).nonScraped, 0);
  }
#endif
}
