#include "shell/Controls.h"

#include <algorithm>
#include <climits>

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include <QApplication>
#include <QFontMetricsF>

#include "shell/QtText.h"

namespace brenvik {
namespace {

struct DialogBaseUnits {
  double charWidth;
  double charHeight;
};

const DialogBaseUnits& BaseUnits() {
  static const DialogBaseUnits units = [] {
    const QFontMetricsF metrics(QApplication::font());
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return DialogBaseUnits{metrics.horizontalAdvance(alphabet) / alphabet.size(), metrics.height()};
  }();
  return units;
}

}  // namespace

int DluX(int units) { return static_cast<int>(units * BaseUnits().charWidth / 4.0 + 0.5); }
int DluY(int units) { return static_cast<int>(units * BaseUnits().charHeight / 8.0 + 0.5); }

void SetControlId(QWidget* widget, int id, const QString& accessibleName) {
  if (id != 0) widget->setObjectName(QString::number(id));
  widget->setAccessibleName(Tr(accessibleName));
}

QPushButton* MakeButton(QWidget* parent, int id, const QString& caption, QRect rect) {
  auto* button = new QPushButton(Tr(caption), parent);
  button->setGeometry(rect);
  button->setAutoDefault(false);
  SetControlId(button, id, caption);
  return button;
}

QLabel* MakeLabel(QWidget* parent, int id, const QString& text, QRect rect) {
  auto* label = new QLabel(Tr(text), parent);
  label->setGeometry(rect);
  if (id != 0) label->setObjectName(QString::number(id));  // no accessible name: it would freeze the text
  return label;
}

QLabel* MakeStatusLine(QWidget* parent, int id, const QString& role, const QString& text, QRect rect) {
  QLabel* line = MakeLabel(parent, id, text, rect);
  line->setTextFormat(Qt::PlainText);  // a file name such as "<b>x</b>.doc" is shown as it is
  line->setAccessibleDescription(Tr(role));
  return line;
}

QLineEdit* MakeEdit(QWidget* parent, int id, const QString& label, QRect rect, bool readOnly) {
  auto* edit = new QLineEdit(parent);
  edit->setGeometry(rect);
  edit->setReadOnly(readOnly);
  SetControlId(edit, id, label);
  return edit;
}

QLineEdit* MakeDigitEdit(QWidget* parent, int id, const QString& label, QRect rect) {
  QLineEdit* edit = MakeEdit(parent, id, label, rect);
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  return edit;
}

QCheckBox* MakeCheckBox(QWidget* parent, int id, const QString& caption, QRect rect, bool checked) {
  auto* box = new QCheckBox(Tr(caption), parent);
  box->setGeometry(rect);
  box->setChecked(checked);
  SetControlId(box, id, caption);
  return box;
}

QRadioButton* MakeRadio(QWidget* parent, int id, const QString& caption, QRect rect) {
  auto* radio = new QRadioButton(Tr(caption), parent);
  radio->setGeometry(rect);
  SetControlId(radio, id, caption);
  return radio;
}

QGroupBox* MakeGroup(QWidget* parent, const QString& caption, QRect rect) {
  auto* group = new QGroupBox(Tr(caption), parent);
  group->setGeometry(rect);
  group->setAccessibleName(Tr(caption));
  group->lower();  // controls placed over the group stay clickable
  return group;
}

QProgressBar* MakeProgress(QWidget* parent, int id, QRect rect) {
  auto* bar = new QProgressBar(parent);
  bar->setGeometry(rect);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  SetControlId(bar, id, QStringLiteral("Progress"));
  return bar;
}

QFrame* MakeEtchedLine(QWidget* parent, int id, QRect rect) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  line->setGeometry(rect.x(), rect.y(), rect.width(), 2);
  SetControlId(line, id, QString());
  return line;
}

QAction* AddMenuItem(QMenu* menu, QWidget* page, int id, const QString& text, std::function<void()> handler) {
  QAction* action = menu->addAction(Tr(text));
  action->setObjectName(QString::number(id));
  QObject::connect(action, &QAction::triggered, page, std::move(handler));
  return action;
}

void ShowProgress(QProgressBar* bar, int64_t position, int64_t maximum) {
  const int64_t scale = maximum / INT_MAX + 1;
  bar->setRange(0, std::max(1, static_cast<int>(maximum / scale)));
  bar->setValue(static_cast<int>(position / scale));
}

}  // namespace brenvik
