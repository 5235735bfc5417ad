#pragma once
#include <QDialog>

namespace brenvik {

// The About dialog: the application icon, "Brenvik V1.4.2" and OK.
class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace brenvik
