#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "shell/Controls.h"
#include "extension/page/CChkDlg.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::TestPageHost;
using brenvik::testing::WriteFile;

namespace {

const std::filesystem::path kFixtures = BRENVIK_TEST_DATA "/extension";
const std::filesystem::path kVariants = BRENVIK_TEST_DATA "/variants";
const std::string kJpeg = std::string("\xFF\xD8\xFF\xE1", 4) + std::string(200, 'j');

}  // namespace

class ChkDlgTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<TestPageHost> host_;
  std::unique_ptr<CChkDlg> page_;

  std::filesystem::path root() const { return dir_->path() / "recovered"; }
  void click(int id) { QTest::mouseClick(FindControl<QPushButton>(page_.get(), id), Qt::LeftButton); }
  QString status() const { return FindControl<QLabel>(page_.get(), 2806)->text(); }
  // Presses a button and waits for the pass to end with its completion message.
  void runPass(int id, const QString& completion) {
    const size_t before = host_->recorder().messages.size();
    click(id);
    QTRY_VERIFY(!page_->isRunning());
    QTRY_COMPARE(host_->recorder().messages.size(), before + 1);
    QCOMPARE(host_->recorder().messages.back().text, completion);
    QCOMPARE(host_->recorder().messages.back().caption, QStringLiteral("Brenvik"));
  }
  void check(uint8_t cacheMode) {
    host_->settings().cacheMode = cacheMode;
    FindControl<QLineEdit>(page_.get(), 2801)->setText(QString::fromStdString(root().native()));
    runPass(2807, QStringLiteral("Detect extension completed"));
    QCOMPARE(status(), QStringLiteral("Detect extension completed"));
  }
  void rename(uint8_t cacheMode) {
    host_->settings().cacheMode = cacheMode;
    runPass(2804, QStringLiteral("Modify extension completed"));
    QCOMPARE(status(), QStringLiteral("Modify extension completed"));
  }
  QString cell(int row, int column) const { return page_->listModel()->row(row).cells[column]; }

  // Real documents under wrong names: Check lists them with their types, Rename fixes the names
  // and leaves a name that is already right alone, also one of a variant of its type (a Java
  // archive or an OpenDocument text are zip files).
  void renamesRealDocuments(uint8_t cacheMode) {
    std::filesystem::create_directories(root() / "sub");
    std::filesystem::copy_file(kFixtures / "report.docx", root() / "Report.DOC");
    std::filesystem::copy_file(kFixtures / "slides.pptx", root() / "sub" / "slides.zip");
    std::filesystem::copy_file(kFixtures / "table.xls", root() / "sub" / "FILE0001.CHK");
    WriteFile(root() / "PHOTO.JPG", kJpeg);
    WriteFile(root() / "notes.bin", "plain text\n");
    WriteFile(root() / "data.dat", std::string("\0\1\2 of no known type", 21));
    std::filesystem::copy_file(kVariants / "tool.jar", root() / "tool.jar");
    std::filesystem::copy_file(kVariants / "sales.odt", root() / "sub" / "Sales.ODT");
    std::filesystem::copy_file(kVariants / "sales.docm", root() / "sub" / "FILE0002.CHK");

    check(cacheMode);
    QCOMPARE(page_->listModel()->rowCount(), 8);
    QCOMPARE(page_->counters().identified, 8);
    QCOMPARE(page_->counters().scanned, 9);
    QStringList found;
    for (int i = 0; i < 8; ++i) {
      QCOMPARE(cell(i, 0), QString::number(i));
      QVERIFY(page_->listModel()->isChecked(i));
      found << cell(i, 1) + " " + QString::fromStdString(std::filesystem::path(cell(i, 2).toStdString()).filename());
    }
    found.sort();
    QCOMPARE(found, (QStringList{"docm FILE0002.CHK", "docx Report.DOC", "jar tool.jar", "jpg PHOTO.JPG",
                                 "odt Sales.ODT", "pptx slides.zip", "txt notes.bin", "xls FILE0001.CHK"}));

    rename(cacheMode);
    QCOMPARE(page_->listModel()->rowCount(), 0);
    QCOMPARE(page_->counters().rowCounter, 0);
    QVERIFY(std::filesystem::exists(root() / "Report.docx"));
    QVERIFY(!std::filesystem::exists(root() / "Report.DOC"));
    QVERIFY(std::filesystem::exists(root() / "sub" / "slides.pptx"));
    QVERIFY(std::filesystem::exists(root() / "sub" / "FILE0001.xls"));
    QCOMPARE(ReadFile(root() / "PHOTO.JPG"), kJpeg);
    QVERIFY(std::filesystem::exists(root() / "notes.txt"));
    QVERIFY(std::filesystem::exists(root() / "data.dat"));
    QCOMPARE(ReadFile(root() / "tool.jar"), ReadFile(kVariants / "tool.jar"));
    QCOMPARE(ReadFile(root() / "sub" / "Sales.ODT"), ReadFile(kVariants / "sales.odt"));
    QCOMPARE(ReadFile(root() / "sub" / "FILE0002.docm"), ReadFile(kVariants / "sales.docm"));
  }

 private slots:
  void init() {
    dir_ = std::make_unique<TempDir>();
    std::filesystem::create_directories(dir_->path() / "tmp");
    host_ = std::make_unique<TestPageHost>(dir_->path() / "tmp");
    page_ = std::make_unique<CChkDlg>(*host_);
  }
  void cleanup() {
    page_.reset();
    host_.reset();
    dir_.reset();
  }

  void listModeRenamesRealDocuments() { renamesRealDocuments(kCacheModeList); }
  void cacheModeRenamesRealDocuments() { renamesRealDocuments(kCacheModeFiles); }

  void listModeRenameSkipsUncheckedRowsAndKeepsFailures() {
    WriteFile(root() / "a.bin", kJpeg);
    WriteFile(root() / "b.bin", kJpeg);
    WriteFile(root() / "c.bin", kJpeg);
    WriteFile(root() / "c.jpg", std::string("\0\1already there", 15));
    check(kCacheModeList);
    QCOMPARE(page_->listModel()->rowCount(), 3);
    int unchecked = -1;
    for (int i = 0; i < 3; ++i)
      if (cell(i, 2).endsWith("a.bin")) unchecked = i;
    page_->listModel()->setChecked(unchecked, false);

    rename(kCacheModeList);
    QVERIFY(std::filesystem::exists(root() / "a.bin"));
    QVERIFY(std::filesystem::exists(root() / "b.jpg"));
    QCOMPARE(ReadFile(root() / "c.jpg"), std::string("\0\1already there", 15));
    QVERIFY(std::filesystem::exists(root() / "c.bin"));
    QCOMPARE(page_->listModel()->rowCount(), 2);  // the unchecked row and the failed one
  }

  void cacheModePreviewsThirtyThreeRowsAndRenamesAll() {
    for (int i = 0; i < 100; ++i) WriteFile(root() / ("file" + std::to_string(i) + ".dat"), kJpeg);
    check(kCacheModeFiles);
    QCOMPARE(page_->listModel()->rowCount(), 33);
    for (int i = 0; i < 33; ++i) QCOMPARE(cell(i, 0), QString::number(i));
    QCOMPARE(page_->counters().identified, 100);
    QCOMPARE(page_->counters().scanned, 100);

    page_->listModel()->setAllChecked(false);  // cache mode does not consult the marks
    rename(kCacheModeFiles);
    QCOMPARE(page_->listModel()->rowCount(), 0);
    QCOMPARE(page_->counters().rowCounter, 0);
    for (int i = 0; i < 100; ++i) QVERIFY(std::filesystem::exists(root() / ("file" + std::to_string(i) + ".jpg")));
  }

  void checkWithAnEmptyPathEmptiesTheListThenRefuses() {
    WriteFile(root() / "a.bin", kJpeg);
    check(kCacheModeList);
    QCOMPARE(page_->listModel()->rowCount(), 1);
    FindControl<QLineEdit>(page_.get(), 2801)->clear();
    click(2807);
    QCOMPARE(page_->listModel()->rowCount(), 0);
    QCOMPARE(host_->recorder().lastText(), QStringLiteral("Please set the path correctly"));
    QCOMPARE(host_->recorder().messages.back().caption, QStringLiteral("Error"));
    QVERIFY(!page_->isRunning());
  }

  void checkRefusesAPathThatIsNoFolder() {
    WriteFile(root() / "a.bin", kJpeg);
    for (const std::filesystem::path& path : {dir_->path() / "none", root() / "a.bin"}) {
      FindControl<QLineEdit>(page_.get(), 2801)->setText(QString::fromStdString(path.native()));
      const size_t before = host_->recorder().messages.size();
      click(2807);
      QTRY_VERIFY(host_->recorder().messages.size() > before && !page_->isRunning());
      QCOMPARE(host_->recorder().lastText(), QStringLiteral("Please set the path correctly"));
      QCOMPARE(host_->recorder().messages.back().caption, QStringLiteral("Error"));
      QCOMPARE(page_->listModel()->rowCount(), 0);
    }
  }

  void cacheModeWithoutTemporaryFolderFailsQuietly() {
    host_->settings().temporaryFolder = dir_->path() / "not created";
    host_->settings().cacheMode = kCacheModeFiles;
    FindControl<QLineEdit>(page_.get(), 2801)->setText(QString::fromStdString(dir_->path().native()));
    click(2807);
    QTRY_VERIFY(!page_->isRunning());
    QTRY_COMPARE(status(), QStringLiteral("Failed to generate temporary file"));
    QVERIFY(host_->recorder().messages.empty());

    // Rename has no result file to read: it says so and never that it completed.
    click(2804);
    QTRY_VERIFY(!page_->isRunning());
    QTRY_COMPARE(status(), QStringLiteral("Failed to access temporary file"));
    QVERIFY(host_->recorder().messages.empty());
  }

  void busyRefusalAndStopDuringCheck() {
    for (int i = 0; i < 10000; ++i) WriteFile(root() / ("f" + std::to_string(i)), kJpeg);
    host_->settings().cacheMode = kCacheModeList;
    FindControl<QLineEdit>(page_.get(), 2801)->setText(QString::fromStdString(root().native()));
    click(2807);
    click(2804);  // a second pass while the first runs
    click(2805);
    QTRY_VERIFY(!page_->isRunning());
    QCOMPARE(host_->recorder().messages.front().text, QStringLiteral("Please wait for other tasks to completed"));
    QCOMPARE(host_->recorder().messages.front().caption, QStringLiteral("Error"));
    QTRY_COMPARE(host_->recorder().lastText(), QStringLiteral("Detect extension completed"));
    QVERIFY(page_->counters().scanned < 10000);
    QCOMPARE(page_->listModel()->rowCount(), static_cast<int>(page_->counters().identified));
  }

  void browseFillsThePathBox() {
    host_->recorder().folderAnswers.push_back(QStringLiteral("/srv/recovered/"));
    click(2802);
    QCOMPARE(FindControl<QLineEdit>(page_.get(), 2801)->text(), QStringLiteral("/srv/recovered"));
    QCOMPARE(host_->recorder().dialogCaptions.back(), QStringLiteral("please select path"));
  }

  // A Java class file is known to libmagic only: listed with "More types" checked, not without.
  void moreTypesAsksLibmagicAboutWhatNothingElseIdentified() {
    WriteFile(root() / "Main.dat", std::string("\xCA\xFE\xBA\xBE\0\0\0\x34\0\x10", 10) + std::string(64, '\0'));
    check(kCacheModeList);
    QCOMPARE(page_->listModel()->rowCount(), 0);
    auto* moreTypes = FindControl<QCheckBox>(page_.get(), 2808);
    QVERIFY(moreTypes != nullptr);
    QCOMPARE(moreTypes->accessibleName(), QStringLiteral("More types"));
    QTest::mouseClick(moreTypes, Qt::LeftButton, {}, QPoint(4, moreTypes->height() / 2));
    QVERIFY(moreTypes->isChecked());
    check(kCacheModeList);
    QCOMPARE(page_->listModel()->rowCount(), 1);
    QCOMPARE(cell(0, 1), QStringLiteral("class"));
    rename(kCacheModeList);
    QVERIFY(std::filesystem::exists(root() / "Main.class"));
  }

  void everyControlCarriesItsIdAndName() {
    const std::pair<int, QString> buttons[] = {
        {2802, "..."}, {2807, "Check"}, {2804, "Rename"}, {2805, "Stop"}};
    for (const auto& [id, caption] : buttons) {
      auto* button = FindControl<QPushButton>(page_.get(), id);
      QVERIFY(button != nullptr);
      QCOMPARE(button->text(), caption);
      QCOMPARE(button->accessibleName(), caption);
    }
    QVERIFY(FindControl<QLineEdit>(page_.get(), 2801) != nullptr);
    QVERIFY(FindControl<QWidget>(page_.get(), 2803) != nullptr);
    QCOMPARE(page_->listModel()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Index"));
    QCOMPARE(page_->listModel()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Status"));
    QCOMPARE(page_->listModel()->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Path"));
  }
};

QTEST_MAIN(ChkDlgTest)
#include "ChkDlgTest.moc"
