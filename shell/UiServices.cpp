#include "shell/UiServices.h"

#include <QFileDialog>
#include <QMessageBox>

#include "shell/QtText.h"

namespace brenvik {

void QtUiServices::showMessage(QWidget* parent, const QString& text, const QString& caption, MessageIcon icon) {
  QMessageBox box(parent);
  box.setWindowTitle(Tr(caption));
  box.setText(Tr(text));
  box.setStandardButtons(QMessageBox::Ok);
  switch (icon) {
    case MessageIcon::Information: box.setIcon(QMessageBox::Information); break;
    case MessageIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MessageIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case MessageIcon::None: break;
  }
  box.exec();
}

QString QtUiServices::chooseFolder(QWidget* parent, const QString& title) {
  return QFileDialog::getExistingDirectory(parent, Tr(title), QString(), QFileDialog::ShowDirsOnly);
}

QString QtUiServices::chooseOpenFile(QWidget* parent, const QString& caption, const QString& filter) {
  return QFileDialog::getOpenFileName(parent, Tr(caption), QString(), Tr(filter));
}

QStringList QtUiServices::chooseOpenFiles(QWidget* parent, const QString& caption, const QString& filter) {
  return QFileDialog::getOpenFileNames(parent, Tr(caption), QString(), Tr(filter));
}

QString QtUiServices::chooseSaveFile(QWidget* parent, const QString& caption, const QString& filter,
                                     const QString& defaultName, const QString& defaultSuffix) {
  QFileDialog dialog(parent, Tr(caption), QString(), Tr(filter));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(defaultSuffix);
  dialog.selectFile(defaultName);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().first();
}

}  // namespace brenvik
