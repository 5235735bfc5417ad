#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <map>

#include "disk/ImagingJob.h"
#include "disk/RescueMap.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "tests/disk/ImagingTestSupport.h"
#include "tests/disk/SimulatedScsi.h"
#include "tests/support/KernelFixtures.h"
#include "tests/support/OtherUser.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

TEST(ImagingCopy, FiveTwentyToFiveTwelveDropsTheLastEightBytesOfEverySector) {
  TempDir dir;
  const std::string source = Sectors(5200, 520);  // more than one block of 5120 sectors
  WriteFile(dir / "source.img", source);
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  RunImaging(ImageToImage(dir, 5200, 520, 512), stop, reporter);
  const std::string target = ReadFile(dir / "target.img");
  ASSERT_EQ(target.size(), 5200u * 512u);
  EXPECT_TRUE(target == FirstBytesOfEach(source, 520, 512));
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, kDone}));
  EXPECT_EQ(reporter.range, 1);
  EXPECT_EQ(reporter.positions, (std::vector<int64_t>{1, 1, 0}));
  EXPECT_EQ(reporter.lbas, (std::vector<std::u16string>{u"5120", u"5200", u"5200"}));  // the last with the final map

  // The same sizes on both sides copy every byte; a start and target start shift the run.
  ImagingRequest same = ImageToImage(dir, 10, 520, 520);
  same.sourceStart = 3;
  same.targetStart = 2;
  RunImaging(same, stop, reporter);
  const std::string shifted = ReadFile(dir / "target.img");
  EXPECT_TRUE(shifted.substr(2 * 520) == source.substr(3 * 520, 10 * 520));
  EXPECT_EQ(shifted.substr(0, 2 * 520), std::string(2 * 520, '\0'));
}

TEST(ImagingCopy, BootSignatureIsBrokenOnlyAtTargetOffsetZero) {
  TempDir dir;
  std::string source = Sectors(4, 512);
  source[510] = 0x55;
  source[511] = static_cast<char>(0xAA);
  source[512 + 511] = static_cast<char>(0xAA);
  WriteFile(dir / "source.img", source);
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  RunImaging(ImageToImage(dir, 4, 512, 512), stop, reporter);
  std::string target = ReadFile(dir / "target.img");
  EXPECT_EQ(static_cast<uint8_t>(target[510]), 0x55);
  EXPECT_EQ(static_cast<uint8_t>(target[511]), 0xBB);
  EXPECT_EQ(static_cast<uint8_t>(target[512 + 511]), 0xAA);  // only the first target sector
  EXPECT_EQ(target.substr(512), source.substr(512));

  ImagingRequest later = ImageToImage(dir, 4, 512, 512);
  later.targetStart = 1;
  RunImaging(later, stop, reporter);
  target = ReadFile(dir / "target.img");
  EXPECT_EQ(static_cast<uint8_t>(target[512 + 511]), 0xAA);
}

TEST(ImagingCopy, CountZeroCopiesNothingAndCompletes) {
  TempDir dir;
  WriteFile(dir / "source.img", Sectors(4, 520));
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  RunImaging(ImageToImage(dir, 0, 520, 512), stop, reporter);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, kDone}));
  EXPECT_TRUE(Exists(dir / "target.img"));
  EXPECT_EQ(ReadFile(dir / "target.img"), "");
  RunImaging(ImageToImage(dir, -5, 520, 512), stop, reporter);
  EXPECT_EQ(ReadFile(dir / "target.img"), "");
}

TEST(ImagingCopy, TheEndOfTheSourceEndsTheCopy) {
  // A run that reaches past the source's end (an image file of 520-byte sectors counted in
  // 512-byte units, as the page lists it): the sectors beyond are neither read nor unreadable.
  TempDir dir;
  const std::string source = Sectors(5130, 520).substr(0, 5125 * 520 + 100);  // a partial last sector
  WriteFile(dir / "source.img", source);
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  ImagingRequest p = ImageToImage(dir, 5130 + 5120, 520, 512);
  EXPECT_EQ(RunImaging(p, stop, reporter).end, ImagingEnd::Completed);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, kDone}));
  const std::string target = ReadFile(dir / "target.img");
  ASSERT_EQ(target.size(), 5126u * 512u);
  EXPECT_TRUE(target.substr(0, 5125 * 512) == FirstBytesOfEach(source.substr(0, 5125 * 520), 520, 512));
  // The bytes of the partial sector that are there are kept; the rest of it is fill.
  EXPECT_EQ(target.substr(5125 * 512, 100), source.substr(5125 * 520, 100));
  EXPECT_EQ(target.substr(5125 * 512 + 100), std::string(412, '\xBB'));
  const auto map = RescueMapFile(p.targetFile).load().parsed.map;
  ASSERT_TRUE(map.has_value());
  EXPECT_EQ(map->areas(), (std::vector<SectorArea>{{0, 5126, SectorState::Finished}}));
}

TEST(ImagingCopy, WriteFailuresAreReportedAndTheCopyGoesOn) {
  TempDir dir;
  const ScopedMount full = ScopedMount::Tmpfs(dir / "full", 64 * 1024);
  if (!full.valid()) GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root)";
  WriteFile(dir / "source.img", Sectors(5200, 512));
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  ImagingRequest p = ImageToImage(dir, 5200, 512, 512);
  p.targetFile = full / "target.img";
  RunImaging(p, stop, reporter, {});
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, {u"写入", u"写入位置0错误"}, {u"写入", u"写入位置2621440错误"},
                                         {u"映射", u"映射文件写入失败"}, kDone}));
  // The map that did fit before the disk was full claims none of the sectors that were not written.
  const auto map = RescueMapFile(p.targetFile).load().parsed.map;
  if (map) EXPECT_EQ(map->count(SectorState::Finished), 0);
}

TEST(ImagingCopy, LargerTargetSectorsNeverReadPastTheInput) {
  TempDir dir;
  const std::string source = Sectors(3, 512);
  WriteFile(dir / "source.img", source);
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  RunImaging(ImageToImage(dir, 3, 512, 520), stop, reporter);
  const std::string target = ReadFile(dir / "target.img");
  ASSERT_EQ(target.size(), 3u * 520u);
  // Each output sector takes 520 bytes from its source sector on; the last one ends in fill.
  EXPECT_EQ(target.substr(0, 520), source.substr(0, 520));
  EXPECT_EQ(target.substr(520, 520), source.substr(512, 520));
  EXPECT_EQ(target.substr(1040, 512), source.substr(1024, 512));
  EXPECT_EQ(target.substr(1040 + 512), std::string(8, '\xBB'));
}

TEST(ImagingCopy, StopEndsTheCopyBetweenBlocks) {
  TempDir dir;
  WriteFile(dir / "source.img", Sectors(5120 * 3, 512));
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  reporter.afterBlock = [&] { stop = 1; };
  RunImaging(ImageToImage(dir, 5120 * 3, 512, 512), stop, reporter);
  EXPECT_EQ(ReadFile(dir / "target.img").size(), 5120u * 512u);
  EXPECT_EQ(reporter.rows.back(), kDone);
}

TEST(ImagingSafety, ATargetThatIsTheSourceIsRefusedBeforeItIsOpened) {
  TempDir dir;
  const std::string source = Sectors(8, 520);
  WriteFile(dir / "source.img", source);
  ASSERT_EQ(::link((dir / "source.img").c_str(), (dir / "alias.img").c_str()), 0);
  std::atomic<int> stop{0};
  for (const char* name : {"source.img", "alias.img"}) {
    RecordingReporter reporter;
    ImagingRequest p = ImageToImage(dir, 8, 520, 512);
    p.targetFile = dir / name;
    RunImaging(p, stop, reporter);
    EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, kRefused, {u"错误", u"目标设备就是源设备，不能写入"}, kInterrupted}));
    EXPECT_EQ(ReadFile(dir / "source.img"), source);
  }

  // The same disk chosen on both sides.
  WriteFile(dir / "disk1", source);
  RecordingReporter reporter;
  ImagingRequest disks;
  disks.sourceDisk = 1;
  disks.sourceDiskNode = dir / "disk1";
  disks.targetDisk = 1;
  disks.targetDiskNode = dir / "disk1";
  disks.sourceCount = disks.targetSize = 8;
  disks.sourceSectorSize = disks.targetSectorSize = 512;
  RunImaging(disks, stop, reporter);
  EXPECT_TRUE(reporter.has(kRefused));
  EXPECT_EQ(ReadFile(dir / "disk1"), source);
}

TEST(ImagingSafety, APartitionOfTheSourceOrAMountedTargetDiskIsRefused) {
  TempDir dir;
  // sda (8:0) with partition sda1 (8:1), sdb (8:16) with sdb2 (8:18), sdc (8:32) unmounted.
  const auto sys = dir / "sys";
  for (auto [disk, number, part, partNumber] : {std::tuple{"sda", "8:0", "sda1", "8:1"},
                                                std::tuple{"sdb", "8:16", "sdb2", "8:18"},
                                                std::tuple{"sdc", "8:32", "sdc1", "8:33"}}) {
    WriteFile(sys / "block" / disk / "dev", std::string(number) + "\n");
    WriteFile(sys / "block" / disk / part / "dev", std::string(partNumber) + "\n");
    WriteFile(sys / "block" / disk / part / "partition", "1\n");
    std::filesystem::create_directories(sys / "dev/block");
    std::filesystem::create_directory_symlink(sys / "block" / disk, sys / "dev/block" / number);
    std::filesystem::create_directory_symlink(sys / "block" / disk / part, sys / "dev/block" / partNumber);
  }
  WriteFile(dir / "mountinfo", "22 1 8:18 / / rw,relatime shared:1 - ext4 /dev/sdb2 rw\n");
  std::map<std::string, uint64_t> numbers = {{"sda", makedev(8, 0)}, {"sda1", makedev(8, 1)},
                                             {"sdb", makedev(8, 16)}, {"sdc", makedev(8, 32)}};
  ImagingEnvironment env;
  env.sysfsRoot = sys;
  env.mountInfo = dir / "mountinfo";
  env.deviceNumber = [&](const std::filesystem::path& path) {
    auto it = numbers.find(path.filename().string());
    return it == numbers.end() ? uint64_t{0} : it->second;
  };
  for (const char* name : {"sda", "sda1", "sdb", "sdc"}) WriteFile(dir / name, Sectors(4, 512));

  ImagingRequest p;
  p.sourceImage = dir / "sda1";
  p.targetDiskNode = dir / "sda";
  p.targetDisk = 0;
  EXPECT_EQ(TargetRefusal(p, env), u"目标设备就是源设备，不能写入");
  p.targetDiskNode = dir / "sdb";
  EXPECT_EQ(TargetRefusal(p, env), u"目标设备上有已挂载的文件系统，写入会损坏它");
  p.targetDiskNode = dir / "sdc";
  EXPECT_EQ(TargetRefusal(p, env), u"");

  // A SCSI source is related to its target through the block device the kernel gave it.
  ScsiDevice scsi;
  scsi.blockDevice = makedev(8, 32);
  p.sourceImage.clear();
  p.sourceScsi = scsi;
  EXPECT_EQ(TargetRefusal(p, env), u"目标设备就是源设备，不能写入");

  RecordingReporter reporter;
  std::atomic<int> stop{0};
  p.sourceCount = p.targetSize = 4;
  p.sourceSectorSize = p.targetSectorSize = 512;
  p.targetDiskNode = dir / "sdb";
  RunImaging(p, stop, reporter, env);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, kRefused, {u"错误", u"目标设备上有已挂载的文件系统，写入会损坏它"},
                                         kInterrupted}));
}

TEST(ImagingCopy, NumbersBeyondSixtyFourBitOffsetsAreRefused) {
  TempDir dir;
  WriteFile(dir / "source.img", Sectors(4, 520));
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  ImagingRequest p = ImageToImage(dir, 4, 520, 512);
  p.sourceStart = INT64_MAX - 2;
  RunImaging(p, stop, reporter);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, {u"错误", u"起始位置或大小超出范围"}, kInterrupted}));
  EXPECT_FALSE(Exists(dir / "target.img"));
  reporter.rows.clear();
  RunImaging(ImageToImage(dir, 4, 520, 100), stop, reporter);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, {u"错误", u"请正确填写扇区大小"}, kInterrupted}));
}

TEST(ImagingCopy, MissingSourceOrTargetInterrupts) {
  TempDir dir;
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  // A source that cannot be opened leaves an existing target as it was.
  WriteFile(dir / "target.img", "an earlier image");
  EXPECT_EQ(RunImaging(ImageToImage(dir, 4, 520, 512), stop, reporter).end, ImagingEnd::Failed);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, {u"错误", u"打开源设备错误"}, kInterrupted}));
  EXPECT_EQ(ReadFile(dir / "target.img"), "an earlier image");
  reporter.rows.clear();
  WriteFile(dir / "source.img", Sectors(4, 520));
  ImagingRequest p = ImageToImage(dir, 4, 520, 512);
  p.targetFile = dir / "no/such/folder/target.img";
  RunImaging(p, stop, reporter);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, kRefused, kInterrupted}));
}

TEST(ImagingCopy, ScsiSourceIsReadWithReadTenAndCanBeStopped) {
  TempDir dir;
  const std::string disk = Sectors(300, 520);
  WriteFile(dir / "disk.bin", disk);
  SimulatedBus bus;
  bus.addAdapter(0, 7);
  bus.addDisk({0, 1, 0}, SimulatedDisk{.backingFile = dir / "disk.bin", .badBlocks = {5, 6, 200}});
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
  ImagingEnvironment env;
  env.scsi = host.get();
  bus.commands.clear();
  RecordingReporter reporter;
  std::atomic<int> stop{0};
  RunImaging(p, stop, reporter, env);
  // Blocks with a medium error are read again one block per READ(10): only the bad blocks stay fill.
  std::string expected = FirstBytesOfEach(disk, 520, 512);
  for (int bad : {5, 6, 200}) expected.replace(bad * 512, 512, std::string(512, '\xBB'));
  EXPECT_TRUE(ReadFile(dir / "target.img") == expected);
  EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, {u"读取", u"读取位置2600错误"}, {u"读取", u"读取位置104000错误"},
                                         {u"重试", u"重试用时0秒，恢复0个扇区，仍有3个坏扇区"}, kDone}));
  std::vector<int> counts;
  for (const auto& cdb : bus.commands)
    if (cdb[0] == 0x28) counts.push_back((cdb[7] << 8) | cdb[8]);
  // Good data first: 128 (fails, blocks 128 to 255 skipped), the last 44, then the skipped 128
  // (fails). Then single blocks: trimming 0 to 5 and 255 down to 200, scraping 6 to 199, and one
  // retry of each bad block. No block is read twice before the retry.
  std::vector<int> reads = {128, 44, 128};
  reads.insert(reads.end(), 6 + 56 + 194 + 3, 1);
  EXPECT_EQ(counts, reads);
  EXPECT_EQ(reporter.range, 2);

  // A fresh run (no map to go on from) stops after the first block it wrote, the last 44.
  std::filesystem::remove(dir / "target.img.map");
  RecordingReporter stopped;
  stopped.afterBlock = [&] { stop = 1; };
  stop = 0;
  EXPECT_EQ(RunImaging(p, stop, stopped, env).end, ImagingEnd::Stopped);
  EXPECT_EQ(ReadFile(dir / "target.img").size(), 300u * 512u);
  EXPECT_EQ(stopped.rows.back(), kDone);
  const auto map = RescueMapFile(p.targetFile).load().parsed.map;
  ASSERT_TRUE(map.has_value());
  EXPECT_EQ(map->areas(), (std::vector<SectorArea>{{0, 128, SectorState::NonTrimmed},
                                                   {128, 256, SectorState::NotTried},
                                                   {256, 300, SectorState::Finished}}));
}

// A loop device is its backing file under another name, and a target file on a file system
// mounted from the source disk would land in the free space still to be recovered: all refused
// before the target is opened, the source unchanged, no target file left behind.
TEST(ImagingSafety, LoopDevicesAndFilesOnTheSourceDiskAreTheSource) {
  TempDir dir;
  const std::string disk = Sectors(8192, 512);
  WriteFile(dir / "source.img", disk);
  const LoopDevice loop(dir / "source.img");
  if (!loop.valid()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
  const Row same{u"错误", u"目标设备就是源设备，不能写入"};
  std::atomic<int> stop{0};

  ImagingRequest p = ImageToImage(dir, 16, 512, 512);
  p.targetFile.clear();
  p.targetDiskNode = loop.node();  // the image onto the loop device over it
  p.targetDisk = 7;
  RecordingReporter imageOntoLoop;
  RunImaging(p, stop, imageOntoLoop);
  EXPECT_EQ(imageOntoLoop.rows, (std::vector<Row>{kStarted, kRefused, same, kInterrupted}));

  p = ImageToImage(dir, 16, 512, 512);
  p.sourceImage.clear();
  p.sourceDiskNode = loop.node();  // the loop device into its own backing file
  p.sourceDisk = 7;
  p.targetFile = dir / "source.img";
  RecordingReporter loopIntoBacking;
  RunImaging(p, stop, loopIntoBacking);
  EXPECT_EQ(loopIntoBacking.rows, (std::vector<Row>{kStarted, kRefused, same, kInterrupted}));
  EXPECT_EQ(ReadFile(dir / "source.img"), disk);

  const ScopedMount mounted = ScopedMount::Formatted(loop.node(), "mkfs.ext2 -q -F", "ext2", dir / "mnt");
  if (!mounted.valid()) GTEST_SKIP() << "mkfs.ext2 or mounting the loop device failed";
  const std::string formatted = ReadFile(dir / "source.img");
  p.targetFile = mounted / "image.img";
  RecordingReporter ontoSourceFileSystem;
  RunImaging(p, stop, ontoSourceFileSystem);
  EXPECT_EQ(ontoSourceFileSystem.rows,
            (std::vector<Row>{kStarted, kRefused,
                              {u"错误", u"目标文件位于源磁盘的文件系统上，写入会覆盖源磁盘上待恢复的数据"}, kInterrupted}));
  EXPECT_FALSE(Exists(mounted / "image.img"));
  EXPECT_EQ(ReadFile(dir / "source.img"), formatted);

  // Another image written over the file a mounted file system lives in.
  WriteFile(dir / "other.img", Sectors(16, 512));
  p = ImageToImage(dir, 16, 512, 512);
  p.sourceImage = dir / "other.img";
  p.targetFile = dir / "source.img";
  RecordingReporter overMountedImage;
  RunImaging(p, stop, overMountedImage);
  EXPECT_EQ(overMountedImage.rows, (std::vector<Row>{kStarted, kRefused, {u"错误", u"目标设备上有已挂载的文件系统，写入会损坏它"},
                                                     kInterrupted}));
  EXPECT_EQ(ReadFile(dir / "source.img"), formatted);
}

// A FIFO would block the open or the copy for ever: as target it is refused like the other
// targets, as source it is refused before an existing target is emptied.
TEST(ImagingSafety, FifosAreNeverOpenedAsSourceOrTarget) {
  TempDir dir;
  WriteFile(dir / "source.img", Sectors(16, 512));
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::atomic<int> stop{0};

  ImagingRequest p = ImageToImage(dir, 16, 512, 512);
  p.targetFile = dir / "pipe";
  RecordingReporter fifoTarget;
  EXPECT_EQ(RunImaging(p, stop, fifoTarget).end, ImagingEnd::Refused);
  EXPECT_EQ(fifoTarget.rows, (std::vector<Row>{kStarted, kRefused, {u"错误", u"目标既不是普通文件也不是磁盘，不能写入"},
                                               kInterrupted}));

  WriteFile(dir / "target.img", "an earlier image");
  p = ImageToImage(dir, 16, 512, 512);
  p.sourceImage = dir / "pipe";
  RecordingReporter fifoSource;
  EXPECT_EQ(RunImaging(p, stop, fifoSource).end, ImagingEnd::Refused);
  EXPECT_EQ(fifoSource.rows, (std::vector<Row>{kStarted, {u"错误", u"打开源设备错误"}, kInterrupted}));
  EXPECT_EQ(ReadFile(dir / "target.img"), "an earlier image");
}

// Run as root (the window started with disk access), a target file is never written through a
// symbolic link: not one at the name, even a dangling one, nor a folder link another user put into
// a shared sticky folder on the way. The files they lead to stay as they were, and no map is left
// beside them.
TEST(ImagingSafety, ATargetReachedThroughALinkIsRefused) {
  TempDir dir;
  WriteFile(dir / "source.img", Sectors(16, 512));
  WriteFile(dir / "victim", "precious");
  ::symlink((dir / "victim").c_str(), (dir / "link.img").c_str());
  ::symlink((dir / "nowhere").c_str(), (dir / "dangling.img").c_str());
  std::atomic<int> stop{0};
  const Row throughLink{u"错误", u"目标文件经由符号链接，不能写入"};
  for (const char* name : {"link.img", "dangling.img"}) {
    ImagingRequest p = ImageToImage(dir, 16, 512, 512);
    p.targetFile = dir / name;
    RecordingReporter reporter;
    EXPECT_EQ(RunImaging(p, stop, reporter).end, ImagingEnd::Refused) << name;
    EXPECT_EQ(reporter.rows, (std::vector<Row>{kStarted, kRefused, throughLink, kInterrupted})) << name;
    EXPECT_FALSE(Exists(dir / (std::string(name) + ".map"))) << name;
  }
  EXPECT_EQ(ReadFile(dir / "victim"), "precious");
  EXPECT_FALSE(Exists(dir / "nowhere"));

  ::chmod(dir.path().c_str(), 0755);
  std::filesystem::create_directory(dir / "shared");
  ::chmod((dir / "shared").c_str(), 01777);
  std::filesystem::create_directory(dir / "private");
  {
    OtherUser nobody;
    if (!nobody.active()) GTEST_SKIP() << "planting a link as another user needs root and the user nobody";
    ASSERT_EQ(::symlink((dir / "private").c_str(), (dir / "shared/planted").c_str()), 0);
  }
  ImagingRequest p = ImageToImage(dir, 16, 512, 512);
  p.targetFile = dir / "shared/planted/copy.img";
  RecordingReporter reporter;
  EXPECT_EQ(RunImaging(p, stop, reporter).end, ImagingEnd::Refused);
  EXPECT_TRUE(reporter.has(throughLink));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "private"));
}
