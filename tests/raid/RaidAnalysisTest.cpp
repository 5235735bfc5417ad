#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <map>
#include <string>

#include "core/TextHelpers.h"
#include "raid/RaidAnalysis.h"
#include "platform/PathText.h"
#include "tests/raid/MftRecordBuilder.h"
#include "tests/raid/StripedArray.h"
#include "tests/support/KernelFixtures.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using namespace brenvik::testing;

namespace {

class RecordingReporter : public RaidReporter {
 public:
  // The first report announces the range.
  void Progress(int64_t position, int64_t maximum) override {
    if (range >= 0) progress.push_back(position);
    range = maximum;
  }
  void Tally(const uint64_t& found) override { foundText = FoundCountText(found); }

  int64_t range = -1;
  std::vector<int64_t> progress;
  std::u16string foundText;
};

// An image of `size` bytes (filled with 0x5A) with MFT records at the given byte offsets.
std::string Image(size_t size, const std::map<size_t, uint32_t>& records = {}) {
  std::string bytes(size, '\x5A');
  for (const auto& [offset, number] : records) bytes.replace(offset, 1024, AsBytes(MakeFileRecord(number)));
  return bytes;
}

std::u16string Utf16Of(uint64_t number) {
  const std::string digits = std::to_string(number);
  return std::u16string(digits.begin(), digits.end());
}

// The log as it must be on disk: byte-order mark and UTF-16LE text.
std::string Log(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

class RaidAnalysis : public ::testing::Test {
 protected:
  RaidMember addImage(const std::string& name, const std::string& bytes) {
    WriteFile(dir / name, bytes);
    job.members.push_back({u"", dir / name});
    return job.members.back();
  }

  RaidResult run(int64_t startSector, int64_t endSector) {
    job.logPath = dir / "map.txt";
    job.startOffset = startSector * 512;
    job.endOffset = endSector * 512;
    return RunRaidAnalysis(job, stop, reporter);
  }

  std::string log() const { return ReadFile(dir / "map.txt"); }

  TempDir dir;
  RaidRequest job;
  RecordingReporter reporter;
  std::atomic<int> stop{0};
};

}  // namespace

TEST(RaidParameters, RangeAndPathAreValidated) {
  EXPECT_FALSE(MakeRaidRequest(u"/tmp/map.txt", u"10", u"10"));
  EXPECT_FALSE(MakeRaidRequest(u"/tmp/map.txt", u"11", u"10"));
  EXPECT_FALSE(MakeRaidRequest(u"", u"10", u"11"));
  const auto job = MakeRaidRequest(u"/tmp/map.txt", u" 10", u"11");
  ASSERT_TRUE(job);
  EXPECT_EQ(job->startOffset, 5120);
  EXPECT_EQ(job->endOffset, 5632);
  EXPECT_EQ(job->logPath, std::filesystem::path("/tmp/map.txt"));
  // Offsets that cannot be reached or would wrap around are refused too.
  EXPECT_FALSE(MakeRaidRequest(u"/tmp/map.txt", u"-4", u"11"));
  EXPECT_FALSE(MakeRaidRequest(u"/tmp/map.txt", u"0", u"99999999999999999999"));
  EXPECT_TRUE(MakeRaidRequest(u"/tmp/map.txt", u"", u"1"));  // no digits: sector 0
}

TEST(RaidParameters, SectorNumbersParseLikeTheirLeadingDigits) {
  EXPECT_EQ(ParseLeadingInteger(u"  +12abc"), 12);
  EXPECT_EQ(ParseLeadingInteger(u"-7"), -7);
  EXPECT_EQ(ParseLeadingInteger(u"x12"), 0);
  EXPECT_EQ(ParseLeadingInteger(u"99999999999999999999"), INT64_MAX);
  EXPECT_EQ(ParseLeadingInteger(u"-99999999999999999999"), INT64_MIN);
  EXPECT_EQ(FoundCountText(42), u"MFT Numbers\uFF1A42 ");
}

TEST_F(RaidAnalysis, OneSectorPairIsOnePosition) {
  addImage("a.img", Image(8192, {{5120, 77}}));
  addImage("b.img", Image(8192));
  job.members[0].label = u"#3";  // labels head the columns
  EXPECT_EQ(run(10, 11).end, RaidEnd::Completed);
  EXPECT_EQ(log(), Log(u"#3\t\t\r\n10:\t77\t\txxxx\t\t\r\n"));
  EXPECT_EQ(reporter.range, 1);
  EXPECT_EQ(reporter.foundText, u"MFT Numbers\uFF1A1 ");
  EXPECT_EQ(reporter.progress.back(), 0);
}

TEST_F(RaidAnalysis, RecordsStripedOverThreeMembers) {
  // Records 0..8 laid round-robin over three members, one record per 1024-byte stripe unit.
  std::map<size_t, uint32_t> members[3];
  for (uint32_t record = 0; record < 9; ++record) members[record % 3][(record / 3) * 1024] = record;
  for (int m = 0; m < 3; ++m) addImage("m" + std::to_string(m), Image(4096, members[m]));
  const std::string before = ReadFile(dir / "m0");
  const RaidResult result = run(0, 5);
  EXPECT_EQ(result.found, 9u);
  EXPECT_EQ(log(), Log(u"\t\t\t\r\n"
                       u"0:\t0\t\t1\t\t2\t\t\r\n"
                       u"2:\t3\t\t4\t\t5\t\t\r\n"
                       u"4:\t6\t\t7\t\t8\t\t\r\n"));
  EXPECT_EQ(ReadFile(dir / "m0"), before);  // fixups are applied in memory only
}

TEST_F(RaidAnalysis, EmptyMemberListWritesHeaderAndOneLinePerPosition) {
  EXPECT_EQ(run(4, 9).end, RaidEnd::Completed);
  EXPECT_EQ(log(), Log(u"\r\n4:\t\r\n6:\t\r\n8:\t\r\n"));
  EXPECT_EQ(reporter.range, 3);
}

TEST_F(RaidAnalysis, ShortMemberEndsTheRunAfterThePartialLine) {
  addImage("a.img", Image(4096, {{2048, 5}}));
  addImage("b.img", Image(2048 + 700));  // ends inside the block at 2048
  addImage("c.img", Image(4096));
  EXPECT_EQ(run(0, 100).end, RaidEnd::Completed);
  EXPECT_EQ(log(), Log(u"\t\t\t\r\n0:\txxxx\t\txxxx\t\txxxx\t\t\r\n2:\txxxx\t\txxxx\t\txxxx\t\t\r\n4:\t5\t\t\r\n"));
}

TEST_F(RaidAnalysis, BatchedReadsGiveWhatOneReadPerPositionGives) {
  // More positions than one batch holds, records on both sides of the batch boundary, and a
  // member that ends in the middle of the second batch at an odd size.
  const size_t boundary = 1024 * 1024;
  const std::map<size_t, uint32_t> a{{boundary - 1024, 100}, {boundary, 101}, {boundary + 1024, 102}};
  const std::map<size_t, uint32_t> b{{boundary + 2048, 200}};
  const size_t bSize = boundary + 3 * 1024 + 100;
  addImage("a.img", Image(3 * boundary, a));
  addImage("b.img", Image(bSize, b));
  const RaidResult result = run(0, 10'000);
  EXPECT_EQ(result.found, 4u);

  const auto column = [](const std::map<size_t, uint32_t>& records, size_t position) {
    const auto it = records.find(position);
    return it == records.end() ? std::u16string(u"xxxx\t\t") : Utf16Of(it->second) + u"\t\t";
  };
  std::u16string expected = u"\t\t\r\n";
  for (size_t position = 0;; position += 1024) {
    expected += Utf16Of(position / 512) + u":\t" + column(a, position);
    const bool bEnds = position + 1024 > bSize;
    if (!bEnds) expected += column(b, position);
    expected += u"\r\n";
    if (bEnds) break;
  }
  EXPECT_EQ(log(), Log(expected));
}

TEST_F(RaidAnalysis, StopEndsAfterTheCurrentLine) {
  addImage("a.img", Image(8192));
  stop = 1;
  run(0, 15);
  EXPECT_EQ(log(), Log(u"\t\r\n0:\txxxx\t\t\r\n"));
}

TEST_F(RaidAnalysis, MemberThatDoesNotOpenLeavesOnlyTheByteOrderMark) {
  addImage("a.img", Image(4096));
  job.members.push_back({u"#2", dir / "missing"});
  const RaidResult result = run(0, 3);
  EXPECT_EQ(result.end, RaidEnd::MemberNotOpened);
  EXPECT_EQ(result.failedPath, dir / "missing");
  EXPECT_EQ(log(), "\xFF\xFE");

  job.members.back().path = dir.path();  // a folder is no member either: refused, and no log made
  std::filesystem::remove(dir / "map.txt");
  const RaidResult folder = run(0, 3);
  EXPECT_EQ(folder.end, RaidEnd::Refused);
  EXPECT_EQ(RaidOutcomeText(folder), u"Access:" + PathToText(dir.path()));
  EXPECT_FALSE(std::filesystem::exists(dir / "map.txt"));
}

TEST_F(RaidAnalysis, LogThatIsAMemberIsRefusedBeforeTruncation) {
  const std::string bytes = Image(4096, {{0, 1}});
  addImage("map.txt", bytes);
  const RaidResult refused = run(0, 3);
  EXPECT_EQ(refused.end, RaidEnd::Refused);
  EXPECT_EQ(RaidOutcomeText(refused), u"Failed to create file");
  EXPECT_EQ(ReadFile(dir / "map.txt"), bytes);

  // The same file reached through another name.
  std::filesystem::create_symlink(dir / "map.txt", dir / "alias.img");
  job.members = {{u"", dir / "alias.img"}};
  EXPECT_EQ(run(0, 3).end, RaidEnd::Refused);
  EXPECT_EQ(ReadFile(dir / "map.txt"), bytes);

  // A folder that cannot hold the log is a failure, not a refusal.
  job.logPath = dir / "no-folder/map.txt";
  EXPECT_EQ(RunRaidAnalysis(job, stop, reporter).end, RaidEnd::LogNotCreated);
}

// The plot a front end draws after the run is an output too: refused with the log, before the log
// is created, when it names the log (the same name, not yet taken or taken, or a hard link of it),
// a member, or a link; and the plot written later never replaces the run's log.
TEST_F(RaidAnalysis, PlotThatWouldReplaceTheLogOrAMemberIsRefusedBeforeTheRun) {
  const std::string bytes = Image(4096, {{0, 1}});
  addImage("a.img", bytes);
  const auto refusal = [&](const std::filesystem::path& log, const std::filesystem::path& plot) {
    job.logPath = log;
    job.plotPath = plot;
    const RaidResult result = RunRaidAnalysis(job, stop, reporter);
    return result.end == RaidEnd::Refused ? RaidOutcomeText(result) : u"not refused";
  };
  const std::u16string oneFile = u"Log file and plot are one file:";
  EXPECT_EQ(refusal(dir / "x.svg", dir / "x.svg"), oneFile + PathToText(dir / "x.svg"));
  std::filesystem::create_directory(dir / "sub");
  EXPECT_EQ(refusal(dir / "x.svg", dir / "sub/../x.svg"), oneFile + PathToText(dir / "sub/../x.svg"));
  EXPECT_FALSE(std::filesystem::exists(dir / "x.svg"));
  WriteFile(dir / "old.txt", "an older log");
  ASSERT_EQ(::link((dir / "old.txt").c_str(), (dir / "hard.svg").c_str()), 0);
  EXPECT_EQ(refusal(dir / "old.txt", dir / "hard.svg"), oneFile + PathToText(dir / "hard.svg"));
  EXPECT_EQ(refusal(dir / "log.txt", dir / "a.img"), u"Failed to create file");
  std::filesystem::create_symlink(dir / "old.txt", dir / "link.svg");
  EXPECT_EQ(refusal(dir / "log.txt", dir / "link.svg"), u"Failed to create file");
  EXPECT_EQ(ReadFile(dir / "old.txt"), "an older log");
  EXPECT_EQ(ReadFile(dir / "a.img"), bytes);
  EXPECT_FALSE(std::filesystem::exists(dir / "log.txt"));

  // The page draws after the run, into a file chosen then: never over the log the run wrote.
  EXPECT_EQ(refusal(dir / "log.txt", dir / "plot.svg"), u"not refused");
  const std::string log = ReadFile(dir / "log.txt");
  EXPECT_FALSE(WriteRaidPlot(dir / "log.txt", "<svg/>", job));
  EXPECT_FALSE(WriteRaidPlot(dir / "a.img", "<svg/>", job));
  EXPECT_EQ(ReadFile(dir / "log.txt"), log);
  EXPECT_TRUE(WriteRaidPlot(dir / "plot.svg", "<svg/>", job));
  EXPECT_EQ(ReadFile(dir / "plot.svg"), "<svg/>");
}

// A member given as a loop device is its backing file; a log written into a file system that
// lives inside a member image changes that image. Both are refused before anything is written,
// and a FIFO member is refused at once instead of blocking the run.
TEST_F(RaidAnalysis, LogOnAMembersStorageUnderAnotherNameIsRefused) {
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  addImage("a.img", Image(4096));
  job.members.push_back({u"", dir / "pipe"});
  EXPECT_EQ(run(0, 3).end, RaidEnd::Refused);

  const std::string bytes = Image(1 << 20, {{0, 1}});
  WriteFile(dir / "map.txt", bytes);
  const LoopDevice loop(dir / "map.txt");
  if (!loop.valid()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
  job.members = {{u"#7", loop.node()}};
  EXPECT_EQ(run(0, 3).end, RaidEnd::Refused);
  EXPECT_EQ(ReadFile(dir / "map.txt"), bytes);

  WriteFile(dir / "member.img", std::string(4 << 20, '\0'));
  const LoopDevice memberLoop(dir / "member.img");
  if (!memberLoop.valid()) GTEST_SKIP() << "no second loop device can be attached here";
  const ScopedMount mounted = ScopedMount::Formatted(memberLoop.node(), "mkfs.ext2 -q -F", "ext2", dir / "mnt");
  if (!mounted.valid()) GTEST_SKIP() << "mkfs.ext2 or mounting the loop device failed";
  const std::string member = ReadFile(dir / "member.img");
  job.members = {{u"", dir / "member.img"}};
  job.logPath = mounted / "map.txt";
  EXPECT_EQ(RunRaidAnalysis(job, stop, reporter).end, RaidEnd::Refused);
  EXPECT_FALSE(std::filesystem::exists(mounted / "map.txt"));
  EXPECT_EQ(ReadFile(dir / "member.img"), member);
}

TEST_F(RaidAnalysis, LogThatIsNoRegularFileIsRefused) {
  ASSERT_EQ(::mkfifo((dir / "map.txt").c_str(), 0600), 0);  // would block the run forever
  EXPECT_EQ(run(0, 3).end, RaidEnd::Refused);
}

TEST_F(RaidAnalysis, DeviceIsNeverALog) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP();
  addImage("a.img", Image(4096));
  job.logPath = "/dev/full";
  EXPECT_EQ(RunRaidAnalysis(job, stop, reporter).end, RaidEnd::Refused);
}

TEST_F(RaidAnalysis, LogThatCannotBeWrittenEndsTheRunAsAFailure) {
  // A file size limit stands in for a full disk.
  const auto runWithFullDisk = [this] {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 4096;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return run(0, 200'000).end == RaidEnd::LogWriteFailed ? 0 : 1;
  };
  EXPECT_EXIT(exit(runWithFullDisk()), ::testing::ExitedWithCode(0), "");
}

// One storage under two names (the same path, a hard link, a symbolic link, a loop device and its
// backing file) is refused before the log is created or a member read: it would read as a
// perfect mirror of itself.
TEST_F(RaidAnalysis, MemberGivenTwiceIsRefused) {
  const std::string bytes = Image(64 * 1024, {{0, 1}, {2048, 2}});
  addImage("a.img", bytes);
  addImage("b.img", Image(64 * 1024));
  std::filesystem::create_hard_link(dir / "a.img", dir / "hard.img");
  std::filesystem::create_symlink(dir / "a.img", dir / "soft.img");
  WriteFile(dir / "map.txt", "an older log");
  const auto refuses = [&](const std::filesystem::path& again) {
    job.members.resize(2);
    job.members.push_back({u"", again});
    const RaidResult result = run(0, 100);
    EXPECT_EQ(result.end, RaidEnd::Refused) << again;
    EXPECT_EQ(RaidOutcomeText(result), u"Member given twice:" + PathToText(dir / "a.img") + u", " + PathToText(again));
    EXPECT_EQ(log(), "an older log");
  };
  for (const char* again : {"a.img", "hard.img", "soft.img"}) refuses(dir / again);
  EXPECT_EQ(ReadFile(dir / "a.img"), bytes);

  const LoopDevice loop(dir / "a.img");
  if (!loop.valid()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
  refuses(loop.node());
}

// A volume that begins at an odd sector, read from an even Start Sector: the log shows the
// positions as asked (no records there), and the answer comes from the records between them,
// saying so and naming the sector to start at; with too few of them, it says where they are.
TEST_F(RaidAnalysis, RecordsAtTheOtherSectorParityAreFoundAndNamed) {
  ArrayShape shape{RaidLayout::Raid5LeftAsymmetric, 3, 16, 63, 3000};
  const std::vector<std::string> images = StripeVolume(shape, MftVolume(shape.records));
  for (size_t m = 0; m < images.size(); ++m) addImage("m" + std::to_string(m), images[m]);
  const int64_t lastSector = static_cast<int64_t>(images[0].size() / 512) - 1;
  RaidResult result = run(0, lastSector);
  EXPECT_EQ(result.found, 0u);
  EXPECT_EQ(log().find(std::string("0\0\t\0", 4)), std::string::npos);  // no record number logged
  const RaidGeometry& geometry = result.geometry;
  ASSERT_EQ(geometry.verdict, RaidGeometry::Verdict::Decided) << FormatGeometryJson(geometry);
  EXPECT_TRUE(geometry.fromOtherParity);
  EXPECT_EQ(geometry.otherParityStart, 1);
  EXPECT_EQ(geometry.best->layout, shape.layout);
  EXPECT_EQ(geometry.best->startSector, shape.startSector % (3 * 16));  // the earliest, a full turn before
  EXPECT_GE(geometry.best->explained, static_cast<uint64_t>(shape.records));
  const std::u16string text = FormatGeometryText(geometry);
  EXPECT_NE(text.find(u"\nThese records lie at odd sectors, between the positions logged; start at sector 1 to log them"),
            std::u16string::npos)
      << TextToBytes(text);

  // Started at the odd sector, the same run logs them itself and needs no word on parity.
  result = run(63, lastSector);
  EXPECT_EQ(result.geometry.verdict, RaidGeometry::Verdict::Decided);
  EXPECT_FALSE(result.geometry.fromOtherParity);
  EXPECT_EQ(result.geometry.otherParityStart, -1);

  // A range too short to decide anything still says where the records are.
  result = run(64, 64 + 20);
  EXPECT_EQ(result.geometry.verdict, RaidGeometry::Verdict::NotEnoughRecords);
  EXPECT_EQ(FormatGeometryText(result.geometry),
            u"Geometry: not enough records (0 found)\n"
            u"More records lie at odd sectors, between the positions logged; start at sector 65 to read them");
}
