// Copies from failing sources: a FUSE file system that fails chosen sectors with EIO, read as an
// image file and as a disk through a loop device, and as a disk against ddrescue's direct reads;
// a source whose file system refuses direct reads; the rescue map beside the image target, read
// back with ddrescuelog; runs stopped in every phase and continued from their map; maps and
// sources that must not be used; Stop among the single-sector reads of a dead block.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "disk/ImagingJob.h"
#include "disk/RescueMap.h"
#include "platform/FileOps.h"
#include "tests/disk/ImagingTestSupport.h"
#include "tests/disk/SimulatedScsi.h"
#include "tests/support/KernelFixtures.h"
#include "tests/support/TempDir.h"
#if BRENVIK_TEST_FUSE
#include "tests/disk/FaultyFuse.h"
#endif

using namespace brenvik;
using namespace brenvik::testing;

namespace {

std::string ReadRow(int64_t byteOffset) { return "读取位置" + std::to_string(byteOffset) + "错误"; }
Row Unreadable(int64_t byteOffset) { return {u"读取", Utf8ToText(ReadRow(byteOffset))}; }
Row RetrySummary(int recovered, int left) {
  return {u"重试", Utf8ToText("重试用时0秒，恢复" + std::to_string(recovered) + "个扇区，仍有" + std::to_string(left) +
                                "个坏扇区")};
}

bool HaveDdrescuelog() { return CommandOutput("ddrescuelog --version >/dev/null 2>&1").has_value(); }

// The sectors a map lists as bad, as ddrescuelog reads them.
std::set<int64_t> BadSectorsOfMap(const std::filesystem::path& map, int sectorSize) {
  std::set<int64_t> sectors;
  const auto listed = CommandOutput("ddrescuelog -l- -b" + std::to_string(sectorSize) + " '" + map.string() + "'");
  if (!listed) return {-1};
  size_t at = 0;
  while (at < listed->size()) {
    const size_t end = listed->find('\n', at);
    sectors.insert(std::stoll(listed->substr(at, end - at)));
    at = end == std::string::npos ? listed->size() : end + 1;
  }
  return sectors;
}

std::string WithFill(std::string image, const std::set<int64_t>& sectors, int sectorSize) {
  for (int64_t s : sectors) image.replace(static_cast<size_t>(s * sectorSize), sectorSize, std::string(sectorSize, '\xBB'));
  return image;
}

ImagingEnvironment StillClock() {
  ImagingEnvironment env;
  env.nowSeconds = [] { return int64_t{0}; };
  return env;
}

}  // namespace

TEST(ImagingRescue, OnlyUnreadableSectorsAreFilledReadDirectlyAndThroughALoopDevice) {
#if !BRENVIK_TEST_FUSE
  GTEST_SKIP() << "built without libfuse3: no failing source to read from";
#else
  if (!HaveDdrescuelog()) GTEST_SKIP() << "ddrescuelog (package gddrescue) is missing";
  TempDir dir;
  const int64_t count = 12000;  // three blocks, the last one short
  const std::string image = Sectors(count, 512);
  // A run of three, a run across the first block boundary, one alone, the very last sector.
  const std::set<int64_t> bad = {100, 101, 102, 5119, 5120, 9000, 11999};
  const std::string expected = WithFill(image, bad, 512);

  for (bool throughLoop : {false, true}) {
    SCOPED_TRACE(throughLoop ? "through a loop device" : "the FUSE file itself");
    // Read as a file, sector 7000 fails on the copy and reads on the retry. Through a loop device
    // the kernel's own reads would use up its failure, so there it stays good.
    const std::set<int64_t> healing = throughLoop ? std::set<int64_t>{} : std::set<int64_t>{7000};
    FaultyImageMount mount(dir / (throughLoop ? "mnt-loop" : "mnt"), image, 512, bad, healing);
    if (!mount.failure().empty()) GTEST_SKIP() << mount.failure();
    std::optional<LoopDevice> loop;
    ImagingRequest p;
    if (throughLoop) {
      loop.emplace(mount.file());
      if (!loop->valid()) GTEST_SKIP() << "losetup could not attach a loop device";
      p.sourceDiskNode = loop->node();
    } else {
      p.sourceImage = mount.file();
    }
    p.sourceCount = p.targetSize = count;
    p.sourceSectorSize = p.targetSectorSize = 512;
    p.targetFile = dir / (throughLoop ? "loop.img" : "file.img");
    RecordingReporter reporter;
    std::atomic<int> stop{0};
    RunImaging(p, stop, reporter, StillClock());

    EXPECT_TRUE(ReadFile(p.targetFile) == expected);
    std::vector<Row> rows = {kStarted, Unreadable(100 * 512), Unreadable(5119 * 512)};
    if (!throughLoop) rows.push_back(Unreadable(7000 * 512));
    rows.insert(rows.end(), {Unreadable(9000 * 512), Unreadable(11999 * 512),
                             RetrySummary(throughLoop ? 0 : 1, 7), kDone});
    EXPECT_EQ(reporter.rows, rows);

    const std::filesystem::path map = dir / (p.targetFile.filename().string() + ".map");
    EXPECT_EQ(BadSectorsOfMap(map, 512), bad);
    const auto summary = CommandOutput("ddrescuelog -t '" + map.string() + "'");
    ASSERT_TRUE(summary.has_value());
    EXPECT_NE(summary->find("3584 B"), std::string::npos) << *summary;  // 7 x 512 bytes bad
  }
#endif
}

#if BRENVIK_TEST_FUSE
// How many reads that reached the FUSE file touched each of `sectors`.
std::map<int64_t, int> Touches(FaultyImageMount& mount, const std::set<int64_t>& sectors, int sectorSize) {
  std::map<int64_t, int> touches;
  for (int64_t s : sectors) touches[s] = 0;
  for (const auto& [offset, size] : mount.reads())
    for (auto it = touches.lower_bound(offset / sectorSize); it != touches.end() && it->first * sectorSize < offset + size;
         ++it)
      ++it->second;
  return touches;
}
#endif

TEST(ImagingRescue, ADiskIsReadDirectlyTouchingBadSectorsNoMoreThanDdrescue) {
#if !BRENVIK_TEST_FUSE
  GTEST_SKIP() << "built without libfuse3: no failing source to read from";
#else
  // A disk's reads through the page cache are widened by read-ahead and retried page by page,
  // each touching the bad sectors again. Read directly, the copy reaches the failing medium as
  // ddrescue -d does.
  if (!CommandOutput("ddrescue --version >/dev/null 2>&1")) GTEST_SKIP() << "ddrescue (package gddrescue) is missing";
  TempDir dir;
  const int64_t count = 8192;  // 4 MiB
  const std::string image = Sectors(count, 512);
  // One alone, three in one 4 KiB page, a 128 KiB bad area, scattered ones, the last 4 KiB.
  std::set<int64_t> bad = {100, 2001, 2003, 2006, 5003, 6007, 7001};
  for (int64_t s = 3000; s < 3256; ++s) bad.insert(s);
  for (int64_t s = count - 5; s < count; ++s) bad.insert(s);
  FaultyImageMount mount(dir / "mnt", image, 512, bad);
  if (!mount.failure().empty()) GTEST_SKIP() << mount.failure();
  const LoopDevice loop(mount.file(), LoopDevice::kAsDisk);
  if (!loop.valid()) GTEST_SKIP() << "losetup could not attach a read-only loop device with direct I/O";

  ImagingRequest p;
  p.sourceDiskNode = loop.node();
  p.sourceCount = p.targetSize = count;
  p.sourceSectorSize = p.targetSectorSize = 512;
  p.targetFile = dir / "engine.img";
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  mount.clearReads();
  EXPECT_EQ(RunImaging(p, stop, reporter, StillClock()).end, ImagingEnd::Incomplete);
  const size_t ourRequests = mount.reads().size();
  const std::map<int64_t, int> ours = Touches(mount, bad, 512);
  EXPECT_TRUE(ReadFile(p.targetFile) == WithFill(image, bad, 512));
  EXPECT_FALSE(reporter.has({u"读取", u"读取经过系统缓存，已关闭预读"}));

  mount.clearReads();
  const std::filesystem::path theirs = dir / "ddrescue.img";
  ASSERT_TRUE(CommandOutput("ddrescue -q -d -r1 '" + loop.node().string() + "' '" + theirs.string() + "' '" +
                     theirs.string() + ".map'"));
  const size_t theirRequests = mount.reads().size();
  const std::map<int64_t, int> theirTouches = Touches(mount, bad, 512);
  for (const auto& [sector, touches] : ours) EXPECT_LE(touches, theirTouches.at(sector)) << "sector " << sector;
  EXPECT_LE(ourRequests * 5, theirRequests * 6) << ourRequests << " requests against ddrescue's " << theirRequests;
  EXPECT_EQ(BadSectorsOfMap(dir / "engine.img.map", 512), bad);
#endif
}

TEST(ImagingRescue, ASourceRefusingDirectReadsIsReadThroughTheCacheAndSaysSo) {
  TempDir dir;
  const auto ramfs = ScopedMount::Ramfs(dir / "ram");
  if (!ramfs.valid()) GTEST_SKIP() << "no ramfs (it needs root)";
  const std::string image = Sectors(300, 512);
  WriteFile(ramfs / "source.img", image);
  ImagingRequest p = ImageToImage(dir, 300, 512, 512);
  p.sourceImage = ramfs / "source.img";
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  EXPECT_EQ(RunImaging(p, stop, reporter, StillClock()).end, ImagingEnd::Completed);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, {u"读取", u"读取经过系统缓存，已关闭预读"}, kDone}));
  EXPECT_TRUE(ReadFile(p.targetFile) == image);
}

// The phase a map was written in, from its status line.
char PhaseOfMap(const std::filesystem::path& map) {
  const std::string text = ReadFile(map);
  const size_t status = text.find("current_pass\n");
  return status == std::string::npos ? '\0' : text[text.find_first_not_of("0123456789abcdefxABCDEFX ", status + 13)];
}

TEST(ImagingRescue, StoppedAnywhereAndResumedGivesTheUninterruptedCopyWithoutReadingClaimedSectors) {
#if !BRENVIK_TEST_FUSE
  GTEST_SKIP() << "built without libfuse3: no failing source to read from";
#else
  TempDir dir;
  const int64_t count = 12000;
  const std::string image = Sectors(count, 520);
  std::set<int64_t> bad = {100, 101, 102, 6000, 9000, 11999};
  for (int64_t s = 3000; s < 3300; ++s) bad.insert(s);  // a bad area wider than a failed request
  FaultyImageMount mount(dir / "mnt", image, 520, bad);
  if (!mount.failure().empty()) GTEST_SKIP() << mount.failure();
  ImagingRequest p;
  p.sourceImage = mount.file();
  p.sourceCount = p.targetSize = count;
  p.sourceSectorSize = 520;
  p.targetSectorSize = 512;
  std::atomic<int> stop{0};

  p.targetFile = dir / "whole.img";
  RecordingReporter whole;
  mount.clearReads();
  EXPECT_EQ(RunImaging(p, stop, whole, StillClock()).end, ImagingEnd::Incomplete);
  const int64_t reads = static_cast<int64_t>(mount.reads().size());
  const std::string expected = ReadFile(p.targetFile);
  EXPECT_TRUE(expected == WithFill(FirstBytesOfEach(image, 520, 512), bad, 512));
  const auto wholeMap = RescueMapFile(p.targetFile).load().parsed.map;
  ASSERT_TRUE(wholeMap.has_value());

  // Stops at reads spread over the whole run, so each phase is stopped in at least once; each
  // stopped run is resumed to its end.
  std::set<char> phasesStopped;
  std::mt19937 random(21);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    p.targetFile = dir / ("stopped" + std::to_string(round) + ".img");
    const int64_t stopAt = 1 + (reads * round / 12) + static_cast<int64_t>(random() % (reads / 12));
    std::atomic<int64_t> seen{0};
    mount.afterRead = [&] {
      if (++seen == stopAt) stop = 1;
    };
    RecordingReporter stopped;
    EXPECT_EQ(RunImaging(p, stop, stopped, StillClock()).end, ImagingEnd::Stopped);
    mount.afterRead = nullptr;
    const RescueMapFile map(p.targetFile);
    const auto claimed = map.load().parsed.map;
    ASSERT_TRUE(claimed.has_value());
    phasesStopped.insert(PhaseOfMap(map.path()));

    stop = 0;
    mount.clearReads();
    RecordingReporter resumed;
    RunImaging(p, stop, resumed, StillClock());
    // Only the sample that tells the source is the same reads finished sectors again, one by one.
    int sampled = 0;
    for (const auto& [offset, size] : mount.reads()) {
      const int64_t first = offset / 520, last = (offset + size - 1) / 520;
      bool touchesClaimed = false;
      for (int64_t s = first; s <= last; ++s)
        touchesClaimed |= claimed->next(s, SectorState::Finished).value_or(SectorArea{-1, -1}).first == s;
      if (!touchesClaimed) continue;
      EXPECT_EQ(first, last) << "a claimed sector was read again in a read of " << size << " bytes at " << offset;
      ++sampled;
    }
    EXPECT_LE(sampled, 16);
    EXPECT_TRUE(ReadFile(p.targetFile) == expected);
    EXPECT_EQ(map.load().parsed.map->areas(), wholeMap->areas());
    EXPECT_EQ(resumed.rows.back(), kDone);
  }
  EXPECT_EQ(phasesStopped, (std::set<char>{'?', '*', '/', '-'}));
#endif
}

TEST(ImagingRescue, MapsThatDoNotMatchTheRunAreNeverUsed) {
  TempDir dir;
  WriteFile(dir / "source.img", Sectors(64, 512));
  std::atomic<int> stop{0};
  auto run = [&](int64_t count, const char* target = "target.img") {
    ImagingRequest p = ImageToImage(dir, count, 512, 512);
    p.targetFile = dir / target;
    RecordingReporter reporter;
    RunImaging(p, stop, reporter, StillClock());
    return reporter.rows;
  };
  const Row fresh{u"映射", u"映射文件与本次镜像不符，重新开始"};
  run(64);

  // Same source name and size, new contents: a run of another count starts afresh and reads all.
  const std::string changed = Sectors(65, 512).substr(512);
  WriteFile(dir / "source.img", changed);
  EXPECT_EQ(run(60), (std::vector<Row>{kStarted, fresh, kDone}));
  EXPECT_TRUE(ReadFile(dir / "target.img") == changed.substr(0, 60 * 512));

  // The same run again has nothing left to do; a target shorter than its map claims starts afresh.
  EXPECT_EQ(run(60), (std::vector<Row>{kStarted, {u"映射", u"按映射文件继续，从扇区60开始"}, kDone}));
  ASSERT_EQ(::truncate((dir / "target.img").c_str(), 10 * 512), 0);
  EXPECT_EQ(run(60), (std::vector<Row>{kStarted, fresh, kDone}));
  EXPECT_TRUE(ReadFile(dir / "target.img") == changed.substr(0, 60 * 512));

  // A map whose blocks were edited past the run is a map of another run.
  const std::string text = ReadFile(dir / "target.img.map");
  WriteFile(dir / "target.img.map", text.substr(0, text.find("#      pos")) + "0x00000000  0x00007A00  +\n");
  EXPECT_EQ(run(60), (std::vector<Row>{kStarted, fresh, kDone}));

  // A file at the map's name that is no map, or a link there, is left alone and no map is kept.
  WriteFile(dir / "notes.img.map", "my notes\n");
  WriteFile(dir / "elsewhere.txt", "keep me\n");
  std::filesystem::create_symlink(dir / "elsewhere.txt", dir / "linked.img.map");
  const Row noMap{u"映射", u"已有同名文件不是映射文件，本次不写映射"};
  EXPECT_EQ(run(8, "notes.img"), (std::vector<Row>{kStarted, noMap, kDone}));
  EXPECT_EQ(run(8, "linked.img"), (std::vector<Row>{kStarted, noMap, kDone}));
  // Every sector was copied, but without its map the copy cannot be resumed: it is not complete.
  ImagingRequest notes = ImageToImage(dir, 8, 512, 512);
  notes.targetFile = dir / "notes.img";
  RecordingReporter noted;
  EXPECT_EQ(RunImaging(notes, stop, noted, StillClock()).end, ImagingEnd::Incomplete);
  EXPECT_EQ(ReadFile(dir / "notes.img.map"), "my notes\n");
  EXPECT_EQ(ReadFile(dir / "elsewhere.txt"), "keep me\n");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "linked.img.map"));
  EXPECT_TRUE(ReadFile(dir / "notes.img") == changed.substr(0, 8 * 512));

  // A source that stands where the target's map would go (here a map itself) is never replaced.
  const std::string mapText = ReadFile(dir / "target.img.map");
  WriteFile(dir / "copy.img.map", mapText);
  ImagingRequest p = ImageToImage(dir, 4, 512, 512);
  p.sourceImage = dir / "copy.img.map";
  p.targetFile = dir / "copy.img";
  RecordingReporter reporter;
  RunImaging(p, stop, reporter, StillClock());
  EXPECT_TRUE(reporter.has(noMap));
  EXPECT_EQ(ReadFile(dir / "copy.img.map"), mapText);
}

TEST(ImagingRescue, AnotherSourceAtTheSameNameIsNeverMixedIn) {
  TempDir dir;
  std::atomic<int> stop{0};
  const ImagingRequest p = ImageToImage(dir, 64, 512, 512);
  auto run = [&] {
    RecordingReporter reporter;
    RunImaging(p, stop, reporter, StillClock());
    return reporter.rows;
  };
  WriteFile(dir / "source.img", Sectors(64, 512));
  run();

  // Another file put in its place, of the same size: its identity differs.
  const std::string other = Sectors(65, 512).substr(512);
  WriteFile(dir / "other.img", other);
  std::filesystem::rename(dir / "other.img", p.sourceImage);
  EXPECT_EQ(run(), (std::vector<Row>{kStarted, {u"映射", u"映射文件与本次镜像不符，重新开始"}, kDone}));
  EXPECT_TRUE(ReadFile(p.targetFile) == other);

  // Other contents behind the same identity (as another disk of the same model in the same bay
  // may show): the finished sectors read again tell, and the copy starts afresh.
  struct stat before {};
  ASSERT_EQ(::stat(p.sourceImage.c_str(), &before), 0);
  const std::string changed = Sectors(66, 512).substr(2 * 512);
  WriteFile(p.sourceImage, changed);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.sourceImage.c_str(), times, 0), 0);
  EXPECT_EQ(run(), (std::vector<Row>{kStarted, {u"映射", u"源设备与映射文件记录的不是同一来源，重新开始"}, kDone}));
  EXPECT_TRUE(ReadFile(p.targetFile) == changed);
  // The same source again goes on from the map, with nothing left to do.
  EXPECT_EQ(run(), (std::vector<Row>{kStarted, {u"映射", u"按映射文件继续，从扇区64开始"}, kDone}));
}

TEST(ImagingRescue, StopEndsTheSectorBySectorReadsOfAFailedBlock) {
  // A dead first block on a SCSI disk: after the good blocks are copied, its edges are trimmed and
  // its inside read block by block, each read slow on a real disk. Stop during those reads ends
  // the copy after the read under way, and the map keeps every block read so far.
  TempDir dir;
  WriteFile(dir / "disk.bin", Sectors(300, 520));
  SimulatedDisk disk{.backingFile = dir / "disk.bin"};
  for (uint32_t b = 0; b < 128; ++b) disk.badBlocks.insert(b);
  SimulatedBus bus;
  bus.addAdapter(0, 7);
  bus.addDisk({0, 1, 0}, disk);
  FakeScsiClock clock;
  auto host = std::make_shared<ScsiHostInterface>(std::make_shared<SimulatedTransport>(bus), clock);
  ScsiDeviceManager manager(host);
  ASSERT_EQ(manager.devices().size(), 1u);
  ImagingRequest p;
  p.sourceScsi = *manager.devices()[0];
  p.sourceCount = p.targetSize = 300;
  p.sourceSectorSize = 520;
  p.targetSectorSize = 512;
  p.targetFile = dir / "target.img";
  ImagingEnvironment env = StillClock();
  env.scsi = host.get();
  std::atomic<int> stop{0};
  int reads = 0;
  bus.beforeCommand = [&](std::span<const uint8_t> cdb) {
    // 128 (fails), 44 after the skip, the skipped 128, blocks 0 and 127 (trimming), then 1 to 5.
    if (cdb[0] == 0x28 && ++reads == 10) stop = 1;
  };
  RecordingReporter reporter;
  RunImaging(p, stop, reporter, env);
  EXPECT_EQ(reads, 10);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, Unreadable(0), Unreadable(127 * 520), kDone}));
  const auto map = RescueMapFile(p.targetFile).load().parsed.map;
  ASSERT_TRUE(map.has_value());
  EXPECT_EQ(map->areas(), (std::vector<SectorArea>{{0, 6, SectorState::Bad},
                                                   {6, 127, SectorState::NonScraped},
                                                   {127, 128, SectorState::Bad},
                                                   {128, 300, SectorState::Finished}}));
}

TEST(ImagingRescue, ADiskThatCameBackIsReadAgainABlockAtATime) {
  // The whole disk fails (it dropped off the bus) on a run without retries; Ok again once it is
  // back reads the unreadable area in whole blocks where it can, single blocks only at its tail.
  TempDir dir;
  const std::string contents = Sectors(300, 520);
  WriteFile(dir / "disk.bin", contents);
  SimulatedBus bus;
  bus.addAdapter(0, 7);
  bus.addDisk({0, 1, 0}, SimulatedDisk{.backingFile = dir / "disk.bin"});
  for (uint32_t b = 0; b < 300; ++b) bus.disks.begin()->second.badBlocks.insert(b);
  FakeScsiClock clock;
  auto host = std::make_shared<ScsiHostInterface>(std::make_shared<SimulatedTransport>(bus), clock);
  ScsiDeviceManager manager(host);
  ASSERT_EQ(manager.devices().size(), 1u);
  ImagingRequest p;
  p.sourceScsi = *manager.devices()[0];
  p.sourceCount = p.targetSize = 300;
  p.sourceSectorSize = 520;
  p.targetSectorSize = 512;
  p.targetFile = dir / "target.img";
  p.retryPasses = 0;
  ImagingEnvironment env = StillClock();
  env.scsi = host.get();
  std::atomic<int> stop{0};
  RecordingReporter gone;
  RunImaging(p, stop, gone, env);
  EXPECT_EQ(gone.rows, (std::vector<Row>{kStarted, Unreadable(0), kDone}));
  EXPECT_TRUE(ReadFile(p.targetFile) == std::string(300 * 512, '\xBB'));

  bus.disks.begin()->second.badBlocks.clear();
  bus.commands.clear();
  p.retryPasses = 1;
  RecordingReporter back;
  RunImaging(p, stop, back, env);
  EXPECT_EQ(back.rows, (std::vector<Row>{kStarted, {u"映射", u"按映射文件继续，从扇区0开始"}, RetrySummary(300, 0), kDone}));
  std::vector<int> counts;
  for (const auto& cdb : bus.commands)
    if (cdb[0] == 0x28) counts.push_back((cdb[7] << 8) | cdb[8]);
  std::vector<int> expected = {128, 128};
  expected.insert(expected.end(), 44, 1);
  EXPECT_EQ(counts, expected);
  EXPECT_TRUE(ReadFile(p.targetFile) == FirstBytesOfEach(contents, 520, 512));
}
