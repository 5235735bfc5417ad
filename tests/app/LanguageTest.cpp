// The window in each catalogue's language: every text a person sees on every page and dialog is
// in that language, and no caption is cut off at the fixed page sizes.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTableView>
#include <QTest>

#include "app/CAboutDlg.h"
#include "app/CBrenvikDlg.h"
#include "app/CSetDlg.h"
#include "app/CUpdateDlg.h"
#include "core/Translation.h"
#include "disk/page/RescueMapView.h"
#include "raid/page/CRaidDlg.h"
#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::RecordingUi;
using brenvik::testing::ReadFile;
using brenvik::testing::TempDir;
using brenvik::testing::WriteFile;

namespace {

const QRegularExpression kChinese(QStringLiteral("[\\x{3000}-\\x{303F}\\x{4E00}-\\x{9FFF}\\x{FF00}-\\x{FFEF}]"));
const QRegularExpression kWord(QStringLiteral("[A-Za-z_]{2,}"));
const QRegularExpression kName(QStringLiteral("^[a-z0-9.~?]+$"));
// Names that stay as they are in Chinese: the program, format and unit names, file names.
const QStringList kNames = {QStringLiteral("Brenvik"), QStringLiteral("RAID"),  QStringLiteral("MFT"),
                            QStringLiteral("LBA"),     QStringLiteral("DEAD"),  QStringLiteral("DEAD_DEAD_DEAD"),
                            QStringLiteral("KB"),      QStringLiteral("MB"),    QStringLiteral("GB"),
                            QStringLiteral("jpeg"),    QStringLiteral("map")};

// Every text the window shows or reads out: titles, captions, labels, accessible names and
// descriptions, column headers and message rows, menu items.
QStringList TextsOf(QWidget* root) {
  QStringList texts{root->windowTitle(), root->accessibleName()};
  for (QWidget* w : root->findChildren<QWidget*>()) {
    texts << w->accessibleName() << w->accessibleDescription() << w->toolTip();
    if (auto* label = qobject_cast<QLabel*>(w)) texts << label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) texts << button->text();
    if (auto* group = qobject_cast<QGroupBox*>(w)) texts << group->title();
    if (auto* view = qobject_cast<CheckListView*>(w)) {
      // Cells of names and numbers are shown as they are; the columns of texts are checked.
      CheckListModel* model = view->listModel();
      for (int c = 0; c < model->columnCount(); ++c) {
        texts << model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        for (int r = 0; r < model->rowCount() && model->translatedColumns().contains(c); ++r)
          texts << model->index(r, c).data().toString();
      }
    }
    for (QAction* action : w->actions()) texts << action->text();
  }
  texts.removeAll(QString());
  return texts;
}

// A text in the wrong language for the catalogue, or nothing.
QString Foreign(const QString& language, const QStringList& texts) {
  for (const QString& text : texts) {
    if (language == QLatin1String("en") && text.contains(kChinese)) return text;
    // An extension or file name alone ("doc", "desktop.ini") is a name, not an English text.
    if (language != QLatin1String("zh_CN") || kName.match(text).hasMatch()) continue;
    for (auto words = kWord.globalMatch(text); words.hasNext();)
      if (!kNames.contains(words.next().captured())) return text;
  }
  return {};
}

// Captions and labels whose text needs more room than they were given: a label or check box
// by its size hint, a push button by its text and margins (its hint adds a minimum width that
// small buttons such as "..." never had), every one by the height of a line.
QStringList CutOff(QWidget* root) {
  QStringList cut;
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(root)) continue;
    auto* label = qobject_cast<QLabel*>(w);
    auto* button = qobject_cast<QAbstractButton*>(w);
    if (label != nullptr && (label->wordWrap() || label->text().isEmpty() || !label->pixmap().isNull())) continue;
    if (label == nullptr && button == nullptr) continue;
    const QString text = label ? label->text() : button->text();
    const int width = qobject_cast<QPushButton*>(w)
                          ? w->fontMetrics().horizontalAdvance(text) + 2 * w->style()->pixelMetric(QStyle::PM_ButtonMargin)
                          : w->sizeHint().width();
    const int height = w->fontMetrics().height();
    if (width > w->width() || height > w->height())
      cut << QStringLiteral("%1 \"%2\" needs %3x%4, has %5x%6")
                 .arg(text, w->objectName())
                 .arg(width)
                 .arg(height)
                 .arg(w->width())
                 .arg(w->height());
  }
  return cut;
}

}  // namespace

class LanguageTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TempDir> runtime_;

 private slots:
  void initTestCase() {
    runtime_ = std::make_unique<TempDir>();
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime_->path().native()));
  }
  void cleanup() { UnloadCatalogue(); }

  void everyTextIsInTheCataloguesLanguageAndFits_data() {
    QTest::addColumn<QString>("language");
    QTest::newRow("en") << QStringLiteral("en");
    QTest::newRow("zh_CN") << QStringLiteral("zh_CN");
  }

  void everyTextIsInTheCataloguesLanguageAndFits() {
    QFETCH(QString, language);
    QVERIFY(LoadCatalogueFile(std::filesystem::path(BRENVIK_TEST_LOCALEDIR) / language.toStdString() /
                              "LC_MESSAGES" / "brenvik.mo"));
    auto recorder = std::make_unique<RecordingUi>();
    RecordingUi& ui = *recorder;
    CBrenvikDlg window(std::move(recorder));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Invalid Files lists a damaged file and a carved one with their reasons.
    TempDir files;
    const std::string photo = ReadFile(std::filesystem::path(BRENVIK_TEST_DATA) / "damage/photo.jpg");
    WriteFile(files / "cut.jpg", photo.substr(0, 900));  // its size in bytes, a unit in words
    WriteFile(files / "carved.jpg", photo + std::string(10, 'x'));
    ui.folderAnswers.push_back(QString::fromStdString(files.path().native()));
    QTest::mouseClick(FindControl<QPushButton>(window.page(0), 3802), Qt::LeftButton);
    FindControl<QCheckBox>(window.page(0), 3825)->click();
    QTest::mouseClick(FindControl<QPushButton>(window.page(0), 3804), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(FindControl<QTableView>(window.page(0), 3803)->model()->rowCount(), 2, 20000);

    // Raid Analysis lists a member file with its size.
    WriteFile(files / "member.img", std::string(900, '\0'));
    ui.openFilesAnswers.push_back({QString::fromStdString((files / "member.img").native())});
    auto* raid = static_cast<CRaidDlg*>(window.page(4));
    QVERIFY(raid->openMenu(3303, QPoint(5, 5)) != nullptr);
    raid->findChild<QAction*>(QStringLiteral("3318"))->trigger();
    raid->menu()->hide();
    QCOMPARE(FindControl<QTableView>(raid, 3303)->model()->rowCount(), 1);
    // Sizes name their unit in words ("900 Bytes") in both lists.
    QStringList sizes;
    for (const auto& [view, column] : {std::pair(FindControl<QTableView>(window.page(0), 3803), 1),
                                       std::pair(FindControl<QTableView>(raid, 3303), 3)})
      for (int row = 0; row < view->model()->rowCount(); ++row) sizes << view->model()->index(row, column).data().toString();
    QVERIFY2(Foreign(language, sizes).isEmpty(), qPrintable(sizes.join(QStringLiteral("; "))));

    // The N.S Image page's refusal lands in its message list: a row built by the job's form.
    window.switchToPage(2);
    QTest::mouseClick(FindControl<QPushButton>(window.page(2), 2004), Qt::LeftButton);
    QTRY_VERIFY(FindControl<QTableView>(window.page(2), 1090)->model()->rowCount() > 0);
    // Its map window, showing a map file with its legend, totals and hover texts: a large source,
    // so a cell holds many sectors and the one with the bad sector names each state's bytes.
    WriteFile(files / "2026.map", "0x00100000     +               1\n0x00000000  0x00100000  +\n"
                                  "0x00100000  0x00000200  -\n0x00100200  0x3FEFFE00  ?\n");
    QTest::mouseClick(FindControl<QPushButton>(window.page(2), 2012), Qt::LeftButton);
    auto* map = window.page(2)->findChild<RescueMapWindow*>(QStringLiteral("RescueMap"));
    QVERIFY(map != nullptr && map->isVisible());
    ui.openFileAnswers.push_back(QString::fromStdString((files / "2026.map").native()));
    map->findChild<QAction*>(QStringLiteral("2015"))->trigger();
    QVERIFY(map->windowTitle().endsWith(QStringLiteral("2026.map")));
    QStringList hovers;
    for (size_t cell = 0; cell < map->view()->cells().cells.size(); ++cell)
      hovers << map->view()->textAt(map->view()->cellRect(cell).center());
    // The one cell of mixed states lists them with the language's own comma.
    const QString comma = language == QLatin1String("zh_CN") ? QStringLiteral("，") : QStringLiteral(", ");
    QVERIFY(hovers.filter(comma).size() == 1);
    const QString foreignHover = Foreign(language, hovers);
    QVERIFY2(foreignHover.isEmpty(), qPrintable(foreignHover));

    for (int page = 0; page < CBrenvikDlg::kPageCount; ++page) {
      window.switchToPage(page);
      const QString name = window.page(page)->toolName();
      const QString foreign = Foreign(language, TextsOf(&window));
      QVERIFY2(foreign.isEmpty(), qPrintable(name + ": " + foreign));
      const QStringList cut = CutOff(&window);
      QVERIFY2(cut.isEmpty(), qPrintable(name + ": " + cut.join(QStringLiteral("; "))));
    }

    AppSettings settings;
    CSetDlg settingsDialog(settings, window.ui(), window.applicationName());
    CAboutDlg about;
    CUpdateDlg update(142, 143, QString());
    for (QWidget* dialog : QList<QWidget*>{&settingsDialog, &about, &update, map}) {
      dialog->show();
      QVERIFY(QTest::qWaitForWindowExposed(dialog));
      const QString foreign = Foreign(language, TextsOf(dialog));
      QVERIFY2(foreign.isEmpty(), qPrintable(dialog->windowTitle() + ": " + foreign));
      QVERIFY2(CutOff(dialog).isEmpty(), qPrintable(CutOff(dialog).join(QStringLiteral("; "))));
    }
  }
};

QTEST_MAIN(LanguageTest)
#include "LanguageTest.moc"
