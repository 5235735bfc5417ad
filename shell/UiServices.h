#pragma once
// Every message box and file dialog goes through this interface, owned by the main window, so
// page tests can record messages and answer dialogs in advance instead of blocking on them.
#include <QString>
#include <QStringList>

class QWidget;

namespace brenvik {

enum class MessageIcon { None, Information, Warning, Error };

class UiServices {
 public:
  virtual ~UiServices() = default;

  // A message box with an OK button only.
  virtual void showMessage(QWidget* parent, const QString& text, const QString& caption, MessageIcon icon) = 0;
  // A folder chooser; empty when cancelled.
  virtual QString chooseFolder(QWidget* parent, const QString& title) = 0;
  // Open and Save dialogs; empty (or no paths) when cancelled.
  virtual QString chooseOpenFile(QWidget* parent, const QString& caption, const QString& filter) = 0;
  virtual QStringList chooseOpenFiles(QWidget* parent, const QString& caption, const QString& filter) = 0;
  virtual QString chooseSaveFile(QWidget* parent, const QString& caption, const QString& filter,
                                 const QString& defaultName, const QString& defaultSuffix) = 0;
};

// The real thing: QMessageBox and QFileDialog, showing every text in the user's language.
class QtUiServices : public UiServices {
 public:
  void showMessage(QWidget* parent, const QString& text, const QString& caption, MessageIcon icon) override;
  QString chooseFolder(QWidget* parent, const QString& title) override;
  QString chooseOpenFile(QWidget* parent, const QString& caption, const QString& filter) override;
  QStringList chooseOpenFiles(QWidget* parent, const QString& caption, const QString& filter) override;
  QString chooseSaveFile(QWidget* parent, const QString& caption, const QString& filter, const QString& defaultName,
                         const QString& defaultSuffix) override;
};

}  // namespace brenvik
