#pragma once
// Page-test stand-ins for the message boxes and file dialogs: messages are recorded, dialogs are
// answered from queues filled in advance (an empty queue answers "cancelled").
#include <QString>
#include <QStringList>
#include <deque>
#include <filesystem>
#include <vector>

#include "shell/PageHost.h"
#include "shell/UiServices.h"
#include "disk/DiskInventory.h"

namespace brenvik::testing {

struct RecordedMessage {
  QString text;
  QString caption;
  MessageIcon icon;
};

class RecordingUi : public UiServices {
 public:
  void showMessage(QWidget* parent, const QString& text, const QString& caption, MessageIcon icon) override;
  QString chooseFolder(QWidget* parent, const QString& title) override;
  QString chooseOpenFile(QWidget* parent, const QString& caption, const QString& filter) override;
  QStringList chooseOpenFiles(QWidget* parent, const QString& caption, const QString& filter) override;
  QString chooseSaveFile(QWidget* parent, const QString& caption, const QString& filter, const QString& defaultName,
                         const QString& defaultSuffix) override;

  std::vector<RecordedMessage> messages;
  std::deque<QString> folderAnswers;
  std::deque<QString> openFileAnswers;
  std::deque<QStringList> openFilesAnswers;
  std::deque<QString> saveFileAnswers;
  QStringList dialogCaptions;  // caption or title of every dialog asked, in order
  QString lastSaveDefaultName;

  QString lastText() const { return messages.empty() ? QString() : messages.back().text; }
  bool sawText(const QString& text) const;
};

// A page host without a main window: default settings, a recording UI, a private temporary folder
// and a disk inventory that lists nothing until a test points it at a fake tree and scans it.
class TestPageHost : public PageHost {
 public:
  explicit TestPageHost(const std::filesystem::path& temporaryFolder);
  AppSettings& settings() override { return settings_; }
  UiServices& ui() override { return ui_; }
  QString applicationName() const override { return QStringLiteral("brenvik"); }

  RecordingUi& recorder() { return ui_; }
  DiskInventory disks;  // what a test gives the Raid Analysis page

 private:
  AppSettings settings_;
  RecordingUi ui_;
};

}  // namespace brenvik::testing
