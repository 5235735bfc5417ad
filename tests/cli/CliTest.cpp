// brenvik-cli run as a user runs it, on trees and images made here; what it prints and does is
// compared with what the engines give for the same request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// Starts brenvik-cli with `args`; its standard output and error go to files in `dir`.
pid_t Start(const TempDir& dir, const std::vector<std::string>& args) {
  const pid_t child = ::fork();
  if (child == 0) {
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

CliRun Cli(const std::vector<std::string>& args) {
  TempDir io;
  return Finish(io, Start(io, args));
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
  const ScanOutcome outcome = RunInvalidFileScan({&detector, kCacheModeList, {}}, stop, engine);
  EXPECT_EQ(outcome.tally.invalidCount, 42);

  const CliRun listed = Cli({"invalid-files", root, "--cache-mode", "list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, engine.text);
  EXPECT_NE(listed.err.find("Detect invalid files completed"), std::string::npos);
  const CliRun json = Cli({"invalid-files", root, "--cache-mode=list", "--json"});
  EXPECT_NE(json.out.find("\"Path\":\"" + (root / "b").string() + "/\\udcc4\\udce3.jpg\""), std::string::npos)
      << json.out;

  // Cache mode lists 33 rows but Delete moves every invalid file aside, and no result file stays.
  const fs::path temporary = dir / "tmp";
  const CliRun deleted = Cli({"invalid-files", root, "--delete", "--temporary-path", temporary});
  EXPECT_EQ(deleted.status, 0) << deleted.err;
  EXPECT_EQ(std::count(deleted.out.begin(), deleted.out.end(), '\n'), kCachePreviewRows);
  EXPECT_NE(deleted.err.find("Delete invalid files completed"), std::string::npos);
  EXPECT_EQ(ReadFile(root / "DEAD_DEAD_DEAD/many/f39.pdf"), "junk");
  EXPECT_EQ(ReadFile(root / std::string("DEAD_DEAD_DEAD/b/\xC4\xE3.jpg")), "also broken");
  EXPECT_EQ(ReadFile(root / "a/ok.txt"), "fine");
  EXPECT_TRUE(fs::is_empty(temporary));
}

TEST(BrenvikCli, ExtensionAndRenameListWhatTheirChecksListAndRenameEveryFile) {
  TempDir dir;
  const fs::path root = dir / "tree";
  for (int i = 0; i < 40; ++i) WriteFile(root / ("f" + std::to_string(i) + ".bin"), "%PDF-1.4\n" + std::string(64, 'p'));
  WriteFile(root / "notes.txt", "plain words");

  DocumentReader reader;
  Lines<ExtensionRow, ExtensionCounters> extension;
  extension.format = [](const ExtensionRow& row) {
    return std::to_string(row.index) + "\t" + Cell(row.type) + "\t" + Cell(row.path);
  };
  std::atomic<int> stop{0};
  RunExtensionCheck({root, false, {}, &reader}, stop, extension);
  const CliRun checked = Cli({"extension", root, "--cache-mode", "list"});
  EXPECT_EQ(checked.status, 0) << checked.err;
  EXPECT_EQ(checked.out, extension.text);

  RenameEngine engine(DocumentContentReaders());
  engine.prepareCheck();
  engine.selectTypes(kRenameTxt);
  AppSettings list;
  list.cacheMode = kCacheModeList;
  engine.setSettings(list);
  Lines<RenameRow, RenameNumbers> rename;
  rename.format = [](const RenameRow& row) { return std::to_string(row.index) + "\t" + Cell(row.path); };
  RunRenameCheck({&engine, root}, stop, rename);
  const CliRun selected = Cli({"rename", root, "--types", "txt", "--cache-mode", "list"});
  EXPECT_EQ(selected.status, 0) << selected.err;
  EXPECT_EQ(selected.out, rename.text);

  const CliRun renamed = Cli({"extension", root, "--rename", "--temporary-path", dir / "tmp"});
  EXPECT_EQ(renamed.status, 0) << renamed.err;
  EXPECT_EQ(std::count(renamed.out.begin(), renamed.out.end(), '\n'), kCachePreviewRows);
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(fs::exists(root / ("f" + std::to_string(i) + ".pdf"))) << i;
  EXPECT_NE(renamed.err.find("Modify extension completed"), std::string::npos);
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
  EXPECT_EQ(own.status, 1);
  EXPECT_NE(own.err.find("Failed create file"), std::string::npos);
  EXPECT_TRUE(ReadFile(dir / "damaged.mdf") == damaged);
  EXPECT_EQ(Cli({"repair-db", "--corrupted-database", dir / "damaged.mdf"}).status, 1);  // the page's refusal
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
  EXPECT_EQ(twice.status, 1);
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

TEST(BrenvikCli, ImageCopiesLikeTheEngineAndDisksListsTheInventory) {
  TempDir dir;
  std::string source(8 * 512, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 7);
  WriteFile(dir / "source.img", source);
  const CliRun run = Cli({"image", "--source", dir / "source.img", "--target-file", dir / "cli.img"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "镜像\t正在镜像...\n镜像\t镜像完成\n");
  ImagingRequest request;
  request.sourceImage = dir / "source.img";
  request.sourceCount = request.targetSize = 8;
  request.sourceSectorSize = request.targetSectorSize = 512;
  request.targetFile = dir / "engine.img";
  JobReporter<NoRow, ImagingDisplays> quiet;
  std::atomic<int> stop{0};
  EXPECT_TRUE(RunImaging(request, stop, quiet).completed);
  EXPECT_TRUE(ReadFile(dir / "cli.img") == ReadFile(dir / "engine.img"));

  const CliRun own = Cli({"image", "--source", dir / "source.img", "--target-file", dir / "source.img"});
  EXPECT_EQ(own.status, 1);
  EXPECT_TRUE(ReadFile(dir / "source.img") == source);

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
  EXPECT_EQ(Cli({"invalid-files", ""}).status, 1);  // the page's refusal of an empty path
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

  // Again: nothing more moves; the rows as JSON.
  const CliRun again = Cli({"undo", journal, "--json"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.out.find("\"Reason\":\"the file at its new name was changed or replaced after the job\""),
            std::string::npos)
      << again.out;
  EXPECT_NE(again.err.find("Restored: 5 / 6"), std::string::npos);
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

}  // namespace
}  // namespace brenvik
