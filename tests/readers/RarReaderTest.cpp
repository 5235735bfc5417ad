#include <gtest/gtest.h>

#include "readers/RarReader.h"
#include "tests/readers/ArchiveBuilders.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using namespace testing;

struct WalkResult {
  int result;
  std::u16string names;
  int64_t archiveEnd;
};

WalkResult Walk(const TempDir& dir, const std::string& bytes) {
  WriteFile(dir / "a.rar", bytes);
  RarNameReader reader;
  const int result = reader.ReadRarNames(dir / "a.rar");
  return {result, reader.names(), reader.archiveEnd()};
}

TEST(RarReader, Crc32MatchesTheStandardCheckValue) {
  EXPECT_EQ(CrcOf("123456789"), 0xCBF43926u);
}

TEST(RarReader, OldHeadersGiveOnlyPlainFileNamesAndTheArchiveEnd) {
  TempDir dir;
  const std::string archive = Rar4Archive({{"docs", 0x10}, {"docs\\plan.doc"}, {"my notes.txt"}});
  const auto walk = Walk(dir, archive);
  EXPECT_EQ(walk.result, RarNameReader::kWalked);
  EXPECT_EQ(walk.names, u"docs#plan.docmynotes.txt");
  EXPECT_EQ(walk.archiveEnd, static_cast<int64_t>(archive.size()));

  const auto padded = Walk(dir, archive + std::string(3000, '\0'));
  EXPECT_EQ(padded.archiveEnd, static_cast<int64_t>(archive.size()));
}

TEST(RarReader, NewHeadersGiveUtf8NamesAndTheArchiveEnd) {
  TempDir dir;
  const std::string archive =
      Rar5Archive({{"年度报告.doc"}, {"photos", 0x10}, {"sub/b.txt"}, {"readonly.txt", 0x21}});
  const auto walk = Walk(dir, archive + std::string(3000, '\0'));
  EXPECT_EQ(walk.result, RarNameReader::kWalked);
  EXPECT_EQ(walk.names, u"年度报告.docsub#b.txt");
  EXPECT_EQ(walk.archiveEnd, static_cast<int64_t>(archive.size()));
}

TEST(RarReader, EntriesMadeOnUnixCountByTheirFileMode) {
  TempDir dir;
  // 1.5-4.x: host OS 3 is Unix; the same mode from a Windows host is not the archive bit.
  auto walk = Walk(dir, Rar4Archive({{"unix.txt", 0100644, 3},
                                     {"folder", 040755, 3},
                                     {"windows-mode.txt", 0100644, 2},
                                     {"dos.txt", 0x20, 0}}));
  EXPECT_EQ(walk.names, u"unix.txtdos.txt");
  // 5.0: host OS 1 is Unix.
  walk = Walk(dir, Rar5Archive({{"unix.txt", 0100644, 1}, {"folder", 040755, 1}, {"link", 0120777, 1},
                                {"windows-mode.txt", 0100644, 0}}));
  EXPECT_EQ(walk.names, u"unix.txt");
}

TEST(RarReader, ADamagedHeaderEndsTheWalkKeepingEarlierNames) {
  TempDir dir;
  for (bool newHeaders : {false, true}) {
    std::string first = newHeaders ? Rar5File({"first.doc"}) : Rar4File({"first.doc"});
    std::string second = newHeaders ? Rar5File({"second.doc"}) : Rar4File({"second.doc"});
    second[newHeaders ? 10 : 20] ^= 0x01;  // a byte covered by the header CRC
    const std::string archive = newHeaders
        ? kRar5Signature + Rar5MainHeader() + first + second + Rar5EndHeader()
        : kRar4Signature + Rar4MainHeader() + first + second + Rar4EndBlock();
    const auto walk = Walk(dir, archive);
    EXPECT_EQ(walk.result, RarNameReader::kWalked);
    EXPECT_EQ(walk.names, u"first.doc") << newHeaders;
    EXPECT_EQ(walk.archiveEnd, 0) << newHeaders;
  }
}

TEST(RarReader, NamesStopAfterTheOneThatCrosses128Characters) {
  TempDir dir;
  std::vector<Rar4Entry> entries;
  for (char c : std::string("abcdef")) entries.push_back({std::string(49, c) + "."});
  const auto walk = Walk(dir, Rar4Archive(entries));
  EXPECT_EQ(walk.names.size(), 150u);  // 0, 50, 100 characters before: the third still goes in
  EXPECT_EQ(walk.names.substr(100, 1), u"c");
}

TEST(RarReader, RecognisesOnlyFilesLongerThan20BytesWithTheSignatureInFront) {
  TempDir dir;
  EXPECT_EQ(Walk(dir, kRar4Signature + std::string(13, '\0')).result, RarNameReader::kNotRar);
  EXPECT_EQ(Walk(dir, kRar4Signature + std::string(14, '\0')).result, RarNameReader::kWalked);
  EXPECT_EQ(Walk(dir, "MZ" + Rar4Archive({{"a.txt"}})).result, RarNameReader::kNotRar);
  EXPECT_EQ(Walk(dir, std::string("Rar!\x1A\x07\x02\x00", 8) + std::string(40, 'x')).result, RarNameReader::kNotRar);
  RarNameReader reader;
  EXPECT_EQ(reader.ReadRarNames(dir / "missing.rar"), RarNameReader::kCannotOpen);
}

TEST(RarReader, NameIsBoundedByItsStoredSizeAndLargeFilesAreSkippedWhole) {
  TempDir dir;
  // Extended times stored behind the name are not part of it.
  auto walk = Walk(dir, Rar4Archive({{"report.doc", 0x20, 2, "x", "\x01\xB0\x11\x22"}, {"next.txt"}}));
  EXPECT_EQ(walk.names, u"report.docnext.txt");

  // A 4 GiB entry keeps the high halves of its sizes in front of the name; the next header is found
  // past the whole packed size. Here the high half is 0, so the data is just the 6 bytes.
  std::string fields = Le32Bytes(6) + Le32Bytes(100) + std::string(1, '\x02') + Le32Bytes(0) + Le32Bytes(0) +
                       "\x1D\x30" + Le16Bytes(7) + Le32Bytes(0x20) + Le32Bytes(0) + Le32Bytes(1) + "big.iso";
  const std::string archive = kRar4Signature + Rar4MainHeader() + Rar4Block(0x74, 0x8100, fields) + "packed" +
                              Rar4File({"after.txt"}) + Rar4EndBlock();
  walk = Walk(dir, archive);
  EXPECT_EQ(walk.names, u"big.isoafter.txt");
  EXPECT_EQ(walk.archiveEnd, static_cast<int64_t>(archive.size()));
}

TEST(RarReader, HostileSizesEndTheWalkWithoutReadingOutside) {
  TempDir dir;
  // A data size far past the end of the file.
  std::string huge = Rar5Header(2, 0x02, Vint(uint64_t{1} << 55) + Vint(0) + Vint(0) + Vint(0x20) + Vint(0) +
                                             Vint(0) + Vint(5) + "a.txt");
  auto walk = Walk(dir, kRar5Signature + Rar5MainHeader() + huge + Rar5EndHeader());
  EXPECT_EQ(walk.names, u"a.txt");
  EXPECT_EQ(walk.archiveEnd, 0);
  // A vint that never ends, and a name length beyond the header.
  walk = Walk(dir, kRar5Signature + std::string("\0\0\0\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 13) + "tail-bytes");
  EXPECT_EQ(walk.result, RarNameReader::kWalked);
  EXPECT_EQ(walk.names, u"");
  const std::string longName =
      Rar5Header(2, 0, Vint(0) + Vint(0) + Vint(0x20) + Vint(0) + Vint(0) + Vint(500) + "short");
  walk = Walk(dir, kRar5Signature + Rar5MainHeader() + longName + Rar5EndHeader());
  EXPECT_EQ(walk.names, u"");
  EXPECT_GT(walk.archiveEnd, 0);
  // A header size of 0 xFFFF with 0x8000 and a huge ADD_SIZE: the walk ends, nothing wraps.
  walk = Walk(dir, kRar4Signature + Rar4Block(0x7A, 0x8000, Le32Bytes(0xFFFFFFFF)) + Rar4EndBlock());
  EXPECT_EQ(walk.archiveEnd, 0);
}

}  // namespace
}  // namespace brenvik
