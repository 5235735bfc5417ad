#pragma once
#include <QDialog>

namespace brenvik {

// Offers a newer version: the current and latest version numbers (142 shown as 1.42) and the
// "Download Weblink" button. Stays above other windows.
class CUpdateDlg : public QDialog {
  Q_OBJECT
 public:
  CUpdateDlg(int currentVersion, int latestVersion, QString downloadPage, QWidget* parent = nullptr);

 private:
  QString downloadPage_;
};

}  // namespace brenvik
