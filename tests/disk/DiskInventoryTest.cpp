#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "disk/DiskInventory.h"
#include "tests/disk/FakeDiskTree.h"

using namespace brenvik;
using brenvik::testing::FakeDisk;
using brenvik::testing::FakeDiskTree;
using brenvik::testing::WriteFile;

namespace {

// 512 bytes of IDENTIFY data whose words 10 to 19 hold `serial` (20 characters, high byte first).
std::array<uint8_t, 512> IdentifyWithSerial(std::string_view serial) {
  std::array<uint8_t, 512> data{};
  for (size_t i = 0; i < 20; i += 2) {
    data[20 + i + 1] = static_cast<uint8_t>(serial[i]);
    data[20 + i] = static_cast<uint8_t>(serial[i + 1]);
  }
  return data;
}

std::string VpdPage(std::string_view serial) {
  std::string page{'\0', '\x80', '\0', static_cast<char>(serial.size())};
  return page + std::string(serial);
}

void AttachLoop(const FakeDiskTree& tree, const std::string& name) {
  WriteFile(tree.sysfsRoot() / "block" / name / "loop" / "backing_file", "/images/" + name + ".img\n");
}

}  // namespace

TEST(DecodeDescriptorString, DecodesHexPairsAndKeepsPlainText) {
  EXPECT_EQ(DecodeDescriptorString("4142"), "AB");
  EXPECT_EQ(DecodeDescriptorString("6162"), "ab");
  EXPECT_EQ(DecodeDescriptorString("4142  "), "AB");  // blanks count as '0': a decoded NUL ends it
  EXPECT_EQ(DecodeDescriptorString("  4142"), "");
  EXPECT_EQ(DecodeDescriptorString("41424"), "AB");     // a trailing single digit is dropped
  EXPECT_EQ(DecodeDescriptorString("1234"), "1234");    // 0x12 is unprintable: taken undecoded
  EXPECT_EQ(DecodeDescriptorString("ATA     "), "ATA");
  EXPECT_EQ(DecodeDescriptorString("ST1000DM003-1CH162"), "ST1000DM003-1CH162");
  EXPECT_EQ(DecodeDescriptorString(""), "");
}

TEST(DecodeDescriptorString, UnprintableCharacterGivesEmptyText) {
  EXPECT_EQ(DecodeDescriptorString("WD\x01 Blue"), "");
  EXPECT_EQ(DecodeDescriptorString("12\x7f"), "");
  EXPECT_EQ(DecodeDescriptorString(std::string_view("4142\0ZZ", 7)), "AB");  // ends at the NUL
}

TEST(DiskSerial, IdentifyWordsHighByteFirstWithEveryBlankRemoved) {
  const auto identify = IdentifyWithSerial("  WD-W CC4 N123     ");
  EXPECT_EQ(SerialFromIdentifyData(identify), "  WD-W CC4 N123");
  EXPECT_EQ(RemoveBlanks(SerialFromIdentifyData(identify)), "WD-WCC4N123");
  EXPECT_EQ(SerialFromIdentifyData(IdentifyWithSerial("                    ")), " ");
  EXPECT_EQ(RemoveBlanks(std::string(300, 'x')).size(), kMaxDiskText);
}

TEST(DiskSerial, VpdPageIsBoundedByItsBuffer) {
  const std::string page = VpdPage(" S1 2 ");
  const auto* bytes = reinterpret_cast<const uint8_t*>(page.data());
  EXPECT_EQ(SerialFromVpdPage({bytes, page.size()}), "S12");
  EXPECT_EQ(SerialFromVpdPage({bytes, 6}), "S");  // the length claims more than arrived
  const std::array<uint8_t, 4> wrongPage{0, 0x83, 0, 0};
  EXPECT_EQ(SerialFromVpdPage(wrongPage), "");
}

TEST(NaturalNameOrder, DigitRunsCompareAsNumbers) {
  std::vector<std::string> names{"sdb", "loop10", "sda", "loop2", "nvme0n1", "nvme10n1", "nvme2n1"};
  std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return NaturalNameLess(a, b); });
  EXPECT_EQ(names, (std::vector<std::string>{"loop2", "loop10", "nvme0n1", "nvme2n1", "nvme10n1", "sda", "sdb"}));
}

class DiskInventoryScan : public ::testing::Test {
 protected:
  FakeDiskTree tree;
};

TEST_F(DiskInventoryScan, NumbersWholeDisksInNaturalOrderAndSkipsTheRest) {
  tree.add({.name = "sdb"});
  tree.add({.name = "sda"});
  tree.add({.name = "loop10", .hasDevice = false});
  AttachLoop(tree, "loop10");
  tree.add({.name = "loop2", .hasDevice = false});
  AttachLoop(tree, "loop2");
  tree.add({.name = "loop3", .hasDevice = false});  // nothing attached
  tree.addFolder("zram0");
  tree.addFolder("ram0");
  tree.addFolder("sda1", "partition");

  const auto disks = ListWholeDisks(tree.sysfsRoot(), tree.devRoot());
  ASSERT_EQ(disks.size(), 4u);
  EXPECT_EQ(disks[0].name, "loop2");
  EXPECT_EQ(disks[1].name, "loop10");
  EXPECT_EQ(disks[2].name, "sda");
  EXPECT_EQ(disks[3].name, "sdb");
  EXPECT_EQ(disks[3].diskNumber, 3);
  EXPECT_EQ(disks[3].deviceNode, tree.devRoot() / "sdb");

  DiskInventory inventory(tree.sysfsRoot(), tree.devRoot());
  inventory.ScanDiskIdentities();
  ASSERT_EQ(inventory.identities().size(), 4u);
  EXPECT_EQ(inventory.identities()[1].deviceNode, tree.devRoot() / "loop10");
  EXPECT_EQ(inventory.identities()[1].model, "");
  EXPECT_EQ(inventory.IdentityNode(2), tree.devRoot() / "sda");
  EXPECT_EQ(inventory.IdentityNode(7), std::filesystem::path());
}

TEST_F(DiskInventoryScan, IdentityRecordCarriesModelSerialAndSize) {
  tree.add({.name = "sda", .sizeUnits = 1953525168, .vendor = "ATA     ", .model = "WDC WD10EZEX-08W", .rev = "1A01",
            .serial = "   WD-WCC 6Y0  "});
  DiskInventory inventory(tree.sysfsRoot(), tree.devRoot());
  inventory.ScanDiskIdentities();
  ASSERT_EQ(inventory.identities().size(), 1u);
  const DiskIdentity& disk = inventory.identities()[0];
  EXPECT_EQ(disk.diskNumber, 0);
  EXPECT_EQ(disk.diskSize, int64_t{1953525168} * 512);
  EXPECT_EQ(disk.model, "ATAWDC WD10EZEX-08W1A01");
  EXPECT_EQ(disk.serial, "WD-WCC6Y0");
  EXPECT_TRUE(inventory.devices().empty());  // the other list is untouched
}

TEST_F(DiskInventoryScan, SerialPrefersTheUnitSerialPageOverTheSysfsSerial) {
  tree.add({.name = "sda", .serial = "SYSFS", .vpdPage80 = VpdPage(" Z1 X ")});
  DiskInventory inventory(tree.sysfsRoot(), tree.devRoot());
  inventory.ScanDiskIdentities();
  ASSERT_EQ(inventory.identities().size(), 1u);
  EXPECT_EQ(inventory.identities()[0].serial, "Z1X");
}

TEST_F(DiskInventoryScan, DiskWithoutDescriptionIsOnlyInTheDeviceList) {
  tree.add({.name = "sda", .scsiAddress = "2:0:5:1"});
  tree.add({.name = "sdb", .hasDevice = false});
  DiskInventory inventory(tree.sysfsRoot(), tree.devRoot());
  inventory.ScanDiskIdentities();
  inventory.ScanDiskDevices();
  ASSERT_EQ(inventory.identities().size(), 1u);
  EXPECT_EQ(inventory.identities()[0].diskNumber, 0);

  ASSERT_EQ(inventory.devices().size(), 2u);
  const DiskDevice& described = inventory.devices()[0];
  EXPECT_EQ(described.portNumber, 2);
  EXPECT_EQ(described.targetId, 5);
  EXPECT_EQ(described.lun, 1);
  EXPECT_EQ(described.bytesPerSector, 512);
  EXPECT_EQ(described.sectorCount, 2048);
  const DiskDevice& bare = inventory.devices()[1];
  EXPECT_EQ(bare.diskNumber, 1);
  EXPECT_EQ(bare.model, "");
  EXPECT_EQ(bare.portNumber, -1);
  EXPECT_EQ(bare.targetId, -1);
  EXPECT_EQ(bare.lun, -1);
  EXPECT_EQ(bare.deviceNode, tree.devRoot() / "sdb");
}

TEST_F(DiskInventoryScan, DiskThatDoesNotOpenReadWriteIsAbsentButKeepsItsNumberTaken) {
  tree.add({.name = "sda", .openable = false});
  tree.add({.name = "sdb"});
  DiskInventory inventory(tree.sysfsRoot(), tree.devRoot());
  inventory.ScanDiskIdentities();
  inventory.ScanDiskDevices();
  ASSERT_EQ(inventory.identities().size(), 1u);
  EXPECT_EQ(inventory.identities()[0].diskNumber, 1);
  ASSERT_EQ(inventory.devices().size(), 1u);
  EXPECT_EQ(inventory.devices()[0].diskNumber, 1);
}

TEST_F(DiskInventoryScan, GeometryDefaults) {
  tree.add({.name = "sda", .sizeUnits = 4096, .logicalBlockSize = 0});    // no sector size: size / 512
  tree.add({.name = "sdb", .sizeUnits = 4096, .logicalBlockSize = 4096});
  tree.add({.name = "sdc"});
  std::filesystem::remove(tree.sysfsRoot() / "block" / "sdc" / "size");  // size unknown
  DiskInventory inventory(tree.sysfsRoot(), tree.devRoot());
  inventory.ScanDiskDevices();
  inventory.ScanDiskIdentities();
  ASSERT_EQ(inventory.devices().size(), 3u);
  EXPECT_EQ(inventory.devices()[0].bytesPerSector, 0);
  EXPECT_EQ(inventory.devices()[0].sectorCount, 4096);
  EXPECT_EQ(inventory.devices()[1].bytesPerSector, 4096);
  EXPECT_EQ(inventory.devices()[1].sectorCount, 512);
  EXPECT_EQ(inventory.devices()[2].bytesPerSector, 0);
  EXPECT_EQ(inventory.devices()[2].sectorCount, 0);
  ASSERT_EQ(inventory.identities().size(), 3u);
  EXPECT_EQ(inventory.identities()[2].diskSize, 0);
}

TEST_F(DiskInventoryScan, RescanEmptiesItsOwnListAndNeverProbesBeyond254) {
  for (int i = 0; i < 300; ++i) tree.addFolder("loop" + std::to_string(i), "loop/backing_file");
  const auto disks = ListWholeDisks(tree.sysfsRoot(), tree.devRoot());
  ASSERT_EQ(disks.size(), static_cast<size_t>(kMaxDiskNumbers));
  EXPECT_EQ(disks.back().name, "loop254");

  FakeDiskTree small;
  small.add({.name = "sda"});
  DiskInventory inventory(small.sysfsRoot(), small.devRoot());
  inventory.ScanDiskIdentities();
  inventory.ScanDiskIdentities();
  EXPECT_EQ(inventory.identities().size(), 1u);
}
