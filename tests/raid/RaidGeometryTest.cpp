#include <gtest/gtest.h>

#include <random>

#include "raid/RaidAnalysis.h"
#include "tests/raid/StripedArray.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

struct Case {
  const char* name;
  ArrayShape shape;
};

// Enough records for every shape to fill several turns of its parity rotation.
int64_t RecordsFor(const ArrayShape& shape) {
  const int64_t dataPerRow = shape.layout == RaidLayout::Raid0 ? shape.members : shape.members - 1;
  return std::max<int64_t>(3000, (2 * shape.members + 2) * dataPerRow * shape.stripeSectors / 2);
}

// Writes the members, hands them to a run in a shuffled order, and returns the run's result;
// `givenOrder[i]` is the array position of the i-th member handed over. `scattered` records
// with random numbers follow the array on each member, one in every eighth block. The volume is
// `volume` when given, else one of `shape.records` records.
RaidResult RunOverArray(const ArrayShape& shape, const TempDir& dir, std::vector<size_t>& givenOrder,
                        int64_t firstSector = -1, int64_t lastSector = -1, int scattered = 0,
                        const std::string* volume = nullptr) {
  std::vector<std::string> images = StripeVolume(shape, volume != nullptr ? *volume : MftVolume(shape.records));
  std::mt19937 numbers(11);
  for (std::string& image : images)
    for (int i = 0; i < scattered; ++i) image += AsBytes(MakeFileRecord(numbers() % 1000000)) + std::string(7 * 1024, '\0');
  givenOrder.resize(images.size());
  for (size_t i = 0; i < givenOrder.size(); ++i) givenOrder[i] = i;
  std::mt19937 shuffle(static_cast<unsigned>(shape.members * 131 + shape.stripeSectors));
  std::shuffle(givenOrder.begin(), givenOrder.end(), shuffle);

  RaidRequest job;
  job.logPath = dir / "map.txt";
  for (size_t i = 0; i < givenOrder.size(); ++i) {
    const auto path = dir / ("member" + std::to_string(i) + ".img");
    WriteFile(path, images[givenOrder[i]]);
    job.members.push_back({u"", path});
  }
  // Records lie on odd sectors when the rows start on one: the range starts there too.
  job.startOffset = (firstSector >= 0 ? firstSector : shape.startSector % 2) * 512;
  job.endOffset = (lastSector >= 0 ? lastSector : static_cast<int64_t>(images[0].size() / 512) - 1) * 512;

  RaidReporter quiet;
  std::atomic<int> stop{0};
  return RunRaidAnalysis(job, stop, quiet);
}

class RaidGeometryOfArray : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(RaidGeometryOfArray, MatchesTheArrayThatWasWritten) {
  ArrayShape shape = GetParam().shape;
  shape.records = std::max(shape.records, RecordsFor(shape));
  TempDir dir;
  std::vector<size_t> givenOrder;
  const RaidResult result = RunOverArray(shape, dir, givenOrder);
  ASSERT_EQ(result.end, RaidEnd::Completed);
  const RaidGeometry& geometry = result.geometry;
  ASSERT_EQ(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
  EXPECT_EQ(geometry.records, result.found);
  EXPECT_EQ(geometry.best->layout, shape.layout);
  // Every record of the volume sits where the answer says; parity blocks that happen to pass
  // the record check are the only ones it may leave out.
  EXPECT_GE(geometry.best->explained, static_cast<uint64_t>(shape.members == 2 && shape.layout == RaidLayout::Mirror
                                                                ? 2 * shape.records : shape.records));
  if (shape.layout == RaidLayout::Mirror) {
    EXPECT_EQ(geometry.best->memberOrder, (std::vector<size_t>{0, 1}));
    return;
  }
  EXPECT_EQ(geometry.best->stripeSectors, shape.stripeSectors);
  EXPECT_EQ(geometry.best->startSector, shape.startSector);
  // The answer names the members as they were handed over, in array order.
  std::vector<size_t> expectedOrder(givenOrder.size());
  for (size_t i = 0; i < givenOrder.size(); ++i) expectedOrder[givenOrder[i]] = i;
  EXPECT_EQ(geometry.best->memberOrder, expectedOrder) << FormatGeometryJson(geometry);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RaidGeometryOfArray,
    ::testing::Values(Case{"raid0_2x4k", {RaidLayout::Raid0, 2, 8, 0}},
                      Case{"raid0_3x64k_at64", {RaidLayout::Raid0, 3, 128, 64}},
                      Case{"raid0_5x16k_odd_start", {RaidLayout::Raid0, 5, 32, 7}},
                      Case{"raid0_6x128k", {RaidLayout::Raid0, 6, 256, 0}},
                      Case{"raid0_2x1m", {RaidLayout::Raid0, 2, 2048, 1024}},
                      Case{"raid5la_3x8k", {RaidLayout::Raid5LeftAsymmetric, 3, 16, 0}},
                      Case{"raid5ls_4x64k_at32", {RaidLayout::Raid5LeftSymmetric, 4, 128, 32}},
                      Case{"raid5ra_5x32k", {RaidLayout::Raid5RightAsymmetric, 5, 64, 0}},
                      Case{"raid5rs_6x4k_at4", {RaidLayout::Raid5RightSymmetric, 6, 8, 4}},
                      // Stripes enough that the layouts are fitted on a sample of them.
                      Case{"raid5la_4x4k_many", {RaidLayout::Raid5LeftAsymmetric, 4, 8, 2, 40000}},
                      Case{"raid5ls_3x1m", {RaidLayout::Raid5LeftSymmetric, 3, 2048, 0}},
                      Case{"mirror_pair", {RaidLayout::Mirror, 2, 0, 2048}}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// RAID 5 in every rotation over 3 to 6 members, its first row anywhere from the first sector to
// several full turns of the rotation into the members: the answer puts every record of the
// volume where the array put it, and gives the earliest start the records allow.
struct StartCase {
  RaidLayout layout;
  int members;
  int64_t startRows;
};

class RaidGeometryAtAnyStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(RaidGeometryAtAnyStart, PutsEveryRecordWhereTheArrayDid) {
  const StartCase& param = GetParam();
  ArrayShape shape{param.layout, param.members, 16};
  // An odd sector into the stripe as well, for the positions read at odd sectors.
  shape.startSector = param.startRows * shape.stripeSectors + (param.startRows % 2 != 0 ? 3 : 0);
  shape.records = RecordsFor(shape);
  TempDir dir;
  std::vector<size_t> givenOrder;
  const RaidResult result = RunOverArray(shape, dir, givenOrder);
  const RaidGeometry& geometry = result.geometry;
  ASSERT_EQ(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
  const RaidGeometryGuess& best = *geometry.best;
  EXPECT_EQ(best.layout, shape.layout);
  EXPECT_EQ(best.stripeSectors, shape.stripeSectors);
  EXPECT_GE(best.explained, static_cast<uint64_t>(shape.records));
  EXPECT_GE(best.explained, geometry.records * 9 / 10);
  // A symmetric layout one row later is itself with the members rotated; an asymmetric one
  // repeats only after a full turn.
  const bool symmetric = shape.layout == RaidLayout::Raid5LeftSymmetric || shape.layout == RaidLayout::Raid5RightSymmetric;
  const int64_t repeat = (symmetric ? 1 : shape.members) * shape.stripeSectors;
  EXPECT_EQ(best.startSector, shape.startSector % repeat) << FormatGeometryJson(geometry);
  for (int64_t record = 0; record < shape.records; ++record) {
    const auto [arrayMember, sector] = RecordPlaceInArray(shape, record);
    const std::optional<RaidRecordPlace> place = PlaceOfRecord(best, record);
    ASSERT_TRUE(place) << record;
    ASSERT_EQ(givenOrder[place->member], arrayMember) << "record " << record << ": " << FormatGeometryJson(geometry);
    ASSERT_EQ(place->sector, sector) << record;
    // Both sectors of the record, on the member that holds it, expect it.
    ASSERT_EQ(RecordExpectedAt(best, place->member, sector), record);
    ASSERT_EQ(RecordExpectedAt(best, place->member, sector + 1), record);
  }
}

std::vector<StartCase> StartCases() {
  std::vector<StartCase> cases;
  for (RaidLayout layout : {RaidLayout::Raid5LeftAsymmetric, RaidLayout::Raid5LeftSymmetric,
                            RaidLayout::Raid5RightAsymmetric, RaidLayout::Raid5RightSymmetric})
    for (int members = 3; members <= 6; ++members)
      for (int64_t startRows : {int64_t{0}, int64_t{1}, int64_t{members - 1}, int64_t{members + 2}, int64_t{3 * members + 1}})
        cases.push_back({layout, members, startRows});
  return cases;
}

std::string StartCaseName(const ::testing::TestParamInfo<StartCase>& info) {
  static const char* const kNames[] = {"raid0", "la", "ls", "ra", "rs"};
  return std::string(kNames[static_cast<int>(info.param.layout)]) + "_" + std::to_string(info.param.members) + "_rows" +
         std::to_string(info.param.startRows);
}

INSTANTIATE_TEST_SUITE_P(RotationsAndStarts, RaidGeometryAtAnyStart, ::testing::ValuesIn(StartCases()), StartCaseName);

// A real NTFS volume whose MFT spans five stripes of three members, where RAID 0 and the RAID 5
// rotations place most of its records alike. Laid out as RAID 0 it is named RAID 0 with
// certainty: a RAID 5 rotation that puts a row's parity where the volume's first records lie is
// contradicted by them. Laid out as RAID 5 it stays RAID 5; its parity blocks beside stripes that
// hold no MFT are copies of records and count for it. Only the copies of $MFTMirr (and their
// parity) are left unexplained.
TEST(RaidGeometry, RealVolumeIsNamedByTheLayoutItWasLaidOutIn) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  for (const RaidLayout layout : {RaidLayout::Raid0, RaidLayout::Raid5LeftAsymmetric, RaidLayout::Raid5RightSymmetric}) {
    const ArrayShape shape{layout, 3, 128, 0};
    TempDir dir;
    std::vector<size_t> givenOrder;
    const RaidResult result = RunOverArray(shape, dir, givenOrder, -1, -1, 0, &volume);
    const RaidGeometry& geometry = result.geometry;
    ASSERT_EQ(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
    EXPECT_EQ(geometry.best->layout, layout) << FormatGeometryJson(geometry);
    EXPECT_EQ(geometry.best->stripeSectors, 128);
    EXPECT_EQ(geometry.best->startSector, 0);
    std::vector<size_t> expectedOrder(givenOrder.size());
    for (size_t i = 0; i < givenOrder.size(); ++i) expectedOrder[givenOrder[i]] = i;
    EXPECT_EQ(geometry.best->memberOrder, expectedOrder);
    EXPECT_GE(geometry.best->explained + (layout == RaidLayout::Raid0 ? 4 : 8), result.found) << FormatGeometryJson(geometry);
  }
}

// Ranges that hold one stripe, or one stripe row of a RAID 5 set (where RAID 0 and several
// rotations fit equally well), or just a handful of records, never give a certain answer.
TEST(RaidGeometry, RangeTooSmallIsNotEnoughRecords) {
  const ArrayShape shape{RaidLayout::Raid5LeftSymmetric, 4, 128, 0, 6000};
  for (const int64_t lastSector : {int64_t{99}, int64_t{127}, int64_t{20}}) {
    TempDir dir;
    std::vector<size_t> givenOrder;
    const RaidResult result = RunOverArray(shape, dir, givenOrder, 0, lastSector);
    ASSERT_GT(result.found, 0u);
    EXPECT_EQ(result.geometry.verdict, RaidGeometry::Verdict::NotEnoughRecords)
        << lastSector << ": " << FormatGeometryJson(result.geometry);
    const std::string found = std::to_string(result.found);
    EXPECT_EQ(FormatGeometryText(result.geometry),
              u"Geometry: not enough records (" + std::u16string(found.begin(), found.end()) + u" found)");
  }
}

// Records scattered beside the MFT (old copies, records inside other files) do not hide the
// geometry: a few of them lower the share it explains, more of them leave it as the best guess.
TEST(RaidGeometry, ScatteredRecordsBesideTheMftLeaveTheAnswer) {
  const ArrayShape shape{RaidLayout::Raid5RightAsymmetric, 4, 32, 0, 4000};
  for (const int scattered : {100, 3000}) {
    TempDir dir;
    std::vector<size_t> givenOrder;
    const RaidResult result = RunOverArray(shape, dir, givenOrder, -1, -1, scattered);
    const RaidGeometry& geometry = result.geometry;
    ASSERT_TRUE(geometry.best) << FormatGeometryJson(geometry);
    EXPECT_EQ(geometry.verdict, scattered < 1000 ? RaidGeometry::Verdict::Decided : RaidGeometry::Verdict::Unexplained);
    EXPECT_EQ(geometry.best->layout, shape.layout);
    EXPECT_EQ(geometry.best->stripeSectors, shape.stripeSectors);
    EXPECT_GE(geometry.best->explained, static_cast<uint64_t>(shape.records));
    EXPECT_LT(geometry.best->explained, result.found);
  }
}

// Records scattered with no stripe pattern: the answer owns up to explaining few of them.
TEST(RaidGeometry, ScatteredRecordsAreNotPassedOffAsAGeometry) {
  RaidRecordCollector records(4);
  std::mt19937 random(7);
  for (int64_t position = 0; position < 20000; ++position)
    records.add(random() % 4, 2 * position, static_cast<uint32_t>(random() % 30000));
  const RaidGeometry geometry = InferRaidGeometry(records);
  EXPECT_NE(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
}

TEST(RaidGeometry, TextAndJsonNameTheAnswer) {
  RaidGeometry geometry;
  geometry.verdict = RaidGeometry::Verdict::Decided;
  geometry.records = 1000;
  geometry.best = RaidGeometryGuess{RaidLayout::Raid5LeftSymmetric, 128, {2, 0, 1}, 64, 0, 990};
  geometry.nextBest = RaidGeometryGuess{RaidLayout::Raid0, 2048, {0, 1, 2}, 0, -6, 800};
  EXPECT_EQ(FormatGeometryText(geometry),
            u"Geometry: RAID 5 left-symmetric, stripe 64 KiB (128 sectors), member order 3, 1, 2, start sector 64\n"
            u"Explains 990 of 1000 records (99%); next best: RAID 0, stripe 1 MiB (2048 sectors), member order 1, 2, 3 "
            u"(explains 800)");
  EXPECT_EQ(FormatGeometryJson(geometry),
            "{\"verdict\":\"decided\",\"records\":1000,"
            "\"best\":{\"layout\":\"raid5-left-symmetric\",\"stripeSectors\":128,\"memberOrder\":[2,0,1],\"startSector\":64,"
            "\"recordZeroDataSector\":0,\"explained\":990},"
            "\"nextBest\":{\"layout\":\"raid0\",\"stripeSectors\":2048,\"memberOrder\":[0,1,2],\"startSector\":0,"
            "\"recordZeroDataSector\":-6,\"explained\":800},\"fromOtherParity\":false,\"otherParityStart\":-1}");

  geometry = {};
  geometry.verdict = RaidGeometry::Verdict::NotEnoughRecords;
  geometry.records = 12;
  EXPECT_EQ(FormatGeometryJson(geometry), "{\"verdict\":\"notEnoughRecords\",\"records\":12,\"best\":null,\"nextBest\":null,"
            "\"fromOtherParity\":false,\"otherParityStart\":-1}");
  geometry.verdict = RaidGeometry::Verdict::NothingToSay;
  EXPECT_EQ(FormatGeometryText(geometry), u"");

  // An answer from the parity places counts stripe rows, not records.
  geometry.verdict = RaidGeometry::Verdict::Decided;
  geometry.best = RaidGeometryGuess{RaidLayout::Raid5RightAsymmetric, 64, {1, 0, 2}, 2048, 0, 40};
  geometry.fromParityPlaces = true;
  geometry.places = {900, 3};
  EXPECT_EQ(FormatGeometryText(geometry),
            u"Geometry: RAID 5 right-asymmetric, stripe 32 KiB (64 sectors), member order 2, 1, 3, start sector 2048\n"
            u"From the members' parity: 40 stripe rows keep their parity where it says");
  EXPECT_NE(FormatGeometryJson(geometry).find("\"fromParityPlaces\":true,\"parityPlaces\":{\"agree\":900,\"disagree\":3}"),
            std::string::npos);
}

// The members' parity is evidence of its own: the XOR of a RAID 5 row is zero at every offset, that
// of a RAID 0 row almost never. Counted over a run, it rules out the layouts it contradicts, so a
// RAID 0 answer is never given where the parity holds, nor a RAID 5 one where it fails.
TEST(RaidGeometry, ParityTellsRaid0FromRaid5) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  for (const RaidLayout layout : {RaidLayout::Raid0, RaidLayout::Raid5LeftAsymmetric}) {
    TempDir dir;
    std::vector<size_t> givenOrder;
    const RaidResult result = RunOverArray({layout, 3, 128, 0}, dir, givenOrder, -1, -1, 0, &volume);
    const RaidParityEvidence& parity = result.geometry.parity;
    EXPECT_GT(parity.checked, 500u);
    EXPECT_EQ(parity.holds(), layout != RaidLayout::Raid0) << parity.zero << " of " << parity.checked;
    EXPECT_EQ(parity.absent(), layout == RaidLayout::Raid0) << parity.zero << " of " << parity.checked;
    ASSERT_EQ(result.geometry.verdict, RaidGeometry::Verdict::Decided);
    EXPECT_EQ(result.geometry.best->layout, layout);

    // The same records with the opposite evidence: the layout they point to is ruled out.
    RaidRecordCollector records(3);
    for (const RaidRecordRun& run : result.plot.runs)
      for (uint32_t i = 0; i < run.length; ++i) records.add(run.member, run.sector + 2 * i, run.record + i);
    const RaidParityEvidence opposite{1000, layout == RaidLayout::Raid0 ? 1000u : 0u};
    const RaidGeometry contradicted = InferRaidGeometry(records, opposite);
    if (contradicted.best) EXPECT_NE(contradicted.best->layout == RaidLayout::Raid0, layout == RaidLayout::Raid0);
    EXPECT_EQ(InferRaidGeometry(records, parity).best->layout, layout);
  }
}
