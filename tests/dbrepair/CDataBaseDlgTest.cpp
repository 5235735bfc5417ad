#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <filesystem>

#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "dbrepair/page/CDataBaseDlg.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::TestPageHost;
using brenvik::testing::WriteFile;

namespace {

constexpr size_t kPage = 8192;

std::string Good(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 31 + i / 251);
  return bytes;
}

std::string Dead(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 2 == 0 ? 0xDE : 0xAD);
  return bytes;
}

QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.native()); }

}  // namespace

class CDataBaseDlgTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<TestPageHost> host_;
  std::unique_ptr<CDataBaseDlg> page_;

  template <class T>
  T* control(int id) {
    T* found = FindControl<T>(page_.get(), id);
    if (!found) qFatal("control %d missing", id);
    return found;
  }
  void click(int id) { QTest::mouseClick(control<QPushButton>(id), Qt::LeftButton); }
  void trigger(int id) {
    QAction* action = page_->findChild<QAction*>(QString::number(id));
    if (!action) qFatal("menu item %d missing", id);
    action->trigger();
  }
  QString status() { return control<QLabel>(4014)->text(); }
  void addReferences(const QStringList& paths) {
    host_->recorder().openFilesAnswers.push_back(paths);
    trigger(4018);
  }
  QString cell(int row, int column) { return page_->referenceList()->row(row).cells[column]; }

 private slots:
  void init() {
    dir_ = std::make_unique<TempDir>();
    host_ = std::make_unique<TestPageHost>(dir_->path());
    page_ = std::make_unique<CDataBaseDlg>(*host_);
    page_->resize(DluX(652), DluY(320));
  }
  void cleanup() {
    page_.reset();
    host_.reset();
    dir_.reset();
  }

  void startsInPageModeWithTheDefaultPattern() {
    QVERIFY(control<QRadioButton>(4012)->isChecked());
    QVERIFY(!control<QRadioButton>(4011)->isChecked());
    QCOMPARE(control<QLineEdit>(4009)->text(), QStringLiteral("DEADDEAD"));
    QCOMPARE(control<QLineEdit>(4010)->text(), QStringLiteral("DEADDEAD"));
    CheckListModel* list = page_->referenceList();
    QCOMPARE(list->columnCount(), 3);
    QCOMPARE(list->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Index"));
    QCOMPARE(list->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Size"));
    QCOMPARE(list->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Path"));
    for (int id : {4003, 4005, 4007, 4008}) QVERIFY(FindControl<QPushButton>(page_.get(), id));
    QVERIFY(FindControl<QProgressBar>(page_.get(), 4013));
    QVERIFY(FindControl<QWidget>(page_.get(), 4006));
  }

  void fileDialogsFillThePathEdits() {
    auto& ui = host_->recorder();
    ui.openFileAnswers = {QStringLiteral("/data/damaged.mdf"), QString()};
    click(4003);
    QCOMPARE(control<QLineEdit>(4002)->text(), QStringLiteral("/data/damaged.mdf"));
    click(4003);  // cancelled: the edit keeps its path
    QCOMPARE(control<QLineEdit>(4002)->text(), QStringLiteral("/data/damaged.mdf"));
    ui.saveFileAnswers = {QStringLiteral("/data/repaired.mdf")};
    click(4005);
    QCOMPARE(control<QLineEdit>(4004)->text(), QStringLiteral("/data/repaired.mdf"));
  }

  void referenceMenuAddsMarksAndRemovesRows() {
    WriteFile(*dir_ / "a.mdf", std::string(100, 'a'));
    WriteFile(*dir_ / "b.mdf", std::string(5000, 'b'));
    WriteFile(*dir_ / "c.mdf", "");
    addReferences({Q(*dir_ / "a.mdf"), Q(*dir_ / "missing.mdf"), Q(*dir_ / "b.mdf"), Q(*dir_ / "a.mdf")});
    CheckListModel* list = page_->referenceList();
    QCOMPARE(list->rowCount(), 3);  // the missing file is skipped, a duplicate is accepted
    QCOMPARE(cell(0, 0), QStringLiteral("0"));
    QCOMPARE(cell(1, 0), QStringLiteral("1"));
    QCOMPARE(cell(1, 1), QStringLiteral("5000"));
    QCOMPARE(cell(1, 2), Q(*dir_ / "b.mdf"));
    QVERIFY(list->isChecked(0) && list->isChecked(2));

    trigger(4016);
    QVERIFY(!list->isChecked(0) && !list->isChecked(1) && !list->isChecked(2));
    list->setChecked(0, true);
    list->setChecked(2, true);
    trigger(4017);
    QCOMPARE(list->rowCount(), 1);
    QCOMPARE(cell(0, 2), Q(*dir_ / "b.mdf"));
    // Numbers continue from the row count, so an earlier number comes back.
    addReferences({Q(*dir_ / "c.mdf")});
    QCOMPARE(cell(1, 0), QStringLiteral("1"));
    QCOMPARE(cell(1, 1), QStringLiteral("0"));
    trigger(4015);
    QVERIFY(list->isChecked(0) && list->isChecked(1));
    addReferences({});  // cancelled
    QCOMPARE(list->rowCount(), 2);
  }

  void repairRefusesIncompleteSettings() {
    auto& ui = host_->recorder();
    auto lastRefusal = [&] {
      return ui.messages.empty() ? QString() : ui.messages.back().text + "|" + ui.messages.back().caption;
    };
    const QString parameterError = QStringLiteral("Parameter setting error, please reset|brenvik");
    const QString patternError = QStringLiteral("Please set the byte content correctly|brenvik");

    WriteFile(*dir_ / "damaged.mdf", Good(kPage, 1));
    WriteFile(*dir_ / "ref.mdf", Good(kPage, 2));
    click(4007);
    QCOMPARE(lastRefusal(), parameterError);
    control<QLineEdit>(4002)->setText(Q(*dir_ / "damaged.mdf"));
    control<QLineEdit>(4004)->setText(Q(*dir_ / "repaired.mdf"));
    click(4007);
    QCOMPARE(lastRefusal(), parameterError);  // no reference rows yet
    addReferences({Q(*dir_ / "ref.mdf")});

    control<QLineEdit>(4010)->setText(QStringLiteral("DEADDEA"));
    click(4007);
    QCOMPARE(lastRefusal(), patternError);
    control<QLineEdit>(4010)->setText(QString());
    click(4007);
    QCOMPARE(lastRefusal(), patternError);
    control<QLineEdit>(4010)->setText(QString(1026, 'A'));
    click(4007);
    QCOMPARE(lastRefusal(), patternError);
    // Sector mode reads its own pattern edit.
    control<QLineEdit>(4010)->setText(QStringLiteral("DEADDEAD"));
    control<QLineEdit>(4009)->setText(QStringLiteral("ABC"));
    control<QRadioButton>(4011)->setChecked(true);
    click(4007);
    QCOMPARE(lastRefusal(), patternError);
    QCOMPARE(ui.messages.size(), size_t{6});
    QVERIFY(!std::filesystem::exists(*dir_ / "repaired.mdf"));

    control<QLineEdit>(4009)->setText(QString(1024, 'A'));
    click(4007);
    QTRY_VERIFY(!page_->isRunning());
    QCOMPARE(ui.messages.size(), size_t{6});
    QCOMPARE(status(), QStringLiteral("Repair database completed### Repairs:0 / 0"));
  }

  void repairReplacesLostPagesFromTheReferenceCopies() {
    // Page 1 is lost in the first copy and intact in the second; page 4 is intact in both (the
    // upper row wins); page 6 is lost everywhere.
    const std::string good = Good(2 * 1048576 + 300, 3);
    std::string damaged = good, first = Good(good.size(), 4), second = Good(good.size(), 5);
    for (size_t page : {1u, 4u, 6u}) damaged.replace(page * kPage, kPage, Dead(kPage));
    first.replace(1 * kPage, kPage, Dead(kPage));
    first.replace(6 * kPage, kPage, Dead(kPage));
    second.replace(6 * kPage, kPage, Dead(kPage));
    WriteFile(*dir_ / "damaged.mdf", damaged);
    WriteFile(*dir_ / "first.mdf", first);
    WriteFile(*dir_ / "second.mdf", second);
    WriteFile(*dir_ / "repaired.mdf", "an older repair");

    control<QLineEdit>(4002)->setText(Q(*dir_ / "damaged.mdf"));
    control<QLineEdit>(4004)->setText(Q(*dir_ / "repaired.mdf"));
    addReferences({Q(*dir_ / "first.mdf"), Q(*dir_ / "second.mdf")});
    trigger(4016);  // unchecked rows are used all the same
    click(4007);
    QTRY_VERIFY(!page_->isRunning());
    QCOMPARE(status(), QStringLiteral("Repair database completed###Repairs:2 / 3"));
    QCOMPARE(page_->counts().repaired, 2);
    QCOMPARE(page_->counts().marked, 3);
    QCOMPARE(control<QProgressBar>(4013)->value(), 0);
    QCOMPARE(control<QProgressBar>(4013)->maximum(), 2);
    QVERIFY(host_->recorder().messages.empty());

    std::string expected = damaged;
    expected.replace(1 * kPage, kPage, second.substr(1 * kPage, kPage));
    expected.replace(4 * kPage, kPage, first.substr(4 * kPage, kPage));
    QVERIFY(ReadFile(*dir_ / "repaired.mdf") == expected);
  }

  void repairNeverOverwritesAnInput() {
    const std::string damaged = Good(kPage, 6) + Dead(kPage);
    WriteFile(*dir_ / "damaged.mdf", damaged);
    WriteFile(*dir_ / "ref.mdf", Good(2 * kPage, 7));
    std::filesystem::create_symlink(*dir_ / "ref.mdf", *dir_ / "link.mdf");
    control<QLineEdit>(4002)->setText(Q(*dir_ / "damaged.mdf"));
    addReferences({Q(*dir_ / "ref.mdf")});
    for (const char* output : {"damaged.mdf", "link.mdf"}) {
      control<QLineEdit>(4004)->setText(Q(*dir_ / output));
      click(4007);
      QTRY_VERIFY(!page_->isRunning());
      QCOMPARE(status(), QStringLiteral("Failed create file"));
    }
    QVERIFY(ReadFile(*dir_ / "damaged.mdf") == damaged);
    QVERIFY(ReadFile(*dir_ / "ref.mdf") == Good(2 * kPage, 7));

    control<QLineEdit>(4002)->setText(Q(*dir_ / "gone.mdf"));
    control<QLineEdit>(4004)->setText(Q(*dir_ / "out.mdf"));
    click(4007);
    QTRY_VERIFY(!page_->isRunning());
    QCOMPARE(status(), QStringLiteral("Failed access file"));
    QVERIFY(!std::filesystem::exists(*dir_ / "out.mdf"));
  }

  void secondRepairIsRefusedAndStopEndsTheRun() {
    // A sparse file large enough that the run is still going when the buttons are pressed.
    const auto damaged = *dir_ / "big.mdf";
    WriteFile(damaged, "");
    std::filesystem::resize_file(damaged, 4096ull * 1048576);
    WriteFile(*dir_ / "ref.mdf", "");
    control<QLineEdit>(4002)->setText(Q(damaged));
    control<QLineEdit>(4004)->setText(Q(*dir_ / "out.mdf"));
    addReferences({Q(*dir_ / "ref.mdf")});
    click(4007);
    QVERIFY(page_->isRunning());
    click(4007);
    QCOMPARE(host_->recorder().messages.size(), size_t{1});
    QCOMPARE(host_->recorder().messages[0].text, QStringLiteral("Please wait for other tasks to completed"));
    QCOMPARE(host_->recorder().messages[0].caption, QStringLiteral("Error"));
    click(4008);
    QTRY_VERIFY(!page_->isRunning());
    QCOMPARE(status(), QStringLiteral("Repair database completed###Repairs:0 / 0"));
    const auto written = std::filesystem::file_size(*dir_ / "out.mdf");
    QVERIFY(written < std::filesystem::file_size(damaged));
    QCOMPARE(written % 1048576, 0u);
  }
};

QTEST_MAIN(CDataBaseDlgTest)
#include "CDataBaseDlgTest.moc"
