#pragma once
// The "Repair DB" tool page: makes a repaired copy of a damaged database file, taking every
// block lost to the fill pattern from the first reference copy that holds it intact.
#include <QString>

#include "shell/Controls.h"
#include "shell/ToolPage.h"
#include "shell/WorkerChannel.h"
#include "dbrepair/BlockRepair.h"

class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QRadioButton;

namespace brenvik {

class CheckListModel;
class CheckListView;


class CDataBaseDlg : public ToolPage {
  Q_OBJECT
 public:
  explicit CDataBaseDlg(PageHost& host, QWidget* parent = nullptr);
  // The worker reports into this page's channels, so it must end before they go.
  ~CDataBaseDlg() override { stopAndWait(); }

  // The counts of the last run; they keep their values until the next Repair.
  const RepairCounts& counts() const { return counts_; }
  CheckListModel* referenceList() const { return references_; }

 private:
  void buildControls();
  void chooseCorrupted();
  void chooseRepaired();
  void addFiles();
  void showListMenu(const QPoint& at);
  void repair();
  void finishRun(const RepairResult& result);

  QLineEdit* corrupted_ = nullptr;
  QLineEdit* repaired_ = nullptr;
  QRadioButton* sectorMode_ = nullptr;
  QRadioButton* pageMode_ = nullptr;
  QLineEdit* sectorPattern_ = nullptr;
  QLineEdit* pagePattern_ = nullptr;
  CheckListModel* references_ = nullptr;
  CheckListView* list_ = nullptr;
  QMenu* listMenu_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;

  RepairCounts counts_;
  LatestValueChannel<QString> statusChannel_;
  LatestValueChannel<ProgressPosition> progressChannel_;
};

}  // namespace brenvik
