#include <gtest/gtest.h>

#include "platform/CodePage.h"
#include "readers/DocumentReader.h"
#include "tests/readers/CompoundFileBuilder.h"
#include "tests/support/TempDir.h"
#include "tests/support/TimeZone.h"

namespace brenvik {
namespace {

using namespace testing;

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kUnixEpoch = 11'644'473'600 * kTicksPerSecond;
// 2012-03-05 06:07:09 UTC, shown as 2012-03-05 14-07-09.
constexpr int64_t kSaveTime = kUnixEpoch + 1'330'927'629 * kTicksPerSecond;

std::string U16Bytes(std::u16string_view text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}
std::string U16Le(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string U32Le(uint32_t v) { return U16Le(static_cast<uint16_t>(v)) + U16Le(static_cast<uint16_t>(v >> 16)); }

// A summary information stream with the last-save time as its one property.
std::string SummaryInformation(int64_t fileTime) {
  std::string s(76, '\0');
  PutU16(s, 0, 0xFFFE);
  PutU32(s, 24, 1);
  const uint8_t formatId[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
  s.replace(28, 16, reinterpret_cast<const char*>(formatId), 16);
  PutU32(s, 44, 48);
  PutU32(s, 48, 28);  // section size
  PutU32(s, 52, 1);   // property count
  PutU32(s, 56, 13);  // last save time ...
  PutU32(s, 60, 16);  // ... at section offset 16
  PutU32(s, 64, 64);  // VT_FILETIME
  PutU32(s, 68, static_cast<uint32_t>(fileTime));
  PutU32(s, 72, static_cast<uint32_t>(static_cast<uint64_t>(fileTime) >> 32));
  return s;
}

struct Piece {
  std::string bytes;  // stored text
  bool eightBit;
  uint32_t characters() const { return static_cast<uint32_t>(eightBit ? bytes.size() : bytes.size() / 2); }
};

constexpr uint32_t kTextStart = 0x600;

struct WordParts {
  std::string main;   // "WordDocument"
  std::string table;  // "0Table" or "1Table"
};

// A main stream with a File Information Block and the pieces' text from kTextStart, and a table
// stream holding a property modifier and then the piece table.
WordParts WordDocument(const std::vector<Piece>& pieces, uint16_t flags = 0, size_t mainSize = 4096) {
  std::string table = "junk-before-clx";
  const uint32_t fcClx = static_cast<uint32_t>(table.size());
  table += "\x01" + U16Le(3) + "abc";  // property modifiers, skipped
  std::string positions, descriptors, text;
  uint32_t cp = 0;
  for (const Piece& p : pieces) {
    positions += U32Le(cp);
    cp += p.characters();
    const uint32_t offset = kTextStart + static_cast<uint32_t>(text.size());
    descriptors += U16Le(0) + U32Le(p.eightBit ? (offset << 1) | 0x40000000 : offset) + U16Le(0);
    text += p.bytes;
  }
  positions += U32Le(cp);
  const std::string plc = positions + descriptors;
  table += "\x02" + U32Le(static_cast<uint32_t>(plc.size())) + plc;
  const uint32_t lcbClx = static_cast<uint32_t>(table.size()) - fcClx;
  table += std::string(8, '\0');

  std::string main(std::max<size_t>(mainSize, kTextStart + text.size()), '\0');
  PutU16(main, 0, 0xA5EC);
  PutU16(main, 10, flags);
  PutU16(main, 32, 14);
  PutU16(main, 62, 22);
  PutU16(main, 152, 0x6C);
  PutU32(main, 418, fcClx);
  PutU32(main, 422, lcbClx);
  main.replace(kTextStart, text.size(), text);
  return {main, table};
}

class OfficeBinaryTextTest : public ::testing::Test {
 protected:
  const testing::ScopedTimeZone zone{testing::kUtcPlus8};
  DocumentReader& readWord(const std::string& bytes) {
    WriteFile(dir / "a.doc", bytes);
    reader.ReadWordDocument(dir / "a.doc");
    return reader;
  }
  DocumentReader& readExcel(const std::string& bytes) {
    WriteFile(dir / "a.xls", bytes);
    reader.ReadExcelWorkbook(dir / "a.xls");
    return reader;
  }
  TempDir dir;
  DocumentReader reader;
};

TEST_F(OfficeBinaryTextTest, WordPiecesOfBothWidthsAreDecodedAndCleaned) {
  const std::u16string wide = u"\u4E00\u4E01 Forty characters of wide text here.xyz";
  const auto parts = WordDocument({{"Report: 2011/Q3, final?", true}, {U16Bytes(wide), false}, {"tail", true}});
  const std::string file = CompoundFileBuilder()
                               .add(u"WordDocument", parts.main)
                               .add(u"0Table", parts.table)
                               .add(u"\x05SummaryInformation", SummaryInformation(kSaveTime))
                               .build();
  readWord(file);
  EXPECT_EQ(reader.dateText, u"2012-03-05 14-07-09");
  EXPECT_EQ(reader.contentText, u"Report2011Q3final\u4E00\u4E01Fortycharactersofwidetexthere.xyztail");
  EXPECT_EQ(reader.pieceRanges.size(), 3u);

  // The second piece brings the text past a gathering limit of 30: the third is not read.
  reader.choices.nameLengthLimit = 30;
  reader.ReadWordDocument(dir / "a.doc");
  EXPECT_EQ(reader.contentText, u"Report2011Q3final\u4E00\u4E01Fortycharactersofwidetexthere.xyz");
}

// An 8-bit piece is read in one encoding from its start to its end, however many parts its
// decoding takes: UTF-8 only when all of it is, else the code page, even where an early part
// would pass as UTF-8. A UTF-8 character that a part's end splits stays whole.
TEST_F(OfficeBinaryTextTest, AnEightBitPieceIsReadInOneEncodingThroughout) {
  const auto contentOf = [&](const std::string& piece) {
    const auto parts = WordDocument({{piece, true}});
    return readWord(CompoundFileBuilder().add(u"WordDocument", parts.main).add(u"0Table", parts.table).build())
        .contentText;
  };
  const auto padded = [](std::string text, size_t size) { return text + std::string(size - text.size(), ' '); };
  // "Résumé" in UTF-8 bytes, then, two parts later, "café" in the Western code page.
  const std::string mixed = padded("R\xC3\xA9sum\xC3\xA9", 4096) + padded("caf\xE9", 4096);
  EXPECT_EQ(contentOf(mixed), CodePageToText("R\xC3\xA9sum\xC3\xA9" "caf\xE9", AnsiCodePage()));
  // All UTF-8, with "é" split by the end of the first part.
  const std::string utf8 = padded("R\xC3\xA9sum", 4095) + "\xC3\xA9" + padded("caf\xC3\xA9", 4096);
  EXPECT_EQ(contentOf(utf8), u"R\u00E9sum\u00E9caf\u00E9");
  // A piece whose last character is unfinished is not UTF-8.
  EXPECT_EQ(contentOf("caf\xC3\xA9 \xE5\xB9"), CodePageToText("caf\xC3\xA9\xE5\xB9", AnsiCodePage()));
}

TEST_F(OfficeBinaryTextTest, AnEncryptedWordDocumentKeepsItsDate) {
  const auto parts = WordDocument({{"Secret text", true}}, 0x0100);
  readWord(CompoundFileBuilder()
               .add(u"\x05SummaryInformation", SummaryInformation(kSaveTime))
               .add(u"WordDocument", parts.main)
               .add(u"0Table", parts.table)
               .build());
  EXPECT_EQ(reader.dateText, u"2012-03-05 14-07-09");
  EXPECT_EQ(reader.contentText, u"");
  EXPECT_TRUE(reader.wordInfo.encrypted);
}

TEST_F(OfficeBinaryTextTest, ASecondMainStreamAtSectorZeroWins) {
  // The first main stream is a regular one; the second is the first stream of the mini stream,
  // so it starts at (mini) sector 0.
  const auto old = WordDocument({{"Old text", true}});
  const auto current = WordDocument({{"Current text", true}}, 0, 1024);
  const std::string file = CompoundFileBuilder()
                               .add(u"WordDocument", old.main)
                               .add(u"WordDocument", current.main)
                               .add(u"0Table", current.table)
                               .build();
  EXPECT_EQ(readWord(file).contentText, u"Currenttext");
  // Without the sector-0 rule, the first one stays.
  const std::string later = CompoundFileBuilder()
                                .add(u"0Table", current.table)
                                .add(u"WordDocument", old.main)
                                .add(u"WordDocument", current.main)
                                .build();
  EXPECT_EQ(readWord(later).contentText, u"Oldtext");
}

TEST_F(OfficeBinaryTextTest, TheWhichTableBitChoosesTheTableStream) {
  const auto parts = WordDocument({{"From table one", true}}, 0x0200);
  const auto decoy = WordDocument({{"From table zero", true}});
  EXPECT_EQ(readWord(CompoundFileBuilder()
                         .add(u"WordDocument", parts.main)
                         .add(u"0Table", std::string(decoy.table.size(), 'z'))
                         .add(u"1Table", parts.table)
                         .build())
                .contentText,
            u"Fromtableone");
}

TEST_F(OfficeBinaryTextTest, DamagedWordStructuresGiveNoText) {
  auto parts = WordDocument({{"Text", true}});
  const auto build = [&](const std::string& main, const std::string& table) {
    return CompoundFileBuilder().add(u"WordDocument", main).add(u"0Table", table).build();
  };
  std::string badMagic = parts.main;
  PutU16(badMagic, 0, 0xA5ED);
  EXPECT_EQ(readWord(build(badMagic, parts.table)).contentText, u"");
  std::string badCount = parts.main;
  PutU16(badCount, 32, 15);
  EXPECT_EQ(readWord(build(badCount, parts.table)).contentText, u"");
  // A CLX running past the table stream, and a piece table that claims more pieces than fit.
  std::string pastTable = parts.main;
  PutU32(pastTable, 422, static_cast<uint32_t>(parts.table.size()));
  EXPECT_EQ(readWord(build(pastTable, parts.table)).contentText, u"");
  std::string hugeCount = parts.table;
  PutU32(hugeCount, GetU32(parts.main, 418) + 6 + 1, 0xFFFFFFF0);
  EXPECT_EQ(readWord(build(parts.main, hugeCount)).contentText, u"");
  std::string tinyCount = parts.table;
  PutU32(tinyCount, GetU32(parts.main, 418) + 6 + 1, 2);  // (2 - 4) / 12 wraps: no pieces
  EXPECT_EQ(readWord(build(parts.main, tinyCount)).contentText, u"");
  // A piece whose text lies beyond the main stream contributes nothing, the others still do.
  parts = WordDocument({{"Near", true}, {"Far", true}});
  std::string farPiece = parts.table;
  const size_t descriptors = GetU32(parts.main, 418) + 6 + 5 + 3 * 4;
  PutU32(farPiece, descriptors + 8 + 2, (0x100000u << 1) | 0x40000000);
  EXPECT_EQ(readWord(build(parts.main, farPiece)).contentText, u"Near");
  // Not a compound file at all.
  EXPECT_EQ(readWord("just text").contentText, u"");
  EXPECT_EQ(reader.dateText, u"");
}

TEST_F(OfficeBinaryTextTest, ALongPieceIsDecodedOnlyAsFarAsANameCanUse) {
  std::string text;
  for (int i = 0; text.size() < 400'000; ++i) text += "Chapter " + std::to_string(i) + " text, ";
  const auto parts = WordDocument({{text, true}});
  readWord(CompoundFileBuilder().add(u"WordDocument", parts.main).add(u"0Table", parts.table).build());
  EXPECT_TRUE(reader.contentText.starts_with(u"Chapter0textChapter1textChapter2text"));
  EXPECT_GE(reader.contentText.size(), 512u);
  EXPECT_LT(reader.contentText.size(), 40'000u);
}

TEST_F(OfficeBinaryTextTest, SummaryInformationSizeBounds) {
  const auto parts = WordDocument({{"x", true}});
  const auto withSummary = [&](const std::string& summary) {
    return readWord(CompoundFileBuilder()
                        .add(u"WordDocument", parts.main)
                        .add(u"0Table", parts.table)
                        .add(u"\x05SummaryInformation", summary)
                        .build())
        .dateText;
  };
  EXPECT_EQ(withSummary(SummaryInformation(kSaveTime)), u"2012-03-05 14-07-09");
  // The smallest stream that can hold a date: the one pair ends at 64 and the offset-0 time
  // overlaps the count and the pair (1 | 13 << 32 ticks after 1601).
  std::string smallest = SummaryInformation(kSaveTime).substr(0, 65);
  PutU32(smallest, 60, 0);
  EXPECT_EQ(withSummary(smallest), u"1601-01-01 09-33-03");
  EXPECT_EQ(withSummary(smallest.substr(0, 64)), u"");
  std::string wrongFormat = SummaryInformation(kSaveTime);
  wrongFormat[30] = 0;
  EXPECT_EQ(withSummary(wrongFormat), u"");
  std::string farOffset = SummaryInformation(kSaveTime);
  PutU32(farOffset, 60, 17);
  EXPECT_EQ(withSummary(farOffset), u"");
  std::string tooLarge = SummaryInformation(kSaveTime);
  tooLarge.resize(0x200001, '\0');
  EXPECT_EQ(withSummary(tooLarge), u"");
}

// BIFF8 records.
std::string Record(uint16_t type, const std::string& body) { return U16Le(type) + U16Le(static_cast<uint16_t>(body.size())) + body; }
std::string BoundSheet(const std::string& name, bool wide = false) {
  const uint8_t characters = static_cast<uint8_t>(wide ? name.size() / 2 : name.size());
  return Record(0x85, U32Le(0) + std::string("\0\0", 2) + std::string(1, static_cast<char>(characters)) +
                          std::string(1, wide ? '\x01' : '\0') + name);
}
std::string SstString(const std::string& text, uint16_t characters, uint8_t flags, uint16_t runs = 0,
                      const std::string& extension = {}) {
  std::string s = U16Le(characters) + std::string(1, static_cast<char>(flags));
  if (flags & 0x08) s += U16Le(runs);
  if (flags & 0x04) s += U32Le(static_cast<uint32_t>(extension.size()));
  s += text;
  s += std::string(4u * runs, '\x01');
  return s + extension;
}
std::string Sst(const std::string& strings) { return Record(0xFC, U32Le(9) + U32Le(9) + strings); }

TEST_F(OfficeBinaryTextTest, ExcelSheetNamesAndSharedStrings) {
  const std::string workbook =
      Record(0x809, std::string(16, '\0')) + BoundSheet("Sheet1") + BoundSheet(U16Bytes(u"Data"), true) +
      BoundSheet("A") +
      Sst(SstString("Hello World", 11, 0) + SstString("Rich", 4, 0x08, 2) + SstString("Ext", 3, 0x04, 0, "phonetic") +
          SstString(U16Bytes(u"\u5E74\u62A5"), 2, 0x01) +
          // cut by the end of the record: the rest would be in a CONTINUE record
          SstString("Cut off here", 40, 0)) +
      Record(0x3C, "continued text that is never read") + Record(0x0A, "");
  readExcel(CompoundFileBuilder()
                .add(u"Workbook", workbook)
                .add(u"\x05SummaryInformation", SummaryInformation(kSaveTime))
                .build());
  EXPECT_EQ(reader.sheetText, u"Sheet1DataA");
  EXPECT_EQ(reader.contentText, u"HelloWorldRichExt\u5E74\u62A5Cutoffhere");
  EXPECT_EQ(reader.dateText, u"2012-03-05 14-07-09");
}

// Run by the suite a second time under LC_ALL=zh_CN.UTF-8, where the ANSI code page is CP936.
// A BIFF8 string without its high bytes is ISO-8859-1 in every locale (á is never read as part of
// a GBK character); only the byte strings of the older formats take a code page: the one their
// CODEPAGE record declares, else this machine's.
TEST_F(OfficeBinaryTextTest, ExcelTextReadsTheSameInEveryLocale) {
  readExcel(ReadFile(BRENVIK_TEST_DATA "/../rename/kiadasok.xls"));
  EXPECT_EQ(reader.sheetText, u"Kiad\u00E1sok");
  EXPECT_EQ(reader.contentText, u"Havikiad\u00E1sok\u00C9lelmiszer");

  const std::string oldSheet = Record(0x85, U32Le(0) + std::string("\0\0\x04", 3) + "\xCF\xEB\xE0\xED");  // "План"
  readExcel(CompoundFileBuilder().add(u"Workbook", Record(0x42, U16Le(1251)) + oldSheet).build());
  EXPECT_EQ(reader.sheetText, u"\u041F\u043B\u0430\u043D");
  readExcel(CompoundFileBuilder().add(u"Workbook", oldSheet).build());
  EXPECT_EQ(reader.sheetText, AnsiToText("\xCF\xEB\xE0\xED"));
}

TEST_F(OfficeBinaryTextTest, ExcelStopsAtTheGatheringLimit) {
  std::string strings;
  for (int i = 0; i < 30; ++i) strings += SstString("String" + std::to_string(i), static_cast<uint16_t>(6 + std::to_string(i).size()), 0);
  const std::string workbook = BoundSheet("First") + Sst(strings) + BoundSheet("Late") + Sst(SstString("More", 4, 0)) +
                               std::string(5000, '\0');  // a regular (not mini) stream
  reader.choices.nameLengthLimit = 20;
  readExcel(CompoundFileBuilder().add(u"Workbook", workbook).build());
  EXPECT_EQ(reader.contentText, u"String0String1String2");
  EXPECT_EQ(reader.sheetText, u"First");
}

TEST_F(OfficeBinaryTextTest, AnOldBookStreamGivesOnlyTheDate) {
  readExcel(CompoundFileBuilder()
                .add(u"Book", BoundSheet("Sheet1") + Sst(SstString("Text", 4, 0)))
                .add(u"\x05SummaryInformation", SummaryInformation(kSaveTime))
                .build());
  EXPECT_EQ(reader.dateText, u"2012-03-05 14-07-09");
  EXPECT_EQ(reader.sheetText, u"");
  EXPECT_EQ(reader.contentText, u"");
}

TEST_F(OfficeBinaryTextTest, HostileExcelRecordsStayInBounds) {
  // A string header claiming more than the record, an extension size near 4 GiB, and a
  // sheet record cut by the end of the stream.
  const std::string workbook = Sst(U16Le(0xFFFF) + "\x0D" + U16Le(0xFFFF) + U32Le(0xFFFFFFFF) + std::string("a\0b\0", 4)) +
                               Sst(U16Le(3) + std::string("\x04\xFF\xFF\xFF\xFF", 5) + "abc") +
                               U16Le(0x85) + U16Le(200) + "short";
  readExcel(CompoundFileBuilder().add(u"Workbook", workbook).build());
  EXPECT_EQ(reader.sheetText, u"");
  EXPECT_EQ(reader.contentText, u"ababc");
}

TEST_F(OfficeBinaryTextTest, OverlongAndCircularChainsEndTheWalk) {
  const std::string workbook = BoundSheet("Sheet1") + std::string(5000, '\0');
  for (bool circular : {false, true}) {
    CompoundFileBuilder builder;
    builder.add(u"Workbook", workbook);
    std::string file = builder.build();
    // The directory claims 384 MiB; the chain ends after 10 sectors, or loops back to its start.
    PutU32(file, EntryOffset(builder.firstDirectorySector, 1) + 120, 0x18000000);
    const uint32_t last = builder.startSectors[0] + 9;
    if (circular) PutU32(file, SectorOffset(last / 128) + 4 * (last % 128), builder.startSectors[0]);
    EXPECT_EQ(readExcel(file).sheetText, u"Sheet1") << circular;
  }
}

}  // namespace
}  // namespace brenvik
