#pragma once
// The "N.S Image" tool page: lists standard disks, SCSI disks of non-standard sector size and
// image files, and copies a run of sectors from a source to a target disk or a new image file.
// Its messages go to its own message list, in Chinese.
#include <QString>
#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "shell/CheckListModel.h"
#include "shell/Controls.h"
#include "shell/ToolPage.h"
#include "shell/WorkerChannel.h"
#include "disk/ImagingDevices.h"
#include "disk/ImagingJob.h"
#include "disk/RescueMapModel.h"
#include "disk/ScsiLayer.h"

class QCheckBox;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;

namespace brenvik {

class RescueMapWindow;

class CUbimgDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CUbimgDlg(PageHost& host, QWidget* parent = nullptr);
  ~CUbimgDlg() override;

  void setDeviceSources(ImagingDeviceSources sources) { sources_ = std::move(sources); }

  CheckListModel* sourceList() const { return sourceModel_; }
  CheckListModel* targetList() const { return targetModel_; }
  CheckListModel* messageList() const { return messageModel_; }
  QMenu* sourceMenu() const { return sourceMenu_; }
  RescueMapWindow* mapWindow() const { return mapWindow_; }

  // Shows the map of a ".map" file in the map window; a file that is no map is named in a
  // message box.
  void openMap(const QString& path);

 private:
  void refresh();
  // The Refresh job: scans both device lists (adminCommand: how to start with disk access).
  ImagingDeviceScan refreshWorker(const QString& adminCommand);
  void showDevices(ImagingDeviceScan scan);
  void addFiles();
  void removeFiles();
  // A row change fills the Tips, Start, Size and Sector edits of its side.
  void rowChanged(const CheckListModel& model, int row, const std::array<QLineEdit*, 4>& edits);
  void targetFileToggled(bool checked);
  void chooseTargetFile();
  void ok();
  void showMapWindow();
  void chooseMap();
  void chooseDomainMap();
  // A message row from the GUI thread, shown at once.
  void appendMessage(const QString& title, const QString& description);
  // A message row from a worker, shown with the next batch.
  void postMessage(std::u16string_view title, std::u16string_view description);

  ImagingDeviceSources sources_;
  std::shared_ptr<ScsiDeviceManager> manager_;
  std::map<int, std::filesystem::path> diskNodes_;  // disk number -> device node, from the last Refresh

  CheckListModel* sourceModel_ = nullptr;
  CheckListModel* targetModel_ = nullptr;
  CheckListModel* messageModel_ = nullptr;
  CheckListView* sourceView_ = nullptr;
  CheckListView* targetView_ = nullptr;
  CheckListView* messageView_ = nullptr;
  QMenu* sourceMenu_ = nullptr;
  QLineEdit *sourceTips_, *sourceStart_, *sourceSize_, *sourceSector_;
  QLineEdit *targetTips_, *targetStart_, *targetSize_, *targetSector_;
  QCheckBox* targetFileBox_ = nullptr;
  QLineEdit* targetFile_ = nullptr;
  QLineEdit* retries_ = nullptr;
  QCheckBox* usedFirst_ = nullptr;
  QCheckBox* usedOnly_ = nullptr;
  QLineEdit* domainMap_ = nullptr;
  QPushButton* browse_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLineEdit *lba_, *speed_, *time_;

  std::unique_ptr<RowBatchChannel<ListRow>> messages_;
  std::unique_ptr<LatestValueChannel<ProgressPosition>> progressChannel_;
  std::unique_ptr<LatestValueChannel<ImagingDisplays>> displayChannel_;
  std::unique_ptr<LatestValueChannel<std::shared_ptr<const RescueMapSnapshot>>> mapChannel_;
  std::shared_ptr<const RescueMapSnapshot> copyMap_;  // the latest map of the last copy
  RescueMapWindow* mapWindow_ = nullptr;
};

}  // namespace brenvik
