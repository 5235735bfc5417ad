#include "readers/DocumentReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/readers/CompoundFileBuilder.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::CompoundFileBuilder;
using testing::EntryOffset;
using testing::GetU32;
using testing::PutU16;
using testing::PutU32;
using testing::SectorOffset;
using testing::TempDir;
using testing::WriteFile;

std::string Pattern(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xFF);
  return bytes;
}

class DocumentReaderTest : public ::testing::Test {
 protected:
  int probe(const std::string& bytes) {
    const auto path = dir_ / "probe.bin";
    WriteFile(path, bytes);
    return reader_.ProbeCompoundFile(OpenShared(path));
  }
  // Loads tables, walks the directory for `name` and the mini stream, as a stream client does.
  bool locate(const std::string& bytes, std::u16string_view name, StreamLocation& where) {
    WriteFile(dir_ / "doc.bin", bytes);
    file_ = OpenShared(dir_ / "doc.bin");
    reader_.ResetReader();
    if (!reader_.LoadTables(file_.get())) return false;
    bool found = false;
    reader_.WalkDirectory(file_.get(), [&](const DirectoryEntry& entry) {
      if (!entry.nameIs(name)) return DocumentReader::EntryVerdict::Continue;
      where = entry.location();
      found = true;
      return DocumentReader::EntryVerdict::Stop;
    });
    reader_.LoadMiniStream(file_.get());
    return found;
  }

  TempDir dir_;
  DocumentReader reader_;
  UniqueFd file_;
};

TEST_F(DocumentReaderTest, ProbeNamesTheApplicationByItsFirstKnownStream) {
  EXPECT_EQ(probe(CompoundFileBuilder().add(u"\x05SummaryInformation", "x").add(u"WordDocument", "w").build()), 1);
  EXPECT_EQ(probe(CompoundFileBuilder().add(u"Workbook", "w").build()), 2);
  EXPECT_EQ(probe(CompoundFileBuilder().add(u"Book", "w").build()), 2);
  EXPECT_EQ(probe(CompoundFileBuilder().add(u"PowerPoint Document", "p").build()), 3);
  // Directory order decides, not the kind of stream.
  EXPECT_EQ(probe(CompoundFileBuilder().add(u"Workbook").add(u"WordDocument").build()), 2);
  // Full names: a longer name that merely starts with "Book" or "WordDocument" is not one.
  EXPECT_EQ(probe(CompoundFileBuilder().add(u"Books").add(u"WordDocuments").add(u"Contents").build()), 0);
  // Only streams count: a storage named WordDocument does not.
  EXPECT_EQ(probe(CompoundFileBuilder().add(u"WordDocument", {}, 1).build()), 0);
}

TEST_F(DocumentReaderTest, ProbeFindsStreamsInLaterDirectorySectorsThroughTheFat) {
  CompoundFileBuilder builder;
  for (int i = 0; i < 9; ++i) builder.add(u"Filler" + std::u16string(1, char16_t(u'a' + i)), Pattern(700, i));
  builder.add(u"WordDocument", Pattern(5000, 1));
  EXPECT_EQ(probe(builder.build()), 1);
}

TEST_F(DocumentReaderTest, HeaderThatFailsAnyBoundIsRejected) {
  CompoundFileBuilder builder;
  builder.add(u"WordDocument", "w");
  const std::string good = builder.build() + std::string(200 * 512, '\0');
  const uint32_t beyond = static_cast<uint32_t>(good.size() / 512) + 1;  // one past the whole sectors
  ASSERT_EQ(probe(good), 1);

  const auto with = [&](size_t at, uint32_t value, int width = 4) {
    std::string bytes = good;
    if (width == 2)
      PutU16(bytes, at, static_cast<uint16_t>(value));
    else
      PutU32(bytes, at, value);
    return bytes;
  };
  EXPECT_EQ(probe(good.substr(0, 511)), -1);
  EXPECT_EQ(probe(std::string(4096, '\0')), -1);
  EXPECT_EQ(probe(with(0, 0xE011CFD1)), -1);     // signature
  EXPECT_EQ(probe(with(30, 12, 2)), -1);         // 4096-byte sectors: legal elsewhere, not read here
  EXPECT_EQ(probe(with(32, 7, 2)), -1);          // mini sector shift
  EXPECT_EQ(probe(with(44, 0)), -1);             // no FAT
  EXPECT_EQ(probe(with(48, beyond - 1)), 0);     // the last whole sector is still allowed (and empty)
  EXPECT_EQ(probe(with(44, beyond)), -1);        // FAT beyond the file
  EXPECT_EQ(probe(with(48, beyond)), -1);        // directory beyond the file
  EXPECT_EQ(probe(with(56, 4097)), -1);          // cutoff not a multiple of 512
  EXPECT_EQ(probe(with(60, beyond)), -1);        // mini FAT beyond the file ...
  EXPECT_EQ(probe(with(60, 0xFFFFFFFC)), 1);     // ... unless a special marker
  EXPECT_EQ(probe(with(64, beyond)), -1);        // mini FAT count
  EXPECT_EQ(probe(with(68, beyond)), -1);        // first DIFAT sector beyond the file
  EXPECT_EQ(probe(with(72, beyond)), -1);        // DIFAT count beyond the file
  EXPECT_EQ(probe(with(72, 1)), -1);             // a DIFAT sector but an end marker as its start
  EXPECT_EQ(probe(with(44, 110)), -1);           // 110 FAT sectors, no DIFAT sector to name the 110th
  EXPECT_EQ(probe(with(44, 109)), 1);
  // A DIFAT count is only plausible with a first DIFAT sector at most 0x200000 and 16,514 sectors.
  std::string big = good;
  PutU32(big, 68, 10);
  PutU32(big, 72, 16515);
  big.resize(SectorOffset(16600));
  EXPECT_EQ(probe(big), -1);
  PutU32(big, 72, 16514);
  EXPECT_EQ(probe(big), 1);
}

TEST_F(DocumentReaderTest, MalformedDirectoryEntryEndsTheScan) {
  CompoundFileBuilder builder;
  builder.add(u"Contents").add(u"WordDocument");
  std::string bytes = builder.build();
  std::string typeSix = bytes;
  typeSix[EntryOffset(builder.firstDirectorySector, 1) + 66] = 6;
  EXPECT_EQ(probe(typeSix), 0);

  std::string red = bytes;
  red[EntryOffset(builder.firstDirectorySector, 1) + 67] = 2;  // colour
  EXPECT_EQ(probe(red), 0);

  std::string unterminated = bytes;
  PutU16(unterminated, EntryOffset(builder.firstDirectorySector, 1) + 64, 8);  // 't' where the terminator goes
  EXPECT_EQ(probe(unterminated), 0);

  std::string longName = bytes;
  PutU16(longName, EntryOffset(builder.firstDirectorySector, 1) + 64, 66);
  EXPECT_EQ(probe(longName), 0);

  // An all-zero start is an unused slot, skipped, not malformed.
  std::string unused = bytes;
  std::fill_n(unused.begin() + static_cast<long>(EntryOffset(builder.firstDirectorySector, 1)), 128, '\0');
  EXPECT_EQ(probe(unused), 1);

  // The first entry must be the root.
  std::string noRoot = bytes;
  noRoot[EntryOffset(builder.firstDirectorySector, 0) + 66] = 1;
  EXPECT_EQ(probe(noRoot), 0);
  std::string renamedRoot = bytes;
  PutU16(renamedRoot, EntryOffset(builder.firstDirectorySector, 0), u'r');
  EXPECT_EQ(probe(renamedRoot), 0);
}

TEST_F(DocumentReaderTest, CyclicChainsEnd) {
  CompoundFileBuilder builder;
  builder.add(u"Contents", Pattern(5000, 3));
  std::string bytes = builder.build();
  // Directory sector pointing to itself: the walk stops after its byte bound.
  PutU32(bytes, SectorOffset(0) + 4 * builder.firstDirectorySector, builder.firstDirectorySector);
  // Stream chain looping back to its start.
  const uint32_t start = builder.startSectors[0];
  PutU32(bytes, SectorOffset(0) + 4 * (start + 1), start);
  EXPECT_EQ(probe(bytes), 0);

  StreamLocation where;
  ASSERT_TRUE(locate(bytes, u"Contents", where));
  std::vector<uint8_t> data(where.size);
  EXPECT_TRUE(reader_.ReadStream(file_.get(), where, data));
  EXPECT_EQ(std::string(data.begin(), data.begin() + 1024), Pattern(5000, 3).substr(0, 1024));
  // The chain ends where it would pass a sector again; the rest stays zero.
  EXPECT_EQ(std::string(data.begin() + 1024, data.end()), std::string(data.size() - 1024, '\0'));
}

TEST_F(DocumentReaderTest, ReadsRegularAndMiniStreams) {
  CompoundFileBuilder builder;
  const std::string large = Pattern(70000, 1), small = Pattern(1000, 2), tiny = "abc";
  builder.add(u"Large", large).add(u"Small", small).add(u"Tiny", tiny);
  const std::string bytes = builder.build();
  for (const auto& [name, expected] : {std::pair{u"Large", large}, {u"Small", small}, {u"Tiny", tiny}}) {
    StreamLocation where;
    ASSERT_TRUE(locate(bytes, name, where));
    ASSERT_EQ(where.size, expected.size());
    std::vector<uint8_t> data(where.size);
    EXPECT_TRUE(reader_.ReadStream(file_.get(), where, data));
    EXPECT_EQ(std::string(data.begin(), data.end()), expected);
  }
  EXPECT_EQ(reader_.fatByteSize, 512u * builder.fatSectors);
  EXPECT_EQ(reader_.miniStreamCutoff, 4096u);
  EXPECT_EQ(reader_.byteOrder, 0xFFFE);
}

TEST_F(DocumentReaderTest, UnreadableFatSectorEndsChainsWithZeroTails) {
  CompoundFileBuilder builder;
  const std::string large = Pattern(140 * 512, 5);  // crosses into the second FAT sector's range
  builder.add(u"Large", large);
  std::string bytes = builder.build();
  ASSERT_EQ(builder.fatSectors, 2u);
  PutU32(bytes, 76 + 4, 500000);  // the second FAT sector lies past the end of the file

  StreamLocation where;
  ASSERT_TRUE(locate(bytes, u"Large", where));
  std::vector<uint8_t> data(where.size);
  EXPECT_TRUE(reader_.ReadStream(file_.get(), where, data));
  // The chain is known up to sector 128, whose own entry lies in the unread FAT sector.
  const size_t readable = (129 - builder.startSectors[0]) * 512;
  EXPECT_EQ(std::string(data.begin(), data.begin() + static_cast<long>(readable)), large.substr(0, readable));
  EXPECT_EQ(std::count(data.begin() + static_cast<long>(readable), data.end(), 0), static_cast<long>(data.size() - readable));
}

TEST_F(DocumentReaderTest, StreamReadFailsOutsideTheFileOrTables) {
  CompoundFileBuilder builder;
  builder.add(u"Large", Pattern(8192, 1)).add(u"Small", Pattern(100, 2));
  const std::string bytes = builder.build();
  StreamLocation where;
  ASSERT_TRUE(locate(bytes, u"Large", where));
  std::vector<uint8_t> data(8192);
  EXPECT_FALSE(reader_.ReadRegularStream(file_.get(), 100000, data));  // sector past the end
  std::vector<uint8_t> small(100);
  EXPECT_FALSE(reader_.ReadMiniStream(40000, small));                  // past the mini stream
  EXPECT_TRUE(reader_.ReadMiniStream(DocumentReader::kSectorBound, small));  // end marker: nothing to read
}

TEST_F(DocumentReaderTest, RootOfSizeZeroOrOverTenMegabytesLeavesNoMiniStream) {
  CompoundFileBuilder builder;
  builder.add(u"Small", Pattern(100, 2));
  const std::string good = builder.build();
  for (uint32_t rootSize : {0u, 0xA00001u}) {
    std::string bytes = good;
    PutU32(bytes, EntryOffset(builder.firstDirectorySector, 0) + 120, rootSize);
    StreamLocation where;
    ASSERT_TRUE(locate(bytes, u"Small", where));
    EXPECT_TRUE(reader_.miniStream.empty());
    std::vector<uint8_t> data(where.size);
    EXPECT_FALSE(reader_.ReadStream(file_.get(), where, data));
  }
}

TEST_F(DocumentReaderTest, FatSectorsBeyondTheHeaderComeFromTheDifatChain) {
  // 109 header entries all name FAT sector 0; the 110th FAT sector, named only by the DIFAT
  // sector, holds the link from the second directory sector to the third, which holds the
  // WordDocument stream. Without the DIFAT chain that link reads as end of chain.
  CompoundFileBuilder builder;
  builder.add(u"A").add(u"B").add(u"C");
  std::string bytes = builder.build();
  const uint32_t secondDir = 109 * 128, thirdDir = secondDir + 1;
  const uint32_t difatSector = 5, lastFatSector = 6;
  bytes.resize(SectorOffset(thirdDir + 1), '\0');
  PutU32(bytes, 44, 110);
  PutU32(bytes, 68, difatSector);
  PutU32(bytes, 72, 1);
  for (uint32_t i = 0; i < 109; ++i) PutU32(bytes, 76 + 4 * i, 0);
  std::string difat(512, '\xFF');
  PutU32(difat, 0, lastFatSector);
  PutU32(difat, 508, testing::kEndOfChain);
  bytes.replace(SectorOffset(difatSector), 512, difat);
  std::string lastFat(512, '\xFF');
  PutU32(lastFat, 0, thirdDir);  // FAT[secondDir]
  bytes.replace(SectorOffset(lastFatSector), 512, lastFat);
  PutU32(bytes, SectorOffset(0) + 4 * builder.firstDirectorySector, secondDir);
  builder.firstDirectorySector = thirdDir - 1;  // entry 4 of that layout is the first of sector thirdDir
  builder.writeEntry(bytes, 4, u"WordDocument", 2, testing::kEndOfChain, 0);

  EXPECT_EQ(probe(bytes), 1);
  PutU32(bytes, 72, 0);  // no DIFAT sector: 110 FAT sectors cannot be named
  EXPECT_EQ(probe(bytes), -1);
}

TEST_F(DocumentReaderTest, ResetKeepsSettingsAndClearsResults) {
  reader_.choices.nameLengthLimit = 20;
  reader_.contentText = u"text";
  reader_.mainStream = {3, 4};
  reader_.pieceRanges.push_back({0, 1});
  reader_.ResetReader();
  EXPECT_EQ(reader_.choices.nameLengthLimit, 20);
  EXPECT_TRUE(reader_.contentText.empty());
  EXPECT_EQ(reader_.mainStream.size, 0u);
  EXPECT_TRUE(reader_.pieceRanges.empty());
}

}  // namespace
}  // namespace brenvik
