#pragma once
// The Settings dialog: the only place that changes the settings record.
#include <QDialog>

#include "core/AppSettings.h"
#include "core/RefusalTexts.h"
#include "shell/QtText.h"
#include "shell/UiServices.h"

class QLineEdit;
class QCheckBox;
class QRadioButton;

namespace brenvik {

inline const QString kSettingsRefused = ToQString(kParameterErrorText);

class CSetDlg : public QDialog {
  Q_OBJECT
 public:
  CSetDlg(AppSettings& settings, UiServices& ui, QString applicationName, QWidget* parent = nullptr);

  // "Ok": validates, writes the record back and closes; refuses with a message otherwise.
  void accept() override;

 private:
  void fillFromSettings();

  AppSettings& settings_;
  UiServices& ui_;
  QString applicationName_;
  QLineEdit* folder_ = nullptr;       // 4201
  QLineEdit* nameLength_ = nullptr;   // 4205
  QCheckBox* date_ = nullptr;         // 4206
  QCheckBox* sheet_ = nullptr;        // 4207
  QCheckBox* content_ = nullptr;      // 4208
  QCheckBox* size_ = nullptr;         // 4212
  QRadioButton* listMode_ = nullptr;  // 4209
  QRadioButton* fileMode_ = nullptr;  // 4210
  QCheckBox* cutToDead_ = nullptr;    // 4213
  QLineEdit* deadFolder_ = nullptr;   // 4214
};

}  // namespace brenvik
