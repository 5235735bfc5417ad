#include "app/CUpdateDlg.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

#include "core/Version.h"
#include "shell/Controls.h"
#include "shell/QtText.h"

namespace brenvik {

CUpdateDlg::CUpdateDlg(int currentVersion, int latestVersion, QString downloadPage, QWidget* parent)
    : QDialog(parent), downloadPage_(std::move(downloadPage)) {
  setWindowTitle(Tr(QStringLiteral("Update")));
  setObjectName(QStringLiteral("4400"));
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  setFixedSize(DluX(181), DluY(88));
  MakeLabel(this, 0, QStringLiteral("Current Version:"), DluRect(12, 14, 60, 8));
  QLineEdit* current = MakeEdit(this, 4401, QStringLiteral("Current Version:"), DluRect(78, 12, 90, 13), true);
  MakeLabel(this, 0, QStringLiteral("Latest Version:"), DluRect(12, 36, 60, 8));
  QLineEdit* latest = MakeEdit(this, 4402, QStringLiteral("Latest Version:"), DluRect(78, 34, 90, 13), true);
  current->setText(ToQString(FormatVersionNumber(currentVersion)));
  latest->setText(ToQString(FormatVersionNumber(latestVersion)));
  QPushButton* download = MakeButton(this, 4403, QStringLiteral("Download Weblink"), DluRect(50, 60, 80, 16));
  download->setDefault(true);
  connect(download, &QPushButton::clicked, this, [this] {
    if (!downloadPage_.isEmpty()) QDesktopServices::openUrl(QUrl(downloadPage_));
  });
}

}  // namespace brenvik
