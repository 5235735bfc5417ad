#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <unistd.h>

#include <atomic>

#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "shell/WorkerChannel.h"
#include "app/CBrenvikDlg.h"
#include "app/CSetDlg.h"
#include "platform/FileOps.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::RecordingUi;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::WriteFile;

namespace {

// A page with a job that runs until the test releases it.
class ProbePage : public ToolPage {
 public:
  explicit ProbePage(PageHost& host) : ToolPage(host, QStringLiteral("Probe")) {}
  bool start(std::atomic<bool>& release, std::atomic<int>& finished) {
    return startJob([this, &release] {
      while (!release && !stopFlag()) std::this_thread::yield();
    }, [&finished] { ++finished; });
  }
  void pick(QLineEdit* box) { pickFolderInto(box); }

  // A job that reports many rows and a status, then returns a result: the page must show every
  // row and the last status before it gets the result.
  RowBatchChannel<int> rows{this, [this](std::vector<int> batch) { shown.insert(shown.end(), batch.begin(), batch.end()); }};
  LatestValueChannel<QString> status{this, [this](const QString& text) { lastStatus = text; }};
  std::vector<int> shown;
  QString lastStatus;
  bool reportRows(int count, std::function<void(int result, size_t shownAtResult, QString statusAtResult)> done) {
    return startJob(
        [this, count] {
          for (int i = 0; i < count; ++i) rows.post(i);
          status.post(QStringLiteral("done"));
          return count * 2;
        },
        [this, done](int result) { done(result, shown.size(), lastStatus); });
  }
};

}  // namespace

class ShellPageTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> runtime_;
  RecordingUi* recorder_ = nullptr;

  std::unique_ptr<CBrenvikDlg> makeWindow(VersionSource source = {}) {
    auto recorder = std::make_unique<RecordingUi>();
    recorder_ = recorder.get();
    return std::make_unique<CBrenvikDlg>(std::move(recorder), std::move(source));
  }

 private slots:
  void initTestCase() {
    runtime_ = std::make_unique<TempDir>();
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime_->path().native()));
  }

  void startsOnTheInvalidFilesPage() {
    auto w = makeWindow();
    QCOMPARE(w->windowTitle(), QStringLiteral("Brenvik V1.4.2"));
    QCOMPARE(w->statusText(), QStringLiteral("Invalid Files"));
    QCOMPARE(w->currentPage(), w->page(0));
    for (int i = 1; i < CBrenvikDlg::kPageCount; ++i) QVERIFY(w->page(i)->isHidden());
    QVERIFY(w->findChild<QLabel*>(QString(), Qt::FindChildrenRecursively) != nullptr);
    bool versionShown = false;
    for (QLabel* label : w->findChildren<QLabel*>())
      versionShown |= label->text() == QStringLiteral("Version: V1.4.2");
    QVERIFY(versionShown);
    QVERIFY(IsFolder(runtime_->path() / "tvk"));  // the temporary folder exists from the start
  }

  void buttonsSwitchPagesInRowOrder() {
    auto w = makeWindow();
    const int ids[] = {1000, 1001, 1007, 1003, 1004, 1013, 1008};
    const char* names[] = {"Invalid Files", "Extension", "N.S Image", "Repair DB", "Raid Analysis", "File Rename"};
    int lastX = -1;
    for (int id : ids) {
      QPushButton* b = FindControl<QPushButton>(w.get(), id);
      QVERIFY(b);
      QVERIFY(b->x() > lastX);
      lastX = b->x();
    }
    for (int i = 0; i < 6; ++i) {
      QTest::mouseClick(FindControl<QPushButton>(w.get(), ids[i]), Qt::LeftButton);
      QCOMPARE(w->statusText(), QString::fromLatin1(names[i]));
      QCOMPARE(w->currentPage(), w->page(i));
      QCOMPARE(w->page(i)->toolName(), QString::fromLatin1(names[i]));
      int visible = 0;
      for (int k = 0; k < 6; ++k) visible += w->page(k)->isHidden() ? 0 : 1;
      QCOMPARE(visible, 1);
      QCOMPARE(w->page(i)->geometry(), w->pageRect());
    }
  }

  void settingsDialogShowsDefaultsAndRoundTrips() {
    auto w = makeWindow();
    AppSettings& s = w->settings();
    {
      CSetDlg dialog(s, *recorder_, QStringLiteral("brenvik"));
      QCOMPARE(dialog.windowTitle(), QStringLiteral("设置"));
      QCOMPARE(FindControl<QLineEdit>(&dialog, 4201)->text(), QString::fromStdString((runtime_->path() / "tvk").native()));
      QCOMPARE(FindControl<QLineEdit>(&dialog, 4205)->text(), QStringLiteral("64"));
      QVERIFY(FindControl<QCheckBox>(&dialog, 4206)->isChecked());
      QVERIFY(!FindControl<QCheckBox>(&dialog, 4207)->isChecked());
      QVERIFY(FindControl<QCheckBox>(&dialog, 4208)->isChecked());
      QVERIFY(!FindControl<QCheckBox>(&dialog, 4212)->isChecked());
      QVERIFY(FindControl<QRadioButton>(&dialog, 4210)->isChecked());
      QVERIFY(FindControl<QCheckBox>(&dialog, 4213)->isChecked());
      QCOMPARE(FindControl<QLineEdit>(&dialog, 4214)->text(), QStringLiteral("DEAD_DEAD_DEAD"));
      QVERIFY(!FindControl<QPushButton>(&dialog, 4215)->isEnabled());

      TempDir chosen;
      const QString newFolder = QString::fromStdString((chosen / "new/tvk/").native());
      recorder_->folderAnswers.push_back(newFolder);
      QTest::mouseClick(FindControl<QPushButton>(&dialog, 4202), Qt::LeftButton);
      FindControl<QRadioButton>(&dialog, 4209)->setChecked(true);
      FindControl<QCheckBox>(&dialog, 4207)->setChecked(true);
      FindControl<QCheckBox>(&dialog, 4212)->setChecked(true);
      FindControl<QCheckBox>(&dialog, 4213)->setChecked(false);
      FindControl<QLineEdit>(&dialog, 4205)->setText(QStringLiteral("512"));
      QTest::mouseClick(FindControl<QPushButton>(&dialog, 4203), Qt::LeftButton);
      QCOMPARE(dialog.result(), int(QDialog::Accepted));
      QVERIFY(recorder_->messages.empty());
      QVERIFY(IsFolder(chosen / "new/tvk"));  // created on Ok
      QCOMPARE(s.temporaryFolder.native(), (chosen / "new/tvk").native());
    }
    QCOMPARE(s.cacheMode, uint8_t{kCacheModeList});
    QCOMPARE(s.nameLengthLimit, 512);
    QCOMPARE(s.sheet, uint8_t{1});
    QCOMPARE(s.size, uint8_t{1});
    QCOMPARE(s.cutToDead, uint8_t{0});
    CSetDlg again(s, *recorder_, QStringLiteral("brenvik"));
    QVERIFY(FindControl<QRadioButton>(&again, 4209)->isChecked());
    QVERIFY(!FindControl<QCheckBox>(&again, 4213)->isChecked());
    QCOMPARE(FindControl<QLineEdit>(&again, 4205)->text(), QStringLiteral("512"));
  }

  void settingsDialogRefusesBadValues() {
    AppSettings s;
    const AppSettings before = s;
    auto refusedWith = [&](auto change) {
      RecordingUi recorder;
      CSetDlg dialog(s, recorder, QStringLiteral("brenvik"));
      dialog.show();
      change(dialog);
      QTest::mouseClick(FindControl<QPushButton>(&dialog, 4203), Qt::LeftButton);
      const bool refused = recorder.messages.size() == 1 &&
                           recorder.messages[0].text == QStringLiteral("Parameter setting error, please reset") &&
                           recorder.messages[0].caption == QStringLiteral("brenvik") && dialog.isVisible();
      return refused;
    };
    QVERIFY(refusedWith([](CSetDlg& d) { FindControl<QLineEdit>(&d, 4205)->setText("0"); }));
    QVERIFY(refusedWith([](CSetDlg& d) { FindControl<QLineEdit>(&d, 4205)->setText("513"); }));
    QVERIFY(refusedWith([](CSetDlg& d) { FindControl<QLineEdit>(&d, 4205)->setText(""); }));
    QVERIFY(refusedWith([](CSetDlg& d) {
      FindControl<QCheckBox>(&d, 4206)->setChecked(false);
      FindControl<QCheckBox>(&d, 4208)->setChecked(false);
      FindControl<QCheckBox>(&d, 4212)->setChecked(true);
    }));
    QCOMPARE(s.nameLengthLimit, before.nameLengthLimit);
    QCOMPARE(s.date, before.date);
    QCOMPARE(s.size, before.size);

    RecordingUi recorder;
    CSetDlg dialog(s, recorder, QStringLiteral("brenvik"));
    FindControl<QLineEdit>(&dialog, 4205)->setText("100");
    FindControl<QRadioButton>(&dialog, 4209)->setChecked(true);
    QTest::mouseClick(FindControl<QPushButton>(&dialog, 4204), Qt::LeftButton);
    QCOMPARE(s.nameLengthLimit, 64);
    QCOMPARE(s.cacheMode, uint8_t{kCacheModeFiles});
  }

  void closingClearsTemporaryFilesAndKeepsFolders() {
    auto w = makeWindow();
    const auto folder = w->settings().temporaryFolder;
    WriteFile(folder / "2026-12-06 23-40-05", "records");
    WriteFile(folder / "xl/workbook.xml", "<x/>");
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    // Enter and Escape on the main window must not end the program.
    QTest::keyClick(w.get(), Qt::Key_Return);
    QTest::keyClick(w.get(), Qt::Key_Escape);
    QVERIFY(w->isVisible());
    QVERIFY(Exists(folder / "xl/workbook.xml"));
    w->close();
    QVERIFY(!Exists(folder / "2026-12-06 23-40-05"));
    QVERIFY(!Exists(folder / "xl/workbook.xml"));
    QVERIFY(IsFolder(folder / "xl"));
  }

  // The default folder is a link to another folder: the window works in a fresh private folder
  // of its own, and closing leaves the link's target as it was.
  void aLinkedDefaultFolderIsNeitherUsedNorEmptied() {
    TempDir runtime, other;
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.path().native()));
    WriteFile(other / "precious.txt", "the user's own file");
    WriteFile(other / "xl/workbook.xml", "<the user's own part/>");
    QVERIFY(::symlink(other.path().c_str(), (runtime / "tvk").c_str()) == 0);
    {
      auto w = makeWindow();
      const auto folder = w->settings().temporaryFolder;
      qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime_->path().native()));
      QVERIFY(folder != runtime / "tvk");
      QVERIFY(!std::filesystem::is_symlink(folder) && IsFolder(folder));
      WriteFile(folder / "2026-12-06 23-40-05", "records");
      w->close();
      QVERIFY(!Exists(folder));
    }
    QCOMPARE(ReadFile(other / "precious.txt"), std::string("the user's own file"));
    QCOMPARE(ReadFile(other / "xl/workbook.xml"), std::string("<the user's own part/>"));
    QVERIFY(std::filesystem::is_symlink(runtime / "tvk"));
  }

  void aboutIsOfferedOnF1AndTheContextMenu() {
    auto w = makeWindow();
    QAction* about = nullptr;
    for (QAction* a : w->actions())
      if (a->text() == QStringLiteral("&About Brenvik...")) about = a;
    QVERIFY(about);
    QCOMPARE(about->shortcut(), QKeySequence(Qt::Key_F1));
  }

  void newerVersionOpensTheUpdateDialog() {
    auto w = makeWindow([] { return std::optional<int>(143); });
    QSignalSpy offered(w.get(), &CBrenvikDlg::updateOffered);
    QTRY_COMPARE(offered.count(), 1);
    QDialog* update = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (top->objectName() == QStringLiteral("4400") && top->isVisible()) update = qobject_cast<QDialog*>(top);
    QVERIFY(update);
    QCOMPARE(FindControl<QLineEdit>(update, 4401)->text(), QStringLiteral("1.42"));
    QCOMPARE(FindControl<QLineEdit>(update, 4402)->text(), QStringLiteral("1.43"));
    QVERIFY(update->windowFlags() & Qt::WindowStaysOnTopHint);
    update->close();

    auto same = makeWindow([] { return std::optional<int>(142); });
    QSignalSpy none(same.get(), &CBrenvikDlg::updateOffered);
    QTest::qWait(100);
    QCOMPARE(none.count(), 0);
  }

  void secondJobIsRefusedWhileOneRuns() {
    TempDir temp;
    brenvik::testing::TestPageHost host(temp.path());
    ProbePage page(host);
    std::atomic<bool> release{false};
    std::atomic<int> finished{0};
    QVERIFY(page.start(release, finished));
    QVERIFY(page.isRunning());
    QVERIFY(!page.start(release, finished));
    QCOMPARE(host.recorder().messages.size(), size_t{1});
    QCOMPARE(host.recorder().messages[0].text, QStringLiteral("Please wait for other tasks to completed"));
    QCOMPARE(host.recorder().messages[0].caption, QStringLiteral("Error"));
    release = true;
    QTRY_COMPARE(finished.load(), 1);
    QVERIFY(!page.isRunning());
    // Stop ends a running job through its stop flag.
    release = false;
    QVERIFY(page.start(release, finished));
    QCOMPARE(page.stopFlag().load(), 0);
    page.stopAndWait();
    QCOMPARE(page.stopFlag().load(), 1);
  }

  void jobResultArrivesAfterEveryReport() {
    TempDir temp;
    brenvik::testing::TestPageHost host(temp.path());
    ProbePage page(host);
    int result = 0;
    size_t rowsAtResult = 0;
    QString statusAtResult;
    QVERIFY(page.reportRows(20000, [&](int r, size_t shown, QString status) {
      result = r;
      rowsAtResult = shown;
      statusAtResult = status;
    }));
    QTRY_COMPARE(result, 40000);
    QCOMPARE(rowsAtResult, size_t{20000});
    QCOMPARE(statusAtResult, QStringLiteral("done"));
    QVERIFY(!page.isRunning());
  }

  void folderPickerStripsOneTrailingSeparatorAndCancelEmpties() {
    TempDir temp;
    brenvik::testing::TestPageHost host(temp.path());
    ProbePage page(host);
    QLineEdit box;
    host.recorder().folderAnswers = {QStringLiteral("/media/disk/"), QStringLiteral("/"), QString()};
    page.pick(&box);
    QCOMPARE(box.text(), QStringLiteral("/media/disk"));
    QCOMPARE(host.recorder().dialogCaptions.last(), QStringLiteral("please select path"));
    page.pick(&box);
    QCOMPARE(box.text(), QStringLiteral("/"));
    page.pick(&box);
    QCOMPARE(box.text(), QString());
  }

  void listModelInsertsCheckedRowsAndMarksAll() {
    CheckListModel model({QStringLiteral("Index"), QStringLiteral("Path")}, true);
    for (int i = 0; i < 5; ++i) model.appendRow({{QString::number(i), QStringLiteral("p%1").arg(i)}});
    QCOMPARE(model.rowCount(), 5);
    QCOMPARE(model.data(model.index(0, 0), Qt::CheckStateRole).toInt(), int(Qt::Checked));
    model.setAllChecked(false);
    QVERIFY(!model.isChecked(4));
    QVERIFY(model.setData(model.index(2, 0), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(model.isChecked(2));
    model.removeRowsAt({4, 0, 4, 2});
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.row(0).cells[1], QStringLiteral("p1"));
    QCOMPARE(model.row(1).cells[1], QStringLiteral("p3"));
  }

  void channelsCoalesceTextAndBatchRows() {
    QObject context;
    QStringList applied;
    LatestValueChannel<QString> text(&context, [&](const QString& t) { applied << t; });
    std::vector<int> rows;
    int batches = 0;
    RowBatchChannel<int> feed(&context, [&](std::vector<int> batch) {
      ++batches;
      rows.insert(rows.end(), batch.begin(), batch.end());
    });
    std::thread worker([&] {
      for (int i = 0; i < 1000; ++i) {
        text.post(QString::number(i));
        feed.post(i);
      }
    });
    worker.join();
    QCoreApplication::processEvents();
    text.flush();
    feed.flush();
    QCOMPARE(applied.last(), QStringLiteral("999"));
    QVERIFY(applied.size() < 1000);
    QCOMPARE(rows.size(), size_t{1000});
    QCOMPARE(rows.back(), 999);
    QVERIFY(batches < 1000);
  }
};

QTEST_MAIN(ShellPageTest)
#include "ShellPageTest.moc"
