#pragma once
// The "Raid Analysis" tool page: member disks and image files in order, a sector range and a
// log path; the analysis worker writes the MFT map log of the members.
#include <memory>
#include <optional>

#include "shell/Controls.h"
#include "shell/ToolPage.h"
#include "shell/WorkerChannel.h"
#include "disk/DiskInventory.h"
#include "raid/RaidAnalysis.h"
#include "raid/RaidVolume.h"

class QComboBox;
class QLineEdit;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;

namespace brenvik {

class CheckListModel;
class CheckListView;
class RaidPlotView;

class CRaidDlg : public ToolPage {
  Q_OBJECT
 public:
  // `disks`: the identity list found at start, which the page lists and opens members through.
  CRaidDlg(PageHost& host, const DiskInventory& disks, QWidget* parent = nullptr);
  ~CRaidDlg() override;

  // Which list the popup menu was opened on.
  enum MenuSource { kNoMenu = 0, kDiskList = 1, kMemberList = 2 };

  // The popup menu for a right click at `position` (viewport coordinates) of the disk list
  // (3302) or the member list (3303); nullptr when no menu opens there. Shown without blocking.
  QMenu* openMenu(int listId, QPoint position);
  QMenu* menu() const { return menu_; }
  // The plot window of the last run (opened by Plot), or nullptr before it was first opened.
  QWidget* plotWindow() const { return plotWindow_; }

 private:
  class PageReporter;

  void buildControls();
  void fillDiskList();
  // Names the disks the user may not open, and the ways in, in the status line.
  void showDisksWithoutAccess();
  void chooseLogFile();
  void markAll(bool checked);
  void addImageFiles();
  void addMissingMember();
  // Adds image files to a list as members would be listed; files that cannot be opened are left out.
  void addImages(CheckListModel* list, const QStringList& files);
  // Files dropped on either list are added to it as images.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void copyCheckedDisks();
  void start();
  std::vector<RaidMember> members() const;
  void showOutcome(RaidResult& result, const RaidRequest& run);
  void showPlot();
  void exportPlot();
  // Writes the volume of the geometry chosen by hand, else of the last run's, into an image file
  // the user picks.
  void exportVolume();
  bool canExportVolume() const;

  const DiskInventory& inventory_;
  QLineEdit* logPath_ = nullptr;
  QLineEdit* startSector_ = nullptr;
  QLineEdit* endSector_ = nullptr;
  CheckListModel* disks_ = nullptr;
  CheckListModel* members_ = nullptr;
  CheckListView* diskView_ = nullptr;
  CheckListView* memberView_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* geometry_ = nullptr;
  QMenu* menu_ = nullptr;
  MenuSource menuSource_ = kNoMenu;
  QPushButton* plotButton_ = nullptr;
  QPushButton* exportVolumeButton_ = nullptr;
  QComboBox* layout_ = nullptr;
  QLineEdit* stripe_ = nullptr;
  QLineEdit* order_ = nullptr;
  QLineEdit* start_ = nullptr;
  QLineEdit* parityDelay_ = nullptr;
  // The members and geometry of the last run when it named one.
  std::optional<RaidVolumeRequest> volume_;
  QWidget* plotWindow_ = nullptr;
  RaidPlotView* plotView_ = nullptr;
  // The records of the last run when it found any, and what it was asked (a plot file is refused
  // on its members and its log).
  std::shared_ptr<const RaidPlotModel> plot_;
  RaidRequest plotRun_;

  LatestValueChannel<ProgressPosition> progressChannel_;
  LatestValueChannel<QString> foundChannel_;
};

}  // namespace brenvik
