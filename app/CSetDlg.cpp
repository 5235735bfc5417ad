#include "app/CSetDlg.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "core/TemporaryFolder.h"
#include "shell/Controls.h"
#include "shell/QtText.h"
#include "shell/ToolPage.h"

namespace brenvik {

CSetDlg::CSetDlg(AppSettings& settings, UiServices& ui, QString applicationName, QWidget* parent)
    : QDialog(parent), settings_(settings), ui_(ui), applicationName_(std::move(applicationName)) {
  setWindowTitle(Tr(QStringLiteral("设置")));
  setObjectName(QStringLiteral("4200"));
  setModal(true);
  setFixedSize(DluX(352), DluY(158));

  MakeLabel(this, 0, QStringLiteral("Temporary path:"), DluRect(7, 10, 60, 8));
  folder_ = MakeEdit(this, 4201, QStringLiteral("Temporary path:"), DluRect(70, 8, 250, 13), true);
  QPushButton* browse = MakeButton(this, 4202, QStringLiteral("..."), DluRect(324, 8, 21, 13));
  connect(browse, &QPushButton::clicked, this, [this] { PickFolder(this, ui_, folder_); });

  MakeGroup(this, QStringLiteral("File Rename"), DluRect(7, 28, 338, 34));
  MakeLabel(this, 0, QStringLiteral("File name length:"), DluRect(14, 42, 60, 8));
  nameLength_ = MakeDigitEdit(this, 4205, QStringLiteral("File name length:"), DluRect(76, 40, 40, 13));
  date_ = MakeCheckBox(this, 4206, QStringLiteral("Date"), DluRect(130, 41, 45, 10), false);
  sheet_ = MakeCheckBox(this, 4207, QStringLiteral("Sheet"), DluRect(180, 41, 45, 10), false);
  content_ = MakeCheckBox(this, 4208, QStringLiteral("Content"), DluRect(230, 41, 50, 10), false);
  size_ = MakeCheckBox(this, 4212, QStringLiteral("Size"), DluRect(285, 41, 45, 10), false);

  MakeGroup(this, QStringLiteral("Cache"), DluRect(7, 66, 338, 30));
  listMode_ = MakeRadio(this, 4209, QStringLiteral("One time load (large memory and slow)"), DluRect(14, 78, 160, 10));
  fileMode_ = MakeRadio(this, 4210, QStringLiteral("Cache files (small memory and fast)"), DluRect(180, 78, 160, 10));

  MakeGroup(this, QStringLiteral("File Assistant"), DluRect(7, 100, 338, 30));
  cutToDead_ = MakeCheckBox(this, 4213, QStringLiteral("Cut to DEAD... Directory:"), DluRect(14, 113, 100, 10), false);
  deadFolder_ = MakeEdit(this, 4214, QStringLiteral("Cut to DEAD... Directory:"), DluRect(118, 111, 200, 13), true);
  QPushButton* deadBrowse = MakeButton(this, 4215, QStringLiteral("..."), DluRect(324, 111, 21, 13));
  deadBrowse->setEnabled(false);

  QPushButton* ok = MakeButton(this, 4203, QStringLiteral("Ok"), DluRect(232, 138, 50, 14));
  QPushButton* cancel = MakeButton(this, 4204, QStringLiteral("Cancel"), DluRect(295, 138, 50, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &CSetDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &CSetDlg::reject);

  fillFromSettings();
}

void CSetDlg::fillFromSettings() {
  folder_->setText(PathToQString(settings_.temporaryFolder));
  nameLength_->setText(QString::number(settings_.nameLengthLimit));
  date_->setChecked(settings_.date == 1);
  sheet_->setChecked(settings_.sheet == 1);
  content_->setChecked(settings_.content == 1);
  size_->setChecked(settings_.size == 1);
  (settings_.cacheMode == kCacheModeFiles ? fileMode_ : listMode_)->setChecked(true);
  deadFolder_->setText(QStringLiteral("DEAD_DEAD_DEAD"));
  cutToDead_->setChecked(settings_.cutToDead == 1);
}

void CSetDlg::accept() {
  const QString folder = folder_->text();
  // A decimal integer as the dialog reads it: leading digits count, anything else gives 0.
  bool ok = false;
  int length = nameLength_->text().toInt(&ok);
  if (!ok) length = 0;
  const bool anyPart = date_->isChecked() || sheet_->isChecked() || content_->isChecked();
  if (folder.isEmpty() || length == 0 || length > 512 || !anyPart) {
    ui_.showMessage(this, kSettingsRefused, applicationName_, MessageIcon::Warning);
    return;
  }
  settings_.cutToDead = cutToDead_->isChecked() ? 1 : 0;
  settings_.cacheMode = listMode_->isChecked() ? kCacheModeList : kCacheModeFiles;
  settings_.temporaryFolder = QStringToPath(folder);
  EnsureFolder(settings_.temporaryFolder);
  settings_.nameLengthLimit = length;
  settings_.date = date_->isChecked() ? 1 : 0;
  settings_.sheet = sheet_->isChecked() ? 1 : 0;
  settings_.content = content_->isChecked() ? 1 : 0;
  settings_.size = size_->isChecked() ? 1 : 0;
  QDialog::accept();
}

}  // namespace brenvik
