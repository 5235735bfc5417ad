// What a screen reader and a keyboard user get from the main window and its six pages.
#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "shell/Controls.h"
#include "app/CBrenvikDlg.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/TempDir.h"

using namespace brenvik;
using brenvik::testing::RecordingUi;
using brenvik::testing::TempDir;

namespace {

QString AccessibleName(QWidget* widget) {
  QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
  return face != nullptr ? face->text(QAccessible::Name) : QString();
}

QString Describe(QWidget* widget) {
  return QStringLiteral("%1 \"%2\"").arg(QString::fromLatin1(widget->metaObject()->className()), widget->objectName());
}

// The controls a person can reach on the window as it shows now: visible, enabled, taking focus by Tab.
QList<QWidget*> UsableControls(QWidget* window) {
  QList<QWidget*> controls;
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (w->isWindow() || !w->isVisibleTo(window) || !w->isEnabled()) continue;
    if ((w->focusPolicy() & Qt::TabFocus) == 0 || w->focusProxy() != nullptr) continue;
    controls.append(w);
  }
  return controls;
}

// Every label shows its current text to a screen reader: after the window's own updates, and
// after any new text, its accessible name is its text.
void VerifyLabelsReadAsShown(QWidget* window, const QString& probe) {
  for (QLabel* label : window->findChildren<QLabel*>()) {
    if (label->pixmap().isNull() == false) continue;  // a picture, not text
    QCOMPARE(AccessibleName(label), label->text());
    const QString before = label->text();
    label->setText(probe);
    QCOMPARE(AccessibleName(label), probe);
    label->setText(before);
  }
}

// Tab enters a group of exclusive radio buttons once, at its checked button; the arrow keys move
// within it. So a radio button counts as reached when one of its group was.
bool Reached(const QSet<QWidget*>& reached, QWidget* control) {
  if (reached.contains(control)) return true;
  auto* radio = qobject_cast<QRadioButton*>(control);
  if (radio == nullptr || !radio->autoExclusive()) return false;
  for (QRadioButton* sibling : radio->parentWidget()->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly))
    if (sibling->autoExclusive() && reached.contains(sibling)) return true;
  return false;
}

}  // namespace

class AccessibilityTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TempDir> runtime_;

 private slots:
  void initTestCase() {
    runtime_ = std::make_unique<TempDir>();
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime_->path().native()));
  }

  void everyPageIsReadableAndReachableByKeyboard() {
    auto recorder = std::make_unique<RecordingUi>();
    RecordingUi& ui = *recorder;
    CBrenvikDlg window(std::move(recorder));
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));

    // A real run rewrites the Invalid Files tally and state lines.
    TempDir scanned;
    brenvik::testing::WriteFile(scanned.path() / "a.tmp", "x");
    ui.folderAnswers.push_back(QString::fromStdString(scanned.path().native()));
    QTest::mouseClick(FindControl<QPushButton>(window.page(0), 3802), Qt::LeftButton);
    QTest::mouseClick(FindControl<QPushButton>(window.page(0), 3804), Qt::LeftButton);
    QTRY_VERIFY(!window.page(0)->isRunning());
    QTRY_VERIFY(!FindControl<QLabel>(window.page(0), 3815)->text().isEmpty());
    QVERIFY(!FindControl<QLabel>(window.page(0), 3813)->text().isEmpty());

    for (int page = 0; page < CBrenvikDlg::kPageCount; ++page) {
      QTest::mouseClick(FindControl<QPushButton>(&window, QList<int>{1000, 1001, 1007, 1003, 1004, 1013}[page]),
                        Qt::LeftButton);
      QLabel* process = FindControl<QLabel>(&window, 1012);
      QCOMPARE(process->text(), window.page(page)->toolName());
      QCOMPARE(AccessibleName(process), window.page(page)->toolName());
      QCOMPARE(process->accessibleDescription(), QStringLiteral("Process"));
      VerifyLabelsReadAsShown(&window, QStringLiteral("Size: 1 KB / 2 KB Numbers: 3 / 4"));

      const QList<QWidget*> controls = UsableControls(&window);
      QVERIFY(controls.size() > 7);  // the button row and the page's own controls
      for (QWidget* control : controls)
        QVERIFY2(!AccessibleName(control).trimmed().isEmpty(), qPrintable(Describe(control) + " has no name"));

      // Tab from the first tool button must visit every control before it comes round again.
      QWidget* first = FindControl<QWidget>(&window, 1000);
      first->setFocus(Qt::TabFocusReason);
      QTRY_COMPARE(QApplication::focusWidget(), first);
      QSet<QWidget*> reached{first};
      for (int step = 0; step < controls.size() + 2; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached.insert(QApplication::focusWidget());
      }
      for (QWidget* control : controls)
        QVERIFY2(Reached(reached, control), qPrintable(Describe(control) + " is never reached by Tab on page " +
                                                       window.page(page)->toolName()));
    }
    QVERIFY(ui.messages.size() == 1);  // only the scan's completion
  }
};

QTEST_MAIN(AccessibilityTest)
#include "AccessibilityTest.moc"
