#pragma once
// Builds page controls at dialog-unit positions, the way the tools lay them out. Every control
// with an id gets that id as its objectName (tests find controls by id) and its caption or
// label as accessible name. Labels are the exception: a label's accessible name is its current
// text (Qt's default), so a screen reader reads a status line as it reads now.
#include <QRect>
#include <QString>
#include <cstdint>
#include <functional>

class QWidget;
class QPushButton;
class QLabel;
class QLineEdit;
class QCheckBox;
class QRadioButton;
class QGroupBox;
class QProgressBar;
class QFrame;
class QMenu;
class QAction;

namespace brenvik {

// Dialog units to pixels, measured on the application font the way dialog templates are: four
// horizontal units are one average character width, eight vertical units one character height.
// So the pages keep their proportions whatever font the desktop gives.
int DluX(int units);
int DluY(int units);
inline QRect DluRect(int x, int y, int width, int height) { return QRect(DluX(x), DluY(y), DluX(width), DluY(height)); }

// Marks a widget with its control id and accessible name.
void SetControlId(QWidget* widget, int id, const QString& accessibleName);
// Finds a child control by id below `root`, or nullptr.
template <class T>
T* FindControl(QWidget* root, int id);

QPushButton* MakeButton(QWidget* parent, int id, const QString& caption, QRect rect);
QLabel* MakeLabel(QWidget* parent, int id, const QString& text, QRect rect);  // id 0: no id
// A line whose text a job rewrites (status, tally, count). It shows its text as plain text, since
// it carries file names, and tells a screen reader what it is through its description
// (`role`, e.g. "Status"); its name stays its text.
QLabel* MakeStatusLine(QWidget* parent, int id, const QString& role, const QString& text, QRect rect);
QLineEdit* MakeEdit(QWidget* parent, int id, const QString& label, QRect rect, bool readOnly = false);
QLineEdit* MakeDigitEdit(QWidget* parent, int id, const QString& label, QRect rect);
QCheckBox* MakeCheckBox(QWidget* parent, int id, const QString& caption, QRect rect, bool checked);
QRadioButton* MakeRadio(QWidget* parent, int id, const QString& caption, QRect rect);
QGroupBox* MakeGroup(QWidget* parent, const QString& caption, QRect rect);
QProgressBar* MakeProgress(QWidget* parent, int id, QRect rect);
QFrame* MakeEtchedLine(QWidget* parent, int id, QRect rect);
// A menu item with a control id (a page's menus are its children, so tests and automation find
// the item on the page); `handler` runs in the page's context.
QAction* AddMenuItem(QMenu* menu, QWidget* page, int id, const QString& text, std::function<void()> handler);
// A job's progress as its reporter gives it.
struct ProgressPosition {
  int64_t position = 0;
  int64_t maximum = 0;
};
// Shows a 64-bit position on a bar that counts in int: long runs are shown in proportion. A range
// of 0 to 0 would show a busy animation, so an empty run shows a bar that does not move.
void ShowProgress(QProgressBar* bar, int64_t position, int64_t maximum);

}  // namespace brenvik

#include <QWidget>

template <class T>
T* brenvik::FindControl(QWidget* root, int id) {
  return root->findChild<T*>(QString::number(id));
}
