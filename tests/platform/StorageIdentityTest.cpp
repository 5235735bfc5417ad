#include "platform/StorageIdentity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/FileOps.h"
#include "tests/support/KernelFixtures.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

StorageClash Compare(const std::filesystem::path& output, const std::filesystem::path& input) {
  return CompareStorage(IdentifyStorage(output), IdentifyStorage(input));
}

}  // namespace

// A loop device is its backing file under another name, and a file system mounted from it lies
// on that file; files beside each other on one file system are independent.
TEST(StorageIdentity, LoopDeviceBackingFileAndTheFileSystemOnIt) {
  TempDir dir;
  WriteFile(dir / "disk.img", std::string(4 << 20, '\0'));
  WriteFile(dir / "other.img", "other");
  const LoopDevice loop(dir / "disk.img");
  if (!loop.valid()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
  EXPECT_EQ(Compare(loop.node(), dir / "disk.img"), StorageClash::Same);
  EXPECT_EQ(Compare(dir / "disk.img", loop.node()), StorageClash::Same);
  EXPECT_EQ(Compare(dir / "other.img", dir / "disk.img"), StorageClash::None);
  EXPECT_EQ(Compare(dir / "other.img", loop.node()), StorageClash::None);
  EXPECT_EQ(Compare(loop.node(), dir / "other.img"), StorageClash::None);

  const ScopedMount mounted = ScopedMount::Formatted(loop.node(), "mkfs.ext2 -q -F", "ext2", dir / "mnt");
  if (!mounted.valid()) GTEST_SKIP() << "mkfs.ext2 or mounting the loop device failed";
  // A file not yet created would still be written onto the loop device, and so into its file.
  EXPECT_EQ(Compare(mounted / "new.img", loop.node()), StorageClash::OutputOnInputsDisk);
  EXPECT_EQ(Compare(mounted / "new.img", dir / "disk.img"), StorageClash::OutputOnInputsDisk);
  WriteFile(mounted / "inside.mdf", "inside");
  EXPECT_EQ(Compare(loop.node(), mounted / "inside.mdf"), StorageClash::InputOnOutputsDisk);
  EXPECT_EQ(Compare(dir / "disk.img", mounted / "inside.mdf"), StorageClash::InputOnOutputsDisk);
  EXPECT_EQ(Compare(mounted / "new.img", mounted / "inside.mdf"), StorageClash::None);
  EXPECT_EQ(Compare(mounted / "new.img", dir / "other.img"), StorageClash::None);
}

// Partitions, device-mapper/md stacks and a loop device whose kernel record names its backing
// file by device and inode, in a fake sysfs tree.
TEST(StorageIdentity, DisksPartitionsHoldersAndSlaves) {
  TempDir dir;
  const auto sys = dir / "sys";
  struct Device {
    const char* folder;  // below sys/block
    unsigned major, minor;
    bool partition;
  };
  // md0 is a mirror of sda1 and sdb1; sda2 and sdc stand alone.
  for (const Device& d : {Device{"sda", 8, 0, false}, Device{"sda/sda1", 8, 1, true}, Device{"sda/sda2", 8, 2, true},
                          Device{"sdb", 8, 16, false}, Device{"sdb/sdb1", 8, 17, true}, Device{"sdc", 8, 32, false},
                          Device{"md0", 9, 0, false}, Device{"loop7", 7, 7, false}}) {
    const auto folder = sys / "block" / d.folder;
    WriteFile(folder / "dev", std::to_string(d.major) + ":" + std::to_string(d.minor) + "\n");
    if (d.partition) WriteFile(folder / "partition", "1\n");
    std::filesystem::create_directories(sys / "dev/block");
    std::filesystem::create_directory_symlink(folder, sys / "dev/block" / (std::to_string(d.major) + ":" + std::to_string(d.minor)));
  }
  for (const char* slave : {"sda/sda1", "sdb/sdb1"}) {
    std::filesystem::create_directories(sys / "block" / slave / "holders");
    std::filesystem::create_directory_symlink(sys / "block/md0", sys / "block" / slave / "holders/md0");
    std::filesystem::create_directories(sys / "block/md0/slaves");
    std::filesystem::create_directory_symlink(sys / "block" / slave,
                                              sys / "block/md0/slaves" / std::filesystem::path(slave).filename());
  }
  WriteFile(dir / "backing.img", "backing");
  struct stat backing {};
  ASSERT_EQ(::stat((dir / "backing.img").c_str(), &backing), 0);
  WriteFile(sys / "block/loop7/loop/backing_dev", std::to_string(major(backing.st_dev)) + ":" +
                                                     std::to_string(minor(backing.st_dev)) + "\n");
  WriteFile(sys / "block/loop7/loop/backing_inode", std::to_string(backing.st_ino) + "\n");
  WriteFile(sys / "block/loop7/loop/backing_file", "/nowhere/renamed.img\n");

  StorageProbe probe;
  probe.sysfsRoot = sys;
  probe.mountInfo = dir / "no-mountinfo";
  const auto device = [&](unsigned major, unsigned minor) { return IdentifyBlockDevice(makedev(major, minor), probe); };
  const auto sda = device(8, 0), sda1 = device(8, 1), sda2 = device(8, 2), sdb = device(8, 16), sdc = device(8, 32);
  const auto md0 = device(9, 0), loop7 = device(7, 7);

  EXPECT_EQ(CompareStorage(sda, sda1), StorageClash::Same);   // a disk and its partition, both ways
  EXPECT_EQ(CompareStorage(sda1, sda), StorageClash::Same);
  EXPECT_EQ(CompareStorage(sda2, sda1), StorageClash::Same);  // partitions of one disk count as that disk
  EXPECT_EQ(CompareStorage(md0, sdb), StorageClash::Same);    // a holder writes its slaves' disks
  EXPECT_EQ(CompareStorage(sdb, md0), StorageClash::Same);    // and is changed by them
  EXPECT_EQ(CompareStorage(sda, md0), StorageClash::Same);
  EXPECT_EQ(CompareStorage(sdb, sda), StorageClash::None);    // two mirror halves are still two disks
  EXPECT_EQ(CompareStorage(sdc, sda), StorageClash::None);
  EXPECT_EQ(CompareStorage(md0, sdc), StorageClash::None);
  const StorageIdentity file = IdentifyStorage(dir / "backing.img", probe);
  EXPECT_EQ(CompareStorage(loop7, file), StorageClash::Same);
  EXPECT_EQ(CompareStorage(file, loop7), StorageClash::Same);
}

// An output is refused before anything is created or truncated, and a FIFO, socket or
// character device at the output's name is refused at once instead of blocking the open.
TEST(StorageIdentity, CreateOutputRefusesSpecialFilesAndSharedStorage) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(CreateOutput(dir / "pipe").valid());
  EXPECT_FALSE(CreateOutput("/dev/null").valid());
  EXPECT_FALSE(CreateOutput(dir.path()).valid());
  EXPECT_EQ(KindOfPath(dir / "pipe"), FileKind::Other);

  WriteFile(dir / "disk.img", std::string(4 << 20, 'd'));
  const LoopDevice loop(dir / "disk.img");
  if (!loop.valid()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
  const std::filesystem::path loopInput[] = {loop.node()};
  EXPECT_FALSE(CreateOutput(dir / "disk.img", loopInput).valid());
  EXPECT_EQ(ReadFile(dir / "disk.img"), std::string(4 << 20, 'd'));
  EXPECT_TRUE(CreateOutput(dir / "elsewhere.img", loopInput).valid());
}
