// The used-space-first copy of a real NTFS disk (made by sfdisk, mkntfs and ntfs-3g, some files
// deleted again) served by the failing FUSE file system with bad sectors in the MFT, in a file's
// clusters and in free space; the fall-back for a disk without NTFS; and a copy limited to a
// domain map and continued without it.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#include "disk/ImagingJob.h"
#include "disk/RescueMap.h"
#include "ntfs/NtfsVolume.h"
#include "platform/ByteOrder.h"
#include "tests/disk/ImagingTestSupport.h"
#include "tests/support/TempDir.h"
#if BRENVIK_TEST_FUSE
#include "tests/disk/FaultyFuse.h"
#endif

using namespace brenvik;
using namespace brenvik::testing;

namespace {

ImagingEnvironment StillClock() {
  ImagingEnvironment env;
  env.nowSeconds = [] { return int64_t{0}; };
  return env;
}

const Row kPhaseTables{u"阶段", u"复制分区表与引导扇区"};
const Row kPhaseMft{u"阶段", u"复制MFT"};
const Row kMftDone{u"阶段", u"MFT已复制完成"};
const Row kPhaseBitmap{u"阶段", u"复制$Bitmap"};
const Row kPhaseUsed{u"阶段", u"复制已用空间"};
const Row kUsedDone{u"阶段", u"已用空间复制完成，其余空间未读取"};
const Row kPhaseRest{u"阶段", u"复制其余空间"};

constexpr int64_t kPartitionStart = 2048;
constexpr int64_t kDiskMb = 64;
constexpr int64_t kPartitionSectors = kDiskMb * 2048 - 4096;  // as make-ntfs-disk.sh lays it out

// The state of each sector of a map.
std::vector<char> StatesOf(const std::filesystem::path& map, int64_t sectors) {
  std::vector<char> states(static_cast<size_t>(sectors), 'x');
  const ParsedRescueMap parsed = ParseRescueMap(ReadFile(map));
  for (const RescueMapBlock& b : parsed.blocks)
    for (int64_t s = b.position / 512; s < (b.position + b.size) / 512 && s < sectors; ++s) states[s] = b.status;
  return states;
}

// The used clusters of the partition's bitmap, as sectors of the disk, read straight from the image.
std::vector<ntfs::Extent> UsedSectors(const std::string& disk) {
  const std::string_view part = std::string_view(disk).substr(kPartitionStart * 512);
  const auto* bytes = reinterpret_cast<const uint8_t*>(part.data());
  const auto boot = ntfs::ParseBootSector(std::span(bytes, 512));
  if (!boot) return {};
  std::vector<uint8_t> record(bytes + boot->mftCluster * boot->clusterSize,
                              bytes + boot->mftCluster * boot->clusterSize + boot->recordSize);
  if (!ntfs::ApplyFixups(record)) return {};
  const auto mft = ntfs::FindUnnamedData(record, *boot);
  const auto at = mft ? ntfs::VolumeOffset(mft->extents, 6 * boot->recordSize) : std::nullopt;
  if (!at) return {};
  record.assign(bytes + *at, bytes + *at + boot->recordSize);
  if (!ntfs::ApplyFixups(record)) return {};
  const auto bitmap = ntfs::FindUnnamedData(record, *boot);
  if (!bitmap) return {};
  ntfs::UsedClusters used(boot->clusterSize, boot->clusterCount());
  uint64_t done = 0;
  for (const ntfs::Extent& e : bitmap->extents) {
    used.add(done, std::span(bytes + e.offset, e.length));
    done += e.length;
  }
  std::vector<ntfs::Extent> sectors;
  for (const ntfs::Extent& e : used.extents()) sectors.push_back({e.offset / 512 + kPartitionStart, e.length / 512});
  return sectors;
}

}  // namespace

TEST(ImagingUsedFirst, MetadataAndUsedClustersOfAFailingNtfsDiskComeFirstAndDdrescueGoesOn) {
#if !BRENVIK_TEST_FUSE
  GTEST_SKIP() << "built without libfuse3: no failing source to read from";
#else
  for (const char* tool : {"sfdisk", "mkntfs", "ntfscat", "ntfsls", "ddrescue"})
    if (!CommandOutput(std::string("command -v ") + tool + " >/dev/null")) GTEST_SKIP() << tool << " is missing";
  TempDir dir;
  const std::filesystem::path made = dir / "made.img";
  ASSERT_TRUE(CommandOutput("sh '" BRENVIK_TEST_SCRIPTS "/make-ntfs-disk.sh' '" + made.string() + "' " +
                     std::to_string(kDiskMb) + " 30 dos >/dev/null 2>&1"));
  const std::string disk = ReadFile(made);
  ASSERT_EQ(static_cast<int64_t>(disk.size()), kDiskMb << 20);
  const std::filesystem::path sourcePart = dir / "source-part.img";
  WriteFile(sourcePart, std::string_view(disk).substr(kPartitionStart * 512, kPartitionSectors * 512));
  const auto listed = CommandOutput("ntfsls -p /dir '" + sourcePart.string() + "'");
  ASSERT_TRUE(listed);
  std::vector<std::string> files;
  for (size_t at = 0, end; (end = listed->find('\n', at)) != std::string::npos; at = end + 1)
    if (listed->compare(at, 1, "f") == 0) files.push_back(listed->substr(at, end - at));
  ASSERT_GE(files.size(), 5u);

  const std::vector<ntfs::Extent> used = UsedSectors(disk);
  ASSERT_FALSE(used.empty());
  int64_t usedSectors = 0;
  for (const ntfs::Extent& e : used) usedSectors += static_cast<int64_t>(e.length);
  // About 30 % of the partition, whatever the deleted files left.
  EXPECT_GT(usedSectors, kPartitionSectors / 5);
  EXPECT_LT(usedSectors, kPartitionSectors / 2);

  // A sector of the first file's data, one of an unused MFT record (40) and one of free space.
  const std::string firstFile = *CommandOutput("ntfscat '" + sourcePart.string() + "' /dir/" + files[0]);
  const size_t fileAt = disk.find(firstFile.substr(0, 4096));
  ASSERT_NE(fileAt, std::string::npos);
  const auto boot = ntfs::ParseBootSector(std::span(reinterpret_cast<const uint8_t*>(disk.data()) + kPartitionStart * 512, 512));
  ASSERT_TRUE(boot);
  const int64_t mftSector = kPartitionStart + static_cast<int64_t>(boot->mftCluster * boot->clusterSize + 40 * boot->recordSize) / 512;
  const int64_t fileSector = static_cast<int64_t>(fileAt / 512) + 1;
  int64_t freeSector = -1;
  for (size_t i = 0; i + 1 < used.size() && freeSector < 0; ++i)
    if (used[i + 1].offset > used[i].offset + used[i].length + 8) freeSector = static_cast<int64_t>(used[i].offset + used[i].length) + 4;
  ASSERT_GT(freeSector, 0);
  const std::set<int64_t> bad = {mftSector, fileSector, freeSector};

  FaultyImageMount mount(dir / "mnt", disk, 512, bad);
  if (!mount.failure().empty()) GTEST_SKIP() << mount.failure();
  ImagingRequest p;
  p.sourceImage = mount.file();
  p.sourceCount = p.targetSize = kDiskMb * 2048;
  p.sourceSectorSize = p.targetSectorSize = 512;
  p.targetFile = dir / "target.img";
  p.usedFirst = p.usedOnly = true;
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  const ImagingOutcome outcome = RunImaging(p, stop, reporter, StillClock());
  // Two used sectors stay unreadable: not all that was asked is there.
  EXPECT_EQ(outcome.end, ImagingEnd::Incomplete);

  // The phases in their order, no read of the rest.
  std::vector<Row> phases;
  for (const Row& row : reporter.rows)
    if (row.title == u"阶段" && (row == kUsedDone || row.description.rfind(u"已用空间", 0) != 0)) phases.push_back(row);
  EXPECT_EQ(phases, (std::vector<Row>{kPhaseTables, kPhaseMft, kMftDone, kPhaseBitmap, kPhaseUsed, kUsedDone}));
  EXPECT_FALSE(reporter.has(kPhaseRest));

  // The bytes read are the used space, give or take a hundredth.
  int64_t readBytes = 0;
  std::map<int64_t, int> touches;
  for (const auto& [offset, size] : mount.reads()) {
    readBytes += size;
    for (int64_t s : bad) touches[s] += offset < (s + 1) * 512 && offset + size > s * 512;
  }
  EXPECT_LE(readBytes, usedSectors * 512 + usedSectors * 512 / 100);
  // A bad sector is touched by the read that found it, by trimming and by the one retry, however
  // many phases' areas hold it; one in free space is never touched.
  EXPECT_LE(touches[mftSector], 3);
  EXPECT_LE(touches[fileSector], 3);
  EXPECT_EQ(touches[freeSector], 0);

  // Every readable used sector is finished, the bad ones bad, free space untried.
  const std::vector<char> states = StatesOf(p.targetFile.string() + ".map", p.sourceCount);
  for (const ntfs::Extent& e : used)
    for (uint64_t s = e.offset; s < e.offset + e.length; ++s)
      ASSERT_EQ(states[s], bad.count(static_cast<int64_t>(s)) ? '-' : '+') << "sector " << s;
  EXPECT_EQ(states[freeSector], '?');
  EXPECT_EQ(states[0], '+');  // the partition table
  EXPECT_EQ(states[kPartitionStart + kPartitionSectors - 1], '+');  // the backup boot sector

  // Every file whose clusters are good reads on the target as on the source.
  const std::string target = ReadFile(p.targetFile);
  const std::filesystem::path targetPart = dir / "target-part.img";
  WriteFile(targetPart, std::string_view(target).substr(kPartitionStart * 512, kPartitionSectors * 512));
  EXPECT_EQ(CommandOutput("ntfsls -p /dir '" + targetPart.string() + "'"), listed);
  for (const std::string& name : files) {
    const auto copied = CommandOutput("ntfscat '" + targetPart.string() + "' /dir/" + name);
    const auto original = CommandOutput("ntfscat '" + sourcePart.string() + "' /dir/" + name);
    if (name == files[0]) EXPECT_NE(copied, original) << name << " holds a bad sector";
    else EXPECT_EQ(copied, original) << name;
  }

  // ddrescue goes on from the same map and leaves nothing untried.
  mount.clearReads();
  ASSERT_TRUE(CommandOutput("ddrescue -q '" + mount.file().string() + "' '" + p.targetFile.string() + "' '" +
                     p.targetFile.string() + ".map' 2>&1"));
  const std::vector<char> after = StatesOf(p.targetFile.string() + ".map", p.sourceCount);
  EXPECT_EQ(std::count(after.begin(), after.end(), '?'), 0);
  EXPECT_EQ(after[freeSector], '-');
  EXPECT_EQ(std::count(after.begin(), after.end(), '+'), p.sourceCount - 3);
#endif
}

TEST(ImagingUsedFirst, ADiskWithoutNtfsIsCopiedWholeInOrderAndSaysSo) {
  TempDir dir;
  ImagingRequest p = ImageToImage(dir, 3000, 512, 512);
  const std::string source = Sectors(3000, 512);
  WriteFile(p.sourceImage, source);
  p.usedFirst = p.usedOnly = true;
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  EXPECT_EQ(RunImaging(p, stop, reporter, StillClock()).end, ImagingEnd::Completed);
  EXPECT_TRUE(reporter.has({u"阶段", u"未找到可识别的NTFS文件系统，按顺序复制整个磁盘"}));
  std::string expected = source;
  if (expected[511] == '\xAA') expected[511] = '\xBB';
  EXPECT_TRUE(ReadFile(p.targetFile) == expected);
}

TEST(ImagingUsedFirst, ADomainMapLimitsTheCopyAndALaterRunWithoutItCopiesTheRest) {
  TempDir dir;
  ImagingRequest p = ImageToImage(dir, 4000, 512, 512);
  const std::string source = Sectors(4000, 512);
  WriteFile(p.sourceImage, source);
  // ddrescue's own kind of map: sectors 100-299 and 1000.5-1001 (which takes the whole sector).
  const std::filesystem::path domain = dir / "domain.map";
  WriteFile(domain,
            "# Mapfile. Created by GNU ddrescue version 1.27\n0x00000000     +               1\n"
            "0x00000000  0x0000C800  ?\n0x0000C800  0x00019000  +\n0x00025800  0x00057900  ?\n"
            "0x0007D100  0x00000100  +\n0x0007D200  0x00122E00  ?\n");
  p.domainMap = domain;
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  // What was asked is all there.
  EXPECT_EQ(RunImaging(p, stop, reporter, StillClock()).end, ImagingEnd::Completed);
  std::vector<char> states = StatesOf(p.targetFile.string() + ".map", 4000);
  for (int64_t s = 0; s < 4000; ++s)
    ASSERT_EQ(states[s], (s >= 100 && s < 300) || s == 1000 ? '+' : '?') << "sector " << s;
  const std::string partial = ReadFile(p.targetFile);
  EXPECT_EQ(partial.substr(100 * 512, 200 * 512), source.substr(100 * 512, 200 * 512));

  // The same run without the domain goes on from the map.
  p.domainMap.clear();
  RecordingReporter second;
  EXPECT_EQ(RunImaging(p, stop, second, StillClock()).end, ImagingEnd::Completed);
  EXPECT_TRUE(second.has({u"映射", u"按映射文件继续，从扇区0开始"}));
  EXPECT_TRUE(ReadFile(p.targetFile) == source);

  // A domain that is not a map refuses the run before the target is touched.
  WriteFile(domain, "not a map\n");
  p.domainMap = domain;
  RecordingReporter refused;
  EXPECT_EQ(RunImaging(p, stop, refused, StillClock()).end, ImagingEnd::Refused);
  EXPECT_TRUE(refused.has({u"错误", u"域映射文件无法读取"}));
  EXPECT_TRUE(ReadFile(p.targetFile) == source);
}
