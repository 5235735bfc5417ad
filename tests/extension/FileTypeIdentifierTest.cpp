#include "extension/FileTypeIdentifier.h"

#include <gtest/gtest.h>

#include "tests/extension/ZipBytes.h"
#include "tests/readers/CompoundFileBuilder.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::CompoundFileBuilder;
using testing::TempDir;
using testing::WriteFile;
using testing::LocalZipEntry;
using testing::ZipOf;

const std::filesystem::path kFixtures = BRENVIK_TEST_DATA "/extension";

// `prefix` at `offset` of an otherwise zero file of `size` bytes.
std::string At(size_t offset, std::string_view prefix, size_t size = 600) {
  std::string bytes(std::max(size, offset + prefix.size()), '\0');
  bytes.replace(offset, prefix.size(), prefix);
  return bytes;
}
std::string Raw(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

class FileTypeIdentifierTest : public ::testing::Test {
 protected:
  std::string identify(const std::string& bytes) {
    const auto path = dir_ / "sample";
    WriteFile(path, bytes);
    return std::string(IdentifyFileType(path, reader_).extension);
  }

  TempDir dir_;
  DocumentReader reader_;
};

TEST_F(FileTypeIdentifierTest, SignatureRows) {
  const std::pair<std::string, const char*> cases[] = {
      {At(0, Raw({0xFF, 0xD8, 0xFF, 0xE0})), "jpg"},
      {At(0, Raw({0xFF, 0xD8, 0xFF, 0xE1})), "jpg"},
      {At(0, Raw({0xFF, 0xD8, 0xFF, 0xDB})), ""},  // only the E0 and E1 markers
      {At(0, "\x89PNG\r\n"), "png"},
      {At(0, "GIF89a"), "gif"},
      {At(0, Raw({'I', 'I', 0x2A, 0})), "cr2"},
      {At(0, "AC1015"), "dwg"},
      {At(0, "BM"), "bmp"},
      {At(128, "DICM"), "dcm"},
      {At(0, "8BPS"), "psd"},
      {At(0, Raw({'M', 'M', 0, 0x2A})), "nef"},
      {At(0, std::string("RIFF\0\0\0\0AVI ", 12)), "avi"},
      {At(0, std::string("RIFF\0\0\0\0WAVE", 12)), "wav"},
      {At(0, std::string("RIFF\0\0\0\0CDR9", 12)), "cdr"},
      {At(0, Raw({0xC5, 0xD0, 0xD3, 0xC6})), "ai"},
      {At(6, "HEAPCCDR"), "crw"},
      {At(0, "FUJIFILMCCD-RAW"), "raf"},
      {At(0, "{\\rtf1"), "rtf"},
      {At(0, "%PDF-1.4"), "pdf"},
      {At(4, "Standard ACE DB"), "mdb"},
      {At(4, "Standard Jet DB"), "accdb"},
      {At(0, "ITSF"), "chm"},
      {At(0, "#!AMR"), "amr"},
      {At(0, "Rar!\x1A\x07"), "rar"},
      {At(0, "7z\xBC\xAF"), "7z"},
      {At(0, "ID3"), "mp3"},
      {At(0, Raw({0xFF, 0xFB})), "mp3"},
      {At(0, Raw({0xFF, 0xF3})), "mp3"},
      {At(0, Raw({0xFF, 0xF1})), ""},
      {At(4, "ftypisom"), "mp4"},
      {At(4, "mdat"), "mp4"},
      {At(4, "skip"), "mp4"},
      {At(0, "CWS"), "swf"},
      {At(0, "FWS"), ""},  // only the compressed form
      {At(0, Raw({0x30, 0x26, 0xB2, 0x75})), "asf"},
      {At(0, "FLV"), "flv"},
      {At(0, Raw({'M', 'Z', 0x90, 0})), "dll"},
      {"", ""},
      {std::string(4096, '\0'), ""},
      {"tiny", "txt"},  // text, which the further types name
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(identify(bytes), expected) << "bytes: " << bytes.substr(0, 16);
}

TEST_F(FileTypeIdentifierTest, DatabasePagesByTheirHeaderFields) {
  std::string mdf = At(0, Raw({0x01, 0x0F}));
  mdf[22] = 1;
  mdf[24] = 99;
  EXPECT_EQ(identify(mdf), "mdf");
  mdf[22] = 2;
  EXPECT_EQ(identify(mdf), "ldf");
  mdf[22] = 3;
  EXPECT_EQ(identify(mdf), "");
  mdf[22] = 1;
  mdf[24] = 98;
  EXPECT_EQ(identify(mdf), "");
}

TEST_F(FileTypeIdentifierTest, EarlierRowsWin) {
  // "BM" beats everything after it, even a DICOM marker; RIFF beats an mp4 box name.
  EXPECT_EQ(identify(At(128, "DICM", 600).replace(0, 2, "BM")), "bmp");
  EXPECT_EQ(identify(std::string("RIFF", 4) + "ftyp" + "XXXX" + std::string(600, '\0')), "cdr");
  // A pdf whose bytes 4-11 happen to read "Standard": the pdf row comes first.
  EXPECT_EQ(identify("%PDFStandard ACE" + std::string(600, '\0')), "pdf");
}

TEST_F(FileTypeIdentifierTest, CompoundFilesByTheirStreams) {
  EXPECT_EQ(identify(CompoundFileBuilder().add(u"WordDocument", "w").build()), "doc");
  EXPECT_EQ(identify(CompoundFileBuilder().add(u"Book", "b").build()), "xls");
  EXPECT_EQ(identify(CompoundFileBuilder().add(u"PowerPoint Document", "p").build()), "ppt");
  // Neither Word, Excel nor PowerPoint: nothing later claims it.
  EXPECT_EQ(identify(CompoundFileBuilder().add(u"Contents", "c").build()), "");
  // A header the reader rejects (4096-byte sectors) ends identification.
  std::string v4 = CompoundFileBuilder().add(u"WordDocument", "w").build();
  v4[30] = 12;
  EXPECT_EQ(identify(v4), "");
}

// Links directory entry `index` of a built compound file into its storage's tree.
void Link(std::string& file, const CompoundFileBuilder& built, uint32_t index, uint32_t left, uint32_t right,
          uint32_t child = testing::kFreeSector) {
  const size_t at = testing::EntryOffset(built.firstDirectorySector, index);
  testing::PutU32(file, at + 68, left);
  testing::PutU32(file, at + 72, right);
  testing::PutU32(file, at + 76, child);
}

// The probe names the first Office stream in directory order, which may be an embedded object's;
// the streams at the top of the file say what it is, and only that application's names fit it.
TEST_F(FileTypeIdentifierTest, CompoundFilesAreWhatTheirTopStreamsName) {
  constexpr uint32_t kNone = testing::kFreeSector;
  const auto typeOf = [&](const std::string& bytes, std::u16string_view name) {
    WriteFile(dir_ / "sample", bytes);
    const FileType type = IdentifyFileType(dir_ / "sample", reader_);
    return std::string(type.extension) + "/" + std::string(ListedType(type, name));
  };

  // A message with a Word document attached: the attachment's stream comes first.
  CompoundFileBuilder message;
  message.add(u"__attach_version1.0_#00000000", "", 1).add(u"WordDocument", "w").add(u"__substg1.0_0037001F", "s");
  std::string bytes = message.build();
  Link(bytes, message, 0, kNone, kNone, 1);
  Link(bytes, message, 1, kNone, 3, 2);
  EXPECT_EQ(typeOf(bytes, u"mail.doc"), "msg/msg");
  EXPECT_EQ(typeOf(bytes, u"mail.oft"), "msg/oft");

  // A Word document whose embedded workbook is listed before its own text stream.
  CompoundFileBuilder document;
  document.add(u"ObjectPool", "", 1).add(u"Workbook", "b").add(u"WordDocument", "w");
  bytes = document.build();
  Link(bytes, document, 0, kNone, kNone, 3);
  Link(bytes, document, 3, 1, kNone);
  Link(bytes, document, 1, kNone, kNone, 2);
  EXPECT_EQ(typeOf(bytes, u"letter.xls"), "doc/doc");
  EXPECT_EQ(typeOf(bytes, u"letter.dot"), "doc/dot");
  // Links that run in a circle end the walk of the tree; the answer stays the same.
  Link(bytes, document, 1, 3, kNone, 2);
  EXPECT_EQ(typeOf(bytes, u"letter.xls"), "doc/doc");

  // A tree that cannot be followed tells nothing: every compound-file name is kept, as the
  // probe's stream may be embedded in a publication or a drawing.
  bytes = CompoundFileBuilder().add(u"Contents", "c").add(u"Workbook", "b").build();
  EXPECT_EQ(typeOf(bytes, u"flyer.pub"), "xls/pub");
  EXPECT_EQ(typeOf(bytes, u"flyer.bin"), "xls/xls");
}

TEST_F(FileTypeIdentifierTest, ZipPackagesByTheirMainPart) {
  const std::string types = "<Types/>";
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", types}, {"word/document.xml", "<w/>"}})), "docx");
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", types}, {"xl/workbook.xml", "<x/>"}})), "xlsx");
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", types}, {"ppt/viewProps.xml", "<p/>"}})), "pptx");
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", types}, {"ppt/presentation.xml", "<p/>"}})), "pptx");
  // Name length is part of the test: a longer name with the same start is not the main part.
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", types}, {"word/document.xml.bak", "<w/>"}})), "");
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", types}, {"ppt/presentation.xml2", "<p/>"}})), "");
  // No main part: "[Content_Types].xm" first keeps it from being a plain zip.
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", types}, {"other.xml", "<o/>"}})), "");
  EXPECT_EQ(identify(ZipOf({{"photo.jpg", "data"}, {"notes.txt", "text"}})), "zip");
}

TEST_F(FileTypeIdentifierTest, DataDescriptorEntriesAreSteppedOverByScanning) {
  const std::string body(3000, 'x');
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", body, true}, {"docProps/app.xml", body, true},
                            {"word/document.xml", "<w/>", true}})),
            "docx");
  // The next header must start within the scan window after the counted data.
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", std::string(8145, 'x'), true}, {"word/document.xml", "<w/>"}})),
            "docx");
  EXPECT_EQ(identify(ZipOf({{"[Content_Types].xml", std::string(8146, 'x'), true}, {"word/document.xml", "<w/>"}})),
            "");
}

TEST_F(FileTypeIdentifierTest, ZipProbeGivesUpOnUnusableFirstHeaderOrShortTail) {
  // A first entry name over 128 bytes: no scan, and the plain zip row takes it.
  EXPECT_EQ(identify(ZipOf({{std::string(129, 'n'), "data"}, {"word/document.xml", "<w/>"}})), "zip");
  // The main part's header closer than 256 bytes to the end of the file is not read.
  std::string cut = testing::LocalEntry({"docProps/app.xml", "a"}) + testing::LocalEntry({"word/document.xml", "<w/>"});
  EXPECT_EQ(identify(cut + std::string(300, '\0')), "docx");
  EXPECT_EQ(identify(cut), "zip");
  // A compressed size pointing far past the end.
  std::string huge = ZipOf({{"a.txt", "a"}, {"word/document.xml", "<w/>"}});
  huge[18] = huge[19] = huge[20] = '\xFF';
  EXPECT_EQ(identify(huge), "zip");
}

// The zip probe keeps what it has read in a window that starts as the 512 header bytes, grows by
// appending and moves for reads far off; it learns the file's end from short reads. A header on
// either side of each of those edges, and a file ending one byte short of the header window, must
// be judged as anywhere else, whether or not the caller knew the file's length.
TEST_F(FileTypeIdentifierTest, ZipProbeAcrossItsReadWindowEdges) {
  const auto openAndIdentify = [this](const std::string& bytes) {
    const auto path = dir_ / "sample";
    WriteFile(path, bytes);
    UniqueFd file = OpenShared(path);
    uint8_t header[kIdentifyHeaderSize] = {};
    ReadAt(file.get(), header, sizeof header, 0);
    return std::string(IdentifyOpenFile(std::move(file), header, reader_).extension);
  };
  const std::string mainPart = testing::LocalEntry({"word/document.xml", "<w/>"});
  for (const size_t at : {300, 480, 511, 512, 513, 1024, 1279, 1280, 1535, 1536, 1537, 8000, 16383, 16384, 16385,
                          20000}) {
    for (const bool scanned : {false, true}) {
      if (scanned && at > 8000) continue;  // beyond the scan window
      const std::string first = testing::LocalEntry({"a.txt", std::string(at - 35, 'x'), scanned});
      const std::string lead = first.substr(0, at);  // a descriptor, if any, would follow the data
      for (const size_t tail : {size_t{256}, size_t{255}}) {
        const std::string bytes =
            lead + mainPart + std::string(tail - mainPart.size(), '\0');
        const char* expected = tail == 256 ? "docx" : "zip";
        SCOPED_TRACE(::testing::Message() << "header at " << at << (scanned ? " after a scan" : "") << ", "
                                        << tail << " bytes from it to the end");
        EXPECT_EQ(identify(bytes), expected);
        EXPECT_EQ(openAndIdentify(bytes), expected);
      }
    }
  }
}

TEST_F(FileTypeIdentifierTest, RealOfficeDocuments) {
  const std::pair<const char*, const char*> files[] = {
      {"report.doc", "doc"},   {"table.xls", "xls"},   {"slides.ppt", "ppt"},
      {"report.docx", "docx"}, {"table.xlsx", "xlsx"}, {"slides.pptx", "pptx"},  // no viewProps part
  };
  for (const auto& [name, expected] : files) EXPECT_EQ(IdentifyFileType(kFixtures / name, reader_).extension, expected) << name;
}

// Files the table does not identify, written by real programs (gzip, xz, bzip2, zstd, tar, sqlite3,
// ffmpeg, gcc) or by hand as text: each is typed by its content whatever it is named, and the
// names that fit it are kept. Other data stays unrecognised.
TEST_F(FileTypeIdentifierTest, FurtherTypesBeyondTheTable) {
  const auto name16 = [](std::string_view name) { return std::u16string(name.begin(), name.end()); };
  const std::pair<const char*, const char*> files[] = {
      {"notes.gz", "gz"},         {"notes.xz", "xz"},           {"notes.bz2", "bz2"},       {"notes.zst", "zst"},
      {"notes.tar", "tar"},       {"notes.sqlite", "sqlite"},   {"tone.flac", "flac"},      {"tone.ogg", "ogg"},
      {"tone.opus", "opus"},      {"clip.mkv", "mkv"},          {"clip.webm", "webm"},      {"sector.o", "o"},
      {"notes.txt", "txt"},       {"notes-utf8.txt", "txt"},    {"notes-utf16.txt", "txt"}, {"notes-gbk.txt", "txt"},
      {"catalog.xml", "xml"},     {"page.html", "html"},        {"picture.svg", "svg"},     {"settings.json", "json"},
      {"letter.eml", "eml"},
  };
  for (const auto& [name, expected] : files) {
    const std::filesystem::path path = kFixtures / "further" / name;
    const FileType type = IdentifyFileType(path, reader_);
    EXPECT_EQ(type.extension, expected) << name;
    // The name it was written under fits it.
    EXPECT_EQ(ListedType(type, name16(name)), path.extension().string().substr(1)) << name;
    EXPECT_EQ(identify(testing::ReadFile(path)), expected) << name << " named otherwise";
  }
  // Names of a variant are kept; text under any text name.
  EXPECT_EQ(ListedType(IdentifyFileType(kFixtures / "further/notes.gz", reader_), u"backup.tgz"), "tgz");
  EXPECT_EQ(ListedType(IdentifyFileType(kFixtures / "further/catalog.xml", reader_), u"catalog.txt"), "txt");
  EXPECT_EQ(ListedType(IdentifyFileType(kFixtures / "further/sector.o", reader_), u"sector.ko"), "ko");
  EXPECT_EQ(ListedType(IdentifyFileType(kFixtures / "further/notes.gz", reader_), u"notes.bin"), "gz");

  // Built: a disk image's volume descriptor, a PE program, fonts.
  EXPECT_EQ(identify(At(0x8001, "CD001", 0x8800)), "iso");
  std::string pe = At(0, "MZ", 1024);
  pe[0x3C] = '\x80';
  pe.replace(0x80, 4, std::string("PE\0\0", 4));
  EXPECT_EQ(identify(pe), "exe");
  EXPECT_EQ(identify(At(0, std::string("\0\1\0\0\0\x0C\0\x80\0\x03\0\x20GDEF", 16))), "ttf");
  EXPECT_EQ(identify(At(0, std::string("OTTO\0\x0C\0\x80\0\x03\0\x20" "CFF ", 16))), "otf");

  // Not text: a control byte, or too few bytes to tell a code page from other data; a gzip start
  // with reserved flags; a tar header whose checksum fails.
  EXPECT_EQ(identify("Sector\x01map\n" + std::string(600, 'x')), "");
  EXPECT_EQ(identify("\xC4\xE3\xBA\xC3\xB0\xA1"), "");
  EXPECT_EQ(identify(At(0, "\x1F\x8B\x08\xE0")), "");
  std::string tar = testing::ReadFile(kFixtures / "further/notes.tar").substr(0, 512);
  tar[100] ^= 1;
  EXPECT_EQ(identify(tar + std::string(512, '\1')), "");
}

TEST_F(FileTypeIdentifierTest, UnreadableFileHasNoType) {
  EXPECT_EQ(IdentifyFileType(dir_ / "missing", reader_).extension, "");
}

}  // namespace
}  // namespace brenvik
