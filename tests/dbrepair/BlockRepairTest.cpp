#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "dbrepair/BlockRepair.h"
#include "tests/support/KernelFixtures.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::ReadFile;
using brenvik::testing::LoopDevice;
using brenvik::testing::ScopedMount;
using brenvik::testing::TempDir;
using brenvik::testing::WriteFile;

namespace {

const std::vector<uint8_t> kDeadPattern{0xDE, 0xAD, 0xDE, 0xAD};
constexpr size_t kPage = kPageBlockSize;
constexpr size_t kSector = kSectorBlockSize;
constexpr size_t kMiB = kRepairChunkSize;

// Data that never matches a fill pattern, different for every seed.
std::string Good(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (auto& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state);
  }
  return bytes;
}

std::string Lost(size_t size, const std::vector<uint8_t>& pattern = kDeadPattern) {
  std::string bytes(size, '\0');
  for (size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>(pattern[k % pattern.size()]);
  return bytes;
}

std::string Block(const std::string& file, size_t index, size_t size = kPage) { return file.substr(index * size, size); }

class RecordingReporter : public RepairReporter {
 public:
  void Status(std::u16string_view text) override { statuses.emplace_back(text); }
  // The first report announces the range; each chunk then reports its position and counts.
  void Progress(int64_t position, int64_t maximum) override {
    if (range >= 0) positions.push_back(static_cast<int32_t>(position));
    range = static_cast<int32_t>(maximum);
  }
  void Tally(const RepairCounts& counts) override {
    statuses.push_back(RepairCountsText(counts));
    if (onProgress) onProgress(positions.back(), counts);
  }
  bool saw(const std::u16string& text) const { return std::find(statuses.begin(), statuses.end(), text) != statuses.end(); }

  std::vector<std::u16string> statuses;
  int32_t range = -1;
  std::vector<int32_t> positions;
  std::function<void(int32_t, const RepairCounts&)> onProgress;
};

class BlockRepairTest : public ::testing::Test {
 protected:
  RepairRequest request(BlockMode mode = BlockMode::Page, std::vector<std::filesystem::path> references = {}) {
    RepairRequest r;
    r.corrupted = dir / "damaged.mdf";
    r.repaired = dir / "repaired.mdf";
    r.references = std::move(references);
    r.mode = mode;
    r.pattern = kDeadPattern;
    return r;
  }
  RepairResult run(const RepairRequest& r) { return RunRepair(r, stop, reporter); }
  std::u16string lastStatus() const { return reporter.statuses.empty() ? u"" : reporter.statuses.back(); }

  TempDir dir;
  std::atomic<int> stop{0};
  RecordingReporter reporter;
};

TEST_F(BlockRepairTest, EmptyFileGivesEmptyOutputInBothModes) {
  WriteFile(dir / "damaged.mdf", "");
  WriteFile(dir / "ref.mdf", Good(kPage, 1));
  WriteFile(dir / "repaired.mdf", "old contents");  // an existing output is truncated
  RepairResult result = run(request(BlockMode::Page, {dir / "ref.mdf"}));
  EXPECT_EQ(result.end, RepairEnd::Completed);
  EXPECT_EQ(reporter.statuses.front(), u"Repair database...");
  EXPECT_EQ(lastStatus(), u"Repair database completed###Repairs:0 / 0");
  EXPECT_TRUE(ReadFile(dir / "repaired.mdf") == "");
  EXPECT_EQ(reporter.range, 0);
  EXPECT_TRUE(reporter.positions.empty());

  reporter = {};
  result = run(request(BlockMode::Sector));
  EXPECT_EQ(reporter.statuses.front(), u"Repair database ...");
  EXPECT_EQ(lastStatus(), u"Repair database completed### Repairs:0 / 0");
}

TEST_F(BlockRepairTest, FileWithoutLostBlocksIsCopiedByteForByte) {
  const std::string damaged = Good(3 * kMiB + 1234, 7);
  WriteFile(dir / "damaged.mdf", damaged);
  const RepairResult result = run(request());
  EXPECT_EQ(result.end, RepairEnd::Completed);
  EXPECT_TRUE(ReadFile(dir / "repaired.mdf") == damaged);
  EXPECT_EQ(reporter.range, 3);
  EXPECT_EQ(reporter.positions, (std::vector<int32_t>{1, 2, 3, 3}));
  EXPECT_TRUE(reporter.saw(u"Repairs:0 / 0"));
  EXPECT_EQ(lastStatus(), u"Repair database completed###Repairs:0 / 0");
}

TEST_F(BlockRepairTest, LostBlockComesFromTheUpperRowThatHoldsItIntact) {
  // Page 1: lost in A, good in B and C -> B. Page 3: good in A and B -> A (upper row).
  // Page 5: lost everywhere. Page 7: A and B end one byte short of it, C is shorter and D holds
  // it lost -> stays. Chunk 2, page 0: only the long reference D holds it.
  const std::string good = Good(2 * kMiB, 1);
  std::string damaged = good;
  for (size_t page : {1u, 3u, 5u, 7u, 128u}) damaged.replace(page * kPage, kPage, Lost(kPage));
  std::string a = Good(8 * kPage - 1, 2), b = Good(8 * kPage - 1, 3), c = Good(5 * kPage, 4);
  a.replace(1 * kPage, kPage, Lost(kPage));
  for (std::string* s : {&a, &b, &c}) s->replace(5 * kPage, kPage, Lost(kPage));
  std::string d = Good(2 * kMiB, 5);
  for (size_t page : {5u, 7u}) d.replace(page * kPage, kPage, Lost(kPage));
  WriteFile(dir / "damaged.mdf", damaged);
  WriteFile(dir / "a.mdf", a);
  WriteFile(dir / "b.mdf", b);
  WriteFile(dir / "c.mdf", c);
  WriteFile(dir / "d.mdf", d);

  const RepairResult result = run(request(BlockMode::Page, {dir / "a.mdf", dir / "b.mdf", dir / "c.mdf", dir / "d.mdf"}));
  ASSERT_EQ(result.end, RepairEnd::Completed);
  EXPECT_EQ(result.counts.repaired, 3);
  EXPECT_EQ(result.counts.marked, 5);
  EXPECT_EQ(lastStatus(), u"Repair database completed###Repairs:3 / 5");

  const std::string out = ReadFile(dir / "repaired.mdf");
  ASSERT_EQ(out.size(), damaged.size());
  EXPECT_TRUE(Block(out, 1) == Block(b, 1));
  EXPECT_TRUE(Block(out, 3) == Block(a, 3));
  EXPECT_TRUE(Block(out, 5) == Lost(kPage));
  EXPECT_TRUE(Block(out, 7) == Lost(kPage));
  EXPECT_TRUE(Block(out, 128) == Block(d, 128));
  for (size_t page : {0u, 2u, 4u, 6u, 8u, 127u, 129u, 255u}) EXPECT_TRUE(Block(out, page) == Block(good, page)) << page;
}

TEST_F(BlockRepairTest, SectorModeRepairsSectorsThatPageModeLeaves) {
  // A 3-byte pattern in one sector of a page: only sector mode sees a lost block.
  const std::vector<uint8_t> pattern{0x11, 0x22, 0x33};
  std::string damaged = Good(2 * kPage, 8);
  damaged.replace(3 * kSector, kSector, Lost(kSector, pattern));
  const std::string reference = Good(2 * kPage, 9);
  WriteFile(dir / "damaged.mdf", damaged);
  WriteFile(dir / "ref.mdf", reference);

  RepairRequest pageRun = request(BlockMode::Page, {dir / "ref.mdf"});
  pageRun.pattern = pattern;
  EXPECT_EQ(run(pageRun).counts.marked, 0);
  EXPECT_TRUE(ReadFile(dir / "repaired.mdf") == damaged);

  RepairRequest sectorRun = request(BlockMode::Sector, {dir / "ref.mdf"});
  sectorRun.pattern = pattern;
  const RepairResult result = run(sectorRun);
  EXPECT_EQ(result.counts.repaired, 1);
  EXPECT_EQ(result.counts.marked, 1);
  std::string expected = damaged;
  expected.replace(3 * kSector, kSector, Block(reference, 3, kSector));
  EXPECT_TRUE(ReadFile(dir / "repaired.mdf") == expected);
  EXPECT_EQ(lastStatus(), u"Repair database completed### Repairs:1 / 1");
}

TEST_F(BlockRepairTest, ShortLastBlockIsTestedWithZeroBytesPastTheEnd) {
  // With the default pattern the tail can never be lost: the zeros past the end do not match.
  std::string damaged = Good(kPage, 10) + Lost(100);
  WriteFile(dir / "damaged.mdf", damaged);
  WriteFile(dir / "ref.mdf", Good(3 * kPage, 11));
  EXPECT_EQ(run(request(BlockMode::Page, {dir / "ref.mdf"})).counts.marked, 0);

  // With the pattern 00 a zero tail is lost; a reference as long as the damaged file does not
  // hold the full block, a longer one does, and only the file's length is written.
  damaged = Good(kPage, 12) + std::string(100, '\0');
  const std::string shortRef = Good(damaged.size(), 13), longRef = Good(2 * kPage, 14);
  WriteFile(dir / "damaged.mdf", damaged);
  WriteFile(dir / "short.mdf", shortRef);
  WriteFile(dir / "long.mdf", longRef);
  RepairRequest r = request(BlockMode::Page, {dir / "short.mdf", dir / "long.mdf"});
  r.pattern = {0x00};
  const RepairResult result = run(r);
  EXPECT_EQ(result.counts.marked, 1);
  EXPECT_EQ(result.counts.repaired, 1);
  EXPECT_TRUE(ReadFile(dir / "repaired.mdf") == damaged.substr(0, kPage) + longRef.substr(kPage, 100));
}

TEST_F(BlockRepairTest, StopTakesEffectAtTheNextChunkBoundary) {
  std::string damaged = Good(3 * kMiB, 15);
  damaged.replace(0, kPage, Lost(kPage));
  damaged.replace(kMiB, kPage, Lost(kPage));
  WriteFile(dir / "damaged.mdf", damaged);
  reporter.onProgress = [&](int32_t position, const RepairCounts&) {
    if (position == 1) stop = 1;
  };
  const RepairResult result = run(request());
  EXPECT_EQ(result.end, RepairEnd::Stopped);
  EXPECT_EQ(result.counts.marked, 1);
  EXPECT_TRUE(ReadFile(dir / "repaired.mdf") == damaged.substr(0, kMiB));
  EXPECT_EQ(lastStatus(), u"Repair database completed###Repairs:0 / 1");

  // Stop raised before the run writes nothing but still completes.
  reporter = {};
  stop = 1;
  EXPECT_EQ(run(request()).end, RepairEnd::Stopped);
  EXPECT_TRUE(ReadFile(dir / "repaired.mdf") == "");
  EXPECT_EQ(lastStatus(), u"Repair database completed###Repairs:0 / 0");
}

TEST_F(BlockRepairTest, OutputThatIsAnInputIsRefusedBeforeAnythingIsTruncated) {
  const std::string damaged = Good(kPage, 16) + Lost(kPage), reference = Good(2 * kPage, 17);
  WriteFile(dir / "damaged.mdf", damaged);
  WriteFile(dir / "sub/ref.mdf", reference);
  std::filesystem::create_symlink(dir / "damaged.mdf", dir / "link.mdf");
  std::filesystem::create_hard_link(dir / "sub/ref.mdf", dir / "hard.mdf");
  for (const std::filesystem::path& output :
       {dir / "damaged.mdf", dir / "link.mdf", dir / "sub/../damaged.mdf", dir / "hard.mdf", dir / "sub/./ref.mdf"}) {
    reporter = {};
    RepairRequest r = request(BlockMode::Page, {dir / "sub/ref.mdf"});
    r.repaired = output;
    EXPECT_EQ(run(r).end, RepairEnd::Refused) << output;
    EXPECT_EQ(lastStatus(), u"Failed create file");
  }
  EXPECT_TRUE(ReadFile(dir / "damaged.mdf") == damaged);
  EXPECT_TRUE(ReadFile(dir / "sub/ref.mdf") == reference);
}

// A FIFO reads as an empty file or blocks for ever: as the damaged file it used to empty an
// existing output and report "completed". Nothing but a regular file is taken, and an output
// written into a file system that lives inside the damaged file is the damaged file itself.
TEST_F(BlockRepairTest, SpecialFilesAndStorageUnderAnotherNameAreRefused) {
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  WriteFile(dir / "repaired.mdf", "an earlier repair");
  RepairRequest r = request();
  r.corrupted = dir / "pipe";
  EXPECT_EQ(run(r).end, RepairEnd::Refused);
  EXPECT_EQ(lastStatus(), u"Failed access file");
  EXPECT_EQ(ReadFile(dir / "repaired.mdf"), "an earlier repair");

  const std::string damaged = Good(kPage, 21) + Lost(kPage);
  WriteFile(dir / "damaged.mdf", damaged);
  r = request(BlockMode::Page, {dir / "pipe"});
  r.repaired = dir / "pipe";
  EXPECT_EQ(run(r).end, RepairEnd::Refused);
  EXPECT_EQ(lastStatus(), u"Failed create file");
  EXPECT_EQ(run(request(BlockMode::Page, {dir / "pipe"})).end, RepairEnd::Completed);  // the FIFO reference is skipped
  EXPECT_TRUE(reporter.saw(u"Failed access file"));

  WriteFile(dir / "image.mdf", std::string(4 << 20, '\0'));
  const LoopDevice loop(dir / "image.mdf");
  if (!loop.valid()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
  const ScopedMount mounted = ScopedMount::Formatted(loop.node(), "mkfs.ext2 -q -F", "ext2", dir / "mnt");
  if (!mounted.valid()) GTEST_SKIP() << "mkfs.ext2 or mounting the loop device failed";
  const std::string image = ReadFile(dir / "image.mdf");
  r = request();
  r.corrupted = dir / "image.mdf";
  r.repaired = mounted / "repaired.mdf";
  EXPECT_EQ(run(r).end, RepairEnd::Refused);
  EXPECT_FALSE(std::filesystem::exists(mounted / "repaired.mdf"));
  EXPECT_EQ(ReadFile(dir / "image.mdf"), image);
}

TEST_F(BlockRepairTest, UnreadableDamagedFileCreatesNoOutput) {
  EXPECT_EQ(run(request()).end, RepairEnd::FailedAccess);
  EXPECT_EQ(lastStatus(), u"Failed access file");
  std::filesystem::create_directory(dir / "damaged.mdf");  // no file at all: refused
  EXPECT_EQ(run(request()).end, RepairEnd::Refused);
  EXPECT_EQ(lastStatus(), u"Failed access file");
  EXPECT_FALSE(std::filesystem::exists(dir / "repaired.mdf"));
}

TEST_F(BlockRepairTest, ReferenceThatCannotBeOpenedIsSkipped) {
  const std::string reference = Good(kPage, 18);
  WriteFile(dir / "damaged.mdf", Lost(kPage));
  WriteFile(dir / "ref.mdf", reference);
  std::filesystem::create_directory(dir / "folder.mdf");
  const RepairResult result = run(request(BlockMode::Page, {dir / "missing.mdf", dir / "folder.mdf", dir / "ref.mdf"}));
  EXPECT_EQ(result.end, RepairEnd::Completed);
  EXPECT_TRUE(reporter.saw(u"Failed access file"));
  EXPECT_EQ(result.counts.repaired, 1);
  EXPECT_TRUE(ReadFile(dir / "repaired.mdf") == reference);
}

TEST_F(BlockRepairTest, FullDiskEndsTheRunWithoutClaimingCompletion) {
  const ScopedMount full = ScopedMount::Tmpfs(dir / "full", 64 * 1024);
  if (!full.valid()) GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root)";
  WriteFile(dir / "damaged.mdf", Good(2 * kMiB, 19));
  RepairRequest r = request();
  r.repaired = full / "repaired.mdf";
  const RepairResult result = run(r);
  EXPECT_EQ(result.end, RepairEnd::FailedWrite);
  EXPECT_EQ(lastStatus(), u"Failed write file: " + r.repaired.u16string() +
                              u" (No space left on device), the repaired file is incomplete");
  EXPECT_TRUE(reporter.positions.empty());
}

TEST_F(BlockRepairTest, InputThatShrinksDuringTheRunEndsIt) {
  // The damaged file itself.
  WriteFile(dir / "damaged.mdf", Good(3 * kMiB, 20));
  reporter.onProgress = [&](int32_t, const RepairCounts&) { std::filesystem::resize_file(dir / "damaged.mdf", kMiB + 10); };
  RepairResult result = run(request());
  EXPECT_EQ(result.end, RepairEnd::FailedRead);
  const std::u16string expected = u"Failed read file: " + (dir / "damaged.mdf").u16string() +
                                  u" (the file became shorter during the repair), the repaired file is incomplete";
  EXPECT_EQ(lastStatus(), expected);

  // A reference copy, met when a lost block is looked up in it.
  std::string damaged = Good(2 * kMiB, 21);
  damaged.replace(kMiB, kPage, Lost(kPage));
  WriteFile(dir / "damaged.mdf", damaged);
  WriteFile(dir / "ref.mdf", Good(2 * kMiB, 22));
  reporter = {};
  reporter.onProgress = [&](int32_t, const RepairCounts&) { std::filesystem::resize_file(dir / "ref.mdf", kMiB); };
  result = run(request(BlockMode::Page, {dir / "ref.mdf"}));
  EXPECT_EQ(result.end, RepairEnd::FailedRead);
  EXPECT_NE(lastStatus().find(u"ref.mdf"), std::u16string::npos);
  EXPECT_EQ(lastStatus().find(u"completed"), std::u16string::npos);
}

}  // namespace
