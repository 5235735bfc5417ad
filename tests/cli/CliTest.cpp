// brenvik-cli run as a user runs it, on trees and images made here; what it prints and does is
// compared with what the engines give for the same request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/TextHelpers.h"
#include "dbrepair/BlockRepair.h"
#include "disk/DiskInventory.h"
#include "disk/ImagingJob.h"
#include "extension/ExtensionJob.h"
#include "invalid_files/InvalidFileCriteria.h"
#include "invalid_files/InvalidFileScan.h"
#include "journal/JobJournal.h"
#include "platform/PathText.h"
#include "raid/RaidAnalysis.h"
#include "rename/RenameJob.h"
#include "tests/disk/FakeDiskTree.h"
#include "tests/raid/MftRecordBuilder.h"
#include "tests/raid/StripedArray.h"
#include "tests/support/TempDir.h"

namespace brenvik {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct CliRun {
  int status = -1;  // the exit status, or 128 + the signal that ended it
  std::string out, err;
};

// Starts brenvik-cli with `args` and the environment variables `environment` ("NAME=value") set;
// its standard output and error go to files in `dir`.
pid_t Start(const TempDir& dir, const std::vector<std::string>& args, const std::vector<std::string>& environment = {}) {
  const pid_t child = ::fork();
  if (child == 0) {
    for (const std::string& variable : environment) ::putenv(const_cast<char*>(variable.c_str()));
    ::dup2(::open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    std::vector<char*> argv{const_cast<char*>(BRENVIK_CLI)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(BRENVIK_CLI, argv.data());
    ::_exit(127);
  }
  return child;
}

CliRun Finish(const TempDir& dir, pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(dir / "stdout"),
          ReadFile(dir / "stderr")};
}

CliRun Cli(const std::vector<std::string>& args, const std::vector<std::string>& environment = {}) {
  TempDir io;
  return Finish(io, Start(io, args, environment));
}

std::string Cell(std::u16string_view text) { return TextToBytes(text); }

// Collects what a job lists, formatted as the command line prints a row.
template <class RowT, class TallyT>
struct Lines : JobReporter<RowT, TallyT> {
  std::function<std::string(const RowT&)> format;
  std::string text;
  void AddRow(const RowT& row) override { text += format(row) + "\n"; }
};

TEST(BrenvikCli, InvalidFilesListsWhatTheScanFindsAndDeletesEveryFileInCacheMode) {
  TempDir dir;
  const fs::path root = dir / "recovered";
  WriteFile(root / "a/broken.jpg", "not a jpeg at all");
  WriteFile(root / "a/ok.txt", "fine");
  WriteFile(root / std::string("b/\xC4\xE3.jpg"), "also broken");  // a name that is not UTF-8
  for (int i = 0; i < 40; ++i) WriteFile(root / "many" / ("f" + std::to_string(i) + ".pdf"), "junk");

  InvalidFileDetector detector;
  CriteriaInput input;
  input.root = PathToText(root);
  input.checkedNameRules.assign(kDefaultNameRules.begin(), kDefaultNameRules.end());
  input.checkedExtensions.assign(kDefaultExtensions.begin(), kDefaultExtensions.end());
  input.headerChecked = true;
  ASSERT_EQ(CollectCriteria(input, detector), CriteriaRefusal::None);
  Lines<ResultRow, ScanTally> engine;
  engine.format = [](const ResultRow& row) {
    return std::to_string(row.index) + "\t" + Cell(FormatSizeText(row.size)) + "\t" + Cell(StatusText(row.verdict)) +
           "\t" + row.path.string();
  };
  std::atomic<int> stop{0};
  const ScanOutcome outcome = RunInvalidFileScan({detector, kCacheModeList, {}}, stop, engine);
  EXPECT_EQ(outcome.tally.invalidCount, 42);

  const CliRun listed = Cli({"invalid-files", root, "--cache-mode", "list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, engine.text);
  EXPECT_NE(listed.err.find("Detect invalid files completed"), std::string::npos);
  const CliRun json = Cli({"invalid-files", root, "--cache-mode=list", "--json"});
  EXPECT_NE(json.out.find("\"Path\":\"" + (root / "b").string() + "/\\udcc4\\udce3.jpg\""), std::string::npos)
      << json.out;
  // Values for programs come first: whole numbers, the size in bytes, the status word.
  EXPECT_NE(json.out.find("\"size\":17,\"status\":\"type\",\"path\":\"" + (root / "a/broken.jpg").string() +
                          "\",\"Index\":"),
            std::string::npos)
      << json.out;

  // The page's cache mode lists its 33 rows; by default every row is listed as found, each kept
  // only in the result file, and Delete moves every invalid file aside; no result file stays.
  const fs::path temporary = dir / "tmp";
  const CliRun preview = Cli({"invalid-files", root, "--cache-mode", "files", "--temporary-path", temporary});
  EXPECT_EQ(std::count(preview.out.begin(), preview.out.end(), '\n'), kCachePreviewRows);
  const CliRun deleted = Cli({"invalid-files", root, "--delete", "--temporary-path", temporary});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_EQ(deleted.out, engine.text);
  EXPECT_NE(deleted.err.find("Delete invalid files completed"), std::string::npos);
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/many/f39.pdf"), "junk");
  EXPECT_EQ(ReadFile(root / std::string("DEAD_DEAD_DEAD/b/\xC4\xE3.jpg")), "also broken");
  EXPECT_EQ(ReadFile(root / "a/ok.txt"), "fine");
  EXPECT_TRUE(fs::is_empty(temporary));
}

// --damaged lists damaged and carved-past-the-end files with a Reason column, and --delete moves
// the damaged ones aside (even with --cut-to-dead no, saying so) but leaves the tails.
TEST(BrenvikCli, InvalidFilesDamagedListsAReasonAndDeleteKeepsTails) {
  TempDir dir;
  const fs::path root = dir / "recovered";
  const std::string photo = ReadFile(fs::path(BRENVIK_TEST_DATA) / "damage/photo.jpg");
  WriteFile(root / "whole.jpg", photo);
  WriteFile(root / "cut.jpg", photo.substr(0, 2000));
  WriteFile(root / "carved.jpg", photo + "after");
  const CliRun listed = Cli({"invalid-files", root, "--damaged", "--uncheck-extension", "jpg"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("\tdamaged\t" + (root / "cut.jpg").string() + "\tjpeg: data ends before the end marker\n"),
            std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\ttail\t" + (root / "carved.jpg").string() + "\t5 bytes after the end\n"),
            std::string::npos) << listed.out;
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 2);

  WriteFile(root / "DEAD_DEAD_DEAD/cut.jpg", photo);  // moved aside by an earlier Delete, and whole
  const CliRun deleted = Cli({"invalid-files", root, "--damaged", "--delete", "--cut-to-dead", "no",
                              "--temporary-path", dir / "tmp"});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_NE(deleted.err.find("Damaged files, duplicates and thumbnails were moved aside to DEAD_DEAD_DEAD, not deleted: 1"), std::string::npos)
      << deleted.err;
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/cut.jpg"), photo);
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/cut (2).jpg").size(), 2000u);
  EXPECT_EQ(ReadFile(root / "carved.jpg").size(), photo.size() + 5);
  EXPECT_EQ(ReadFile(root / "whole.jpg"), photo);
}

// --duplicates and --thumbnails list a copy with the file kept and a thumbnail with its picture,
// and --delete moves both aside even with --cut-to-dead no.
TEST(BrenvikCli, InvalidFilesDuplicatesAndThumbnailsAreMovedAside) {
  TempDir dir;
  const fs::path root = dir / "recovered";
  const fs::path data = fs::path(BRENVIK_TEST_DATA) / "thumbnail";
  WriteFile(root / "a/notes.txt", "the same notes");
  WriteFile(root / "b/notes.txt", "the same notes");
  WriteFile(root / "f0000072.jpg", ReadFile(data / "f0000072.jpg"));
  WriteFile(root / "t0000072.jpg", ReadFile(data / "t0000072.jpg"));
  const CliRun listed = Cli({"invalid-files", root, "--duplicates", "--thumbnails", "--cache-mode", "list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  const bool aFirst = listed.out.find("\tduplicate\t" + (root / "b/notes.txt").string() + "\t" +
                                      (root / "a/notes.txt").string() + "\n") != std::string::npos;
  const bool bFirst = listed.out.find("\tduplicate\t" + (root / "a/notes.txt").string() + "\t" +
                                      (root / "b/notes.txt").string() + "\n") != std::string::npos;
  EXPECT_TRUE(aFirst != bFirst) << listed.out;
  EXPECT_NE(listed.out.find("\tthumbnail\t" + (root / "t0000072.jpg").string() + "\t" +
                            (root / "f0000072.jpg").string() + "\n"), std::string::npos) << listed.out;
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 2);

  const CliRun deleted = Cli({"invalid-files", root, "--duplicates", "--thumbnails", "--delete", "--cut-to-dead", "no",
                              "--temporary-path", dir / "tmp"});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_NE(deleted.err.find("thumbnails were moved aside to DEAD_DEAD_DEAD, not deleted: 2"), std::string::npos)
      << deleted.err;
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/t0000072.jpg"), ReadFile(data / "t0000072.jpg"));
  EXPECT_EQ(ReadFile(root / (aFirst ? "a/notes.txt" : "b/notes.txt")), "the same notes");
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD" / (aFirst ? "b/notes.txt" : "a/notes.txt")), "the same notes");
}

TEST(BrenvikCli, ExtensionAndRenameListWhatTheirChecksListAndRenameEveryFile) {
  TempDir dir;
  const fs::path root = dir / "tree";
  for (int i = 0; i < 40; ++i) WriteFile(root / ("f" + std::to_string(i) + ".bin"), "%PDF-1.4\n" + std::string(64, 'p'));
  WriteFile(root / "notes.txt", "plain words");

  Lines<ExtensionRow, ExtensionCounters> extension;
  extension.format = [](const ExtensionRow& row) {
    return std::to_string(row.index) + "\t" + Cell(row.type) + "\t" + Cell(row.path);
  };
  std::atomic<int> stop{0};
  RunExtensionCheck({root, false, {}}, stop, extension);
  const CliRun checked = Cli({"extension", root, "--cache-mode", "list"});
  EXPECT_EQ(checked.status, 0) << checked.err;
  EXPECT_EQ(checked.out, extension.text);

  RenameChoices txt;
  txt.selectedTypes = kRenameTxt;
  txt.settings.cacheMode = kCacheModeList;
  Lines<RenameRow, RenameNumbers> rename;
  rename.format = [](const RenameRow& row) { return std::to_string(row.index) + "\t" + Cell(row.path); };
  RunRenameCheck({txt, root}, stop, rename);
  const CliRun selected = Cli({"rename", root, "--types", "txt", "--cache-mode", "list"});
  EXPECT_EQ(selected.status, 0) << selected.err;
  EXPECT_EQ(selected.out, rename.text);

  const CliRun renamed = Cli({"extension", root, "--rename", "--temporary-path", dir / "tmp"});
  EXPECT_EQ(renamed.status, 0) << renamed.err;
  EXPECT_EQ(renamed.out, extension.text);
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(fs::exists(root / ("f" + std::to_string(i) + ".pdf"))) << i;
  EXPECT_NE(renamed.err.find("Modify extension completed"), std::string::npos);
}

// Real files under fitting names of a variant of their type keep them; a wrong name is corrected
// to the variant the content names, a Word document named as a workbook too.
TEST(BrenvikCli, ExtensionKeepsNamesOfAVariantOfTheType) {
  TempDir dir;
  const fs::path data = BRENVIK_TEST_DATA "/variants";
  const fs::path root = dir / "recovered";
  fs::create_directories(root);
  for (const char* name : {"tool.jar", "sales.odt", "budget.xlsm", "book.epub"}) fs::copy_file(data / name, root / name);
  fs::copy_file(data / "sales.docm", root / "f0001.bin");
  fs::copy_file(data / "sales.dot", root / "f0002.xls");
  const CliRun run = Cli({"extension", root, "--cache-mode", "list", "--rename"});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const char* name : {"tool.jar", "sales.odt", "budget.xlsm", "book.epub"})
    EXPECT_EQ(ReadFile(root / name), ReadFile(data / name)) << name;
  EXPECT_EQ(ReadFile(root / "f0001.docm"), ReadFile(data / "sales.docm"));
  EXPECT_EQ(ReadFile(root / "f0002.dot"), ReadFile(data / "sales.dot"));
  EXPECT_NE(run.out.find("\tjar\t" + (root / "tool.jar").string() + "\n"), std::string::npos) << run.out;

  // A gzip file the table does not know is typed by the further rules; a Java class file only by
  // libmagic, with --more-types.
  fs::copy_file(BRENVIK_TEST_DATA "/extension/further/notes.gz", root / "f0003.bin");
  WriteFile(root / "Main.dat", std::string("\xCA\xFE\xBA\xBE\0\0\0\x34\0\x10", 10) + std::string(64, '\0'));
  EXPECT_EQ(Cli({"extension", root, "--cache-mode", "list", "--rename"}).status, 0);
  EXPECT_TRUE(fs::exists(root / "f0003.gz"));
  EXPECT_TRUE(fs::exists(root / "Main.dat"));
  EXPECT_EQ(Cli({"extension", root, "--cache-mode", "list", "--rename", "--more-types"}).status, 0);
  EXPECT_TRUE(fs::exists(root / "Main.class"));
}

// Text in UTF-8 without a byte-order mark names its file as the text reads in every locale, and a
// Word document's name keeps every character and takes the date in the machine's time zone: saved
// at 21:10:05 UTC on 12 July 2019, it is 13 July at UTC+8 and still 12 July in Berlin. A
// workbook's accented text reads the same in every locale. An archive whose entry carries only its
// DOS time, 02:30 on the night Berlin skips that hour, is named 02-30 everywhere; one whose entry
// also carries the true moment (02:30 UTC) is named by that moment in the local zone.
TEST(BrenvikCli, RenameNamesReadAsTheirTextInEveryLocaleAndTimeZone) {
  const fs::path data = BRENVIK_TEST_DATA;
  const std::pair<const char*, const char*> texts[] = {
      {"cs.txt", "Zprávaočinnostizarok2019Příloharozpočet#"},
      {"zh.txt", "年度销售报告二〇一九年度第三季度#"},
      {"ja.txt", "年次報告書営業部売上の概要#"}};
  struct Zone {
    const char* tz;
    const char* date;
    const char* workbookDate;
    const char* extendedZipDate;
    const char* photoDate;  // taken at 14:22:05 at UTC+2
  };
  const Zone zones[] = {
      {"TZ=CST-8", "2019-07-13 05-10-05", "2012-03-05 14-07-09", "2021-03-28 10-30-00", "2019-06-01 20-22-05"},
      {"TZ=Europe/Berlin", "2019-07-12 23-10-05", "2012-03-05 07-07-09", "2021-03-28 04-30-00", "2019-06-01 14-22-05"}};
  for (const char* locale : {"C.UTF-8", "en_US.UTF-8", "zh_CN.UTF-8"}) {
    for (const auto& [zone, date, workbookDate, extendedZipDate, photoDate] : zones) {
      SCOPED_TRACE(std::string(locale) + " " + zone);
      TempDir dir;
      for (const auto& [name, expected] : texts) fs::copy_file(data / "text" / name, dir / name);
      fs::copy_file(data / "rename/sales.doc", dir / "00042.doc");
      fs::copy_file(data / "rename/kiadasok.xls", dir / "00043.xls");
      fs::copy_file(data / "readers/wallclock.zip", dir / "00044.zip");
      fs::copy_file(data / "readers/extended.zip", dir / "00045.zip");
      fs::copy_file(data / "rename/photo.jpg", dir / "00046.jpg");
      const CliRun run = Cli({"rename", dir.path(), "--types", "txt,doc,xls,zip,photos", "--sheet", "yes", "--cache-mode",
                              "list", "--rename"},
                             {std::string("LC_ALL=") + locale, zone});
      EXPECT_EQ(run.status, 0) << run.err;
      std::vector<std::string> names;
      for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename());
      const auto named = [&](const std::string& start, const std::string& end) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
          return n.starts_with(start) && n.ends_with(end);
        });
      };
      for (const auto& [name, expected] : texts) EXPECT_TRUE(named(expected, ".txt")) << name << " " << ::testing::PrintToString(names);
      EXPECT_TRUE(named(std::string(date) + "年度销售报告二〇一九年度#", ".doc")) << ::testing::PrintToString(names);
      EXPECT_TRUE(named(std::string(workbookDate) + "KiadásokHavikiadásokÉlelmiszer#", ".xls"))
          << ::testing::PrintToString(names);
      EXPECT_TRUE(named("2021-03-28 02-30-00Bericht.txt#", ".zip")) << ::testing::PrintToString(names);
      EXPECT_TRUE(named(std::string(extendedZipDate) + "Bericht.txt#", ".zip")) << ::testing::PrintToString(names);
      EXPECT_TRUE(named(std::string(photoDate) + "CanonEOS5DMarkII#", ".jpg")) << ::testing::PrintToString(names);
    }
  }
}

// Every file and folder below `folder`, as paths relative to it.
std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) names.push_back(entry.path().lexically_relative(folder));
  std::sort(names.begin(), names.end());
  return names;
}

// Waits until the run has document text in a private folder below `temporary`.
bool WaitForDocumentParts(const fs::path& temporary) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(temporary, error))
      if (entry.path().filename().native().ends_with(".xml")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// The usual temporary folder made beforehand by another user, open to everyone: the command line
// uses a private folder of its own instead, as the window does, and acts only on the files Check
// saw. Every run, however it ends (done, Ctrl+C, a second Ctrl+C, SIGTERM), leaves no result file
// and no document text behind.
TEST(BrenvikCli, TrustsNoTemporaryFolderOfAnotherUserAndLeavesNothingBehind) {
  TempDir dir;
  const fs::path runtime = dir / "runtime";
  ASSERT_TRUE(fs::create_directories(runtime / "tvk"));
  ASSERT_EQ(::chown((runtime / "tvk").c_str(), 65534, 65534), 0);  // nobody's
  ASSERT_EQ(::chmod((runtime / "tvk").c_str(), 0777), 0);
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedRuntime = saved ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

  const fs::path root = dir / "recovered";
  for (int i = 0; i < 40; ++i) WriteFile(root / ("junk" + std::to_string(i) + ".pdf"), "junk");
  WriteFile(root / "ok.txt", "fine");
  const CliRun deleted = Cli({"invalid-files", root, "--delete", "--cut-to-dead", "no"});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_EQ(Listing(root), std::vector<std::string>{"ok.txt"});
  EXPECT_EQ(ReadFile(root / "ok.txt"), "fine");

  const auto copyDocuments = [](const fs::path& folder, int copies) {
    fs::create_directories(folder);
    for (int i = 0; i < copies; ++i) {
      fs::copy_file(fs::path(BRENVIK_RENAME_DATA) / "report.docx", folder / ("r" + std::to_string(i) + ".docx"));
      fs::copy_file(fs::path(BRENVIK_RENAME_DATA) / "budget.xlsx", folder / ("b" + std::to_string(i) + ".xlsx"));
    }
  };
  copyDocuments(dir / "few", 2);
  const CliRun named = Cli({"rename", dir / "few", "--types", "docx,xlsx", "--rename"});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(Listing(runtime), std::vector<std::string>{"tvk"});  // the fresh folder went too

  // Interrupted while it reads documents: by Ctrl+C (Stop), by two (no waiting), by SIGTERM.
  const fs::path temporary = dir / "tmp";
  const fs::path docs = dir / "docs";
  copyDocuments(docs, 1000);
  for (const std::vector<int>& signals : {std::vector<int>{SIGINT}, {SIGINT, SIGINT}, {SIGTERM}}) {
    SCOPED_TRACE(signals.size() == 2 ? "two Ctrl+C" : signals[0] == SIGINT ? "Ctrl+C" : "SIGTERM");
    TempDir io;
    const pid_t child = Start(io, {"rename", docs, "--types", "docx,xlsx", "--rename", "--temporary-path", temporary});
    ASSERT_TRUE(WaitForDocumentParts(temporary));
    for (const int signal : signals) ::kill(child, signal);
    const CliRun stopped = Finish(io, child);
    EXPECT_EQ(stopped.status, 130) << stopped.err;
    EXPECT_EQ(Listing(temporary), std::vector<std::string>{});
  }
  ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
  if (saved == nullptr) ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(Listing(runtime), std::vector<std::string>{"tvk"});
}

TEST(BrenvikCli, RepairDbWritesWhatTheEngineWritesAndNeverItsOwnInput) {
  TempDir dir;
  std::string damaged(3 * 8192, 'd'), reference(3 * 8192, 'r');
  for (size_t i = 8192; i < 2 * 8192; i += 4) damaged.replace(i, 4, "\xDE\xAD\xDE\xAD");
  WriteFile(dir / "damaged.mdf", damaged);
  WriteFile(dir / "copy.mdf", reference);

  const CliRun run = Cli({"repair-db", "--corrupted-database", dir / "damaged.mdf", "--repaired-database",
                       dir / "cli.mdf", "--reference", dir / "copy.mdf"});
  EXPECT_EQ(run.status, 0) << run.err;
  RepairRequest request{dir / "damaged.mdf", dir / "engine.mdf", {dir / "copy.mdf"}, BlockMode::Page, {0xDE, 0xAD, 0xDE, 0xAD}};
  JobReporter<NoRow, RepairCounts> quiet;
  std::atomic<int> stop{0};
  EXPECT_EQ(RunRepair(request, stop, quiet).counts.repaired, 1);
  EXPECT_TRUE(ReadFile(dir / "cli.mdf") == ReadFile(dir / "engine.mdf"));
  EXPECT_EQ(run.out, "1\t24576\t" + (dir / "copy.mdf").string() + "\n");

  const CliRun own = Cli({"repair-db", "--corrupted-database", dir / "damaged.mdf", "--repaired-database",
                       dir / "damaged.mdf", "--reference", dir / "copy.mdf"});
  EXPECT_EQ(own.status, 2);
  EXPECT_NE(own.err.find("Failed create file"), std::string::npos);
  EXPECT_TRUE(ReadFile(dir / "damaged.mdf") == damaged);
  EXPECT_EQ(Cli({"repair-db", "--corrupted-database", dir / "damaged.mdf"}).status, 2);  // the page's refusal
}

TEST(BrenvikCli, RaidWritesTheEnginesLogAndCtrlCEndsItLikeStop) {
  TempDir dir;
  std::string image(64 * 1024, '\x5A');
  image.replace(4096, 1024, testing::AsBytes(testing::MakeFileRecord(77)));
  WriteFile(dir / "a.img", image);
  WriteFile(dir / "b.img", image);

  const CliRun run = Cli({"raid", "--log-file", dir / "cli.txt", "--start-sector", "0", "--end-sector", "100",
                       dir / "a.img", dir / "b.img"});
  EXPECT_EQ(run.status, 0) << run.err;
  std::optional<RaidRequest> request = MakeRaidRequest(PathToText(dir / "engine.txt"), u"0", u"100");
  request->members = {{u"", dir / "a.img"}, {u"", dir / "b.img"}};
  JobReporter<NoRow, uint64_t> quiet;
  std::atomic<int> stop{0};
  EXPECT_EQ(RunRaidAnalysis(*request, stop, quiet).found, 2u);
  EXPECT_TRUE(ReadFile(dir / "cli.txt") == ReadFile(dir / "engine.txt"));
  EXPECT_NE(run.err.find(TextToBytes(FoundCountText(2))), std::string::npos);

  // The records drawn, as SVG or PNG by the file's extension (a build without Qt refuses to
  // draw); any other picture is a wrong flag.
  for (const char* picture : {"plot.svg", "plot.png"}) {
    const CliRun drawn = Cli({"raid", "--log-file", dir / "p.txt", "--start-sector", "0", "--end-sector", "100",
                              "--plot", dir / picture, dir / "a.img", dir / "b.img"});
#if !BRENVIK_CLI_PLOT
    EXPECT_EQ(drawn.status, 1) << drawn.err;
    EXPECT_FALSE(fs::exists(dir / picture));
    continue;
#endif
    EXPECT_EQ(drawn.status, 0) << drawn.err;
    const std::string bytes = ReadFile(dir / picture);
    EXPECT_TRUE(std::string_view(picture).ends_with(".svg") ? bytes.find("<svg") != std::string::npos
                                                            : bytes.starts_with("\x89PNG"))
        << picture;
  }
  EXPECT_EQ(Cli({"raid", "--log-file", dir / "p.txt", "--end-sector", "8", "--plot", dir / "plot.bmp", dir / "a.img"}).status, 2);
  EXPECT_FALSE(fs::exists(dir / "plot.bmp"));

  const CliRun missing = Cli({"raid", "--log-file", dir / "m.txt", "--start-sector", "0", "--end-sector", "8",
                           dir / "a.img", dir / "gone.img"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("Access:" + (dir / "gone.img").string()), std::string::npos);
  // One image under two names is no mirror: refused, and no log is made.
  std::filesystem::create_symlink(dir / "a.img", dir / "same.img");
  const CliRun twice = Cli({"raid", "--log-file", dir / "twice.txt", "--start-sector", "0", "--end-sector", "8",
                            dir / "a.img", dir / "same.img"});
  EXPECT_EQ(twice.status, 2);
  EXPECT_NE(twice.err.find("Member given twice:" + (dir / "a.img").string() + ", " + (dir / "same.img").string()),
            std::string::npos)
      << twice.err;
  EXPECT_FALSE(fs::exists(dir / "twice.txt"));

  // A long run over a sparse member, interrupted once it has begun writing its log: the job
  // ends after a whole line, as Stop ends it, and the process says it was stopped.
  {
    const int fd = ::open((dir / "big.img").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(::ftruncate(fd, int64_t{8} << 30), 0);
    ::close(fd);
  }
  TempDir io;
  const pid_t child = Start(io, {"raid", "--log-file", dir / "long.txt", "--start-sector", "0", "--end-sector",
                                 std::to_string((int64_t{8} << 30) / 512 - 1), dir / "big.img"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(dir / "long.txt") || fs::file_size(dir / "long.txt") < 4096) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(child, SIGINT);
  const CliRun stopped = Finish(io, child);
  EXPECT_EQ(stopped.status, 130) << stopped.err;
  const std::string log = ReadFile(dir / "long.txt");
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log.substr(log.size() - 4), std::string("\r\0\n\0", 4));  // the last line is whole
  EXPECT_LT(log.size(), (int64_t{8} << 30) / 1024 * 20);                // far from the whole range
}

// As root (the window runs as root through --admin), no output replaces another output of the same
// command or goes through a link another user planted in a shared folder such as /tmp: each is
// refused (exit status 2) before anything is written, and the files the links lead to stay.
TEST(BrenvikCli, OutputsNeitherReplaceEachOtherNorFollowPlantedLinks) {
  TempDir dir;
  std::string image(16 * 512, '\x5A');
  image.replace(4096, 1024, testing::AsBytes(testing::MakeFileRecord(77)));
  WriteFile(dir / "a.img", image);
  // A build without Qt draws no plot and says so before it reads anything.
  const auto raid = [&](const fs::path& log, const fs::path& plot = {}) {
    std::vector<std::string> args{"raid", "--log-file", log, "--start-sector", "0", "--end-sector", "15", dir / "a.img"};
    if (!plot.empty()) args.insert(args.end(), {"--plot", plot});
    return Cli(args);
  };
#if BRENVIK_CLI_PLOT
  constexpr int kPlotRefused = 2;
#else
  constexpr int kPlotRefused = 1;
#endif
  const CliRun same = raid(dir / "x.svg", dir / "x.svg");
  EXPECT_EQ(same.status, kPlotRefused);
  if (kPlotRefused == 2) {
    EXPECT_NE(same.err.find("Log file and plot are one file:" + (dir / "x.svg").string()), std::string::npos) << same.err;
  }
  EXPECT_FALSE(fs::exists(dir / "x.svg"));
  WriteFile(dir / "old.txt", "an older log");
  fs::create_hard_link(dir / "old.txt", dir / "hard.svg");
  EXPECT_EQ(raid(dir / "old.txt", dir / "hard.svg").status, kPlotRefused);
  EXPECT_EQ(raid(dir / "log.txt", dir / "a.img").status, 2);  // a member is refused in every build
  EXPECT_EQ(ReadFile(dir / "old.txt"), "an older log");
  EXPECT_TRUE(ReadFile(dir / "a.img") == image);

  // Another user's links in a sticky folder everyone may write to, leading to root's files.
  if (std::system("command -v runuser >/dev/null && id nobody >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "runuser or the user nobody is missing";
  ::chmod(dir.path().c_str(), 0755);
  fs::create_directory(dir / "shared");
  ::chmod((dir / "shared").c_str(), 01777);
  WriteFile(dir / "victim", "root's own file");
  fs::create_directory(dir / "private");
  const auto plant = [&](const fs::path& to, const std::string& name) {
    const std::string command = "runuser -u nobody -- ln -s '" + to.string() + "' '" + (dir / "shared" / name).string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  };
  plant(dir / "victim", "copy.img");
  plant(dir / "victim", "log.txt");
  plant(dir / "victim", "plot.svg");
  plant(dir / "private", "folder");
  const fs::path shared = dir / "shared";
  const CliRun copy = Cli({"image", "--source", dir / "a.img", "--target-file", shared / "copy.img"});
  EXPECT_EQ(copy.status, 2) << copy.out << copy.err;
  EXPECT_NE(copy.out.find("目标文件经由符号链接，不能写入"), std::string::npos) << copy.out;
  EXPECT_EQ(Cli({"image", "--source", dir / "a.img", "--target-file", shared / "folder/copy.img"}).status, 2);
  EXPECT_EQ(raid(shared / "log.txt").status, 2);
  EXPECT_EQ(raid(shared / "folder/log.txt").status, 2);
  EXPECT_EQ(raid(dir / "log.txt", shared / "plot.svg").status, kPlotRefused);
  EXPECT_EQ(ReadFile(dir / "victim"), "root's own file");
  EXPECT_TRUE(fs::is_empty(dir / "private"));
  EXPECT_FALSE(fs::exists(shared / "copy.img.map"));
}

// Three members of a RAID 0 set holding a real NTFS volume, read over their whole length: the
// geometry is named with certainty, on standard error and as JSON.
TEST(BrenvikCli, RaidNamesTheGeometryOfARealVolume) {
  TempDir dir;
  const std::string volume = testing::RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  const std::vector<std::string> images = testing::StripeVolume({RaidLayout::Raid0, 3, 128, 0}, volume);
  std::vector<std::string> args = {"raid", "--log-file", dir / "map.txt", "--start-sector", "0", "--end-sector",
                                   std::to_string(images[0].size() / 512 - 1)};
  for (size_t i = 0; i < images.size(); ++i) {
    WriteFile(dir / ("m" + std::to_string(i) + ".img"), images[i]);
    args.push_back(dir / ("m" + std::to_string(i) + ".img"));
  }
  EXPECT_EQ(args[6], "43775");
  const CliRun run = Cli(args);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Geometry: RAID 0, stripe 64 KiB (128 sectors), member order 1, 2, 3\nExplains 221 of 225 records"),
            std::string::npos)
      << run.err;
  // The geometry named is the one the volume is assembled by.
  std::vector<std::string> assemble = args;
  assemble.insert(assemble.begin() + 1, {"--assemble", dir / "volume.img"});
  const CliRun assembled = Cli(assemble);
  EXPECT_EQ(assembled.status, 0) << assembled.err;
  const std::string image = ReadFile(dir / "volume.img");
  EXPECT_TRUE(image.size() >= volume.size() && image.compare(0, volume.size(), volume) == 0);
  args.push_back("--json");
  const CliRun json = Cli(args);
  EXPECT_NE(json.out.find("{\"verdict\":\"decided\",\"records\":225,\"best\":{\"layout\":\"raid0\""), std::string::npos)
      << json.out;
}

// The volume of a RAID 5 set given by hand, assembled into a file and mounted without copying,
// with a member missing: both are the original volume byte for byte. The mount is read-only and
// ends with Ctrl+C.
TEST(BrenvikCli, RaidAssemblesAndMountsTheVolumeOfAHandGivenGeometry) {
  TempDir dir;
  const std::string volume = testing::RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  const std::vector<std::string> images =
      testing::StripeVolume({RaidLayout::Raid5RightSymmetric, 4, 64, 1024}, volume);
  // Given in reverse: array member i is the given member 4 - i.
  std::vector<std::string> members;
  for (size_t i = 0; i < images.size(); ++i) {
    members.push_back(dir / ("m" + std::to_string(i) + ".img"));
    WriteFile(members.back(), images[images.size() - 1 - i]);
  }
  const std::vector<std::string> geometry = {"raid", "--layout", "raid5-right-symmetric", "--stripe", "32K",
                                             "--order", "4,3,2,1", "--start", "1024"};
  const auto withMembers = [&](std::vector<std::string> args, const std::vector<std::string>& given) {
    args.insert(args.begin(), geometry.begin(), geometry.end());
    args.insert(args.end(), given.begin(), given.end());
    return args;
  };
  const auto isVolume = [&volume](const std::string& bytes) {
    return bytes.size() >= volume.size() && bytes.compare(0, volume.size(), volume) == 0 &&
           bytes.find_first_not_of('\0', volume.size()) == std::string::npos;
  };
  const CliRun assembled = Cli(withMembers({"--assemble", dir / "volume.img"}, members));
  EXPECT_EQ(assembled.status, 0) << assembled.err;
  EXPECT_TRUE(isVolume(ReadFile(dir / "volume.img")));
  // The image is never one of the members.
  const CliRun onMember = Cli(withMembers({"--assemble", members[2]}, members));
  EXPECT_EQ(onMember.status, 2) << onMember.err;
  EXPECT_TRUE(ReadFile(members[2]) == images[1]);

  // Mounted whole (the bytes move straight from the members) and with a member missing (rebuilt).
  std::vector<std::string> degraded = members;
  degraded[1] = "missing";
  for (const std::vector<std::string>& given : {members, degraded}) {
    TempDir io, mountPoint;
    const pid_t child = Start(io, withMembers({"--mount", mountPoint.path()}, given));
    const fs::path served = mountPoint / "volume.img";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (!fs::exists(served)) {
      if (::waitpid(child, &status, WNOHANG) == child) {
        const std::string err = ReadFile(io / "stderr");
        if (err.find("Not mounted") != std::string::npos) GTEST_SKIP() << "FUSE cannot be mounted here: " << err;
        FAIL() << err;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(isVolume(ReadFile(served)));
    EXPECT_LT(::open(served.c_str(), O_WRONLY), 0);
    ::kill(child, SIGINT);
    const CliRun ended = Finish(io, child);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_FALSE(fs::exists(served));
  }
  for (size_t i = 0; i < images.size(); ++i) EXPECT_TRUE(ReadFile(members[i]) == images[images.size() - 1 - i]);
}

// A RAID 5 set with a member missing is analysed without a geometry given (the missing member
// read as the others' XOR) and assembled by the answer: the image is the original volume from its
// first byte, the first row being where the boot sector lies. Two missing are a usage error.
TEST(BrenvikCli, RaidWithAMemberMissingIsAnalysedAndAssembled) {
  TempDir dir;
  const std::string volume = testing::RealNtfsVolume(BRENVIK_TEST_DATA);
  ASSERT_FALSE(volume.empty());
  const std::vector<std::string> images =
      testing::StripeVolume({RaidLayout::Raid5LeftSymmetric, 3, 128, 2048}, volume);
  std::vector<std::string> given = {dir / "m2.img", "missing", dir / "m0.img"};
  WriteFile(dir / "m2.img", images[2]);
  WriteFile(dir / "m0.img", images[0]);
  const std::vector<std::string> range = {"raid", "--log-file", dir / "map.txt", "--start-sector", "0", "--end-sector",
                                          std::to_string(images[0].size() / 512 - 1)};
  std::vector<std::string> args = range;
  args.insert(args.end(), {"--json", "--assemble", dir / "volume.img"});
  args.insert(args.end(), given.begin(), given.end());
  const CliRun run = Cli(args);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"layout\":\"raid5-left-symmetric\",\"stripeSectors\":128,\"memberOrder\":[2,1,0],\"startSector\":2048"),
            std::string::npos) << run.out;
  const std::string assembled = ReadFile(dir / "volume.img");
  EXPECT_TRUE(assembled.size() >= volume.size() && assembled.compare(0, volume.size(), volume) == 0);

  args = range;
  args.insert(args.end(), {"missing", "missing", dir / "m0.img"});
  EXPECT_EQ(Cli(args).status, 2);
}

TEST(BrenvikCli, ImageCopiesLikeTheEngineAndDisksListsTheInventory) {
  TempDir dir;
  std::string source(8 * 512, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 7);
  WriteFile(dir / "source.img", source);
  const CliRun run = Cli({"image", "--source", dir / "source.img", "--target-file", dir / "cli.img"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "镜像\t正在镜像...\n镜像\t镜像完成\n");
  // The rescue map's totals close the run, also where standard error is no terminal.
  EXPECT_NE(run.err.find("Finished: 4.0 KB (100%)  Bad: 0 Bytes (0%)  Not tried: 0 Bytes (0%)  Position: sector 8"),
            std::string::npos)
      << run.err;
  ImagingRequest request;
  request.sourceImage = dir / "source.img";
  request.sourceCount = request.targetSize = 8;
  request.sourceSectorSize = request.targetSectorSize = 512;
  request.targetFile = dir / "engine.img";
  JobReporter<NoRow, ImagingDisplays> quiet;
  std::atomic<int> stop{0};
  EXPECT_EQ(RunImaging(request, stop, quiet).end, ImagingEnd::Completed);
  EXPECT_TRUE(ReadFile(dir / "cli.img") == ReadFile(dir / "engine.img"));

  // Ok again on the same target goes on from its map: a "映射" row, and the job is done.
  const CliRun again = Cli({"image", "--source", dir / "source.img", "--target-file", dir / "cli.img"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "镜像\t正在镜像...\n映射\t按映射文件继续，从扇区8开始\n镜像\t镜像完成\n");

  // A file of 520-byte sectors holds as many as its size says in those sectors, not in 512-byte
  // units: the copy ends at the file's end, complete.
  WriteFile(dir / "odd.img", source.substr(0, 7 * 520));
  const CliRun odd = Cli({"image", "--source", dir / "odd.img", "--source-sector", "520", "--target-file", dir / "odd-copy.img"});
  EXPECT_EQ(odd.status, 0) << odd.err;
  EXPECT_EQ(odd.out, "镜像\t正在镜像...\n镜像\t镜像完成\n");
  std::string firstBytes;
  for (int s = 0; s < 7; ++s) firstBytes += source.substr(s * 520, 512);
  EXPECT_TRUE(ReadFile(dir / "odd-copy.img") == firstBytes);

  const CliRun own = Cli({"image", "--source", dir / "source.img", "--target-file", dir / "source.img"});
  EXPECT_EQ(own.status, 2);
  EXPECT_TRUE(ReadFile(dir / "source.img") == source);

  // A domain map limits the copy: what it marks is all that was asked, so the run succeeds and
  // the rest stays untried; a domain that is no map refuses the run.
  WriteFile(dir / "domain.map", "0x0 + 1\n0x0 0x400 ?\n0x400 0x200 +\n0x600 0x400 ?\n");
  const CliRun domain = Cli({"image", "--source", dir / "source.img", "--target-file", dir / "part.img", "--domain",
                             dir / "domain.map", "--used-only"});
  EXPECT_EQ(domain.status, 0) << domain.err;
  EXPECT_EQ(domain.out, "镜像\t正在镜像...\n阶段\t复制分区表与引导扇区\n阶段\t未找到可识别的NTFS文件系统，按顺序复制整个磁盘\n"
                        "镜像\t镜像完成\n");
  EXPECT_NE(ReadFile(dir / "part.img.map").find("0x00000400  0x00000200  +"), std::string::npos);
  WriteFile(dir / "notes.map", "some notes\n");
  EXPECT_EQ(Cli({"image", "--source", dir / "source.img", "--target-file", dir / "part.img", "--domain",
                 dir / "notes.map"}).status, 2);

  testing::FakeDiskTree tree;
  tree.add({.name = "sda", .sizeUnits = 4096, .serial = "S1"});
  tree.add({.name = "sdb", .sizeUnits = 2048, .logicalBlockSize = 4096, .model = "BIG SECTORS"});
  DiskInventory inventory(tree.sysfsRoot(), tree.devRoot());
  inventory.ScanDiskDevices();
  std::string expected;
  for (const DiskDevice& disk : inventory.devices())
    expected += "#" + std::to_string(disk.diskNumber) + "\t" + disk.model + "\t" + disk.serial + "\t" +
                Cell(FormatSizeText(disk.sectorCount * disk.bytesPerSector)) + "\t" + std::to_string(disk.sectorCount) +
                "\t" + std::to_string(disk.bytesPerSector) + "\t" + disk.deviceNode.string() + "\n";
  const CliRun disks = Cli({"disks", "--sysfs-root", tree.sysfsRoot(), "--dev-root", tree.devRoot()});
  EXPECT_EQ(disks.status, 0) << disks.err;
  EXPECT_EQ(inventory.devices().size(), 2u);
  EXPECT_EQ(disks.out, expected);
}

TEST(BrenvikCli, FlagsHelpAndVersion) {
  EXPECT_EQ(Cli({"--version"}).out, "brenvik-cli V1.4.2\n");
  for (const char* command : {"invalid-files", "extension", "rename", "repair-db", "raid", "image", "disks"}) {
    const CliRun help = Cli({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_NE(help.out.find(std::string("Usage: brenvik-cli ") + command), std::string::npos);
  }
  EXPECT_EQ(Cli({"invalid-files", "--no-such-flag"}).status, 2);
  EXPECT_EQ(Cli({"invalid-files", "/", "--percent"}).status, 2);  // a value is missing
  EXPECT_EQ(Cli({"frobnicate"}).status, 2);
  EXPECT_EQ(Cli({"invalid-files", ""}).status, 2);  // the page's refusal of an empty path
}

TEST(BrenvikCli, UndoTakesAJobBackAndListsWhatStayed) {
  TempDir dir;
  const fs::path root = dir / "tree";
  for (int i = 0; i < 6; ++i) WriteFile(root / "d" / ("f" + std::to_string(i) + ".bin"), "%PDF-1.4\n" + std::to_string(i));
  ASSERT_EQ(Cli({"extension", root, "--rename", "--temporary-path", dir / "tmp"}).status, 0);
  const fs::path journal = LatestJournal(root, kExtensionJournalTool);
  ASSERT_FALSE(journal.empty());

  // One renamed file is written to after the job: it stays, the rest go back.
  std::ofstream(root / "d/f3.pdf", std::ios::app) << "edited";
  const CliRun undo = Cli({"undo", journal});
  EXPECT_EQ(undo.status, 1);
  EXPECT_EQ(undo.out, "d/f3.bin\td/f3.pdf\tthe file at its new name was changed or replaced after the job\n");
  EXPECT_NE(undo.err.find("Restored: 5 / 6"), std::string::npos) << undo.err;
  EXPECT_NE(undo.err.find("Undo journal: "), std::string::npos) << undo.err;
  for (const int i : {0, 1, 2, 4, 5}) EXPECT_EQ(ReadFile(root / "d" / ("f" + std::to_string(i) + ".bin")), "%PDF-1.4\n" + std::to_string(i));

  // Again: nothing more moves, and the job is said to be undone already; the rows as JSON.
  const CliRun again = Cli({"undo", journal, "--json"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.out.find("\"Reason\":\"the file at its new name was changed or replaced after the job\""),
            std::string::npos)
      << again.out;
  EXPECT_NE(again.err.find("The job was already undone: 5 / 6 files were at their old names, and nothing was moved"),
            std::string::npos)
      << again.err;
  EXPECT_EQ(again.err.find("Restored:"), std::string::npos);
  EXPECT_EQ(again.err.find("Undo journal: "), std::string::npos);

  // A damaged line ends the undo there, with a clear text.
  std::string text = ReadFile(journal);
  text[text.find("\nmove\t") + 8] ^= 1;
  WriteFile(journal, text);
  const CliRun damaged = Cli({"undo", journal});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.err.find("Line 2 of the journal is damaged; reading stopped there"), std::string::npos)
      << damaged.err;
  EXPECT_EQ(Cli({"undo"}).status, 2);
}

// Every end a tool's job can reach from the command line, made for real, with the exit status and
// texts it gives: 0 only when the job did all that was asked, 1 for any other end, 2 for what the
// page would refuse. A full disk fails results, journals, logs and outputs; what it holds stays.
TEST(BrenvikCli, EveryEndGivesItsExitStatus) {
  testing::SmallTmpfs full("64k");
  if (!full.mounted()) GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root)";
  TempDir dir;
  const auto makeTree = [](const fs::path& root) {
    WriteFile(root / "broken.jpg", "not a jpeg at all");
    WriteFile(root / "scan.bin", "%PDF-1.4\n" + std::string(64, 'p'));
    WriteFile(root / "notes.txt", "plain words");
  };
  const fs::path tree = dir / "tree", fullTree = full / "tree", fullTemp = full / "tmp";
  makeTree(tree);
  makeTree(fullTree);
  fs::create_directory(fullTemp);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  WriteFile(dir / "plain.txt", "a file, not a folder");
  std::string damaged(8192, 'x');
  for (int i = 0; i < 2048; ++i) damaged += "\xDE\xAD\xDE\xAD";
  WriteFile(dir / "damaged.mdf", damaged);
  WriteFile(dir / "copy.mdf", std::string(16384, 'c'));
  std::string image(16 * 512, '\x5A');
  image.replace(4096, 1024, testing::AsBytes(testing::MakeFileRecord(77)));
  WriteFile(dir / "a.img", image);
  {
    std::ofstream filler(full / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size())) filler.flush();
  }
  const testing::TreeSnapshot fullBefore = testing::SnapshotTree(fullTree);

  // A journal to undo, from a job of its own.
  const fs::path undone = dir / "undone";
  WriteFile(undone / "a.bin", "%PDF-1.4\n");
  ASSERT_EQ(Cli({"extension", undone, "--rename", "--cache-mode", "list"}).status, 0);
  const fs::path journal = LatestJournal(undone, kExtensionJournalTool);

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string shown;     // a text standard error must hold
    std::string notShown;  // a completion text it must not
  };
  std::vector<Case> cases = {
      {{"invalid-files", tree, "--cache-mode", "list"}, 0, "Detect invalid files completed", ""},
      {{"invalid-files", tree, "--temporary-path", fullTemp}, 1, "Failed to detect invalid files",
       "Detect invalid files completed"},
      {{"invalid-files", fullTree, "--cache-mode", "list", "--delete"}, 1, "Failed to write journal file",
       "Delete invalid files completed"},
      {{"extension", tree, "--cache-mode", "list"}, 0, "Detect extension completed", ""},
      {{"extension", tree, "--temporary-path", fullTemp}, 1, "Failed to generate temporary file",
       "Detect extension completed"},
      {{"extension", fullTree, "--cache-mode", "list", "--rename"}, 1, "Failed to write journal file",
       "Modify extension completed"},
      {{"rename", tree, "--types", "txt", "--cache-mode", "list"}, 0, "Detect File Rename completed", ""},
      {{"rename", tree, "--types", "txt", "--temporary-path", fullTemp}, 1, "Failed to generate temporary file",
       "Detect File Rename completed"},
      {{"rename", fullTree, "--types", "txt", "--cache-mode", "list", "--rename"}, 1, "Failed to write journal file",
       "File rename completed"},
      {{"repair-db", "--corrupted-database", dir / "damaged.mdf", "--repaired-database", dir / "out.mdf",
        "--reference", dir / "copy.mdf"},
       0, "Repair database completed###Repairs:1 / 1", ""},
      {{"repair-db", "--corrupted-database", dir / "gone.mdf", "--repaired-database", dir / "out.mdf", "--reference",
        dir / "copy.mdf"},
       1, "Failed access file", "Repair database completed"},
      {{"repair-db", "--corrupted-database", dir / "damaged.mdf", "--repaired-database", dir / "copy.mdf",
        "--reference", dir / "copy.mdf"},
       2, "Failed create file", "Repair database completed"},
      {{"repair-db", "--corrupted-database", dir / "fifo", "--repaired-database", dir / "out2.mdf", "--reference",
        dir / "copy.mdf"},
       2, "Failed access file", "Repair database completed"},
      {{"repair-db", "--corrupted-database", dir / "damaged.mdf", "--repaired-database", full / "out.mdf",
        "--reference", dir / "copy.mdf"},
       1, "Failed write file", "Repair database completed"},
      {{"raid", "--log-file", dir / "log.txt", "--start-sector", "0", "--end-sector", "15", dir / "a.img"}, 0,
       TextToBytes(FoundCountText(1)), "Failed"},
      {{"raid", "--log-file", dir / "no-folder/log.txt", "--start-sector", "0", "--end-sector", "15", dir / "a.img"},
       1, "Failed to create file", ""},
      {{"raid", "--log-file", dir / "log.txt", "--start-sector", "0", "--end-sector", "15", dir / "gone.img"}, 1,
       "Access:", ""},
      {{"raid", "--log-file", full / "log.txt", "--start-sector", "0", "--end-sector", "15", dir / "a.img"}, 1,
       "Failed to create file", ""},
      {{"raid", "--log-file", dir / "a.img", "--start-sector", "0", "--end-sector", "15", dir / "a.img"}, 2,
       "Failed to create file", ""},
      {{"raid", "--log-file", dir / "log.txt", "--start-sector", "0", "--end-sector", "15", dir / "fifo"}, 2,
       "Access:", ""},
      {{"image", "--source", dir / "a.img", "--target-file", dir / "copy.img"}, 0, "", ""},
      {{"image", "--source", dir / "a.img", "--target-file", full / "copy.img"}, 1, "", ""},
      {{"image", "--source", dir / "fifo", "--target-file", dir / "fifo.img"}, 2, "", ""},
      {{"image", "--source", dir / "a.img", "--target-file", dir / "odd.img", "--source-sector", "100"}, 2, "", ""},
      {{"undo", journal}, 0, "Restored: 1 / 1", ""},
      {{"undo", dir / "plain.txt"}, 1, "", "Restored"},
  };
  // The three folder tools refuse what is not a folder, as their pages do, and read nothing.
  for (const char* tool : {"invalid-files", "extension", "rename"})
    for (const fs::path& notAFolder : {dir / "missing", dir / "fifo", dir / "plain.txt", fs::path("/dev/null")})
      cases.push_back({{tool, notAFolder}, 2, "Please set the path correctly", "completed"});
  // References are regular files, like the damaged file.
  for (const fs::path& reference : {dir / "fifo", dir / "tree", fs::path("/dev/null")})
    cases.push_back({{"repair-db", "--corrupted-database", dir / "damaged.mdf", "--repaired-database",
                      dir / "out2.mdf", "--reference", reference},
                     2, "is not a regular file", "Repair database completed"});

  for (const Case& c : cases) {
    std::string command;
    for (const std::string& arg : c.args) command += arg + " ";
    SCOPED_TRACE(command);
    const CliRun run = Cli(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    if (!c.shown.empty()) {
      EXPECT_NE(run.err.find(c.shown), std::string::npos) << run.err;
    }
    if (!c.notShown.empty()) {
      EXPECT_EQ(run.err.find(c.notShown), std::string::npos) << run.err;
    }
  }
  EXPECT_FALSE(fs::exists(dir / "out2.mdf"));
  EXPECT_EQ(testing::SnapshotTree(fullTree, ".brenvik-journal"), fullBefore);
  EXPECT_EQ(ReadFile(dir / "copy.mdf"), std::string(16384, 'c'));
}

}  // namespace
}  // namespace brenvik
