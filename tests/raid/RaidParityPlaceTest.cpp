#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <numeric>
#include <random>

#include "platform/PathText.h"
#include "raid/RaidParityPlace.h"
#include "raid/RaidVolume.h"
#include "tests/raid/StripedArray.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {


struct Analysed {
  RaidResult result;
  std::vector<RaidMember> members;
  std::vector<size_t> givenOrder;  // givenOrder[p]: the given index of array position p
};

// Stripes `volume` as `shape`, hands the members over shuffled (one of them as missing when
// `missing` names an array position) and analyses the whole of them.
Analysed Analyse(const ArrayShape& shape, const std::string& volume, const TempDir& dir, unsigned seed,
                 int missing = -1) {
  const std::vector<std::string> images = StripeVolume(shape, volume);
  Analysed run;
  run.givenOrder.resize(images.size());
  std::iota(run.givenOrder.begin(), run.givenOrder.end(), size_t{0});
  std::shuffle(run.givenOrder.begin(), run.givenOrder.end(), std::mt19937(seed));
  run.members.resize(images.size());
  for (size_t position = 0; position < images.size(); ++position) {
    if (static_cast<int>(position) == missing) continue;
    const auto path = dir / ("member" + std::to_string(position) + ".img");
    WriteFile(path, images[position]);
    run.members[run.givenOrder[position]] = {u"", path};
  }
  RaidRequest request;
  request.logPath = dir / "map.txt";
  request.members = run.members;
  request.endOffset = static_cast<int64_t>(images[0].size()) - 512;
  std::atomic<int> stop{0};
  RaidReporter quiet;
  run.result = RunRaidAnalysis(request, stop, quiet);
  return run;
}

// The volume the geometry reads from the members begins with the original.
void ExpectVolumeFrom(const Analysed& run, const std::string& volume) {
  RaidVolumeResult opened;
  const auto reader = RaidVolumeReader::Open({run.members, *run.result.geometry.best, {}, {}}, opened);
  ASSERT_NE(reader, nullptr) << TextToUtf8(RaidVolumeOutcomeText(opened));
  ASSERT_GE(reader->size(), static_cast<int64_t>(volume.size()));
  std::string read(volume.size(), '\0');
  ASSERT_EQ(reader->read(read.data(), read.size(), 0), static_cast<int64_t>(read.size()));
  EXPECT_TRUE(read == volume) << "the volume read by the geometry found differs from the original";
}

}  // namespace

// An ext4 volume holds no MFT record: over RAID 5, in every rotation, with the first row at the
// members' start or several turns in, the members' parity places and the superblocks name the
// geometry, and the volume it reads is the original. With one member given as missing its blocks
// are rebuilt from the others' XOR and the analysis comes to the same answer. Over RAID 0 there is
// no parity to read, and nothing is said.
TEST(RaidParityPlace, Ext4VolumeIsNamedByTheParityOfItsRows) {
  const std::string volume = Gunzip(std::filesystem::path(BRENVIK_TEST_DATA) / "raid/ext4-volume.img.gz");
  ASSERT_EQ(volume.size(), size_t{16} << 20);
  unsigned seed = 1;
  for (const RaidLayout layout : {RaidLayout::Raid5LeftAsymmetric, RaidLayout::Raid5LeftSymmetric,
                                  RaidLayout::Raid5RightAsymmetric, RaidLayout::Raid5RightSymmetric}) {
    for (const ArrayShape& shape : {ArrayShape{layout, 3, 64, 0}, ArrayShape{layout, 4, 32, 2048 + 3 * 4 * 32}}) {
      for (const int missing : {-1, static_cast<int>(seed % static_cast<unsigned>(shape.members))}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(layout)) + " members " + std::to_string(shape.members) +
                     " missing " + std::to_string(missing));
        TempDir dir;
        const Analysed run = Analyse(shape, volume, dir, ++seed, missing);
        const RaidGeometry& geometry = run.result.geometry;
        ASSERT_EQ(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
        EXPECT_TRUE(geometry.fromParityPlaces);
        EXPECT_EQ(geometry.best->layout, layout);
        EXPECT_EQ(geometry.best->stripeSectors, shape.stripeSectors);
        EXPECT_EQ(geometry.best->startSector, shape.startSector);
        EXPECT_EQ(geometry.best->memberOrder, run.givenOrder);
        // A few data blocks cancel out (equal blocks in one row), no more.
        EXPECT_GT(geometry.places.agree, 400u);
        EXPECT_FALSE(geometry.places.contradicts()) << geometry.places.disagree << " of " << geometry.places.agree;
        ExpectVolumeFrom(run, volume);
      }
    }
  }
  TempDir dir;
  const Analysed raid0 = Analyse({RaidLayout::Raid0, 3, 64, 0}, volume, dir, 99);
  EXPECT_NE(raid0.result.geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(raid0.result.geometry);
}

// The NTFS volume's records decide its geometry with a member missing too (the missing member's
// records are read from the others' XOR), and the parity places agree with the records' answer.
// The records allow a start a turn earlier; the boot sector puts it where the volume begins, so
// the volume read is the original from its first byte.
TEST(RaidParityPlace, NtfsRecordsAndParityPlacesAgreeWithAMemberMissing) {
  const std::string volume = RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  const ArrayShape shape{RaidLayout::Raid5LeftSymmetric, 3, 128, 2048};
  TempDir dir;
  const Analysed run = Analyse(shape, volume, dir, 5, 1);
  const RaidGeometry& geometry = run.result.geometry;
  ASSERT_EQ(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
  EXPECT_FALSE(geometry.fromParityPlaces);
  EXPECT_EQ(geometry.best->layout, shape.layout);
  EXPECT_EQ(geometry.best->memberOrder, run.givenOrder);
  EXPECT_EQ(geometry.best->startSector, shape.startSector);
  EXPECT_GT(geometry.places.agree, 100u);
  EXPECT_FALSE(geometry.places.contradicts()) << geometry.places.disagree << " of " << geometry.places.agree;
  ExpectVolumeFrom(run, volume);

  // Two members missing leave nothing to rebuild from: refused before the log is created.
  RaidRequest twoMissing;
  twoMissing.logPath = dir / "two.txt";
  twoMissing.members = run.members;
  twoMissing.members[run.givenOrder[0]].path.clear();
  twoMissing.endOffset = 1 << 20;
  std::atomic<int> stop{0};
  RaidReporter quiet;
  const RaidResult refused = RunRaidAnalysis(twoMissing, stop, quiet);
  EXPECT_EQ(refused.end, RaidEnd::Refused);
  EXPECT_EQ(refused.refusal, RaidRefusal::TooManyMissing);
  EXPECT_EQ(TextToUtf8(RaidOutcomeText(refused)), "Too many members missing for this layout");
  EXPECT_FALSE(std::filesystem::exists(dir / "two.txt"));
}

// Every block that names its place in its volume names its own, and the file systems' first
// blocks and ext4's backup superblock are among them.
TEST(RaidParityPlace, BlocksThatNameTheirPlaceNameTheirOwn) {
  const std::string ext4 = Gunzip(std::filesystem::path(BRENVIK_TEST_DATA) / "raid/ext4-volume.img.gz");
  const std::string ntfs = RealNtfsVolume(BRENVIK_TEST_DATA);
  for (const auto& [volume, expected] : {std::pair(&ext4, std::vector<int64_t>{2, 16386}), std::pair(&ntfs, std::vector<int64_t>{0})}) {
    ASSERT_FALSE(volume->empty());
    std::vector<int64_t> named;
    for (size_t at = 0; at + 1024 <= volume->size(); at += 1024) {
      const auto block = std::span(reinterpret_cast<const uint8_t*>(volume->data()) + at, 1024);
      if (const std::optional<int64_t> sector = VolumeSectorOf(block)) {
        EXPECT_EQ(*sector, static_cast<int64_t>(at / 512));
        named.push_back(*sector);
      }
    }
    EXPECT_EQ(named, expected);
  }
  // FAT32's boot sector names the volume's start and its backup's place, which holds the same bytes.
  std::ifstream fatBoot(std::filesystem::path(BRENVIK_TEST_DATA) / "raid/fat32-boot.bin", std::ios::binary);
  std::vector<uint8_t> boot((std::istreambuf_iterator<char>(fatBoot)), std::istreambuf_iterator<char>());
  ASSERT_EQ(boot.size(), 1024u);
  EXPECT_EQ(VolumeSectorOf(boot), std::optional<int64_t>(0));
  EXPECT_EQ(CopySectorOf(boot), 6);
  // NTFS's names the volume's last sector, where its backup lies.
  EXPECT_EQ(CopySectorOf(std::span(reinterpret_cast<const uint8_t*>(ntfs.data()), 1024)),
            static_cast<int64_t>(ntfs.size() / 512 - 1));
  EXPECT_EQ(ntfs.compare(ntfs.size() - 512, 512, ntfs, 0, 512), 0);
  // Hostile values never name a place far off or overflow: a superblock with every field at its
  // largest is no superblock.
  std::vector<uint8_t> hostile(1024, 0xFF);
  hostile[56] = 0x53, hostile[57] = 0xEF;
  EXPECT_FALSE(VolumeSectorOf(hostile).has_value());
}
