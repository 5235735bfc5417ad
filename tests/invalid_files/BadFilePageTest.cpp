#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "shell/Controls.h"
#include "invalid_files/page/CBadFileDlg.h"
#include "shell/QtText.h"
#include "core/RecordFile.h"
#include "platform/FileOps.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::TestPageHost;
using brenvik::testing::WriteFile;

namespace {

struct PageFixture {
  TempDir temporary;
  TempDir root;
  TestPageHost host{temporary.path()};
  CBadFileDlg page{host};

  template <class T>
  T* control(int id) {
    T* found = FindControl<T>(&page, id);
    if (found == nullptr) qFatal("control %d missing", id);
    return found;
  }
  QString text(int id) { return control<QLabel>(id)->text(); }
  void click(int id) { QTest::mouseClick(control<QPushButton>(id), Qt::LeftButton); }
  void pickRoot(const std::filesystem::path& folder) {
    host.recorder().folderAnswers.push_back(QString::fromStdString(folder.native()));
    click(3802);
  }
  // Presses a button that starts a job and waits for its completion message.
  bool runToCompletion(int button, const QString& completion) {
    const size_t before = host.recorder().messages.size();
    click(button);
    return QTest::qWaitFor([&] { return host.recorder().messages.size() > before && !page.isRunning(); }, 20000) &&
           host.recorder().messages.back().text == completion &&
           host.recorder().messages.back().caption == QStringLiteral("Brenvik");
  }
  QStringList column(int column) {
    QStringList cells;
    for (int row = 0; row < page.results()->rowCount(); ++row) cells << page.results()->row(row).cells[column];
    return cells;
  }
  CheckListView* view(int id) { return control<CheckListView>(id); }
  QMenu* openMenuOn(int listId, int row) {
    CheckListView* list = view(listId);
    list->setCurrentIndex(list->model()->index(row, 0));
    emit list->customContextMenuRequested(list->visualRect(list->model()->index(row, 0)).center());
    QMenu* menu = page.findChild<QMenu*>();
    return menu != nullptr && menu->isVisible() ? menu : nullptr;
  }
  // Chooses "Undo last job" from the menu beside the result rows; the undo's message text.
  QString undoFromMenu() {
    const size_t before = host.recorder().messages.size();
    CheckListView* list = view(3803);
    emit list->customContextMenuRequested(QPoint(5, list->viewport()->height() - 5));
    QMenu* menu = page.findChild<QMenu*>();
    menu->findChild<QAction*>(QStringLiteral("undoLastJob"))->trigger();
    menu->hide();
    if (!QTest::qWaitFor([&] { return host.recorder().messages.size() > before && !page.isRunning(); }, 20000))
      return {};
    return host.recorder().messages.back().text;
  }
  QAction* item(QMenu* menu, int id) {
    for (QAction* action : menu->actions())
      if (action->objectName() == QString::number(id)) return action;
    return nullptr;
  }
};

}  // namespace

class BadFilePageTest : public QObject {
  Q_OBJECT

 private slots:
  void startsWithTheDefaultCriteria() {
    PageFixture f;
    QVERIFY(f.control<QLineEdit>(3801)->isReadOnly());
    QVERIFY(f.control<QLineEdit>(3801)->text().isEmpty());
    QCOMPARE(f.control<QPushButton>(3804)->text(), QStringLiteral("Check"));
    QCOMPARE(f.control<QPushButton>(3805)->text(), QStringLiteral("Delete"));
    QCOMPARE(f.control<QPushButton>(3806)->text(), QStringLiteral("Stop"));
    QVERIFY(f.control<QCheckBox>(3821)->isChecked());
    QVERIFY(f.control<QCheckBox>(3820)->isChecked());
    QVERIFY(!f.control<QCheckBox>(3812)->isChecked());
    QVERIFY(f.control<QCheckBox>(3824)->isChecked());
    QCOMPARE(f.control<QLineEdit>(3822)->text(), QStringLiteral("0"));
    QCOMPARE(f.control<QLineEdit>(3823)->text(), QStringLiteral("0"));
    QCOMPARE(f.control<QLineEdit>(3810)->text(), QStringLiteral("DEADDEAD"));
    QCOMPARE(f.control<QLineEdit>(3811)->text(), QStringLiteral("50"));

    CheckListModel* names = f.view(3808)->listModel();
    QCOMPARE(names->rowCount(), 9);
    QCOMPARE(names->row(5).cells, (QStringList{QStringLiteral("?"), QStringLiteral("contain")}));
    CheckListModel* types = f.view(3809)->listModel();
    QCOMPARE(types->rowCount(), 40);
    QCOMPARE(types->row(39).cells, (QStringList{QStringLiteral("40"), QStringLiteral("mxf")}));
    for (int row = 0; row < 40; ++row) QVERIFY(types->isChecked(row));
    QCOMPARE(f.view(3803)->listModel()->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(),
             QStringLiteral("Path"));

    // The content and size boxes enable their edits.
    QVERIFY(!f.control<QLineEdit>(3810)->isEnabled());
    QVERIFY(!f.control<QLineEdit>(3811)->isEnabled());
    f.control<QCheckBox>(3812)->click();
    QVERIFY(f.control<QLineEdit>(3810)->isEnabled());
    QVERIFY(f.control<QLineEdit>(3811)->isEnabled());
    f.control<QCheckBox>(3821)->click();
    QVERIFY(!f.control<QLineEdit>(3822)->isEnabled());
    QVERIFY(!f.control<QLineEdit>(3823)->isEnabled());
  }

  void refusedChecksShowTheirMessageAndLeaveTheListEmpty() {
    PageFixture f;
    WriteFile(f.root / "empty", "");
    const auto refusal = [&] {
      const size_t before = f.host.recorder().messages.size();
      f.click(3804);
      if (f.host.recorder().messages.size() != before + 1) return QString();
      const auto& m = f.host.recorder().messages.back();
      return f.page.isRunning() || f.page.results()->rowCount() != 0 || m.caption != QStringLiteral("brenvik")
                 ? QStringLiteral("<job started>")
                 : m.text;
    };
    QCOMPARE(refusal(), QStringLiteral("Please set the path correctly"));
    f.pickRoot(f.root.path());
    f.control<QLineEdit>(3822)->setText(QStringLiteral("10"));
    f.control<QLineEdit>(3823)->setText(QStringLiteral("5"));
    QCOMPARE(refusal(), QStringLiteral("Please set the size correctly"));
    f.control<QLineEdit>(3822)->setText(QStringLiteral("0"));
    f.control<QCheckBox>(3812)->click();
    f.control<QLineEdit>(3810)->setText(QStringLiteral("DEA"));
    QCOMPARE(refusal(), QStringLiteral("Please set the byte content correctly"));
    f.control<QLineEdit>(3810)->setText(QStringLiteral("0G"));
    f.control<QLineEdit>(3811)->setText(QStringLiteral("101"));
    QCOMPARE(refusal(), QStringLiteral("Please set percent correctly"));
    f.control<QCheckBox>(3812)->click();
    f.control<QCheckBox>(3821)->click();
    f.view(3808)->listModel()->setAllChecked(false);
    f.view(3809)->listModel()->setAllChecked(false);
    QCOMPARE(refusal(), QStringLiteral("Parameter setting error, please reset"));
    QVERIFY(f.page.detector().root.empty());

    // Delete before any scan has nothing to act on.
    f.click(3805);
    QCOMPARE(f.host.recorder().lastText(), QStringLiteral("Please set the path correctly"));
    QVERIFY(!f.page.isRunning());
  }

  void checkRefusesAPathThatIsNoFolder() {
    PageFixture f;
    WriteFile(f.root / "broken.jpg", "not a jpeg");
    f.pickRoot(f.root / "broken.jpg");
    f.click(3804);
    QTRY_VERIFY(!f.host.recorder().messages.empty() && !f.page.isRunning());
    QCOMPARE(f.host.recorder().lastText(), QStringLiteral("Please set the path correctly"));
    QCOMPARE(f.host.recorder().messages.back().caption, QStringLiteral("brenvik"));
    QCOMPARE(f.page.results()->rowCount(), 0);
  }

  void cacheModeShowsThirtyThreeRowsAndKeepsEveryRecord() {
    PageFixture f;
    for (int i = 0; i < 50; ++i) WriteFile(f.root / ("d" + std::to_string(i % 4)) / ("f" + std::to_string(i)), "");
    f.pickRoot(f.root.path());
    const auto before = testing::SnapshotTree(f.root.path(), kJournalFolderName);
    QVERIFY(f.undoFromMenu().startsWith(QStringLiteral("There is no job to undo below %1. Files deleted without moving "
                                                       "them aside cannot be brought back")
                                             .arg(QString::fromStdString(f.root.path().native()))));
    QVERIFY(f.runToCompletion(3804, QStringLiteral("Detect invalid files completed")));
    QCOMPARE(f.page.results()->rowCount(), 33);
    QStringList numbers;
    for (int i = 0; i < 33; ++i) numbers << QString::number(i);
    QCOMPARE(f.column(0), numbers);
    QCOMPARE(f.column(2).count(QStringLiteral("size")), 33);
    QVERIFY(f.text(3813).endsWith(QStringLiteral("Numbers: 50 / 50")));
    QCOMPARE(f.text(3815), QStringLiteral("Detect invalid files completed"));

    UniqueFd records = OpenShared(f.page.resultFile());
    QVERIFY(records.valid());
    RecordFileReader reader(records.get(), kPathRecordLength, 1, kInvalidRecordTrailerBytes);
    int count = 0;
    while (reader.NextPath()) ++count;
    QCOMPARE(count, 50);

    // Delete moves every recorded file aside, whatever was marked, and empties list and file.
    f.page.results()->setAllChecked(false);
    const auto resultFile = f.page.resultFile();
    QVERIFY(f.runToCompletion(3805, QStringLiteral("Delete invalid files completed")));
    QCOMPARE(f.page.results()->rowCount(), 0);
    QVERIFY(!Exists(resultFile));
    QVERIFY(Exists(f.root / "DEAD_DEAD_DEAD/d3/f3"));
    QVERIFY(!Exists(f.root / "d0"));

    // The list's menu takes the move aside back: every file, folder by folder.
    const QString undone = f.undoFromMenu();
    QVERIFY2(undone.startsWith(QStringLiteral("Undo of Invalid Files ")), qPrintable(undone));
    QVERIFY2(undone.endsWith(QStringLiteral("\nRestored: 50 / 50")), qPrintable(undone));
    QCOMPARE(f.host.recorder().messages.back().caption, QStringLiteral("Brenvik"));
    QVERIFY(testing::SnapshotTree(f.root.path(), kJournalFolderName) == before);
  }

  void listModeDeleteMirrorsFoldersAndKeepsUnmarkedRows() {
    PageFixture f;
    f.host.settings().cacheMode = kCacheModeList;
    for (int i = 0; i < 50; ++i) WriteFile(f.root / "a/b" / ("f" + std::to_string(i)), "");
    WriteFile(f.root / "a/keep.txt", "text");
    WriteFile(f.root / "c/only", "");
    f.pickRoot(f.root.path());
    QVERIFY(f.runToCompletion(3804, QStringLiteral("Detect invalid files completed")));
    QCOMPARE(f.page.results()->rowCount(), 51);
    QCOMPARE(f.column(0).last(), QStringLiteral("50"));
    QCOMPARE(f.column(1).first(), QStringLiteral("0 Bytes"));

    const int kept = f.column(3).indexOf(QString::fromStdString((f.root / "a/b/f7").native()));
    QVERIFY(kept >= 0);
    f.page.results()->setChecked(kept, false);
    QVERIFY(f.runToCompletion(3805, QStringLiteral("Delete invalid files completed")));
    QCOMPARE(f.page.results()->rowCount(), 1);
    QCOMPARE(f.column(3).first(), QString::fromStdString((f.root / "a/b/f7").native()));
    QVERIFY(Exists(f.root / "a/b/f7"));
    QVERIFY(Exists(f.root / "DEAD_DEAD_DEAD/a/b/f0"));
    QVERIFY(Exists(f.root / "DEAD_DEAD_DEAD/c/only"));
    QVERIFY(!Exists(f.root / "c"));  // emptied, then removed
    QVERIFY(Exists(f.root / "a/keep.txt"));
    QCOMPARE(f.text(3815), QStringLiteral("Delete invalid files completed"));
  }

  // The Damaged box (off at start) lists damaged files with a reason and carved-past-the-end
  // files as unmarked tails, which Delete leaves even when the user marks them.
  void damagedBoxListsReasonsAndDeleteKeepsTails() {
    PageFixture f;
    f.host.settings().cacheMode = kCacheModeList;
    QCheckBox* damaged = f.control<QCheckBox>(3825);
    QVERIFY(!damaged->isChecked());
    QCOMPARE(damaged->accessibleName(), QStringLiteral("Damaged"));
    QCOMPARE(f.view(3803)->listModel()->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(),
             QStringLiteral("Reason"));
    const std::string photo = ReadFile(std::filesystem::path(BRENVIK_TEST_DATA) / "damage/photo.jpg");
    WriteFile(f.root / "cut.jpg", photo.substr(0, 1500));
    WriteFile(f.root / "carved.jpg", photo + std::string(10, 'x'));
    WriteFile(f.root / "whole.jpg", photo);
    f.pickRoot(f.root.path());
    damaged->click();
    QVERIFY(f.runToCompletion(3804, QStringLiteral("Detect invalid files completed")));
    QCOMPARE(f.page.results()->rowCount(), 2);
    const int cut = f.column(3).indexOf(QString::fromStdString((f.root / "cut.jpg").native()));
    const int carved = f.column(3).indexOf(QString::fromStdString((f.root / "carved.jpg").native()));
    QVERIFY(cut >= 0 && carved >= 0);
    QCOMPARE(f.column(2)[cut], QStringLiteral("damaged"));
    QCOMPARE(f.column(4)[cut], QStringLiteral("jpeg: data ends before the end marker"));
    QCOMPARE(f.column(2)[carved], QStringLiteral("tail"));
    QCOMPARE(f.column(4)[carved], QStringLiteral("10 bytes after the end"));
    QVERIFY(f.page.results()->isChecked(cut));
    QVERIFY(!f.page.results()->isChecked(carved));

    f.page.results()->setAllChecked(true);
    QVERIFY(f.runToCompletion(3805, QStringLiteral("Delete invalid files completed")));
    QVERIFY(Exists(f.root / "DEAD_DEAD_DEAD/cut.jpg"));
    QVERIFY(Exists(f.root / "carved.jpg"));
    QVERIFY(Exists(f.root / "whole.jpg"));
    QCOMPARE(f.column(2), QStringList{QStringLiteral("tail")});
  }

  // Duplicates and Thumbnails (off at start) list a copy with the file kept as its Reason and a
  // carved thumbnail with its picture; Delete moves both aside even when it deletes.
  void duplicatesAndThumbnailsAreListedAndMovedAside() {
    PageFixture f;
    f.host.settings().cacheMode = kCacheModeList;
    f.host.settings().cutToDead = 0;
    QCheckBox* duplicates = f.control<QCheckBox>(3826);
    QCheckBox* thumbnails = f.control<QCheckBox>(3827);
    QVERIFY(!duplicates->isChecked() && !thumbnails->isChecked());
    QCOMPARE(duplicates->accessibleName(), QStringLiteral("Duplicates"));
    QCOMPARE(thumbnails->accessibleName(), QStringLiteral("Thumbnails"));
    const std::filesystem::path data = std::filesystem::path(BRENVIK_TEST_DATA) / "thumbnail";
    std::filesystem::copy_file(data / "f0000072.jpg", f.root / "f0000072.jpg");
    std::filesystem::copy_file(data / "t0000072.jpg", f.root / "t0000072.jpg");
    std::filesystem::create_directories(f.root / "again");
    std::filesystem::copy_file(data / "f0000072.jpg", f.root / "again/f0000072.jpg");
    f.pickRoot(f.root.path());
    QTest::mouseClick(duplicates, Qt::LeftButton);
    QTest::mouseClick(thumbnails, Qt::LeftButton);
    QVERIFY(duplicates->isChecked() && thumbnails->isChecked());
    QVERIFY(f.runToCompletion(3804, QStringLiteral("Detect invalid files completed")));
    QCOMPARE(f.page.results()->rowCount(), 2);
    const int thumbnail = f.column(2).indexOf(QStringLiteral("thumbnail"));
    const int duplicate = f.column(2).indexOf(QStringLiteral("duplicate"));
    QVERIFY(thumbnail >= 0 && duplicate >= 0);
    QCOMPARE(f.column(3)[thumbnail], QString::fromStdString((f.root / "t0000072.jpg").native()));
    QVERIFY(f.column(4)[thumbnail].endsWith(QStringLiteral("f0000072.jpg")));
    const QString copy = f.column(3)[duplicate];
    const QString kept = f.column(4)[duplicate];
    QVERIFY(copy != kept && copy.endsWith(QStringLiteral("f0000072.jpg")) && kept.endsWith(QStringLiteral("f0000072.jpg")));

    QVERIFY(f.runToCompletion(3805, QStringLiteral("Delete invalid files completed\nDamaged files, duplicates and "
                                                   "thumbnails were moved aside to DEAD_DEAD_DEAD, not deleted: 2")));
    QVERIFY(Exists(f.root / "DEAD_DEAD_DEAD/t0000072.jpg"));
    QVERIFY(Exists(QStringToPath(kept)));
    QVERIFY(!Exists(QStringToPath(copy)));
    QCOMPARE(f.page.results()->rowCount(), 0);
  }

  void menuMarksSavesAndRemoves() {
    PageFixture f;
    f.host.settings().cacheMode = kCacheModeList;
    WriteFile(f.root / "one.tmp", "1");
    WriteFile(f.root / std::string("\xFF\xFE.tmp"), "22");  // not UTF-8
    f.pickRoot(f.root.path());
    QVERIFY(f.runToCompletion(3804, QStringLiteral("Detect invalid files completed")));
    QCOMPARE(f.page.results()->rowCount(), 2);

    // On the criteria lists only the marking items are offered.
    QMenu* menu = f.openMenuOn(3808, 0);
    QVERIFY(menu);
    QCOMPARE(menu->title(), QStringLiteral("filename"));
    QVERIFY(!f.item(menu, 3817)->isEnabled());
    QVERIFY(!f.item(menu, 3819)->isEnabled());
    f.item(menu, 3816)->trigger();
    menu->close();
    QVERIFY(!f.view(3808)->listModel()->isChecked(8));
    QVERIFY(f.page.results()->isChecked(0));

    menu = f.openMenuOn(3803, 0);
    QVERIFY(menu);
    QVERIFY(f.item(menu, 3819)->isEnabled());
    f.host.recorder().saveFileAnswers.push_back(QString::fromStdString((f.temporary / "list.txt").native()));
    f.item(menu, 3819)->trigger();
    menu->close();
    QCOMPARE(f.host.recorder().messages.back().text, QStringLiteral("Save invalid files completed"));
    QCOMPARE(f.host.recorder().messages.back().caption, QStringLiteral("Tips"));
    const std::string saved = ReadFile(f.temporary / "list.txt");
    QVERIFY(saved.starts_with("\xFF\xFE"));
    const QString lines = QString::fromUtf16(reinterpret_cast<const char16_t*>(saved.data() + 2), (saved.size() - 2) / 2);
    QCOMPARE(lines, f.column(1)[0] + " \t " + f.column(3)[0] + "\r\n" + f.column(1)[1] + " \t " + f.column(3)[1] + "\r\n");

    // Remove Files deletes the marked files at once, never moving them aside.
    const int oddRow = f.column(3)[0].endsWith(QStringLiteral("one.tmp")) ? 1 : 0;
    f.page.results()->setChecked(1 - oddRow, false);
    menu = f.openMenuOn(3803, 0);
    f.item(menu, 3818)->trigger();
    menu->close();
    QCOMPARE(f.page.results()->rowCount(), 1);
    QVERIFY(!Exists(f.root / std::string("\xFF\xFE.tmp")));
    QVERIFY(Exists(f.root / "one.tmp"));
    QVERIFY(!Exists(f.root / "DEAD_DEAD_DEAD"));

    // A right-click beside the rows offers only the undo; a save that cannot be created says so.
    menu->hide();
    emit f.view(3803)->customContextMenuRequested(QPoint(5, f.view(3803)->viewport()->height() - 5));
    QMenu* beside = f.page.findChild<QMenu*>();
    QVERIFY(beside->isVisible());
    for (QAction* action : beside->actions())
      QCOMPARE(action->isEnabled(), action->objectName() == QStringLiteral("undoLastJob"));
    beside->hide();
    f.host.recorder().saveFileAnswers.push_back(QString::fromStdString((f.temporary / "no/such/list.txt").native()));
    menu = f.openMenuOn(3803, 0);
    f.item(menu, 3819)->trigger();
    QCOMPARE(f.host.recorder().messages.back().text, QStringLiteral("Failed to create file"));
    QCOMPARE(f.host.recorder().messages.back().caption, QStringLiteral("Error"));
  }
};

QTEST_MAIN(BadFilePageTest)
#include "BadFilePageTest.moc"
