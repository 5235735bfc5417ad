// Hostile documents cost work bounded by their own size: chains that run in a circle, piece
// tables that name the same bytes again and again, packages that list one part thousands of
// times. Each case asserts the reader's work counts, never a time.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "readers/DocumentReader.h"
#include "rename/ContentReaders.h"
#include "tests/readers/ArchiveBuilders.h"
#include "tests/readers/CompoundFileBuilder.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using namespace testing;

constexpr uint32_t kMiniStreamBound = DocumentReader::kMiniStreamBound;
constexpr uint32_t kTableStreamCap = 0x6400000;
constexpr uint32_t kMainStreamCap = 0x19000000;

std::string Le16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string Le32(uint32_t v) { return Le16(static_cast<uint16_t>(v)) + Le16(static_cast<uint16_t>(v >> 16)); }

uint32_t FatEntryAt(const std::string& file, uint32_t sector) { return GetU32(file, SectorOffset(0) + 4 * size_t{sector}); }
void SetFatEntry(std::string& file, uint32_t sector, uint32_t next) { PutU32(file, SectorOffset(0) + 4 * size_t{sector}, next); }
uint32_t LastSectorOfChain(const std::string& file, uint32_t sector) {
  while (FatEntryAt(file, sector) < 0xFFFFFFFA) sector = FatEntryAt(file, sector);
  return sector;
}

// A Word main stream whose piece table lists `pieces` pieces, each covering the same `text`
// bytes of 8-bit text at 0x600 (so they all overlap), and the table stream holding it.
struct WordStreams {
  std::string main;
  std::string table;
};
WordStreams OverlappingPieces(uint32_t pieces, const std::string& text) {
  constexpr uint32_t kTextAt = 0x600;
  std::string positions, descriptors;
  for (uint32_t k = 0; k <= pieces; ++k) positions += Le32(k * static_cast<uint32_t>(text.size()));
  for (uint32_t k = 0; k < pieces; ++k) descriptors += Le16(0) + Le32((kTextAt << 1) | 0x40000000) + Le16(0);
  const std::string plc = positions + descriptors;
  const std::string table = "\x02" + Le32(static_cast<uint32_t>(plc.size())) + plc + std::string(8, '\0');
  std::string main(kTextAt + text.size(), '\0');
  PutU16(main, 0, 0xA5EC);
  PutU16(main, 32, 14);
  PutU16(main, 62, 22);
  PutU16(main, 152, 0x6C);
  PutU32(main, 418, 0);
  PutU32(main, 422, static_cast<uint32_t>(table.size() - 8));
  main.replace(kTextAt, text.size(), text);
  return {main, table};
}

// The first stream's first sector becomes a DIFAT sector that names FAT sector 0 127 times and
// links to itself; the header DIFAT names sector 0 109 times and the header claims every sector
// of the file as a FAT sector, so the FAT is never full.
void MakeSelfLinkedDifat(std::string& file, const CompoundFileBuilder& builder) {
  const uint32_t difat = builder.startSectors[0];
  const uint32_t sectors = static_cast<uint32_t>(file.size() / 512);
  for (uint32_t i = 0; i < 109; ++i) PutU32(file, 76 + 4 * i, 0);
  for (uint32_t i = 0; i < 127; ++i) PutU32(file, SectorOffset(difat) + 4 * i, 0);
  PutU32(file, SectorOffset(difat) + 508, difat);
  PutU32(file, 44, sectors - 1);
  PutU32(file, 68, difat);
  PutU32(file, 72, 1 + sectors / 127);
}

class HostileDocumentTest : public ::testing::Test {
 protected:
  // The whole compound-file load as a stream client does it: tables, directory, mini stream and
  // every stream the directory names. Returns the sectors passed.
  uint64_t LoadEverything(const std::string& bytes) {
    WriteFile(dir / "a.bin", bytes);
    UniqueFd file = OpenShared(dir / "a.bin");
    reader.ResetReader();
    if (!reader.LoadTables(file.get())) return 0;
    std::vector<StreamLocation> streams;
    reader.WalkDirectory(file.get(), [&](const DirectoryEntry& entry) {
      streams.push_back(entry.location());
      return DocumentReader::EntryVerdict::Continue;
    });
    reader.LoadMiniStream(file.get());
    for (const StreamLocation& stream : streams) {
      std::vector<uint8_t> data(std::min<uint64_t>(stream.size, 16 << 20));
      reader.ReadStream(file.get(), stream, data);
    }
    return reader.work.sectorsVisited;
  }
  void ReadWord(const std::string& bytes) {
    WriteFile(dir / "a.doc", bytes);
    reader.ReadWordDocument(dir / "a.doc");
  }

  TempDir dir;
  DocumentReader reader;
};

// Every kind of sector chain made to run in a circle while its header or entry declares far more
// than the file holds: each chain passes each sector of the file at most once.
TEST_F(HostileDocumentTest, LoopingChainsOfEveryKindPassEachSectorOnce) {
  struct Case {
    const char* what;
    std::function<void(std::string&, const CompoundFileBuilder&)> patch;
  };
  const std::vector<Case> cases = {
      {"regular stream chain back to its start, stream declared at 96 MiB",
       [](std::string& f, const CompoundFileBuilder& b) {
         const uint32_t start = b.startSectors[0];
         SetFatEntry(f, LastSectorOfChain(f, start), start);
         PutU32(f, EntryOffset(b.firstDirectorySector, 1) + 120, 0x6000000);
       }},
      {"mini stream chain to itself",
       [](std::string& f, const CompoundFileBuilder& b) {
         // the mini FAT is the chain after the directory; its first entry belongs to "Small"
         const uint32_t miniFat = GetU32(f, 60);
         PutU32(f, SectorOffset(miniFat) + 4 * b.startSectors[1], b.startSectors[1]);
         PutU32(f, EntryOffset(b.firstDirectorySector, 2) + 120, 4000);
       }},
      {"root (mini stream) chain back to its start, root declared at the mini stream bound",
       [](std::string& f, const CompoundFileBuilder& b) {
         const uint32_t root = GetU32(f, EntryOffset(b.firstDirectorySector, 0) + 116);
         SetFatEntry(f, LastSectorOfChain(f, root), root);
         PutU32(f, EntryOffset(b.firstDirectorySector, 0) + 120, kMiniStreamBound);
       }},
      {"mini FAT chain to itself, header declaring every sector mini FAT",
       [](std::string& f, const CompoundFileBuilder&) {
         const uint32_t miniFat = GetU32(f, 60);
         SetFatEntry(f, miniFat, miniFat);
         PutU32(f, 64, static_cast<uint32_t>(f.size() / 512));
       }},
      {"directory chain to itself",
       [](std::string& f, const CompoundFileBuilder& b) { SetFatEntry(f, b.firstDirectorySector, b.firstDirectorySector); }},
  };
  CompoundFileBuilder builder;
  builder.add(u"Large", std::string(300 * 512, 'L')).add(u"Small", std::string(300, 's'));
  const std::string intact = builder.build();
  const uint64_t intactWork = LoadEverything(intact);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string file = intact;
    c.patch(file, builder);
    // Closing a chain into a circle, however much its owner declares, adds no work at all.
    EXPECT_LE(LoadEverything(file), intactWork);
    EXPECT_GT(reader.work.sectorsVisited, 0u);
  }

  // The DIFAT chain: its one sector is read once, though the header asks for more FAT sectors
  // than the header DIFAT and that sector can name.
  std::string file = intact;
  MakeSelfLinkedDifat(file, builder);
  EXPECT_LE(LoadEverything(file), 6 * file.size() / 512);
  WriteFile(dir / "difat.bin", file);
  UniqueFd fd = OpenShared(dir / "difat.bin");
  reader.ResetReader();
  ASSERT_TRUE(reader.ReadHeader(fd.get()));
  reader.AssembleFat(fd.get());
  EXPECT_EQ(reader.work.sectorsVisited, 1u);
  EXPECT_EQ(reader.fatSectors.size(), 109u + 127u);
}

// The reported case: a .doc whose table stream chain points at itself and declares 100 MiB, with
// a piece table that claims millions of pieces. Only what the file holds is read and listed.
TEST_F(HostileDocumentTest, SelfLinkedTableStreamIsReadOnce) {
  const WordStreams word = OverlappingPieces(3, "Title text");
  CompoundFileBuilder builder;
  builder.add(u"WordDocument", word.main + std::string(8192, '\0')).add(u"0Table", word.table + std::string(4096, 'T'));
  std::string file = builder.build();
  const uint32_t table = builder.startSectors[1];
  SetFatEntry(file, table, table);
  PutU32(file, EntryOffset(builder.firstDirectorySector, 2) + 120, kTableStreamCap);
  // lcb of the piece table: (L - 4) / 12 pieces, as many as the declared stream could carry
  PutU32(file, SectorOffset(table) + 1, kTableStreamCap - 64);
  ReadWord(file);

  const uint64_t sectors = file.size() / 512;
  EXPECT_LE(reader.pieceRanges.size(), file.size() / 4);
  EXPECT_LE(reader.work.sectorsVisited, 6 * sectors);
  EXPECT_LE(reader.work.streamBytesRead, 3 * file.size() + 2 * 65536);
}

// Pieces that all name the same bytes, none of which survive decoding: the text is read about
// once in all, not once per piece.
TEST_F(HostileDocumentTest, OverlappingPiecesReadTheMainStreamAboutOnce) {
  const WordStreams word = OverlappingPieces(20000, std::string(4000, '\x01'));
  const std::string file = CompoundFileBuilder().add(u"WordDocument", word.main).add(u"0Table", word.table).build();
  ReadWord(file);
  EXPECT_EQ(reader.pieceRanges.size(), 20000u);
  EXPECT_EQ(reader.contentText, u"");
  EXPECT_LE(reader.work.streamBytesRead, 3 * file.size() + 2 * 65536);

  // A legitimate piece after a few overlapping ones still gives its text.
  const WordStreams few = OverlappingPieces(3, "Quarterly");
  ReadWord(CompoundFileBuilder().add(u"WordDocument", few.main).add(u"0Table", few.table).build());
  EXPECT_EQ(reader.contentText, u"QuarterlyQuarterlyQuarterly");
}

// A workbook stream declared at 400 MiB whose chain loops: the record walk ends where the chain
// would start repeating itself.
TEST_F(HostileDocumentTest, LoopingWorkbookChainEndsTheRecordWalk) {
  std::string records;
  for (int i = 0; i < 2000; ++i) records += Le16(0x0200) + Le16(4) + "cell";
  CompoundFileBuilder builder;
  builder.add(u"Workbook", records);
  std::string file = builder.build();
  const uint32_t start = builder.startSectors[0];
  SetFatEntry(file, LastSectorOfChain(file, start), start);
  PutU32(file, EntryOffset(builder.firstDirectorySector, 1) + 120, kMainStreamCap);
  WriteFile(dir / "a.xls", file);
  reader.ReadExcelWorkbook(dir / "a.xls");
  EXPECT_LE(reader.work.sectorsVisited, 4 * (file.size() / 512));
  EXPECT_LE(reader.work.streamBytesRead, 3 * file.size() + 2 * 65536);
}

// A package listing each part thousands of times inflates each part once; the last listing is
// the part, as with any later item of the same name.
TEST_F(HostileDocumentTest, DuplicatedPackageRecordsAreExtractedOnce) {
  std::vector<ZipEntry> entries;
  for (int i = 0; i < 1500; ++i) {
    const std::string n = std::to_string(i);
    entries.emplace_back("xl/workbook.xml", "<workbook><sheets><sheet name=\"S" + n + "\"/></sheets></workbook>");
    entries.emplace_back("xl/sharedStrings.xml", "<sst><si><t>T" + n + "</t></si></sst>");
  }
  entries.emplace_back("xl/worksheets/sheet1.xml", "<worksheet/>");
  ASSERT_TRUE(WriteZip(dir / "a.xlsx", entries));
  reader.choices.temporaryFolder = dir / "tvk";
  reader.choices.sheet = 1;
  reader.ReadXlsx(dir / "a.xlsx");
  EXPECT_EQ(reader.work.partsExtracted, 3u);
  EXPECT_EQ(reader.sheetText, u"S1499");
  EXPECT_EQ(reader.contentText, u"T1499");

  ASSERT_TRUE(WriteZip(dir / "a.docx", {{"word/document.xml", "<a/>"}, {"word/document.xml", "<b/>"}}));
  reader.ReadDocx(dir / "a.docx");
  EXPECT_EQ(reader.work.partsExtracted, 1u);
}

// Stop interrupts a file being read: a read that sees the stop flag does no more chain work or
// extraction and gives no texts, so no name is made from half a file.
TEST_F(HostileDocumentTest, StopInterruptsEveryReaderAndLeavesNoTexts) {
  std::atomic<int> stop{1};
  reader.stopFlag = &stop;
  const WordStreams word = OverlappingPieces(1, "Text");
  const std::string doc = CompoundFileBuilder().add(u"WordDocument", word.main).add(u"0Table", word.table).build();
  ReadWord(doc);
  EXPECT_EQ(reader.contentText, u"");
  EXPECT_EQ(reader.work.sectorsVisited, 0u);
  EXPECT_EQ(reader.ProbeCompoundFile(OpenShared(dir / "a.doc")), DocumentReader::kProbeUnknown);

  ASSERT_TRUE(WriteZip(dir / "a.xlsx", {{"xl/sharedStrings.xml", "<sst><si><t>Text</t></si></sst>"}}));
  reader.choices.temporaryFolder = dir / "tvk";
  reader.ReadXlsx(dir / "a.xlsx");
  EXPECT_EQ(reader.contentText, u"");
  EXPECT_EQ(reader.work.partsExtracted, 0u);

  // Without the flag the same files read normally; the File Rename readers take the job's flag.
  stop = 0;
  ReadWord(doc);
  EXPECT_EQ(reader.contentText, u"Text");
  const ContentReaders readers = DocumentContentReaders(&stop);
  EXPECT_EQ(readers.word(dir / "a.doc", AppSettings{}).content, u"Text");
  stop = 1;
  EXPECT_EQ(readers.word(dir / "a.doc", AppSettings{}).content, u"");
}

}  // namespace
}  // namespace brenvik
