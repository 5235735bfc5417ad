#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "core/TemporaryFolder.h"
#include "platform/NoFollow.h"
#include "readers/DocumentReader.h"
#include "readers/ZipArchive.h"
#include "tests/readers/ArchiveBuilders.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using namespace testing;

const std::string kWordNamespace = R"(xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main")";

std::string Document(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><w:document " + kWordNamespace + "><w:body>" + body +
         "</w:body></w:document>";
}
std::string Paragraph(const std::string& runs) { return "<w:p><w:pPr/>" + runs + "</w:p>"; }
std::string TextRun(const std::string& text) { return "<w:r><w:rPr/><w:t xml:space=\"preserve\">" + text + "</w:t></w:r>"; }

std::string Workbook(const std::string& sheets) {
  return "<?xml version=\"1.0\"?><workbook><bookViews/><sheets>" + sheets + "</sheets></workbook>";
}
std::string SharedStrings(const std::string& items) { return "<?xml version=\"1.0\"?><sst count=\"1\">" + items + "</sst>"; }
std::string Sheet1(const std::string& cells) {
  return "<?xml version=\"1.0\"?><worksheet><sheetData><row r=\"1\">" + cells + "</row></sheetData></worksheet>";
}

class OoxmlTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    reader.choices.temporaryFolder = dir / "tvk";
  }
  DocumentReader& docx(const std::vector<ZipEntry>& entries) {
    EXPECT_TRUE(WriteZip(dir / "a.docx", entries));
    reader.ReadDocx(dir / "a.docx");
    return reader;
  }
  DocumentReader& xlsx(const std::vector<ZipEntry>& entries) {
    EXPECT_TRUE(WriteZip(dir / "a.xlsx", entries));
    reader.ReadXlsx(dir / "a.xlsx");
    return reader;
  }
  TempDir dir;
  DocumentReader reader;
};

TEST_F(OoxmlTextTest, RealDocumentsFromAnOfficeSuite) {
  const std::filesystem::path data = BRENVIK_TEST_DATA;
  reader.ReadDocx(data / "report.docx");
  EXPECT_EQ(reader.contentText, u"AnnualReport2011Q3finalSecondparagraphCellACellB年度报告一丁");
  EXPECT_EQ(reader.dateText, u"2026-12-07 21-32-48");  // the entries' stored local time

  reader.choices.sheet = 1;
  reader.ReadXlsx(data / "budget.xlsx");
  EXPECT_EQ(reader.sheetText, u"Sheet1Data");
  EXPECT_EQ(reader.contentText, u"Budget2012TravelcostsRawnumbers");
  EXPECT_FALSE(reader.dateText.empty());

  // Saved at 06:07:09 UTC, read in UTC.
  reader.ReadWordDocument(data / "report.doc");
  EXPECT_EQ(reader.dateText, u"2012-03-05 06-07-09");
  EXPECT_EQ(reader.contentText, u"AnnualReport2011Q3finalSecondparagraphCellACellB年度报告一丁");

  reader.ReadExcelWorkbook(data / "budget.xls");
  EXPECT_EQ(reader.dateText, u"2012-03-05 06-07-09");
  EXPECT_EQ(reader.sheetText, u"Sheet1Data");
  EXPECT_EQ(reader.contentText, u"Budget2012TravelcostsRawnumbers");
}

TEST_F(OoxmlTextTest, DocumentTextFollowsTheFixedElementPaths) {
  const std::string body =
      "<w:tbl><w:tblPr/><w:tr><w:tc><w:p>" + TextRun("Cell1") + "</w:p></w:tc><w:tc><w:p>" + TextRun("Cell2") +
      "</w:p></w:tc></w:tr><w:tr><w:tc><w:p>" + TextRun("Cell3") + "</w:p></w:tc></w:tr></w:tbl>" +
      Paragraph(TextRun("Annual") + TextRun(" ") + TextRun("Report")) +
      Paragraph("<w:r><w:t>First</w:t><w:t>Second</w:t></w:r>") +
      Paragraph("<w:hyperlink>" + TextRun("Linked") + "</w:hyperlink><w:ins>" + TextRun("Inserted") + "</w:ins>" +
                TextRun("Plain&amp;Simple") + "<w:r><w:t><![CDATA[Raw]]></w:t></w:r>") +
      "<w:sdt><w:sdtContent>" + Paragraph(TextRun("Tagged")) + "</w:sdtContent></w:sdt><w:sectPr/>";
  docx({{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", Document(body), 2013}});
  EXPECT_EQ(reader.contentText, u"Cell1Cell2Cell3AnnualReportFirstPlain&SimpleRaw");
  EXPECT_EQ(reader.dateText, u"2013-03-05 06-07-10");

  reader.choices.nameLengthLimit = 12;
  reader.ReadDocx(dir / "a.docx");
  EXPECT_EQ(reader.contentText, u"Cell1Cell2Cell3");
}

TEST_F(OoxmlTextTest, APartLeftByAnEarlierFileIsNeverRead) {
  docx({{"word/document.xml", Document(Paragraph(TextRun("Earlier")))}});
  EXPECT_EQ(reader.contentText, u"Earlier");
  // A damaged package, then one without a document part: the part on disk is not theirs.
  WriteFile(dir / "bad.docx", "PK\x03\x04 damaged");
  reader.ReadDocx(dir / "bad.docx");
  EXPECT_EQ(reader.contentText, u"");
  EXPECT_EQ(reader.dateText, u"");
  docx({{"word/other.xml", "<x/>"}});
  EXPECT_EQ(reader.contentText, u"");
  // Not well-formed XML gives nothing either.
  docx({{"word/document.xml", "<w:document><w:body><w:p>"}});
  EXPECT_EQ(reader.contentText, u"");
}

TEST_F(OoxmlTextTest, WorkbookNamesSharedStringsAndTheNewestPartTime) {
  const std::vector<ZipEntry> entries{
      {"xl/workbook.xml", Workbook("<sheet name=\"Sheet 1\"/><sheet name=\"Data\" other=\"x\"/><view name=\"No\"/>"), 2010},
      {"xl/sharedStrings.xml",
       SharedStrings("<si><t>Budget</t></si><si><r><t>Rich</t></r><r><t>Text</t></r></si><si><t>A</t><t>B</t></si>"),
       2012},
      {"xl/worksheets/sheet1.xml", Sheet1("<c t=\"inlineStr\"><is><t>Inline</t></is></c>"), 2011}};
  reader.choices.sheet = 1;
  xlsx(entries);
  EXPECT_EQ(reader.sheetText, u"Sheet1Data");
  EXPECT_EQ(reader.contentText, u"BudgetRichTextAB");
  EXPECT_EQ(reader.dateText, u"2012-03-05 06-07-10");

  // Sheet off, Content on: the workbook part is extracted, yet no sheet names.
  reader.choices.sheet = 0;
  reader.ReadXlsx(dir / "a.xlsx");
  EXPECT_EQ(reader.sheetText, u"");
  EXPECT_EQ(reader.contentText, u"BudgetRichTextAB");
  reader.choices.content = 0;
  reader.ReadXlsx(dir / "a.xlsx");
  EXPECT_EQ(reader.contentText, u"");
}

TEST_F(OoxmlTextTest, SpacesOnlySharedStringsFallBackToInlineStrings) {
  xlsx({{"xl/sharedStrings.xml", SharedStrings("<si><t xml:space=\"preserve\">   </t></si>")},
        {"xl/worksheets/sheet1.xml",
         Sheet1("<c t=\"s\"><v>0</v></c><c><v>42</v></c><c t=\"inlineStr\"><is><t>Inline text</t></is></c>")}});
  EXPECT_EQ(reader.contentText, u"Inlinetext");
}

TEST_F(OoxmlTextTest, ALaterItemOfTheSameNameReplacesThePart) {
  reader.choices.sheet = 1;
  xlsx({{"xl/workbook.xml", Workbook("<sheet name=\"Old\"/>")},
        {"xl/workbook.xml.bak", Workbook("<sheet name=\"Backup\"/>")}});
  EXPECT_EQ(reader.sheetText, u"Backup");
}

TEST_F(OoxmlTextTest, EntryNamesCannotLeadOutsideTheTemporaryFolder) {
  // Parts always go to their fixed place; a hostile name only has to match it.
  docx({{"../../word/document.xml", Document(Paragraph(TextRun("Escaped")))}});
  EXPECT_EQ(reader.contentText, u"Escaped");
  docx({{"C:\\word\\document.xml", Document(Paragraph(TextRun("Drive")))}});
  EXPECT_EQ(reader.contentText, u"Drive");
  EXPECT_FALSE(std::filesystem::exists(dir / "word"));

  // A symbolic link planted in the temporary folder is neither followed nor written through.
  std::filesystem::remove_all(dir / "tvk");
  std::filesystem::create_directories(dir / "tvk");
  std::filesystem::create_directories(dir / "victim");
  WriteFile(dir / "victim/document.xml", "precious");
  ::symlink((dir / "victim").c_str(), (dir / "tvk/word").c_str());
  docx({{"word/document.xml", Document(Paragraph(TextRun("Text")))}});
  EXPECT_EQ(reader.contentText, u"Text");
  EXPECT_EQ(ReadFile(dir / "victim/document.xml"), "precious");
}

TEST_F(OoxmlTextTest, SafeEntryNames) {
  EXPECT_EQ(SafeEntryName(u"C:\\docs\\a.txt"), u"docs/a.txt");
  EXPECT_EQ(SafeEntryName(u"//server/../x/./y.txt"), u"x/y.txt");
  EXPECT_EQ(SafeEntryName(u"a/b/.."), u"");
}

TEST_F(OoxmlTextTest, AnOverLargePartCountsAsMissing) {
  ASSERT_TRUE(WriteZip(dir / "big.zip", {{"part.xml", std::string(100'000, 'x')}}));
  std::filesystem::create_directories(dir / "out");
  ZipArchive archive(dir / "big.zip");
  ASSERT_TRUE(archive.First());
  const UniqueFd out = OpenFolder(dir / "out");
  EXPECT_FALSE(archive.ExtractCurrent(out.get(), "part.xml", 50'000));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "out"));
  EXPECT_TRUE(archive.ExtractCurrent(out.get(), "part.xml", 100'000));
  EXPECT_EQ(ReadFile(dir / "out/part.xml").size(), 100'000u);
}

TEST_F(OoxmlTextTest, AnOverLongPartPathIsNotRead) {
  // A folder whose part path takes exactly 511 bytes, 512 with the terminating NUL.
  std::filesystem::path folder = dir.path();
  while (folder.native().size() + 1 + 200 + std::string("/word/document.xml").size() < 511)
    folder /= std::string(200, 'f');
  folder /= std::string(511 - folder.native().size() - 1 - std::string("/word/document.xml").size(), 'f');
  ASSERT_EQ((folder / "word/document.xml").native().size(), 511u);
  reader.choices.temporaryFolder = folder;
  docx({{"word/document.xml", Document(Paragraph(TextRun("Text")))}});
  EXPECT_EQ(reader.contentText, u"");
  ClearTemporaryFolders();
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  // One byte shorter and the same part is read.
  reader.choices.temporaryFolder = folder.parent_path() / std::string(folder.filename().native().size() - 1, 'g');
  docx({{"word/document.xml", Document(Paragraph(TextRun("Text")))}});
  EXPECT_EQ(reader.contentText, u"Text");
}

// Two pages reading documents at the same time through one temporary folder never see each
// other's parts.
TEST_F(OoxmlTextTest, ReadersOnTwoThreadsKeepTheirPartsApart) {
  ASSERT_TRUE(WriteZip(dir / "first.docx", {{"word/document.xml", Document(Paragraph(TextRun("First")))}}));
  ASSERT_TRUE(WriteZip(dir / "second.docx", {{"word/document.xml", Document(Paragraph(TextRun("Second")))}}));
  std::atomic<int> wrong{0};
  const auto readMany = [&](const char* file, std::u16string_view expected) {
    DocumentReader own;
    own.choices.temporaryFolder = dir / "tvk";
    for (int i = 0; i < 2000; ++i) {
      own.ReadDocx(dir / file);
      if (own.contentText != expected) ++wrong;
    }
  };
  std::thread other(readMany, "second.docx", u"Second");
  readMany("first.docx", u"First");
  other.join();
  EXPECT_EQ(wrong.load(), 0);
}

// The user pointed Settings at a folder that holds files of the parts' names: reading documents
// changes none of them, leaves nothing behind, and closing removes none of them.
TEST_F(OoxmlTextTest, AFolderTheUserChoseKeepsItsOwnFilesOfThePartNames) {
  const auto chosen = dir / "chosen";
  const std::vector<std::string> names = {"word/document.xml", "xl/workbook.xml", "xl/sharedStrings.xml",
                                          "xl/worksheets/sheet1.xml"};
  for (const auto& name : names) WriteFile(chosen / name, "the user's own " + name);
  ::symlink((dir / "a.docx").c_str(), (chosen / "link").c_str());
  reader.choices.temporaryFolder = chosen;
  reader.choices.sheet = 1;

  docx({{"word/document.xml", Document(Paragraph(TextRun("Report")))}});
  EXPECT_EQ(reader.contentText, u"Report");
  xlsx({{"xl/workbook.xml", Workbook("<sheet name=\"Costs\"/>")},
        {"xl/sharedStrings.xml", SharedStrings("<si><t>   </t></si>")},
        {"xl/worksheets/sheet1.xml", Sheet1("<c t=\"inlineStr\"><is><t>Inline</t></is></c>")}});
  EXPECT_EQ(reader.sheetText, u"Costs");
  EXPECT_EQ(reader.contentText, u"Inline");
  ClearTemporaryFolders();

  size_t entries = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(chosen)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u + 2u + 1u + names.size()) << "link, word/, xl/, xl/worksheets/ and the user's files only";
  for (const auto& name : names) EXPECT_EQ(ReadFile(chosen / name), "the user's own " + name) << name;
  EXPECT_TRUE(std::filesystem::is_symlink(chosen / "link"));
}

}  // namespace
}  // namespace brenvik
