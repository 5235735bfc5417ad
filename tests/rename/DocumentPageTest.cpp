// The File Rename page driven headless through its real controls, on documents written by an
// office suite.
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <atomic>

#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "shell/QtText.h"
#include "platform/FileOps.h"
#include "platform/PathText.h"
#include "rename/page/CDocumentDlg.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"
#include "tests/support/TimeZone.h"

using namespace brenvik;
using brenvik::testing::RecordingUi;
using brenvik::testing::TempDir;
using brenvik::testing::TestPageHost;
using brenvik::testing::WriteFile;

namespace {

const std::filesystem::path kData = BRENVIK_RENAME_DATA;
const int kTypeIds[] = {4801, 4802, 4803, 4804, 4805, 4806, 4807, 4815};

// Copies of the office documents plus text files: `count` selected files in all.
void FillWithDocuments(const std::filesystem::path& folder, int count) {
  const char* fixtures[] = {"report.doc", "budget.xls", "report.docx", "budget.xlsx", "report.pdf"};
  for (int i = 0; i < count; ++i) {
    const std::filesystem::path sub = folder / (i % 2 == 0 ? "a" : "b/c");
    std::filesystem::create_directories(sub);
    if (i % 6 == 5) {
      WriteFile(sub / ("note" + std::to_string(i) + ".txt"), "Meeting notes " + std::to_string(i));
    } else {
      const std::filesystem::path source = kData / fixtures[i % 6];
      std::filesystem::copy_file(source, sub / ("0" + std::to_string(i) + source.extension().string()));
    }
  }
  WriteFile(folder / "a/ignored.bin", "not a document");
  WriteFile(folder / "a/UPPER.DOC", "not selected");
}

std::vector<std::string> NamesBelow(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

int CountFiles(const std::filesystem::path& folder) {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) n += entry.is_regular_file() ? 1 : 0;
  return n;
}

// Wraps the real readers; the call numbered `holdAt` waits until the test lets it go.
struct ReaderGate {
  std::atomic<int> calls{0};
  std::atomic<bool> reached{false};
  std::atomic<bool> released{false};
  int holdAt = -1;

  void pass() {
    if (++calls != holdAt) return;
    reached = true;
    while (!released) std::this_thread::yield();
  }

  ContentReaders wrap(ContentReaders real) {
    const auto document = [this](DocumentTextReader read) {
      return [this, read](const std::filesystem::path& p, const AppSettings& s) { pass(); return read(p, s); };
    };
    const auto name = [this](NameReader read) {
      return [this, read](const std::filesystem::path& p, const AppSettings& s) { pass(); return read(p, s); };
    };
    return {document(real.word), document(real.excel), document(real.docx), document(real.xlsx),
            name(real.zip),      name(real.rar),       name(real.pdf),       name(real.text),
            real.photo,          real.music,           real.video};
  }
};

}  // namespace

class DocumentPageTest : public QObject {
  Q_OBJECT

  // Names take local time; the documents were saved at 06:07:09 UTC.
  const brenvik::testing::ScopedTimeZone zone_{brenvik::testing::kUtcPlus8};

  std::unique_ptr<TempDir> temporary_;
  std::unique_ptr<TempDir> root_;
  std::unique_ptr<TestPageHost> host_;
  std::unique_ptr<CDocumentDlg> page_;

  RecordingUi& ui() { return host_->recorder(); }
  QPushButton* button(int id) { return FindControl<QPushButton>(page_.get(), id); }
  void click(int id) { QTest::mouseClick(button(id), Qt::LeftButton); }
  QString status() { return FindControl<QLabel>(page_.get(), 4814)->text(); }
  CheckListView* list() { return FindControl<CheckListView>(page_.get(), 4810); }
  CheckListModel* model() { return list()->listModel(); }
  void setPath(const std::filesystem::path& path) {
    FindControl<QLineEdit>(page_.get(), 4808)->setText(PathToQString(path));
  }
  void useCacheMode(bool on) { host_->settings().cacheMode = on ? kCacheModeFiles : kCacheModeList; }
  // Presses a button that runs a job and waits for the job's message box.
  bool runJob(int id, const QString& completion) {
    const size_t before = ui().messages.size();
    click(id);
    return QTest::qWaitFor([&] { return ui().messages.size() > before; }, 60000) && ui().lastText() == completion;
  }
  bool check() { return runJob(4811, QStringLiteral("Detect File Rename completed")); }
  bool rename() { return runJob(4812, QStringLiteral("File rename completed")); }
  std::filesystem::path rowPath(int row) { return QStringToPath(model()->row(row).cells[1]); }

 private slots:
  void init() {
    temporary_ = std::make_unique<TempDir>();
    root_ = std::make_unique<TempDir>();
    host_ = std::make_unique<TestPageHost>(temporary_->path());
    page_ = std::make_unique<CDocumentDlg>(*host_);
    page_->showInFileManager = [](const std::filesystem::path&) { return true; };
  }

  void cleanup() {
    page_.reset();
    host_.reset();
  }

  void opensWithEveryTypeTickedAndTheTwoColumns() {
    const char* captions[] = {"doc", "xls", "docx", "xlsx", "zip", "rar", "pdf", "txt"};
    for (int i = 0; i < 8; ++i) {
      QCheckBox* box = FindControl<QCheckBox>(page_.get(), kTypeIds[i]);
      QVERIFY(box);
      QCOMPARE(box->text(), QString::fromLatin1(captions[i]));
      QVERIFY(box->isChecked());
    }
    // Photos, songs and videos are renamed only when asked for.
    const std::pair<int, const char*> media[] = {{4818, "Photos"}, {4819, "Music"}, {4820, "Videos"}};
    for (const auto& [id, caption] : media) {
      QCheckBox* box = FindControl<QCheckBox>(page_.get(), id);
      QVERIFY(box);
      QCOMPARE(box->text(), QString::fromLatin1(caption));
      QCOMPARE(box->accessibleName(), QString::fromLatin1(caption));
      QVERIFY(!box->isChecked());
    }
    QCOMPARE(model()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Index"));
    QCOMPARE(model()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Path"));
    QCOMPARE(list()->columnWidth(0), 100);
    QCOMPARE(button(4811)->text(), QStringLiteral("Check"));
    QCOMPARE(button(4812)->text(), QStringLiteral("Rename"));
    QCOMPARE(button(4813)->text(), QStringLiteral("Stop"));
    QCOMPARE(button(4809)->text(), QStringLiteral("..."));
  }

  void browseFillsThePath() {
    ui().folderAnswers.push_back(PathToQString(root_->path()) + QStringLiteral("/"));
    click(4809);
    QCOMPARE(FindControl<QLineEdit>(page_.get(), 4808)->text(), PathToQString(root_->path()));
    QCOMPARE(ui().dialogCaptions.value(0), QStringLiteral("please select path"));
  }

  void refusesWithoutPathOrType() {
    useCacheMode(false);
    FillWithDocuments(root_->path(), 3);
    setPath(root_->path());
    QVERIFY(check());
    QCOMPARE(model()->rowCount(), 3);

    setPath({});
    click(4811);
    QCOMPARE(ui().lastText(), QStringLiteral("Please set the path correctly"));
    QCOMPARE(ui().messages.back().caption, QStringLiteral("Error"));
    QCOMPARE(model()->rowCount(), 0);  // the list is emptied before the refusal

    // A path that names no folder is refused by the Check itself, with the same message.
    setPath(root_->path() / "missing");
    QVERIFY(runJob(4811, QStringLiteral("Please set the path correctly")));
    QCOMPARE(ui().messages.back().caption, QStringLiteral("Error"));
    QCOMPARE(model()->rowCount(), 0);

    setPath(root_->path());
    for (int id : kTypeIds) FindControl<QCheckBox>(page_.get(), id)->setChecked(false);
    click(4811);
    QCOMPARE(ui().lastText(), QStringLiteral("Please check type correctly"));
    QCOMPARE(ui().messages.back().caption, QStringLiteral("Error"));
  }

  void photosBoxRenamesPhotosFromTheirMetadata() {
    useCacheMode(false);
    FillWithDocuments(root_->path(), 2);
    std::filesystem::copy_file(kData / "photo.jpg", root_->path() / "f1234.jpg");
    std::filesystem::copy_file(kData / "photo.jpg", root_->path() / "IMG_0001.JPG");
    for (int id : kTypeIds) FindControl<QCheckBox>(page_.get(), id)->setChecked(false);
    QTest::mouseClick(FindControl<QCheckBox>(page_.get(), 4818), Qt::LeftButton);
    setPath(root_->path());
    QVERIFY(check());
    QCOMPARE(model()->rowCount(), 2);
    QVERIFY(rename());
    const std::vector<std::string> names = NamesBelow(root_->path());
    // Taken at 12:22:05 UTC, shown on this machine's clock (UTC+8).
    QVERIFY(std::count(names.begin(), names.end(), "2019-06-01 20-22-05CanonEOS5DMarkII#1.jpg") +
                std::count(names.begin(), names.end(), "2019-06-01 20-22-05CanonEOS5DMarkII#1.JPG") == 1);
    QCOMPARE(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.find("#2.") != n.npos; }), 1);
    QVERIFY(std::find(names.begin(), names.end(), "00.doc") != names.end());  // not ticked, not renamed
  }

  void onlyTickedTypesAreListed() {
    useCacheMode(false);
    FillWithDocuments(root_->path(), 12);
    for (int id : kTypeIds) FindControl<QCheckBox>(page_.get(), id)->setChecked(id == 4807);
    setPath(root_->path());
    QVERIFY(check());
    QCOMPARE(model()->rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
      QCOMPARE(model()->row(row).cells[0], QString::number(row));
      QVERIFY(model()->row(row).cells[1].endsWith(QStringLiteral(".pdf")));
      QVERIFY(model()->isChecked(row));
    }
    QCOMPARE(status(), QStringLiteral("Numbers: 2"));
  }

  void cacheModeShowsThirtyThreeRowsAndRenamesAllFifty() {
    useCacheMode(true);
    FillWithDocuments(root_->path(), 50);
    setPath(root_->path());
    QVERIFY(check());
    QCOMPARE(status(), QStringLiteral("Numbers: 50"));
    QCOMPARE(model()->rowCount(), 33);
    QCOMPARE(model()->row(0).cells[0], QStringLiteral("0"));
    QCOMPARE(model()->row(32).cells[0], QStringLiteral("32"));
    QCOMPARE(CountFiles(temporary_->path()), 1);  // the temporary result file

    model()->setAllChecked(false);  // check marks make no difference in cache mode
    QVERIFY(rename());
    QCOMPARE(status(), QStringLiteral("Numbers: 50"));
    QCOMPARE(model()->rowCount(), 0);
    QCOMPARE(CountFiles(temporary_->path()), 0);
    int renamed = 0;
    for (const std::string& name : NamesBelow(root_->path())) renamed += name.find('#') != std::string::npos ? 1 : 0;
    QCOMPARE(renamed, 50);
    const auto names = NamesBelow(root_->path());
    const auto count = [&](const std::string& part, const std::string& suffix) {
      return std::count_if(names.begin(), names.end(), [&](const std::string& n) {
        return n.find(part) != std::string::npos && n.size() >= suffix.size() &&
               n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
      });
    };
    QCOMPARE(count("2012-03-05 14-07-09AnnualReport#", ".doc"), 9);
    QCOMPARE(count("AnnualReport#", ".docx"), 8);
    QCOMPARE(count("2012-03-05 14-07-09TravelcostsTotals#", ".xls"), 9);
    QCOMPARE(count("TravelcostsTotals#", ".xlsx"), 8);
    QCOMPARE(count("20120305140709#", ".pdf"), 8);
    QCOMPARE(count("Meetingnotes", ".txt"), 8);

    // The result file is gone: a second Rename can only say so, and never that it completed.
    const size_t messages = ui().messages.size();
    click(4812);
    QTRY_VERIFY(!page_->isRunning());
    QTRY_COMPARE(status(), QStringLiteral("Failed to access temporary file"));
    QCOMPARE(ui().messages.size(), messages);
  }

  // Chinese Word text keeps 销 and 一 (16-bit characters whose low byte is zero), and text files in
  // UTF-8 without a byte-order mark name their files as they read, whatever the locale's code page.
  void namesReadAsTheirText() {
    useCacheMode(false);
    std::filesystem::copy_file(kData / "sales.doc", root_->path() / "00007.doc");
    for (const char* text : {"cs.txt", "zh.txt", "ja.txt"})
      std::filesystem::copy_file(kData / "../text" / text, root_->path() / text);
    setPath(root_->path());
    QVERIFY(check());
    QCOMPARE(model()->rowCount(), 4);
    QVERIFY(rename());
    const auto names = NamesBelow(root_->path());
    const auto named = [&](const std::string& start, const std::string& end) {
      return std::any_of(names.begin(), names.end(),
                         [&](const std::string& n) { return n.starts_with(start) && n.ends_with(end); });
    };
    QVERIFY(named("2019-07-13 05-10-05年度销售报告二〇一九年度#", ".doc"));
    QVERIFY(named("Zprávaočinnostizarok2019Příloharozpočet#", ".txt"));
    QVERIFY(named("年度销售报告二〇一九年度第三季度#", ".txt"));
    QVERIFY(named("年次報告書営業部売上の概要#", ".txt"));
  }

  void listModeRenamesCheckedRowsAndLeavesThemUnchecked() {
    useCacheMode(false);
    FillWithDocuments(root_->path(), 5);
    setPath(root_->path());
    QVERIFY(check());
    QCOMPARE(model()->rowCount(), 5);
    model()->setChecked(1, false);
    model()->setChecked(3, false);
    const std::filesystem::path kept = rowPath(1);
    QVERIFY(rename());
    QCOMPARE(status(), QStringLiteral("Numbers: 5 / 5"));
    for (int row = 0; row < 5; ++row) QVERIFY(!model()->isChecked(row));
    QVERIFY(Exists(kept));
    QVERIFY(!Exists(rowPath(0)));  // rows keep their old paths
    QCOMPARE(model()->rowCount(), 5);

    // Only the first three checked: the count stops at the last checked row.
    model()->setChecked(0, true);
    model()->setChecked(1, true);
    model()->setChecked(2, true);
    QVERIFY(rename());
    QCOMPARE(status(), QStringLiteral("Numbers: 3 / 5"));
  }

  void stopInListModeLeavesTheRestCheckedAndNumberingGoesOn() {
    page_.reset();
    ReaderGate gate;
    gate.holdAt = 3;
    page_ = std::make_unique<CDocumentDlg>(*host_, nullptr, gate.wrap(DocumentContentReaders()));
    useCacheMode(false);
    for (int i = 0; i < 6; ++i) WriteFile(root_->path() / ("f" + std::to_string(i) + ".txt"), "Minutes");
    setPath(root_->path());
    QVERIFY(check());
    QCOMPARE(model()->rowCount(), 6);

    click(4812);
    QTRY_VERIFY_WITH_TIMEOUT(gate.reached.load(), 30000);
    click(4811);  // busy: refused
    QCOMPARE(ui().lastText(), QStringLiteral("Please wait for other tasks to completed"));
    QCOMPARE(ui().messages.back().caption, QStringLiteral("Error"));
    click(4813);
    gate.released = true;
    QTRY_VERIFY_WITH_TIMEOUT(ui().lastText() == QStringLiteral("File rename completed"), 30000);
    QCOMPARE(status(), QStringLiteral("Numbers: 3 / 6"));
    for (int row = 0; row < 6; ++row) QCOMPARE(model()->isChecked(row), row >= 3);
    QVERIFY(Exists(root_->path() / "Minutes#3.txt"));

    QVERIFY(rename());
    QCOMPARE(status(), QStringLiteral("Numbers: 6 / 6"));
    QVERIFY(Exists(root_->path() / "Minutes#6.txt"));
    QCOMPARE(CountFiles(root_->path()), 6);
    page_.reset();  // its readers refer to the gate
  }

  void rowsUncheckedDuringARenameAreLeftOut() {
    page_.reset();
    ReaderGate gate;
    gate.holdAt = 1;
    page_ = std::make_unique<CDocumentDlg>(*host_, nullptr, gate.wrap(DocumentContentReaders()));
    useCacheMode(false);
    for (int i = 0; i < 4; ++i) WriteFile(root_->path() / ("f" + std::to_string(i) + ".txt"), "Agenda");
    setPath(root_->path());
    QVERIFY(check());
    click(4812);
    QTRY_VERIFY_WITH_TIMEOUT(gate.reached.load(), 30000);
    const std::filesystem::path spared = rowPath(2);
    model()->setChecked(2, false);
    gate.released = true;
    QTRY_VERIFY_WITH_TIMEOUT(ui().lastText() == QStringLiteral("File rename completed"), 30000);
    QCOMPARE(status(), QStringLiteral("Numbers: 4 / 4"));
    QVERIFY(Exists(spared));
    QVERIFY(Exists(root_->path() / "Agenda#3.txt"));
    QVERIFY(!Exists(root_->path() / "Agenda#4.txt"));
    page_.reset();  // its readers refer to the gate
  }

  void gotoPathShowsTheRowsFile() {
    useCacheMode(false);
    FillWithDocuments(root_->path(), 2);
    setPath(root_->path());
    QVERIFY(check());
    std::vector<std::filesystem::path> shown;
    page_->showInFileManager = [&](const std::filesystem::path& p) { shown.push_back(p); return true; };
    QAction* gotoAction = page_->findChild<QAction*>(QStringLiteral("4817"));
    QVERIFY(gotoAction);
    QCOMPARE(gotoAction->text(), QStringLiteral("Goto Path"));

    gotoAction->trigger();  // no selection mark yet: nothing happens
    QVERIFY(shown.empty());

    QMenu* menu = page_->findChild<QMenu*>(QStringLiteral("4816"));
    page_->show();
    const QRect cell = list()->visualRect(model()->index(1, 1));
    emit list()->customContextMenuRequested(cell.center());
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
    gotoAction->trigger();
    QCOMPARE(shown.size(), size_t{1});
    QCOMPARE(shown[0], rowPath(1));

    // Empty list space offers only the undo (a cache-mode Rename leaves the list empty).
    menu->hide();
    emit list()->customContextMenuRequested(QPoint(5, list()->viewport()->height() - 5));
    QTRY_VERIFY(menu->isVisible());
    QVERIFY(!gotoAction->isEnabled());
    QVERIFY(menu->findChild<QAction*>(QStringLiteral("undoLastJob"))->isEnabled());
    menu->hide();
  }
};

QTEST_MAIN(DocumentPageTest)
#include "DocumentPageTest.moc"
