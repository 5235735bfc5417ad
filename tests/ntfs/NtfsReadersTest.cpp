// The NTFS and partition-table readers on volumes and disks made by mkntfs and sfdisk, checked
// against ntfsinfo, and on damaged structures: torn update sequences, run lists that leave the
// volume or their attribute, extended boot records that chain back, a bitmap too fragmented to
// keep extent by extent.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>

#include "ntfs/NtfsVolume.h"
#include "ntfs/PartitionTable.h"
#include "platform/ByteOrder.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::ntfs;
using brenvik::testing::CommandOutput;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;

namespace {

uint64_t Figure(const std::string& text, const std::string& label) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(label + ":\\s*(\\d+)"))) return UINT64_MAX;
  return std::stoull(m[1]);
}

std::span<const uint8_t> Bytes(const std::string& s, size_t at = 0, size_t n = std::string::npos) {
  return std::span(reinterpret_cast<const uint8_t*>(s.data()) + at, std::min(n, s.size() - at));
}

}  // namespace

TEST(NtfsReaders, AVolumeMadeByMkntfsReadsAsNtfsinfoSeesItAndATornRecordIsRefused) {
  if (!CommandOutput("command -v mkntfs >/dev/null && command -v ntfsinfo >/dev/null"))
    GTEST_SKIP() << "mkntfs or ntfsinfo (package ntfs-3g) is missing";
  TempDir dir;
  const std::string path = (dir / "volume.img").string();
  ASSERT_TRUE(CommandOutput("truncate -s 24M '" + path + "' && mkntfs -q -F -Q -c 2048 '" + path + "' >/dev/null 2>&1"));
  const auto info = CommandOutput("ntfsinfo -m '" + path + "' 2>/dev/null");
  ASSERT_TRUE(info);
  const std::string volume = ReadFile(path);

  const auto boot = ParseBootSector(Bytes(volume, 0, 512));
  ASSERT_TRUE(boot);
  EXPECT_EQ(boot->clusterSize, Figure(*info, "Cluster Size"));
  EXPECT_EQ(boot->clusterCount(), Figure(*info, "Volume Size in Clusters"));
  EXPECT_EQ(boot->recordSize, Figure(*info, "MFT Record Size"));
  EXPECT_EQ(boot->mftCluster, Figure(*info, "LCN of Data Attribute for FILE_MFT"));
  // The backup at the volume's end says the same.
  EXPECT_TRUE(ParseBootSector(Bytes(volume, boot->volumeBytes(), 512)));

  std::string mft = volume.substr(boot->mftCluster * boot->clusterSize, 16 * boot->recordSize);
  std::vector<uint8_t> record(mft.begin(), mft.begin() + boot->recordSize);
  ASSERT_TRUE(ApplyFixups(record));
  const auto data = FindUnnamedData(record, *boot);
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->complete);
  ASSERT_FALSE(data->extents.empty());
  EXPECT_EQ(data->extents[0].offset, boot->mftCluster * boot->clusterSize);

  std::vector<uint8_t> bitmapRecord(volume.begin() + *VolumeOffset(data->extents, 6 * boot->recordSize),
                                    volume.begin() + *VolumeOffset(data->extents, 6 * boot->recordSize) + boot->recordSize);
  ASSERT_TRUE(ApplyFixups(bitmapRecord));
  const auto bitmap = FindUnnamedData(bitmapRecord, *boot);
  ASSERT_TRUE(bitmap);
  UsedClusters used(boot->clusterSize, boot->clusterCount());
  uint64_t at = 0;
  for (const Extent& e : bitmap->extents) {
    used.add(at, Bytes(volume, e.offset, e.length));
    at += e.length;
  }
  EXPECT_EQ(used.usedBytes() / boot->clusterSize, boot->clusterCount() - Figure(*info, "Free Clusters"));

  // A stride whose end lost the sequence number (a torn write), a sequence array that does not
  // fit its stride, and a record that is no record: none is used.
  std::vector<uint8_t> torn(mft.begin(), mft.begin() + boot->recordSize);
  torn[1022] ^= 0xFF;
  EXPECT_FALSE(ApplyFixups(torn));
  std::vector<uint8_t> oversized(mft.begin(), mft.begin() + boot->recordSize);
  StoreU16(&oversized[4], 500);
  EXPECT_FALSE(ApplyFixups(oversized));
  std::vector<uint8_t> shortRecord(mft.begin(), mft.begin() + 100);
  EXPECT_FALSE(ApplyFixups(shortRecord));
  // An attribute whose length runs past the record ends the walk with nothing.
  StoreU32(&record[LoadU16(&record[0x14]) + 4], 0x7FFFFFF8);
  EXPECT_FALSE(FindUnnamedData(record, *boot));
  // A boot sector whose MFT lies beyond the volume is no boot sector.
  std::string badBoot = volume.substr(0, 512);
  StoreU64(reinterpret_cast<uint8_t*>(badBoot.data()) + 0x30, boot->clusterCount());
  EXPECT_FALSE(ParseBootSector(Bytes(badBoot)));
}

TEST(NtfsReaders, RunListsAreDecodedOnlyWhileEveryRunStaysInsideTheVolumeAndTheAttribute) {
  const auto decode = [](std::vector<uint8_t> runs) { return DecodeRunList(runs, 4096, 1000); };
  // 0x10 clusters at 0x20, a sparse run, 8 at 0x20 - 0x10 = 0x10 (a negative step).
  const auto good = decode({0x11, 0x10, 0x20, 0x01, 0x05, 0x11, 0x08, 0xF0, 0x00});
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, (std::vector<Extent>{{0x20 * 4096, 0x10 * 4096}, {0x10 * 4096, 8 * 4096}}));
  EXPECT_FALSE(decode({0x11, 0x10, 0x20}));                     // no terminator
  EXPECT_FALSE(decode({0x11, 0x00, 0x20, 0x00}));               // a run of no clusters
  EXPECT_FALSE(decode({0x11, 0x10, 0xF0, 0x00}));               // before the volume's start
  EXPECT_FALSE(decode({0x21, 0x10, 0xE0, 0x03, 0x00}));         // runs past its end (992 + 16 > 1000)
  EXPECT_FALSE(decode({0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x01, 0x00}));  // a length field of 9 bytes
  EXPECT_FALSE(decode({0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}));  // overflow
  EXPECT_FALSE(DecodeRunList(std::vector<uint8_t>{0x11, 1, 1, 0x11, 1, 1, 0x00}, 4096, 1000, 1));  // too many
  EXPECT_EQ(FirstBytes(*good, 0x12 * 4096), (std::vector<Extent>{{0x20 * 4096, 0x10 * 4096}, {0x10 * 4096, 2 * 4096}}));
}

TEST(NtfsReaders, AFragmentedBitmapKeepsBoundedExtentsThatStillCoverEveryUsedCluster) {
  // Every third cluster used: 10000 runs of one, kept in at most 64 extents.
  std::vector<uint8_t> bitmap(3750);
  for (uint64_t c = 0; c < 30000; c += 3) bitmap[c / 8] |= static_cast<uint8_t>(1 << (c % 8));
  UsedClusters used(512, 29990, 64);
  used.add(0, std::span(bitmap).first(1000));
  used.addUnknown(1000, 10);  // clusters 8000 - 8079, whatever the bitmap said
  used.add(1010, std::span(bitmap).subspan(1010));
  EXPECT_LE(used.extents().size(), 64u);
  uint64_t last = 0;
  for (const Extent& e : used.extents()) {
    EXPECT_GE(e.offset, last);
    last = e.offset + e.length;
  }
  EXPECT_LE(last, 29990u * 512);  // nothing past the volume's clusters
  const auto covered = [&](uint64_t c) {
    for (const Extent& e : used.extents())
      if (c * 512 >= e.offset && c * 512 < e.offset + e.length) return true;
    return false;
  };
  for (uint64_t c = 0; c < 29990; c += 3) ASSERT_TRUE(covered(c)) << c;
  for (uint64_t c = 8000; c < 8080; ++c) ASSERT_TRUE(covered(c)) << c;
}

TEST(NtfsReaders, PartitionTablesMadeBySfdiskAndAnExtendedChainThatLoopsBack) {
  if (!CommandOutput("command -v sfdisk >/dev/null")) GTEST_SKIP() << "sfdisk is missing";
  TempDir dir;
  const std::string dos = (dir / "dos.img").string(), gpt = (dir / "gpt.img").string();
  ASSERT_TRUE(CommandOutput("truncate -s 32M '" + dos + "' && printf 'label: dos\\nstart=2048, size=8192, type=7\\n"
                     "start=10240, size=40960, type=5\\nstart=12288, size=4096, type=7\\nstart=18432, size=4096, type=83\\n'"
                     " | sfdisk -q '" + dos + "' >/dev/null 2>&1"));
  ASSERT_TRUE(CommandOutput("truncate -s 32M '" + gpt + "' && printf 'label: gpt\\nstart=2048, size=8192\\nstart=20480, size=1000\\n'"
                     " | sfdisk -q '" + gpt + "' >/dev/null 2>&1"));
  const uint64_t blocks = 32 * 2048;

  std::string disk = ReadFile(dos);
  const auto mbr = ParseMasterBootRecord(Bytes(disk, 0, 512), blocks);
  ASSERT_TRUE(mbr);
  EXPECT_FALSE(mbr->protectiveGpt);
  EXPECT_EQ(mbr->primary, (std::vector<Partition>{{2048, 8192}}));
  ASSERT_EQ(mbr->extended.size(), 1u);
  std::vector<Partition> logical;
  uint64_t at = mbr->extended[0].first;
  std::vector<uint64_t> visited;
  for (std::optional<uint64_t> next = at; next; next = ParseExtendedBootRecord(Bytes(disk, *next * 512, 512), *next, mbr->extended[0])->next) {
    visited.push_back(*next);
    const auto ebr = ParseExtendedBootRecord(Bytes(disk, *next * 512, 512), *next, mbr->extended[0]);
    ASSERT_TRUE(ebr);
    if (ebr->logical) logical.push_back(*ebr->logical);
  }
  EXPECT_EQ(logical, (std::vector<Partition>{{12288, 4096}, {18432, 4096}}));
  // The second record made to point back at the first: the chain does not follow it.
  StoreU32(reinterpret_cast<uint8_t*>(disk.data()) + visited[1] * 512 + 446 + 16 + 8, 0);
  EXPECT_FALSE(ParseExtendedBootRecord(Bytes(disk, visited[1] * 512, 512), visited[1], mbr->extended[0])->next);
  // An entry that runs past the disk is no table.
  EXPECT_FALSE(ParseMasterBootRecord(Bytes(disk, 0, 512), 4096));

  disk = ReadFile(gpt);
  const auto protective = ParseMasterBootRecord(Bytes(disk, 0, 512), blocks);
  ASSERT_TRUE(protective);
  EXPECT_TRUE(protective->protectiveGpt);
  const auto header = ParseGptHeader(Bytes(disk, 512, 512), 512, blocks);
  ASSERT_TRUE(header);
  EXPECT_EQ(ParseGptEntries(Bytes(disk, header->entriesFirst * 512, header->entryBytes()), *header, blocks),
            (std::vector<Partition>{{2048, 8192}, {20480, 1000}}));
  // A header claiming more entries than a table may hold.
  StoreU32(reinterpret_cast<uint8_t*>(disk.data()) + 512 + 80, 100000);
  EXPECT_FALSE(ParseGptHeader(Bytes(disk, 512, 512), 512, blocks));
}
