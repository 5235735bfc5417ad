#include "core/RecordFile.h"
#include "platform/FileOps.h"
#include "core/TemporaryFolder.h"
#include "extension/ExtensionJob.h"

#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

#include "core/TextHelpers.h"
#include "platform/PathText.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

using testing::ReadFile;
using testing::SmallTmpfs;
using testing::TempDir;
using testing::WriteFile;

const std::string kJpeg = std::string("\xFF\xD8\xFF\xE0", 4) + std::string(100, 'j');
const std::string kPdf = "%PDF-1.4\n" + std::string(100, 'p');

struct RecordingReporter : ExtensionReporter {
  void Status(std::u16string_view text) override { statuses.emplace_back(text); }
  void AddRow(const ExtensionRow& row) override { rows.push_back(row); }
  void RowDone(int32_t row) override { renamed.push_back(row); }
  void Tally(const ExtensionCounters& c) override { statuses.push_back(TallyText(c.identified, c.scanned)); }
  std::vector<std::u16string> statuses;
  std::vector<ExtensionRow> rows;
  std::vector<int32_t> renamed;
};

std::u16string Text(const std::filesystem::path& path) { return PathToText(path); }

class ExtensionJobTest : public ::testing::Test {
 protected:
  ExtensionCheckOutcome check(bool cacheMode, std::filesystem::path temporary = {}) {
    ExtensionCheckRequest request{dir_ / "root", cacheMode, temporary.empty() ? dir_ / "tmp" : temporary};
    if (temporary.empty()) std::filesystem::create_directories(request.temporaryFolder);
    ExtensionCheckOutcome outcome = RunExtensionCheck(request, stop_, sink_);
    counters_ = outcome.counters;
    return outcome;
  }
  void cacheRename(const std::filesystem::path& root, FileIdentity rootIdentity, const std::filesystem::path& file) {
    RunExtensionRename({true, {}, file, root, rootIdentity}, stop_, sink_);
  }
  void listRename(const std::filesystem::path& root, FileIdentity rootIdentity, std::vector<ExtensionRenameRow> rows) {
    counters_.rowCounter -= RunExtensionRename({false, std::move(rows), {}, root, rootIdentity}, stop_, sink_).renamed;
  }

  TempDir dir_;
  ExtensionCounters counters_;
  std::atomic<int> stop_{0};
  RecordingReporter sink_;
};

TEST_F(ExtensionJobTest, CorrectionKeepsTheBaseAndReplacesOnlyTheLastExtension) {
  const auto root = dir_.path();
  const std::pair<const char*, const char*> renames[] = {
      {"Report.DOC", "Report.docx"}, {"a.b.doc", "a.b.docx"}, {".profile", ".profile.docx"}, {"noext", "noext.docx"},
      {"trailing.", "trailing.docx"},
  };
  for (const auto& [from, to] : renames) {
    WriteFile(root / from, from);
    EXPECT_TRUE(CorrectExtension(u"docx", Text(root / from))) << from;
    EXPECT_EQ(ReadFile(root / to), from) << to;
  }
  // Already right in any letter case: untouched, yet a success.
  WriteFile(root / "PHOTO.JPG", "jpeg");
  EXPECT_TRUE(CorrectExtension(u"jpg", Text(root / "PHOTO.JPG")));
  EXPECT_EQ(ReadFile(root / "PHOTO.JPG"), "jpeg");
  // No folder part: nothing to do.
  EXPECT_FALSE(CorrectExtension(u"jpg", u"PHOTO.JPG"));
  EXPECT_FALSE(CorrectExtension(u"jpg", u"/PHOTO.JPG"));
}

TEST_F(ExtensionJobTest, CorrectionNeverOverwritesAnExistingName) {
  WriteFile(dir_ / "Report.doc", "binary");
  WriteFile(dir_ / "Report.docx", "earlier");
  EXPECT_FALSE(CorrectExtension(u"docx", Text(dir_ / "Report.doc")));
  EXPECT_EQ(ReadFile(dir_ / "Report.doc"), "binary");
  EXPECT_EQ(ReadFile(dir_ / "Report.docx"), "earlier");
}

TEST_F(ExtensionJobTest, CorrectionRenamesReadOnlyFilesAndNamesThatAreNotUtf8) {
  const std::filesystem::path odd = dir_ / std::string("caf\xE9.TXT");  // a Latin-1 name
  WriteFile(odd, kPdf);
  ::chmod(odd.c_str(), 0444);
  EXPECT_TRUE(CorrectExtension(u"pdf", Text(odd)));
  EXPECT_EQ(ReadFile(dir_ / std::string("caf\xE9.pdf")), kPdf);
}

TEST_F(ExtensionJobTest, ListModeCheckListsIdentifiedFilesAndCountsAll) {
  WriteFile(dir_ / "root/a.bin", kJpeg);
  WriteFile(dir_ / "root/sub/b.bin", kPdf);
  WriteFile(dir_ / "root/sub/data.bin", std::string("\0\1\2\3 no known type", 18));
  const ExtensionCheckOutcome outcome = check(false);
  EXPECT_EQ(outcome.end, ExtensionCheckEnd::Completed);
  EXPECT_TRUE(outcome.resultFile.empty());
  ASSERT_EQ(sink_.rows.size(), 2u);
  EXPECT_EQ(counters_.identified, 2);
  EXPECT_EQ(counters_.scanned, 3);
  EXPECT_EQ(counters_.rowCounter, 2);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(sink_.rows[i].index, i);
  EXPECT_EQ(sink_.statuses.front(), kDetectingExtensionText);
  EXPECT_EQ(sink_.statuses.back(), kDetectExtensionCompletedText);
  EXPECT_EQ(sink_.statuses[sink_.statuses.size() - 2], u"Numbers: 2 / 3");
}

TEST_F(ExtensionJobTest, CacheModeWritesEveryRecordAndPreviewsThirtyThree) {
  for (int i = 0; i < 40; ++i) WriteFile(dir_ / "root" / ("f" + std::to_string(i) + ".bin"), kJpeg);
  const ExtensionCheckOutcome outcome = check(true);
  ASSERT_EQ(outcome.end, ExtensionCheckEnd::Completed);
  EXPECT_EQ(sink_.rows.size(), 33u);
  EXPECT_EQ(sink_.rows.back().index, 32);
  EXPECT_EQ(counters_.identified, 40);

  // Record layout: u16 type bytes, u16 path bytes, UTF-16LE type, UTF-16LE path, identity.
  const std::string records = ReadFile(outcome.resultFile);
  const std::u16string firstPath = sink_.rows.front().path;
  ASSERT_GE(records.size(), 4u);
  EXPECT_EQ(static_cast<uint8_t>(records[0]) | static_cast<uint8_t>(records[1]) << 8, 6);
  EXPECT_EQ(static_cast<size_t>(static_cast<uint8_t>(records[2]) | static_cast<uint8_t>(records[3]) << 8),
            firstPath.size() * 2);
  EXPECT_EQ(records.substr(4, 6), std::string("j\0p\0g\0", 6));
  size_t total = 0;
  for (int i = 0; i < 40; ++i)
    total += 4 + 6 + kIdentityBytes + (Text(dir_ / "root" / ("f" + std::to_string(i) + ".bin")).size() * 2);
  EXPECT_EQ(records.size(), total);

  cacheRename(dir_ / "root", outcome.rootIdentity, outcome.resultFile);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(ReadFile(dir_ / "root" / ("f" + std::to_string(i) + ".jpg")), kJpeg);
  EXPECT_EQ(sink_.statuses.back(), kModifyExtensionCompletedText);
}

TEST_F(ExtensionJobTest, CacheModeRoundTripsNamesThatAreNotUtf8) {
  WriteFile(dir_ / "root" / std::string("\xC4\xE3\xBA\xC3.doc"), kPdf);  // a GBK name
  const ExtensionCheckOutcome outcome = check(true);
  cacheRename(dir_ / "root", outcome.rootIdentity, outcome.resultFile);
  EXPECT_EQ(ReadFile(dir_ / "root" / std::string("\xC4\xE3\xBA\xC3.pdf")), kPdf);
}

TEST_F(ExtensionJobTest, CacheRenameReportsAMissingOrTruncatedResultFile) {
  // A missing result file ends the pass on its failure text, never on the completion text.
  cacheRename(dir_.path(), {}, dir_ / "missing");
  EXPECT_EQ(sink_.statuses, (std::vector<std::u16string>{std::u16string(kModifyingExtensionText),
                                                          std::u16string(kTemporaryFileAccessText)}));
  // A record cut short is not applied; the ones before it are.
  WriteFile(dir_ / "a.bin", kPdf);
  {
    UniqueFd out = CreateOutput(dir_ / "results");
    RecordFileWriter records(out.get(), RecordLength::U16);
    records.Append({u"pdf", Text(dir_ / "a.bin")}, IdentityBytes({}).view());
    records.Append({u"pdf", Text(dir_ / "b.bin")}, IdentityBytes({}).view());
  }
  std::filesystem::resize_file(dir_ / "results", std::filesystem::file_size(dir_ / "results") - 3);
  RecordTemporaryFile(dir_ / "results");  // as a Check would have made it
  WriteFile(dir_ / "b.bin", kPdf);
  cacheRename(dir_.path(), {}, dir_ / "results");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "a.pdf"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "b.bin"));
}

TEST_F(ExtensionJobTest, CacheModeCheckFailsWithoutATemporaryFolder) {
  std::filesystem::create_directories(dir_ / "root");
  const ExtensionCheckOutcome outcome = check(true, dir_ / "no such folder");
  EXPECT_EQ(outcome.end, ExtensionCheckEnd::ResultFileFailed);
  EXPECT_EQ(sink_.statuses.back(), kTemporaryFileFailedText);
}

TEST_F(ExtensionJobTest, CacheModeCheckThatCannotWriteEveryRecordFailsAndLeavesNoResultFile) {
  SmallTmpfs full("64k");
  if (!full.mounted()) GTEST_SKIP() << "a small tmpfs needs root and mount(2)";
  // Far more records than the 64 KiB the temporary folder can take.
  std::vector<std::filesystem::path> files;
  for (int i = 0; i < 600; ++i) {
    files.push_back(dir_ / "root" / (std::string(200, 'n') + std::to_string(i) + ".bin"));
    WriteFile(files.back(), kJpeg);
  }
  WriteFile(full / "mine.txt", "the user's own file");

  const ExtensionCheckOutcome outcome = check(true, full.path());
  EXPECT_EQ(outcome.end, ExtensionCheckEnd::ResultFileFailed);
  EXPECT_TRUE(outcome.resultFile.empty());
  EXPECT_EQ(sink_.statuses.back(), kTemporaryFileFailedText);
  for (const auto& entry : std::filesystem::directory_iterator(full.path()))
    EXPECT_EQ(entry.path().filename(), "mine.txt") << "a partial result file was left behind";
  EXPECT_EQ(ReadFile(full / "mine.txt"), "the user's own file");

  // Rename has no result file to work from: it says so, never that it completed, and renames nothing.
  cacheRename(dir_ / "root", outcome.rootIdentity, outcome.resultFile);
  EXPECT_EQ(sink_.statuses.back(), kTemporaryFileAccessText);
  for (const auto& file : files) EXPECT_EQ(ReadFile(file), kJpeg) << file;
}

// Files written by real programs, once under a name that fits their content and once as .bin:
// Check lists the first with its own extension and the second with the variant the content names;
// Rename then leaves every fitting name alone and corrects the .bin copies to that variant.
TEST_F(ExtensionJobTest, FittingNamesStayAndWrongOnesGetTheVariantTheContentNames) {
  namespace fs = std::filesystem;
  const fs::path data = BRENVIK_TEST_DATA;
  const std::pair<const char*, const char*> files[] = {
      {"variants/sales.odt", "odt"},    {"variants/budget.ods", "ods"},   {"variants/slides.odp", "odp"},
      {"variants/sales.docm", "docm"},  {"variants/sales.dotx", "dotx"},  {"variants/budget.xlsm", "xlsm"},
      {"variants/sales.dot", "dot"},    {"variants/budget.xlt", "xls"},   {"variants/tool.jar", "jar"},
      {"variants/book.epub", "epub"},   {"variants/app.apk", "apk"},      {"variants/plain.zip", "zip"},
      {"extension/report.doc", "doc"},  {"extension/table.xls", "xls"},   {"extension/slides.ppt", "ppt"},
      {"extension/report.docx", "docx"}, {"extension/table.xlsx", "xlsx"}, {"extension/slides.pptx", "pptx"}};
  const fs::path root = dir_ / "root";
  for (const auto& [file, variant] : files) {
    const fs::path source = data / file;
    fs::create_directories(root / "fitting");
    fs::create_directories(root / "bin");
    fs::copy_file(source, root / "fitting" / source.filename());
    fs::copy_file(source, root / "bin" / (source.filename().string() + ".bin"));
  }
  // Office refuses a package whose extension does not match its main part: these get corrected.
  fs::copy_file(data / "variants/budget.xlsm", root / "fitting/macros.xlsx");
  fs::copy_file(data / "variants/sales.dotx", root / "fitting/template.docx");
  // A carving tool's guess from another application: Excel would be handed a Word file.
  const std::pair<const char*, const char*> misnamed[] = {
      {"extension/report.doc", "report.xls"}, {"extension/table.xls", "table.doc"},
      {"extension/slides.ppt", "slides.xls"}, {"variants/sales.dot", "template.xlt"}};
  for (const auto& [file, name] : misnamed) fs::copy_file(data / file, root / "fitting" / name);

  check(false);
  std::map<fs::path, std::u16string> listed;
  std::vector<ExtensionRenameRow> rows;
  for (const ExtensionRow& row : sink_.rows) {
    listed[TextToPath(row.path)] = row.type;
    rows.push_back({row.index, row.type, row.path, row.identity});
  }
  for (const auto& [file, variant] : files) {
    const fs::path name = fs::path(file).filename();
    EXPECT_EQ(listed[root / "fitting" / name], Utf16(name.extension().string().substr(1))) << name;
    EXPECT_EQ(listed[root / "bin" / (name.string() + ".bin")], Utf16(variant)) << name;
  }
  EXPECT_EQ(listed[root / "fitting/macros.xlsx"], u"xlsm");
  EXPECT_EQ(listed[root / "fitting/template.docx"], u"dotx");
  EXPECT_EQ(listed[root / "fitting/report.xls"], u"doc");
  EXPECT_EQ(listed[root / "fitting/table.doc"], u"xls");
  EXPECT_EQ(listed[root / "fitting/slides.xls"], u"ppt");
  EXPECT_EQ(listed[root / "fitting/template.xlt"], u"dot");

  listRename(root, FolderIdentity(root), rows);
  for (const auto& [file, variant] : files) {
    const fs::path name = fs::path(file).filename();
    EXPECT_EQ(ReadFile(root / "fitting" / name), ReadFile(data / file)) << name;
    EXPECT_EQ(ReadFile(root / "bin" / (name.string() + "." + variant)), ReadFile(data / file)) << name;
  }
  EXPECT_TRUE(fs::exists(root / "fitting/macros.xlsm"));
  EXPECT_TRUE(fs::exists(root / "fitting/template.dotx"));
  for (const char* name : {"report.doc", "table.xls", "slides.ppt", "template.dot"})
    EXPECT_TRUE(fs::exists(root / "fitting" / name)) << name;
  const auto filesIn = [](const fs::path& folder) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
  };
  EXPECT_EQ(filesIn(root / "fitting"), std::size(files) + 2 + std::size(misnamed));
  EXPECT_EQ(filesIn(root / "bin"), std::size(files));
}

// Types known by their first bytes alone keep every extension of their kind; a name of another
// kind is corrected as before.
TEST_F(ExtensionJobTest, SignatureTypesKeepTheVariantsOfTheirKind) {
  const std::string ftyp = std::string("\0\0\0\x20", 4) + "ftypM4A " + std::string(100, 'm');
  const std::pair<const char*, std::string> kept[] = {
      {"photo.JPEG", kJpeg},         {"photo.jfif", kJpeg},
      {"scan.tiff", std::string("II*\0", 4) + std::string(100, 't')},
      {"raw.dng", std::string("II*\0", 4) + std::string(100, 't')},
      {"song.m4a", ftyp},            {"clip.mov", ftyp},
      {"setup.exe", std::string("MZ\x90\0", 4) + std::string(100, 'x')},
      {"movie.wmv", std::string("\x30\x26\xB2\x75", 4) + std::string(100, 'w')},
      {"artwork.ai", kPdf},
      {"data.accdb", std::string(4, '\0') + "Standard ACE DB" + std::string(100, 'a')},
  };
  for (const auto& [name, bytes] : kept) WriteFile(dir_ / "root" / name, bytes);
  WriteFile(dir_ / "root/photo.png", kJpeg);
  check(false);
  std::map<std::u16string, std::u16string> listed;
  for (const ExtensionRow& row : sink_.rows) listed[row.path.substr(row.path.rfind(u'/') + 1)] = row.type;
  for (const auto& [name, bytes] : kept) {
    const std::u16string text = Utf16(name);
    const std::u16string own = text.substr(text.rfind(u'.') + 1);
    std::u16string lower;
    for (char16_t c : own) lower += c >= u'A' && c <= u'Z' ? c + 32 : c;
    EXPECT_EQ(listed[text], lower) << name;
  }
  EXPECT_EQ(listed[u"photo.png"], u"jpg");
}

TEST_F(ExtensionJobTest, ListRenameWorksFromTheLastRowAndKeepsFailures) {
  WriteFile(dir_ / "a.bin", kPdf);
  WriteFile(dir_ / "b.bin", kPdf);
  WriteFile(dir_ / "b.pdf", "taken");
  WriteFile(dir_ / "c.bin", kJpeg);
  counters_.rowCounter = 4;
  const std::vector<ExtensionRenameRow> rows = {
      {0, u"pdf", Text(dir_ / "a.bin")}, {1, u"pdf", Text(dir_ / "b.bin")}, {3, u"jpg", Text(dir_ / "c.bin")}};
  listRename(dir_.path(), {}, rows);
  EXPECT_EQ(sink_.renamed, (std::vector<int32_t>{3, 0}));
  EXPECT_EQ(counters_.rowCounter, 2);
  EXPECT_EQ(ReadFile(dir_ / "b.pdf"), "taken");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "b.bin"));
}

// Between Check and Rename the tree changes under the listed names: a folder becomes a link to an
// outside folder, a file is replaced by another of the same name, and then the root itself is
// re-pointed. Nothing outside is renamed and no changed name is acted on; those rows stay as a
// failed rename's would, and the file that did not change is still corrected.
TEST_F(ExtensionJobTest, RenameActsOnlyOnTheFilesCheckListedBelowItsRoot) {
  namespace fs = std::filesystem;
  const fs::path root = dir_ / "root";
  for (const bool cacheMode : {false, true}) {
    SCOPED_TRACE(cacheMode ? "cache mode" : "list mode");
    TempDir outside;
    fs::remove_all(root);
    WriteFile(root / "sub/a.bin", kJpeg);
    WriteFile(root / "b.bin", kPdf);
    WriteFile(root / "c.bin", kJpeg);
    WriteFile(outside / "a.bin", "outside a");
    const auto rename = [&](const ExtensionCheckOutcome& outcome) {
      sink_.renamed.clear();
      if (cacheMode) return cacheRename(root, outcome.rootIdentity, outcome.resultFile);
      std::vector<ExtensionRenameRow> rows;
      for (const ExtensionRow& row : sink_.rows) rows.push_back({row.index, row.type, row.path, row.identity});
      listRename(root, outcome.rootIdentity, rows);
    };

    sink_.rows.clear();
    ExtensionCheckOutcome outcome = check(cacheMode);
    ASSERT_EQ(sink_.rows.size(), 3u);
    fs::rename(root / "sub", dir_ / "sub-moved");
    fs::create_directory_symlink(outside.path(), root / "sub");
    WriteFile(root / "b.new", "another file");  // made first, so it cannot reuse the old inode
    fs::rename(root / "b.new", root / "b.bin");
    rename(outcome);
    EXPECT_EQ(ReadFile(outside / "a.bin"), "outside a");
    EXPECT_FALSE(fs::exists(outside / "a.jpg"));
    EXPECT_TRUE(fs::exists(dir_ / "sub-moved/a.bin"));
    EXPECT_EQ(ReadFile(root / "b.bin"), "another file");
    EXPECT_FALSE(fs::exists(root / "b.pdf"));
    EXPECT_EQ(ReadFile(root / "c.jpg"), kJpeg);
    if (!cacheMode) {
      ASSERT_EQ(sink_.renamed.size(), 1u);  // only c's row leaves the list
      EXPECT_EQ(sink_.rows[static_cast<size_t>(sink_.renamed[0])].path, Text(root / "c.bin"));
    }

    // The root path re-pointed at another folder holding the same names.
    fs::remove_all(root);
    fs::remove_all(dir_ / "sub-moved");
    WriteFile(root / "d.bin", kPdf);
    sink_.rows.clear();
    outcome = check(cacheMode);
    fs::rename(root, dir_ / "root-moved");
    WriteFile(outside / "d.bin", kPdf);
    fs::create_directory_symlink(outside.path(), root);
    rename(outcome);
    EXPECT_EQ(ReadFile(outside / "d.bin"), kPdf);
    EXPECT_FALSE(fs::exists(outside / "d.pdf"));
    EXPECT_TRUE(sink_.renamed.empty());
    fs::remove(root);
    fs::rename(dir_ / "root-moved", root);
  }
}

TEST_F(ExtensionJobTest, StopEndsPassesEarly) {
  for (int i = 0; i < 5; ++i) WriteFile(dir_ / "root" / ("f" + std::to_string(i)), kJpeg);
  stop_ = 1;
  EXPECT_EQ(check(true).end, ExtensionCheckEnd::Stopped);
  EXPECT_EQ(counters_.scanned, 0);
  EXPECT_EQ(sink_.statuses.back(), kDetectExtensionCompletedText);
  listRename(dir_ / "root", {}, {{0, u"jpg", Text(dir_ / "root/f0")}});
  EXPECT_TRUE(sink_.renamed.empty());
}

}  // namespace
}  // namespace brenvik
