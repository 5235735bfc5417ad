// The plot's model against arrays laid out by the generator: every record drawn where the array
// put it, the expected record line through each of them, stripe rows where the array's begin.
#include <gtest/gtest.h>

#include <algorithm>

#include "raid/RaidAnalysis.h"
#include "raid/RaidPlot.h"
#include "tests/raid/StripedArray.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

// Runs the analysis over the array's members, handed over in the order given.
RaidResult RunOver(const ArrayShape& shape, const TempDir& dir, const std::vector<size_t>& givenOrder,
                   const std::string& stray = {}) {
  const std::vector<std::string> images = StripeVolume(shape, MftVolume(shape.records));
  RaidRequest job;
  job.logPath = dir / "map.txt";
  for (size_t i = 0; i < givenOrder.size(); ++i) {
    const auto path = dir / ("m" + std::to_string(i));
    WriteFile(path, images[givenOrder[i]] + stray);
    job.members.push_back({u"", path});
  }
  job.startOffset = shape.startSector % 2 * 512;
  job.endOffset = static_cast<int64_t>(images[0].size() + stray.size()) - 512;
  RaidReporter quiet;
  std::atomic<int> stop{0};
  return RunRaidAnalysis(job, stop, quiet);
}

}  // namespace

TEST(RaidPlot, DrawsEveryRecordWhereTheArrayPutItAndTheGeometryThroughThem) {
  // Three members: a parity block is the XOR of two records and never passes for one, so every
  // record found is one of the volume's.
  for (const RaidLayout layout : {RaidLayout::Raid5RightAsymmetric, RaidLayout::Raid0}) {
    const ArrayShape shape{layout, 3, 16, 16 * 4 + 1, 2000};
    const std::vector<size_t> givenOrder{1, 2, 0};
    TempDir dir;
    const RaidResult result = RunOver(shape, dir, givenOrder);
    const RaidPlotModel& plot = result.plot;
    ASSERT_EQ(plot.members, 3u);
    ASSERT_TRUE(plot.geometry);
    EXPECT_FALSE(plot.caption.empty());
    EXPECT_EQ(plot.caption.find(u'\n'), std::u16string::npos);
    const int64_t lastSector = shape.startSector + 2 * shape.records;

    const std::vector<int64_t> rows = StripeBoundaries(*plot.geometry, 0, lastSector, 100000);
    ASSERT_FALSE(rows.empty());
    for (size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(rows[i], plot.geometry->startSector + static_cast<int64_t>(i) * shape.stripeSectors);
    EXPECT_TRUE(StripeBoundaries(*plot.geometry, 0, lastSector, 10).empty());  // too dense to draw

    std::vector<std::vector<RaidPlotSegment>> lines;
    for (size_t member = 0; member < 3; ++member)
      lines.push_back(ExpectedRecordLine(*plot.geometry, member, 0, lastSector, 100000));
    uint64_t drawn = 0;
    for (const RaidRecordRun& run : plot.runs) {
      for (uint32_t i = 0; i < run.length; ++i) {
        const int64_t record = run.record + i;
        const int64_t sector = run.sector + 2 * int64_t{i};
        const auto [arrayMember, arraySector] = RecordPlaceInArray(shape, record);
        ASSERT_EQ(givenOrder[run.member], arrayMember) << record;
        ASSERT_EQ(sector, arraySector) << record;
        // The member's expected line passes through the record.
        const auto piece = std::find_if(lines[run.member].begin(), lines[run.member].end(),
                                        [&](const RaidPlotSegment& s) { return s.sectorFrom <= sector && sector < s.sectorTo; });
        ASSERT_NE(piece, lines[run.member].end()) << record;
        EXPECT_DOUBLE_EQ(piece->recordFrom + static_cast<double>(sector - piece->sectorFrom) / 2, static_cast<double>(record));
        ++drawn;
      }
    }
    EXPECT_EQ(drawn, result.found);
    EXPECT_EQ(drawn, static_cast<uint64_t>(shape.records));
    if (layout != RaidLayout::Raid0) {
      // No data of the member holding a row's parity in that row: the line leaves it out.
      for (const std::vector<RaidPlotSegment>& line : lines)
        EXPECT_LT(line.size(), rows.size());
    }
  }
}

// A few stray records far from the MFT (an old copy elsewhere, a parity block passing for a
// record) would squeeze the plot into a line: the whole plot leaves them out of its record range
// but keeps every sector.
TEST(RaidPlot, WholePlotShowsTheRecordsNotTheStrays) {
  const ArrayShape shape{RaidLayout::Raid0, 2, 16, 0, 3000};
  TempDir dir;
  const RaidResult result = RunOver(shape, dir, {0, 1}, AsBytes(MakeFileRecord(4000000000u)));
  const RaidPlotBounds bounds = WholePlot(result.plot);
  EXPECT_LE(bounds.recordFrom, 0);
  EXPECT_GE(bounds.recordTo, 2999);
  EXPECT_LT(bounds.recordTo, 3200);
  EXPECT_LE(bounds.sectorFrom, 0);
  EXPECT_GE(bounds.sectorTo, 3000 + 2);  // the stray's sector is kept
  EXPECT_LT(bounds.sectorFrom, bounds.sectorTo);

  const RaidPlotBounds empty = WholePlot(RaidPlotModel{});
  EXPECT_LT(empty.sectorFrom, empty.sectorTo);
  EXPECT_LT(empty.recordFrom, empty.recordTo);
  EXPECT_EQ(PlotFormatOf("a/b.PNG"), PlotFormat::Png);
  EXPECT_EQ(PlotFormatOf("plot.svg"), PlotFormat::Svg);
  EXPECT_FALSE(PlotFormatOf("plot.txt"));
  EXPECT_FALSE(PlotFormatOf("png"));
}
