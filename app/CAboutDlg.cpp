#include "app/CAboutDlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "core/Version.h"
#include "shell/Controls.h"
#include "shell/QtText.h"

namespace brenvik {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Brenvik"));
  setObjectName(QStringLiteral("100"));
  setFixedSize(DluX(235), DluY(55));
  auto* icon = new QLabel(this);
  icon->setPixmap(QIcon(QStringLiteral(":/brenvik/brenvik.png")).pixmap(32, 32));
  icon->setGeometry(DluRect(11, 14, 21, 20));
  MakeLabel(this, 0, ToQString(kTitleText), DluRect(40, 14, 119, 8));
  QPushButton* ok = MakeButton(this, 1, QStringLiteral("OK"), DluRect(178, 7, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace brenvik
